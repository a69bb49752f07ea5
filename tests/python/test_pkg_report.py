"""Writing the outputs: Arrow tables, TSV quoting, the report's drawing (vornik_tamrel.report, .plot)."""
import pytest

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
Image = pytest.importorskip("PIL.Image")
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


@pytest.mark.parametrize("rows", [3, 0])
def test_parquet_bytes_equal_pyarrows_own_writer(tmp_path, rows):
    """The Parquet writer that skips `pyarrow.parquet`'s imports writes the very bytes of its `write_table`."""
    pq = pytest.importorskip("pyarrow.parquet")
    arrow = report.arrow_table({k: v[:rows] for k, v in small_table().items()})
    report.parquet_writer()(arrow, tmp_path / "ours.parquet")
    pq.write_table(arrow, tmp_path / "theirs.parquet")
    assert (tmp_path / "ours.parquet").read_bytes() == (tmp_path / "theirs.parquet").read_bytes()
    assert pq.read_table(tmp_path / "ours.parquet").num_rows == rows


@pytest.mark.parametrize("model", [True, False])
def test_report_is_a_png_of_the_stated_size(tmp_path, model):
    data = report_input()
    if not model:
        data["predicted_rt"] = None
    plot.draw(data, str(tmp_path / "r.png"))
    with Image.open(tmp_path / "r.png") as png:
        assert (png.format, png.size) == ("PNG", plot.SIZE)


@pytest.mark.parametrize("size", [(1, 1), (7, 3), (300, 200)])
def test_png_writer_keeps_every_pixel(tmp_path, size):
    pixels = np.random.default_rng(size[0]).integers(0, 256, (size[1], size[0], 3), dtype=np.uint8)
    pixels[: size[1] // 2] = 255  # flat rows too, as most of a report
    plot.write_png(Image.fromarray(pixels, "RGB"), str(tmp_path / "p.png"))
    with Image.open(tmp_path / "p.png") as png:
        assert png.mode == "RGB" and np.array_equal(np.asarray(png), pixels)


@pytest.mark.parametrize("low, high, integer, expected", [
    (-0.005, 0.105, False, ["0", "0.02", "0.04", "0.06", "0.08", "0.10"]),
    (-0.5, 3.2, True, ["0", "1", "2", "3"]),
    (-11.0, 11.0, False, ["-10", "-5", "0", "5", "10"]),
    (25.0, 42.0, False, ["25.0", "27.5", "30.0", "32.5", "35.0", "37.5", "40.0"]),
    (0.0, 8.9, True, ["0", "2", "4", "6", "8"]),
    (0.0, 0.55, True, ["0"]),
])
def test_ticks_are_round_and_few(low, high, integer, expected):
    ticks = plot.nice_ticks(low, high, integer)
    assert [plot._tick_label(v, plot._step(ticks)) for v in ticks] == expected


@pytest.mark.parametrize("shift", [-9.0, 0.0, 9.0])
def test_mass_error_legend_clears_the_median_line(tmp_path, shift):
    data = report_input()
    data["delta_mass"] = np.clip(data["delta_mass"] / 3 + shift, -9.9, 9.9)
    figure = plot._Figure()
    figure.finish(data, str(tmp_path / "r.png"))
    panel = figure.axes[1][1]
    (left, top, right, bottom) = panel.legend_box
    for name in ("median", "targets", "decoys"):  # nor the bars
        x0, y0, x1, y1 = panel.boxes[name]
        assert right < x0 or x1 < left or bottom < y0 or y1 < top, (shift, name)


@pytest.mark.parametrize("radius", [3.0, 2.5, 0.4])
def test_stamped_dots_equal_pillows_ellipses(radius):
    from PIL import ImageDraw

    rng = np.random.default_rng(7)
    x, y = rng.uniform(-8, 68, 400), rng.uniform(-8, 48, 400)  # off every edge too
    drawn = Image.new("L", (60, 40), 0)
    pen = ImageDraw.Draw(drawn)
    for xi, yi in zip(x.tolist(), y.tolist()):
        pen.ellipse((xi - radius, yi - radius, xi + radius, yi + radius), fill=153)
    stamped = np.zeros((40, 60), np.uint8)
    plot.stamp_dots(stamped, x, y, radius, 153)
    assert np.array_equal(stamped, np.asarray(drawn))


def _in_a_fresh_interpreter(case: str, how: str, tmp_path) -> None:
    """Runs `case(how, tmp_path)` of this module in a new interpreter, as the command line forks: from a
    process with no threads of its own. Forked from this one, whose earlier tests leave threads running (a
    Dask cluster's, the engine's pool), the child may wait forever for a lock one of them held."""
    import subprocess
    import sys
    from pathlib import Path

    code = (f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); import {__name__} as t; "
            f"from pathlib import Path; t.{case}({how!r}, Path({str(tmp_path)!r})); print('ok')")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, "ok\n"), done.stderr


