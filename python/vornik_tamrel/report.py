"""Writing a search's results: the PSM table (TSV and Parquet), a PNG report and a JSON summary.

Every file is written under a temporary name in the output directory and
renamed into place only once all of them are complete, so an interrupted or
failed run never leaves a half-written table behind.

The table goes through pyarrow directly (both files from one Arrow table;
pandas is never imported). The report is drawn (see `plot`) while the tables
are written: by the command line's drawing process, forked before the search
where the system forks cheaply, so that neither waits for the other's
interpreter lock; else on a thread (see `drawing`).
"""
from __future__ import annotations

import itertools
import json
import os
import shutil
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Sequence

import numpy as np

from .errors import OutputError
from .drawing import Drawing, DrawingHelper
from .plot import report_data
from .search import SearchResult

#: The roll-ups by peptide and by protein group sit in a folder of their own, so that the PSM table stays
#: the first Parquet file of the directory for tools that take the first they find.
ROLLUP = "rollup"
OUTPUT_FILES = ("psms.tsv", "psms.parquet", f"{ROLLUP}/peptides.tsv", f"{ROLLUP}/peptides.parquet",
                f"{ROLLUP}/proteins.tsv", f"{ROLLUP}/proteins.parquet", "report.png", "summary.json")
#: Written only when asked for (`write_outputs(..., formats=...)`).
OPTIONAL_FILES = {"pin": "psms.pin", "mzid": "psms.mzid"}


# Arrays are handed to pyarrow as buffers: its converters from numpy arrays and
# Python lists import pandas (half a second) whenever it is installed.

def _buffer_array(values: np.ndarray):
    import pyarrow as pa

    if values.dtype == np.bool_:
        bits = np.packbits(values, bitorder="little")
        return pa.Array.from_buffers(pa.bool_(), len(values), [None, pa.py_buffer(bits)])
    values = np.ascontiguousarray(values)
    return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), len(values), [None, pa.py_buffer(values)])


def _offsets(lengths) -> tuple[np.ndarray, bool]:
    ends = np.cumsum(np.fromiter(lengths, dtype=np.int64))
    large = bool(len(ends)) and ends[-1] > np.iinfo(np.int32).max
    return np.concatenate(([0], ends)).astype(np.int64 if large else np.int32), large


def _string_array(texts: list[str]):
    import pyarrow as pa

    joined = "".join(texts)
    if joined.isascii():  # one character, one byte: no text encoded on its own
        data, lengths = joined.encode("ascii"), map(len, texts)
    else:
        encoded = [t.encode() for t in texts]
        data, lengths = b"".join(encoded), map(len, encoded)
    offsets, large = _offsets(lengths)
    return pa.Array.from_buffers(pa.large_string() if large else pa.string(), len(texts),
                                 [None, pa.py_buffer(offsets), pa.py_buffer(data)])


def _float_lists(rows):
    import pyarrow as pa

    lengths = np.fromiter(map(len, rows), dtype=np.int64, count=len(rows))
    offsets, large = _offsets(lengths)
    values = np.fromiter(itertools.chain.from_iterable(rows), dtype=np.float32, count=int(offsets[-1]))
    array_type = pa.LargeListArray if large else pa.ListArray
    return array_type.from_arrays(_buffer_array(offsets), _buffer_array(values))


def arrow_table(table):
    """The PSM table as a pyarrow Table, `modifications` as lists of 32-bit floats."""
    import pyarrow as pa

    columns = []
    for name, values in table.items():
        if values.dtype != object:
            columns.append(_buffer_array(values))
        elif name == "modifications":
            columns.append(_float_lists(values))
        else:
            columns.append(_string_array(values.tolist()))
    return pa.Table.from_arrays(columns, names=list(table))


