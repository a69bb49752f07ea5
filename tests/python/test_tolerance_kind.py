import pytest

from _vornik_tamrel import PyKind, PyTolerance


@pytest.mark.parametrize("ctor", [PyTolerance.Da, PyTolerance.Ppm])
@pytest.mark.parametrize("minus, plus", [(-10, 10), (-0.5, 0.5), (1.0, -1.0), (float("nan"), float("inf")), (1e300, 0)])
def test_any_numbers_are_accepted_unvalidated(ctor, minus, plus):
    assert type(ctor(minus, plus)) is PyTolerance
    assert type(ctor(minus=minus, plus=plus)) is PyTolerance


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PyTolerance.Da(-1), "PyTolerance.Da() missing 1 required positional argument: 'plus'"),
        (lambda: PyTolerance.Ppm(), "PyTolerance.Ppm() missing 2 required positional arguments: 'minus' and 'plus'"),
        (lambda: PyTolerance.Da(1, 2, 3), "PyTolerance.Da() takes 2 positional arguments but 3 were given"),
        (lambda: PyTolerance.Da(1, minus=2), "PyTolerance.Da() got multiple values for argument 'minus'"),
        (lambda: PyTolerance.Da(1, 2, width=3), "PyTolerance.Da() got an unexpected keyword argument 'width'"),
        (lambda: PyKind.B(1), "PyKind.B() takes 0 positional arguments but 1 was given"),
        (lambda: PyKind.Y(kind=1), "PyKind.Y() got an unexpected keyword argument 'kind'"),
    ],
)
def test_binding_errors_use_the_interpreters_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("position, name", [(0, "minus"), (1, "plus")])
@pytest.mark.parametrize("bad", ["1.0", None, [1.0]])
def test_non_numbers_fail_with_the_argument_prefix(position, name, bad):
    args = [0.0, 0.0]
    args[position] = bad
    with pytest.raises(TypeError) as info:
        PyTolerance.Da(*args)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument '%s': " % name)


def test_numeric_protocols_are_accepted():
    class Index:
        def __index__(self):
            return 3

    class Float:
        def __float__(self):
            return 2.5

    assert type(PyTolerance.Ppm(Index(), Float())) is PyTolerance


def test_float_conversion_errors_other_than_type_errors_pass_unprefixed():
    class Broken:
        def __float__(self):
            raise ValueError("broken float")

    with pytest.raises(ValueError) as info:
        PyTolerance.Da(Broken(), 1)
    assert str(info.value) == "broken float"


def test_kinds_are_distinct_tokens_with_identity_equality():
    a, b = PyKind.B(), PyKind.B()
    assert a is not b and a != b and a == a
    assert type(PyKind.Y()) is PyKind


@pytest.mark.parametrize("doc, owner, name", [
    ("Da(minus, plus)\n--\n\n", PyTolerance, "Da"),
    ("Ppm(minus, plus)\n--\n\n", PyTolerance, "Ppm"),
    ("B()\n--\n\n", PyKind, "B"),
    ("Y()\n--\n\n", PyKind, "Y"),
])
def test_static_constructors_carry_text_signatures(doc, owner, name):
    method = getattr(owner, name)
    signature = doc.split("\n")[0][len(name):]
    assert method.__text_signature__ == signature
    assert not method.__doc__


def test_static_constructors_also_work_on_instances():
    assert type(PyTolerance.Da(0, 0).Ppm(-5, 5)) is PyTolerance
