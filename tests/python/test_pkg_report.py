"""Writing the outputs: Arrow tables, TSV quoting, the report's helper process (vornik_tamrel.report, .plot)."""
import sys

import pytest

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pytest.importorskip("matplotlib")
from vornik_tamrel import plot, report  # noqa: E402


def small_table():
    return {
        "spec_id": np.array(["scan=1", "scan=2", "scan=3"], dtype=object),
        "peptide": np.array(["PEPTIDEK", "M[+15.9949]K", "ÄK"], dtype=object),
        "is_decoy": np.array([False, True, False]),
        "modifications": np.array([[0.0] * 10, [0.0, 15.994915, 0.0, 0.0], []] + [None], dtype=object)[:3],
        "charge": np.array([2, 3, 255], np.uint8),
        "hyperscore": np.array([30.5, -np.inf, np.nan]),
        "delta_mass": np.array([0.1, -2.5, 7.0], np.float32),
    }


def test_arrow_table_keeps_types_and_values():
    arrow = report.arrow_table(small_table())
    assert arrow.column_names == list(small_table())
    assert [str(t) for t in arrow.schema.types] == [
        "string", "string", "bool", "list<item: float>", "uint8", "double", "float"]
    rows = arrow.to_pydict()
    assert rows["peptide"] == ["PEPTIDEK", "M[+15.9949]K", "ÄK"]
    assert rows["is_decoy"] == [False, True, False]
    assert rows["modifications"][1] == [0.0, np.float32(15.994915), 0.0, 0.0] and rows["modifications"][2] == []
    assert rows["charge"] == [2, 3, 255]
    assert rows["hyperscore"][:2] == [30.5, -np.inf] and np.isnan(rows["hyperscore"][2])
    assert rows["delta_mass"] == [np.float32(0.1), np.float32(-2.5), np.float32(7.0)]


@pytest.mark.parametrize("spec_id, line", [
    ("scan=1", "scan=1\tPEPTIDEK\tfalse\t0,0,0,0,0,0,0,0,0,0\t2\t30.5\t0.1"),
    ("scan\t1", '"scan\t1"\t"PEPTIDEK"\tfalse\t"0,0,0,0,0,0,0,0,0,0"\t2\t30.5\t0.1'),  # once one value needs quotes, every text has them
])
def test_tsv_quotes_texts_only_when_a_value_needs_it(tmp_path, spec_id, line):
    table = small_table()
    table["spec_id"][0] = spec_id
    report.write_tsv(table, tmp_path / "t.tsv")
    lines = (tmp_path / "t.tsv").read_text(encoding="utf-8").splitlines()
    assert lines[0] == "spec_id\tpeptide\tis_decoy\tmodifications\tcharge\thyperscore\tdelta_mass"
    assert lines[1] == line
    assert lines[2].replace('"', "").endswith("\t0,15.9949,0,0\t3\t-inf\t-2.5")
    assert len(lines) == 4


def test_tsv_modification_texts(tmp_path):
    """Rows of zeros are told apart by length alone; a negative zero or a NaN is no zero; the text is the
    same whether written from the columns or from their Arrow table."""
    mods = [[0.0, 0.0], [-0.0, 0.0], [], [0.0, 0.0, 0.0], [float("nan"), 0.0], [1.5, 0.0], [0.0, 0.0]]
    table = {"modifications": np.array(mods + [None], dtype=object)[:-1], "charge": np.arange(7, dtype=np.uint8)}
    report.write_tsv(table, tmp_path / "columns.tsv")
    report.write_tsv(report.arrow_table(table), tmp_path / "arrow.tsv")
    text = (tmp_path / "columns.tsv").read_bytes()
    assert text == (tmp_path / "arrow.tsv").read_bytes()
    assert text.decode().splitlines()[1:] == ["0,0\t0", "-0,0\t1", "\t2", "0,0,0\t3", "nan,0\t4", "1.5,0\t5", "0,0\t6"]


def report_input():
    rng = np.random.default_rng(3)
    n = 120
    decoy = np.arange(n) % 4 == 0
    return {
        "title": "test", "decoy": decoy, "hyperscore": rng.normal(size=n) + 3 * ~decoy,
        "second": rng.normal(size=n), "second_title": "second", "second_label": "x",
        "psm_q": np.sort(rng.random(90) / 10), "peptide_q": np.sort(rng.random(30) / 10), "fdr": 0.01,
        "delta_mass": rng.normal(size=n) * 3, "accepted": ~decoy & (rng.random(n) < 0.5), "ppm_limit": 10.0,
        "protein_q": np.sort(rng.random(12) / 10), "rt": rng.random(40) * 30, "predicted_rt": rng.random(40) * 30,
    }


def test_helper_process_draws_the_report(tmp_path):
    png = tmp_path / "r.png"
    with plot.ReportProcess() as helper:
        child = helper._child
        assert child is not None
        helper.draw(report_input(), str(png))
    assert child.returncode == 0  # drawn by the helper, not by the fallback
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not list(tmp_path.glob("*.data"))


def test_report_is_drawn_here_when_the_helper_cannot_start(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "executable", str(tmp_path / "no-such-python"))
    png = tmp_path / "r.png"
    with plot.ReportProcess() as helper:
        assert helper._child is None
        helper.draw(report_input(), str(png))
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_an_unused_helper_is_ended():
    helper = plot.ReportProcess()
    child = helper._child
    helper.close()
    assert child.poll() is not None


@pytest.mark.parametrize("shift", [-9.0, 0.0, 9.0])
def test_mass_error_legend_clears_the_median_line(tmp_path, shift):
    data = report_input()
    data["delta_mass"] = np.clip(data["delta_mass"] / 3 + shift, -9.9, 9.9)
    figure = plot._Figure()
    figure.finish(data, str(tmp_path / "r.png"))
    panel = figure.axes[1][1]
    renderer = figure.figure.canvas.get_renderer()
    legend = panel.get_legend().get_window_extent(renderer)
    (median,) = panel.get_lines()
    assert not legend.overlaps(median.get_window_extent(renderer)), shift
    for patches in panel.collections:  # nor the bars
        assert not legend.overlaps(patches.get_window_extent(renderer)), shift