def _mod_texts(lists) -> list[str]:
    """Each row of a list<float> Arrow array as comma-separated masses. Rows of zeros only are told apart by
    their length; the others are formatted once per pattern, formatting a mass being most of the cost."""
    import pyarrow as pa

    _, offset_buffer, _, value_buffer = lists.buffers()  # read directly: pyarrow's to_numpy imports pandas
    offsets = np.frombuffer(offset_buffer, np.int64 if pa.types.is_large_list(lists.type) else np.int32)
    offsets = offsets[lists.offset:lists.offset + len(lists) + 1]
    flat = np.frombuffer(value_buffer, np.float32)[lists.values.offset:].astype(np.float64)  # exactly as stored
    lengths = np.diff(offsets)
    texts = np.array([",".join(["0"] * n) for n in range(int(lengths.max(initial=0)) + 1)], dtype=object)[lengths]
    modified = np.zeros(len(lengths), dtype=bool)
    modified[np.repeat(np.arange(len(lengths)), lengths)[flat.view(np.uint64) != 0]] = True  # -0.0 reads "-0"
    made: dict = {}
    for row in np.flatnonzero(modified).tolist():
        values = flat[offsets[row]:offsets[row + 1]]
        key = values.tobytes()
        text = made.get(key)
        if text is None:
            text = made[key] = ",".join(f"{m:g}" for m in values.tolist())
        texts[row] = text
    return texts.tolist()


def write_tsv(table, path) -> None:
    """Tab-separated text of a table (columns by name, or the Arrow table `arrow_table` made of them),
    modifications as comma-separated masses.

    Nothing is quoted unless some value holds a tab, quote or line break;
    then every text value is quoted.
    """
    import pyarrow as pa
    import pyarrow.csv as csv

    arrow = table if isinstance(table, pa.Table) else arrow_table(table)
    if "modifications" in arrow.column_names:
        where = arrow.column_names.index("modifications")
        texts = _mod_texts(arrow.column(where).combine_chunks())
        arrow = arrow.set_column(where, "modifications", _string_array(texts))
    header = ("\t".join(arrow.column_names) + "\n").encode()
    # Arrow's own file, not a Python one: the writer then never waits for the interpreter lock, which the
    # report's drawing holds beside it.
    def write(quoting: str) -> None:
        with pa.OSFile(os.fspath(path), "wb") as handle:
            handle.write(header)
            csv.write_csv(arrow, handle, csv.WriteOptions(include_header=False, delimiter="\t", quoting_style=quoting))

    try:
        write("none")
    except pa.ArrowInvalid:  # a value holds a tab, quote or line break: written again, quoted
        write("needed")


def parquet_writer():
    """A function (Arrow table, path) that writes a Parquet file, byte for byte as `pyarrow.parquet.write_table`
    with its defaults would. pyarrow's own writer class is used directly where it can be: the module around it
    loads every remote file system pyarrow supports (S3 with OpenSSL among them), a fifth of a small search's
    writing."""
    try:
        from pyarrow._parquet import ParquetWriter
    except ImportError:  # laid out otherwise in some version
        import pyarrow.parquet as pq

        return pq.write_table

    def write(table, path) -> None:
        # The settings `write_table` passes on; the writer's own defaults are the same as its for the rest.
        writer = ParquetWriter(os.fspath(path), table.schema, version="2.6", compression="snappy",
                               use_dictionary=True, write_statistics=True, writer_engine_version="V2",
                               data_page_version="1.0")
        try:
            writer.write_table(table)
        finally:
            writer.close()

    return write


def check_output_dir(outdir: str | os.PathLike) -> None:
    """Raise OutputError now, before a search starts, if result files cannot be created in `outdir`.

    Nothing is left behind: a missing directory is created only when the
    results are written.
    """
    path = Path(os.path.abspath(outdir))
    existing = path
    while not existing.exists() and existing != existing.parent:
        existing = existing.parent
    if not existing.is_dir():
        where = "exists" if existing == path else f"lies under {existing}, which exists"
        raise OutputError(f"{outdir}: {where} and is not a directory")
    try:
        os.rmdir(tempfile.mkdtemp(prefix=".vornik-tamrel-", dir=existing))
    except OSError as exc:
        raise OutputError(f"{outdir}: cannot create files in {existing}: {exc.strerror or exc}") from None
    if (blocked := _in_the_way(path)) is not None:
        raise OutputError(f"{outdir}: cannot write the results: {blocked}")