def drawn_beside(how: str, tmp_path) -> None:
    import os
    import threading

    def start(path):
        if how == "helper":  # forked first, sent its data later, with a copy of its pipe's end held elsewhere
            helper = report.DrawingHelper()
            held = os.dup(helper._send)
            try:
                return helper.draw(report_input(), path)
            finally:
                closing.append(held)
        return report.Drawing(report_input(), path, fork=how == "process")

    def finished(drawing):
        waiting = threading.Thread(target=drawing.wait, daemon=True)
        waiting.start()
        waiting.join(60)  # not a measure of speed: what never ends fails rather than hangs
        assert not waiting.is_alive()

    closing: list = []
    plot.draw(report_input(), str(tmp_path / "direct.png"))
    finished(start(tmp_path / "beside.png"))
    assert (tmp_path / "beside.png").read_bytes() == (tmp_path / "direct.png").read_bytes()
    failing = start(tmp_path / "missing" / "r.png")
    with pytest.raises(FileNotFoundError) as caught:
        failing.wait()
    assert caught.value.filename == str(tmp_path / "missing" / "r.png")
    for held in closing:
        os.close(held)


@pytest.mark.parametrize("how", ["process", "thread", "helper"])
def test_drawing_beside_the_tables_is_the_same_and_says_what_failed(tmp_path, how):
    import os

    if how == "thread":
        drawn_beside(how, tmp_path)
    elif not hasattr(os, "fork"):
        pytest.skip("no fork here")
    else:
        _in_a_fresh_interpreter("drawn_beside", how, tmp_path)


def ended_without_a_trace(how: str, tmp_path) -> None:
    import os
    import time

    if how == "stopped":
        plot.draw = lambda data, path: time.sleep(600)
        drawing = report.Drawing(report_input(), tmp_path / "r.png", fork=True)
        pid = drawing.pid
        drawing.stop()
        drawing.wait()  # stopped: nothing to raise
    else:
        helper = report.DrawingHelper()
        pid = helper.drawing.pid
        helper.close()
    with pytest.raises(ChildProcessError):
        os.waitpid(pid, 0)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("how", ["stopped", "unused helper"])
def test_an_ended_drawing_leaves_no_process(tmp_path, how):
    import os

    if not hasattr(os, "fork"):
        pytest.skip("no fork here")
    _in_a_fresh_interpreter("ended_without_a_trace", how, tmp_path)


def test_a_search_s_writing_draws_on_a_thread(tmp_path, monkeypatch):
    """Only the command line, at its start, forks: a search's writing draws on a thread."""
    import os

    monkeypatch.setattr(os, "fork", lambda: pytest.fail("forked beside the search's threads"))
    drawing = report.Drawing(report_input(), tmp_path / "r.png")
    drawing.wait()
    assert drawing.pid == 0 and (tmp_path / "r.png").stat().st_size > 0


def _rendezvous(folder, task: int) -> int:
    """Task 0 or 1 of a shared map: waits until both have begun, so that each process took one."""
    import os
    import time
    from pathlib import Path

    (Path(folder) / str(task)).write_text(str(os.getpid()))
    for _ in range(6000):  # a helper that never joins fails the test rather than hangs it
        if (Path(folder) / str(1 - task)).exists():
            break
        time.sleep(0.01)
    return os.getpid()


