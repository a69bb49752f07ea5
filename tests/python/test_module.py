import ctypes
import platform

import pytest

import _vornik_tamrel as m

CLASS_NAMES = [
    "PyIndexedDatabase",
    "PyPeptide",
    "PyKind",
    "PyTolerance",
    "PyPrecursor",
    "PyProcessedSpectrum",
    "PyScorer",
    "PyFeature",
]


def test_all_lists_classes_then_function_in_registration_order():
    assert m.__all__ == CLASS_NAMES + ["hello_py"]
    for name in CLASS_NAMES:
        assert getattr(m, name).__name__ == name


def test_result_only_classes_are_not_module_attributes():
    assert not hasattr(m, "PyFeatureArrays")
    assert not hasattr(m, "PyFragments")


def test_module_docstring_is_empty():
    assert m.__doc__ == ""


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_report_module_without_underscore(name):
    cls = getattr(m, name)
    assert cls.__module__ == "vornik_tamrel"
    assert cls.__qualname__ == name


def test_hello_py_is_a_fixed_27_byte_greeting():
    greeting = m.hello_py()
    assert greeting == m.hello_py()
    assert greeting.endswith("\U0001F389")
    assert len(greeting.encode("utf-8")) == 27
    assert "\n" not in greeting
    assert m.hello_py.__text_signature__ == "()"


def test_hello_py_takes_no_arguments():
    with pytest.raises(TypeError):
        m.hello_py(1)


@pytest.mark.skipif(platform.python_implementation() != "CPython", reason="calls the init function through ctypes")
def test_second_initialisation_returns_the_same_module():
    lib = ctypes.PyDLL(m.__file__)
    init = lib.PyInit__vornik_tamrel
    init.restype = ctypes.py_object
    again = init()
    assert again is m
    assert m.__all__ == CLASS_NAMES + ["hello_py"]


@pytest.mark.parametrize("name", ["PyTolerance", "PyKind", "PyFeature", "PyIndexedDatabase"])
def test_unconstructible_classes_refuse_calls(name):
    with pytest.raises(TypeError) as info:
        getattr(m, name)()
    assert str(info.value) == "No constructor defined for " + name


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Derived", (getattr(m, name),), {})


def test_instances_take_no_new_attributes():
    tol = m.PyTolerance.Da(-1, 1)
    with pytest.raises(AttributeError):
        tol.anything = 1
    with pytest.raises(AttributeError):
        tol.Da = 1


def test_result_class_without_module_is_created_under_warnings_as_errors():
    # The columnar result class carries no module on purpose; creating it must
    # not trip a deprecation warning that -W error would turn into a failure.
    import subprocess
    import sys

    code = (
        "import _vornik_tamrel as m\n"
        "db = m.PyIndexedDatabase.from_peptides_and_config([], 16, [], 0, False, '', 0.0, 0.0)\n"
        "scorer = m.PyScorer(m.PyTolerance.Ppm(-10, 10), m.PyTolerance.Da(-0.5, 0.5))\n"
        "arrays = scorer.score_many_spectra(db, [])\n"
        "print(type(arrays).__qualname__)\n"
    )
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["PyFeatureArrays"]