def _in_the_way(outdir: Path) -> str | None:
    """What in `outdir` would stop an output from taking its place (a directory of an output's name, a file
    named as the rollup folder), said; None where nothing does. Checked before any output is moved there, so
    that a search's outputs are never replaced in part."""
    if (outdir / ROLLUP).exists() and not (outdir / ROLLUP).is_dir():
        return f"{ROLLUP} is not a directory"
    for name in OUTPUT_FILES + tuple(OPTIONAL_FILES.values()):
        if (outdir / name).is_dir():
            return f"{name} is a directory"
    return None


def write_outputs(result: SearchResult, outdir: str | os.PathLike, formats: Sequence[str] = (),
                  helper: DrawingHelper | None = None) -> dict[str, str]:
    """Write the tables, report and summary into `outdir` (created if needed); returns name -> path.

    `formats` adds files for other tools: "pin" (Percolator input), "mzid" (mzIdentML); the report is
    drawn by `helper` when given (see `DrawingHelper`).
    """
    clock = time.perf_counter()
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    staging = Path(tempfile.mkdtemp(prefix=".vornik-tamrel-", dir=outdir))
    try:
        data = report_data(result.table, result.summary, result.settings, len(result.files), result.proteins)
        drawing = helper.draw(data, staging / "report.png") if helper else Drawing(data, staging / "report.png")
        # Parquet files are written on a thread of their own beside the text (both release the lock).
        parquet = ThreadPoolExecutor(1, thread_name_prefix="vornik-tamrel-parquet")
        try:
            write_parquet = parquet_writer()  # while the report is drawn: importing pyarrow takes a while
            (staging / ROLLUP).mkdir()
            written_parquet = []
            for stem, rows in (("psms", result.table), (f"{ROLLUP}/peptides", result.peptides),
                               (f"{ROLLUP}/proteins", result.proteins)):
                arrow = arrow_table(rows)
                written_parquet.append(parquet.submit(write_parquet, arrow, staging / f"{stem}.parquet"))
                write_tsv(arrow, staging / f"{stem}.tsv")
            for job in written_parquet:
                job.result()
            if "pin" in formats:
                from .pin import write_pin

                write_pin(result.table, staging / OPTIONAL_FILES["pin"])
            if "mzid" in formats:
                from .mzid import write_mzid

                write_mzid(result, staging / OPTIONAL_FILES["mzid"])
            drawing.wait()
        except BaseException:
            drawing.stop()  # before the staging folder can be removed under it
            raise
        finally:
            parquet.shutdown(cancel_futures=True)  # the same
        result.timings["writing"] = time.perf_counter() - clock
        summary = dict(result.summary, files=result.files,
                       timings_seconds={k: round(v, 3) for k, v in result.timings.items()})
        (staging / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")
        written = {}
        if (blocked := _in_the_way(outdir)) is not None:
            raise OutputError(f"{outdir}: cannot write the results: {blocked}")
        (outdir / ROLLUP).mkdir(exist_ok=True)
        for fmt, name in OPTIONAL_FILES.items():  # an earlier search's, which would pass for this one's
            if fmt not in formats:
                (outdir / name).unlink(missing_ok=True)
        for name in OUTPUT_FILES + tuple(OPTIONAL_FILES[f] for f in formats):
            os.replace(staging / name, outdir / name)
            written[name] = str(outdir / name)
        return written
    finally:
        shutil.rmtree(staging, ignore_errors=True)