def _fails_in_the_child(parent: int, task: int) -> int:
    import os

    if os.getpid() != parent:
        raise RuntimeError("helper failure")
    return task * task


def _fails_at_three(_, task: int) -> int:
    if task == 3:
        raise ValueError("task 3")
    return task


def shared_with_the_helper(how: str, tmp_path) -> None:
    import os
    import signal

    import test_pkg_fdr
    from vornik_tamrel import drawing, rescore

    helper = report.DrawingHelper()
    try:
        pids = helper.share(_rendezvous, str(tmp_path), 2)
        assert sorted(pids) == sorted([os.getpid(), helper.drawing.pid])
        if how == "rescoring":  # the same bits, however the tasks fell to the two processes
            x, decoy, _ = test_pkg_fdr.synthetic()
            settings = rescore.RescoreSettings(train_fdr=(0.05, 0.1, 0.2))
            os.environ["RAYON_NUM_THREADS"] = "1"
            alone = rescore.rescore(x, decoy, np.arange(len(x)) // 2, x[:, 0], settings)
            os.environ["RAYON_NUM_THREADS"] = "2"
            calls = []
            share = helper.share
            helper.share = lambda *args: calls.append(args[2]) or share(*args)
            with drawing.lending(helper):
                shared = rescore.rescore(x, decoy, np.arange(len(x)) // 2, x[:, 0], settings)
                drawing.MAX_SHARED_BYTES = x.nbytes  # too little for what the checks need: not shared
                kept = rescore.rescore(x, decoy, np.arange(len(x)) // 2, x[:, 0], settings)
            assert alone[1] > 0 and shared[1] == alone[1] and shared[0].tobytes() == alone[0].tobytes()
            assert kept[0].tobytes() == alone[0].tobytes() and calls == [30, 30]
        elif how == "retention":  # the model chosen and its predictions, to the bit
            import test_pkg_results
            from vornik_tamrel.rt import fill_retention

            made = []
            for threads in ("1", "2"):
                os.environ["RAYON_NUM_THREADS"] = threads
                table, _ = test_pkg_results._retention_table(np.random.default_rng(11), [(0.0, 1.0)], 120)
                with drawing.lending(helper):
                    made.append([fill_retention(table, np.ones(120, bool), np.zeros(120), 0.01)]
                                + [table[name] for name in ("aligned_rt", "predicted_rt", "delta_rt_model")])
            assert [a.tobytes() for a in made[0]] == [b.tobytes() for b in made[1]]
        elif how == "first panel early":  # drawn while the rest is worked out, and kept
            first = {"decoy": report_input()["decoy"], "hyperscore": report_input()["hyperscore"] + 1.0}
            helper.begin(first)
            figure = plot.prepare()
            figure.first(first)
            figure.finish(report_input(), str(tmp_path / "direct.png"))
        elif how == "failing in the child":  # what it took is done again here
            assert helper.share(_fails_in_the_child, os.getpid(), 50) == [t * t for t in range(50)]
        elif how == "failing here":  # raised as it is, and the helper's pipes not used again
            with pytest.raises(ValueError, match="^task 3$"):
                helper.share(_fails_at_three, None, 200)
            assert helper.share(_fails_at_three, None, 2) is None
        else:  # ended: nothing shared, and the report drawn on a thread
            os.kill(helper.drawing.pid, signal.SIGKILL)
            os.waitpid(helper.drawing.pid, 0)
            helper.drawing.pid = 0
            assert helper.share(_fails_in_the_child, os.getpid(), 4) is None
        helper.draw(report_input(), tmp_path / "r.png").wait()
    finally:
        helper.close()
    if how != "first panel early":
        plot.draw(report_input(), str(tmp_path / "direct.png"))
    assert (tmp_path / "r.png").read_bytes() == (tmp_path / "direct.png").read_bytes()


@pytest.mark.parametrize("how", ["rescoring", "retention", "first panel early", "failing in the child",
                                 "failing here", "ended"])
def test_the_helper_shares_work_then_draws(tmp_path, how):
    import os

    if not hasattr(os, "fork"):
        pytest.skip("no fork here")
    _in_a_fresh_interpreter("shared_with_the_helper", how, tmp_path)
