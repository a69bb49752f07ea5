"""The command line and the whole search on the bundled data (vornik_tamrel.cli, .search, .report)."""
import gzip
import json
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pytest.importorskip("pyarrow.parquet")
from vornik_tamrel import cli, spectra  # noqa: E402
from vornik_tamrel.report import OUTPUT_FILES  # noqa: E402
from vornik_tamrel.search import ENGINE_COLUMNS, SearchSettings, modified_peptide, target_of_decoy  # noqa: E402

DATA = Path(__file__).resolve().parents[2] / "data"
DEMO_SPECTRA = DATA / "BSA1_ms2.mzML.gz"
DEMO_FASTA = DATA / "18proteins_contaminants.fasta"

# The bundled run gives 70 to 80 PSMs and 28 peptides (22 of albumin) at 1%
# FDR, 65 PSMs by hyperscore alone. A scorer that ranks
# wrongly, or peaks left at m/z instead of m/z minus the proton, fall far below
# these floors (see test_lost_proton_convention_misses_the_floor).
PSM_FLOOR = 60
PEPTIDE_FLOOR = 24
ALBUMIN_FLOOR = 18


def test_every_option_is_explained():
    parser = cli.build_parser()
    subparsers = next(a for a in parser._actions if a.dest == "command").choices
    for name, sub in subparsers.items():
        for action in sub._actions:
            assert action.help and len(action.help) > 10, (name, action.option_strings or action.dest)
    text = subparsers["search"].format_help()
    for option in ("--fasta", "--enzyme", "--missed-cleavages", "--fixed-mod", "--variable-mod", "--max-peaks",
                   "--precursor-tol", "--fragment-tol", "--isotope-errors", "--fdr", "--no-rescore", "--threads"):
        assert option in text


@pytest.mark.parametrize("argv, message", [
    (["--isotope-errors", "x"], "isotope errors must look like MIN:MAX"),
    (["--fixed-mod", "C57"], "expected SITES:MASS"),
    (["--enzyme", "pepsin"], "invalid choice: 'pepsin'"),
])
def test_bad_options_are_usage_errors(tmp_path, capsys, argv, message):
    with pytest.raises(SystemExit) as info:
        cli.main(["search", "x.mzML", "--fasta", "x.fasta", "-o", str(tmp_path / "out"), *argv])
    assert info.value.code == 2
    assert message in capsys.readouterr().err


def test_single_nonzero_isotope_error_is_refused(tmp_path, capsys):
    code = cli.main(["search", str(DEMO_SPECTRA), "--fasta", str(DEMO_FASTA), "-o", str(tmp_path / "out"),
                     "--isotope-errors", "1:1"])
    assert code == 1
    assert "isotope error 1 cannot be searched alone" in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("content, message", [
    (gzip.compress(b"<mzML xmlns='http://psi.hupo.org/ms/mzml'><run><spectrumList>")[:-8], "truncated or corrupt"),
    (b"BEGIN IONS\nTITLE=a\nPEPMASS=500\n100 1\n", "truncated: spectrum 'a'"),
    (None, "cannot open: No such file or directory"),  # found missing before the first file is read
])
def test_bad_input_fails_cleanly_and_writes_nothing(tmp_path, capsys, content, message):
    bad = tmp_path / "bad.mgf.gz"
    if content is not None:
        bad.write_bytes(content if content[:2] == b"\x1f\x8b" else gzip.compress(content))
    out = tmp_path / "out"
    code = cli.main(["search", str(DEMO_SPECTRA), str(bad), "--fasta", str(DEMO_FASTA), "-o", str(out), "-q"])
    err = capsys.readouterr().err
    assert code == 1
    assert err.startswith(f"vornik-tamrel: error: {bad}: ") and message in err
    assert "Traceback" not in err
    assert not out.exists()


def test_demo_data_is_found_or_explained(tmp_path, monkeypatch):
    assert cli.find_demo_data() == DATA or (cli.find_demo_data() / cli.DEMO_SPECTRA).is_file()
    with pytest.raises(cli.InputError, match="demo data not found in /nowhere"):
        cli.find_demo_data("/nowhere")


@pytest.mark.parametrize("sequence, mods, text", [
    ("PEPTCK", [0, 0, 0, 0, 0, 57.021465, 0, 0], "PEPTC[+57.0215]K"),
    ("MK", [42.010565, 15.994915, 0, 0], "[+42.0106]-M[+15.9949]K"),
    ("AK", [0, 0, 0, 1.5], "AK-[+1.5000]"),
])
def test_modified_peptide_text(sequence, mods, text):
    assert modified_peptide(sequence, mods) == text


@pytest.mark.parametrize("accessions, warned", [
    (["P1", "P2", "decoy_P1", "decoy_P2"], "2 of 4 proteins look like decoys (first: decoy_P1)"),
    (["sp|P1|A_HUMAN", "sp|P1|A_HUMAN_REV", "P3", "P4"], "1 of 4 proteins look like decoys (first: sp|P1|A_HUMAN_REV)"),
    (["REV_HV1H2", "GAG_HV1H2", "POL_HV1H2", "NEF_HV1H2", "ENV_HV1H2"], None),  # one protein named REV
])
def test_a_fasta_holding_decoys_is_said(tmp_path, accessions, warned):
    import warnings

    from vornik_tamrel.search import read_proteome

    fasta = tmp_path / "p.fasta"
    fasta.write_text("".join(f">{a}\nPEPTIDEK{'A' * k}\n" for k, a in enumerate(accessions)))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert len(read_proteome(str(fasta), SearchSettings())) == len(accessions)
    assert [str(w.message) for w in caught] == ([] if warned is None else [
        f"{fasta}: {warned}; the search makes its own decoys and searches these as targets: remove them from the FASTA"])


@pytest.mark.parametrize("accessions, tag, message", [
    # a target named with the tag: protein inference counted its matches as a decoy's, mzid marked it a decoy
    (["P1", "rev_P1", "rev_P2"], "rev_", "2 of 3 protein accessions begin with the decoy tag 'rev_', which marks "
     "the search's own decoys (first: rev_P1): remove them if they are decoys, else choose another decoy tag"),
    (["P1", "A;B"], "rev_", "protein 'A;B': the accession holds ';', which separates the proteins of a match in the "
     "outputs"),
    (["P1", "A\x01B"], "rev_", "protein 'A\\x01B': the accession holds '\\x01', which is a control character, "
     "which mzIdentML cannot hold"),
])
def test_accessions_the_outputs_would_misread_are_refused(tmp_path, accessions, tag, message):
    from vornik_tamrel.errors import FastaError
    from vornik_tamrel.search import read_proteome

    fasta = tmp_path / "p.fasta"
    fasta.write_text("".join(f">{a} description\nPEPTIDEK{'A' * k}\n" for k, a in enumerate(accessions)))
    with pytest.raises(FastaError) as info:
        read_proteome(str(fasta), SearchSettings(decoy_tag=tag))
    assert str(info.value) == f"{fasta}: {message}"


@pytest.mark.parametrize("given", [str, lambda path: path])
def test_a_single_spectrum_file_is_one_file(tmp_path, given):
    from vornik_tamrel.search import spectrum_files

    (tmp_path / "run.mgf").write_text("")
    assert spectrum_files(given(tmp_path / "run.mgf")) == [str(tmp_path / "run.mgf")]  # was 'r: cannot open'


@pytest.mark.parametrize("files, names", [
    (["d/run1.mgf", "e/run2.mzML"], ["run1.mgf", "run2.mzML"]),
    # the same name in several folders: the file column alone told their matches apart from nothing
    (["x/a/run.mgf", "y/a/run.mgf", "b/run.mgf", "run2.mgf"], ["x/a/run.mgf", "y/a/run.mgf", "b/run.mgf", "run2.mgf"]),
    (["a/run.mgf", "a/run.mgf", "b/run.mgf"], ["a/run.mgf", "a/run.mgf", "b/run.mgf"]),  # one file given twice
    (["run.mgf", "run.mgf"], ["run.mgf", "run.mgf"]),
])
def test_file_names_tell_files_apart(files, names):
    from vornik_tamrel.search import file_names

    assert file_names(tuple(files)) == names


@pytest.mark.parametrize("decoy, target", [("PEDITPEK", "PEPTIDEK"), ("AK", "AK"), ("ACK", "ACK")])
def test_decoy_sequences_map_back_to_their_target(decoy, target):
    assert target_of_decoy(decoy) == target


# ------------------------------------------------------------ with the engine

@pytest.fixture(scope="module")
def engine():
    return pytest.importorskip("_vornik_tamrel")


@pytest.fixture(scope="module")
def demo_run(engine, tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    (out / "psms.pin").write_text("an earlier search's\n")  # must not survive beside this search's outputs
    assert cli.main(["demo", "-o", str(out), "-q", "--data-dir", str(DATA)]) == 0
    return out


def test_demo_writes_table_report_and_summary(demo_run):
    assert sorted(str(p.relative_to(demo_run)) for p in demo_run.rglob("*") if p.is_file()) == sorted(OUTPUT_FILES)
    # tools that read the first Parquet file of a results folder find the PSM table
    assert sorted(demo_run.glob("**/*.parquet"))[0].name == "psms.parquet"
    assert (demo_run / "report.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    table = pd.read_parquet(demo_run / "psms.parquet")
    tsv = pd.read_csv(demo_run / "psms.tsv", sep="\t")
    assert list(table.columns) == list(tsv.columns)
    assert len(table) == len(tsv) > 0
    assert set(ENGINE_COLUMNS) | {"file", "peptide", "proteins", "is_decoy"} == set(table.columns)
    assert (table["file"] == "BSA1_ms2.mzML.gz").all()


def test_demo_identifications_reach_the_floor(demo_run):
    summary = json.loads((demo_run / "summary.json").read_text())
    assert summary["spectra"] == 1120
    assert summary["psms_at_fdr"] >= PSM_FLOOR
    assert summary["peptides_at_fdr"] >= PEPTIDE_FLOOR
    table = pd.read_parquet(demo_run / "psms.parquet")
    accepted = table.loc[(table["spectrum_q"] <= 0.01) & ~table["is_decoy"]]
    assert len(accepted) == summary["psms_at_fdr"]
    albumin = accepted.loc[accepted["proteins"].str.contains("ALBU_BOVIN"), "peptide"].nunique()
    assert albumin >= ALBUMIN_FLOOR
    # precursor errors of accepted matches sit well inside the 10 ppm window
    assert abs(accepted["delta_mass"].median()) < 2.0


def test_demo_table_is_consistent(demo_run):
    table = pd.read_parquet(demo_run / "psms.parquet")
    decoys = table.loc[table["is_decoy"]]
    assert (decoys["label"] == -1).all() and (decoys["proteins"].str.split(";").map(
        lambda accs: all(a.startswith("rev_") for a in accs))).all()
    targets = table.loc[~table["is_decoy"]]
    assert (targets["proteins"] != "").all() and not targets["proteins"].str.contains("rev_").any()
    assert (table["rank"] == 1).all() and table["spec_id"].is_unique
    # q-values never decrease as the score falls
    ordered = table.sort_values("discriminant_score", ascending=False)
    assert (np.diff(ordered["spectrum_q"].to_numpy()) >= -1e-7).all()
    assert (table["peptide_q"] <= 1.0).all()


def test_lost_proton_convention_misses_the_floor(engine, monkeypatch, tmp_path):
    """Peaks handed over as raw m/z (no proton removed) must not pass the identification floor."""
    original = spectra.iter_batches

    def raw_mz(*args, **kwargs):
        for batch in original(*args, **kwargs):
            batch.mass = (batch.mass + np.float32(spectra.PROTON)).astype(np.float32)
            yield batch

    monkeypatch.setattr(spectra, "iter_batches", raw_mz)
    assert cli.main(["demo", "-o", str(tmp_path), "-q", "--data-dir", str(DATA)]) == 0
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["psms_at_fdr"] < PSM_FLOOR / 2


def test_synthetic_spectrum_identifies_its_peptide(engine):
    """A spectrum made of one peptide's b and y ions is matched to that peptide, at ~0 ppm."""
    from vornik_tamrel.digest import DigestSettings, digest
    from vornik_tamrel.fasta import Protein
    from vornik_tamrel.masses import PROTON, RESIDUE_MASS, WATER
    from vornik_tamrel.index import build_database
    from vornik_tamrel.score import score
    from vornik_tamrel.spectra import Spectrum

    proteins = [Protein("P1", "MKWVTFISLLLLFSSAYSRGVFRRDTHKSEIAHRFKDLGEEHFKGLVLIAFSQYLQQCPFDEHVK"),
                Protein("P2", "SEIAHRFKDLGEEHFKALVLIAFAQYLQQSPFEDHVKLVNELTEFAK")]
    peptides = digest(proteins, DigestSettings())
    target = "LVNELTEFAK"
    residues = [RESIDUE_MASS[a] for a in target]
    b = np.cumsum(residues)[:-1]
    y = (sum(residues) + WATER) - b
    mz = np.sort(np.r_[b, y] + PROTON)  # singly charged fragment m/z
    mass, intensity, tic = spectra.prepare_peaks(mz, np.full(len(mz), 100.0), spectra.PeakSettings(min_mz=50))
    precursor_mz = (sum(residues) + WATER + 2 * PROTON) / 2
    spectrum = Spectrum("synthetic", 0, 1.0, precursor_mz, 2, None, None, None, mass, intensity, tic)
    settings = SearchSettings()
    columns = score([spectrum], build_database(peptides, settings), settings, progress=False)
    assert columns["sequence"].tolist() == [target]
    assert columns["label"].tolist() == [1]
    assert columns["matched_peaks"][0] >= 2 * (len(target) - 1) - 2
    assert abs(columns["delta_mass"][0]) < 0.5


# ------------------------------------------------------------ at the edges

NO_PEAKS = "BEGIN IONS\nTITLE=a\nPEPMASS=500.3\nCHARGE=2+\n{peaks}END IONS\n"


def run_cli(*argv, stdout=None, prelude=""):
    """The command line in a fresh interpreter: (return code, standard error)."""
    import subprocess
    import sys

    script = prelude + "import sys\nfrom vornik_tamrel import cli\nsys.exit(cli.main(sys.argv[1:]))\n"
    done = subprocess.run([sys.executable, "-c", script, *map(str, argv)], stdout=stdout or subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, timeout=600)
    return done.returncode, done.stderr


@pytest.mark.parametrize("data, code, last", [("", 0, "wrote {out}/summary.json"),
                                               ("nowhere", 1, "vornik-tamrel: error: demo data not found in "
                                                          "nowhere: expected BSA1_ms2.mzML.gz and "
                                                          "18proteins_contaminants.fasta (run from the source "
                                                          "tree or pass --data-dir)")])
def test_the_program_ends_with_its_output_and_code(engine, tmp_path, data, code, last):
    """The program leaves without the interpreter's teardown: what it printed must still arrive whole."""
    import subprocess
    import sys

    out = tmp_path / "out"
    argv = [sys.executable, "-m", "vornik_tamrel", "demo", "-o", str(out)] + (["--data-dir", data] if data else [])
    done = subprocess.run(argv, capture_output=True, text=True, timeout=600, cwd=DEMO_FASTA.parent.parent)
    assert done.returncode == code
    assert (done.stdout or done.stderr).splitlines()[-1] == last.format(out=out)


@pytest.fixture
def no_peaks(tmp_path):
    path = tmp_path / "none.mgf"
    path.write_text(NO_PEAKS.format(peaks=""))
    return path


@pytest.mark.parametrize("peaks", ["", "200 -5\n300 -1\n"], ids=["no peaks", "negative peaks"])
def test_no_match_writes_empty_tables_with_every_column(engine, tmp_path, capsys, peaks):
    spectra_file = tmp_path / "one.mgf"
    spectra_file.write_text(NO_PEAKS.format(peaks=peaks))
    out = tmp_path / "out"
    again = tmp_path / "." / "one.mgf"  # the same file once more: searched again, with a warning
    assert cli.main(["search", str(spectra_file), str(again), "--fasta", str(DEMO_FASTA), "-o", str(out)]) == 0
    said = capsys.readouterr()
    assert "no spectrum matched a peptide: the tables hold the column names only\n" in said.out
    assert f"{again}: the same file as {spectra_file}, given again: its spectra are searched, and count, twice" \
        in said.err
    table = pa.parquet.read_table(out / "psms.parquet")
    assert table.num_rows == 0
    assert (out / "psms.tsv").read_text() == "\t".join(table.column_names) + "\n"
    assert set(ENGINE_COLUMNS) | {"file", "peptide", "proteins", "is_decoy"} == set(table.column_names)
    assert table.schema.field("modifications").type.value_type == pa.float32()
    summary = json.loads((out / "summary.json").read_text())
    assert summary["psms_reported"] == 0 and summary["files"] == [str(spectra_file), str(again)]


@pytest.mark.parametrize("argv, message", [
    (["--chimera", "--min-matched-peaks", "0"], "chimeric scoring needs min_matched_peaks of at least 1: with 0 "
                                                "it extracts the best peptide again and again until report_psms"),
    (["--report-psms", "4000000000"], "report_psms must lie between 1 and 1000, not 4000000000"),
    (["--min-matched-peaks", "-1"], "min_matched_peaks must lie between 0 and 65535, not -1"),
    (["--isotope-errors=-200:3"], "min_isotope_err must lie between -128 and 127, not -200"),
    (["--isotope-errors", "-200:3"], "min_isotope_err must lie between -128 and 127, not -200"),
    (["--max-fragment-charge", "300"], "max_fragment_charge must lie between 1 and 255, not 300"),
    (["--min-ion-index", "-1"], "min_ion_index must lie between 0 and 4294967295, not -1"),
    (["--max-peaks", "5000000000"], "the number of peaks to keep must lie between 1 and 4294967295, not 5000000000"),
    (["--decoy-tag", ""], "the decoy tag must not be empty: decoy proteins would be named as their targets"),
    (["--decoy-tag", "a;b"], "the decoy tag 'a;b' must hold no ';', space or control character: ';' separates a "
                             "match's proteins in the outputs"),
    (["--precursor-tol", "inf"], "the precursor tolerance must lie above 0 and below 1000000 ppm, not inf"),
    (["--precursor-tol", "1e7"], "the precursor tolerance must lie above 0 and below 1000000 ppm, not 10000000.0"),
    (["--fragment-tol", "inf"], "the fragment tolerance must be positive and finite (below 1000000 ppm), not inf"),
    (["--fragment-tol", "2e6", "--fragment-unit", "ppm"],
     "the fragment tolerance must be positive and finite (below 1000000 ppm), not 2000000.0"),
    (["--threads", "100000"], "--threads must lie between 1 and 1024, not 100000"),  # was a traceback
    (["--batch-size", "4294967296"], "batch_size must lie between 1 and 4294967295, not 4294967296"),  # the same
    (["--db-partitions", "2147483648"], "db_partitions must lie between 1 and 1024, not 2147483648"),  # the same
])
def test_settings_that_cannot_end_sensibly_are_refused(tmp_path, capsys, argv, message):
    out = tmp_path / "out"
    assert cli.main(["search", "missing.mgf", "--fasta", "x.fasta", "-o", str(out), *argv]) == 1
    assert capsys.readouterr().err == f"vornik-tamrel: error: {message}\n"
    assert not out.exists()


def test_chimeric_search_counts_a_peptide_once_per_spectrum(engine, tmp_path):
    """Every fragment twice, the copy weaker and 0.1 Da off: the copies left after the first extraction
    match the same peptide again."""
    from vornik_tamrel.masses import PROTON, RESIDUE_MASS, WATER
    from vornik_tamrel.search import run_search

    target = "LVNELTEFAK"
    residues = [RESIDUE_MASS[a] for a in target]
    b = np.cumsum(residues)[:-1]
    mz = np.r_[b, sum(residues) + WATER - b] + PROTON
    peaks = "".join(f"{m:.5f} 100\n{m + 0.1:.5f} 50\n" for m in np.sort(mz))
    precursor = (sum(residues) + WATER + 2 * PROTON) / 2
    (tmp_path / "c.mgf").write_text(f"BEGIN IONS\nTITLE=c\nPEPMASS={precursor}\nCHARGE=2+\n{peaks}END IONS\n")
    (tmp_path / "p.fasta").write_text(">P1\nSEIAHRFKDLGEEHFKALVLIAFAQYLQQSPFEDHVKLVNELTEFAK\n")
    settings = SearchSettings(chimera=True, report_psms=3, min_matched_peaks=4, rescore=False,
                              peaks=spectra.PeakSettings(min_mz=50))
    result = run_search([str(tmp_path / "c.mgf")], str(tmp_path / "p.fasta"), settings)
    assert result.table["peptide"].tolist().count(target) == 1
    assert result.summary["spectra_competing"] == len(result.table["peptide"])


@pytest.mark.parametrize("argv, needed", [
    ([], 4), (["--fragment-tol", "0.02"], 3), (["--fragment-tol", "0.1"], 3), (["--fragment-tol", "0.11"], 4),
    (["--fragment-tol", "20", "--fragment-unit", "ppm"], 3),
    (["--fragment-tol", "0.02", "--min-matched-peaks", "5"], 5), (["--min-matched-peaks", "0"], 0),
])
def test_matched_peaks_needed_follow_the_fragment_tolerance(argv, needed):
    args = cli.build_parser().parse_args(["search", "x.mgf", "--fasta", "x.fasta", "-o", "out", *argv])
    assert cli.settings_from_args(args).matched_peaks == needed


@pytest.mark.parametrize("where, message", [
    ("file", "{out}: exists and is not a directory"),
    ("file/sub", "{out}: lies under {root}/file, which exists and is not a directory"),
    ("/proc/self/out", "{out}: cannot create files in /proc/self: "),
    ("pin", "{out}: cannot write the results: psms.pin is a directory"),  # found once the search was done
    ("rollup", "{out}: cannot write the results: rollup is not a directory"),
])
def test_output_directory_is_checked_before_reading(tmp_path, capsys, where, message):
    (tmp_path / "file").write_text("")
    (tmp_path / "pin" / "psms.pin").mkdir(parents=True)
    (tmp_path / "rollup").mkdir()
    (tmp_path / "rollup" / "rollup").write_text("")
    out = where if where.startswith("/") else tmp_path / where
    assert cli.main(["search", str(tmp_path / "missing.mgf"), "--fasta", "x.fasta", "-o", str(out)]) == 1
    err = capsys.readouterr().err
    assert err.startswith("vornik-tamrel: error: " + message.format(out=out, root=tmp_path)) and err.count("\n") == 1


def test_file_size_limit_is_one_line_and_leaves_nothing(engine, tmp_path, no_peaks):
    out = tmp_path / "out"
    limit = "import resource\nresource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
    code, err = run_cli("search", no_peaks, "--fasta", DEMO_FASTA, "-o", out, "-q", prelude=limit)
    assert code == 1
    assert err.startswith(f"vornik-tamrel: error: {out}: cannot write the results: ") and err.count("\n") == 1
    assert "File too large" in err
    assert list(out.iterdir()) == []


def test_summary_that_cannot_be_printed_does_not_fail_the_search(engine, tmp_path, no_peaks):
    out = tmp_path / "out"
    with open("/dev/full", "w") as full:
        code, err = run_cli("search", no_peaks, "--fasta", DEMO_FASTA, "-o", out, stdout=full)
    assert code == 0
    assert err.endswith("vornik-tamrel: warning: results written, but the summary could not be printed: "
                        "No space left on device\n")
    names = {p.name for p in out.iterdir()}
    assert {"psms.parquet", "psms.tsv", "report.png", "summary.json"} <= names
    assert not any(name.startswith(".") for name in names)


def test_sigterm_while_writing_removes_the_staging_folder(engine, tmp_path, no_peaks):
    out = tmp_path / "out"
    # The table is half written when the signal arrives.
    stop = ("import os, signal\nfrom vornik_tamrel import report\n"
            "def write_tsv(table, path):\n    open(path, 'w').write('file_id')\n"
            "    os.kill(os.getpid(), signal.SIGTERM)\n"
            "report.write_tsv = write_tsv\n")
    code, err = run_cli("search", no_peaks, "--fasta", DEMO_FASTA, "-o", out, "-q", prelude=stop)
    assert (code, err) == (143, "vornik-tamrel: terminated\n")
    assert list(out.iterdir()) == []


@pytest.mark.parametrize("copies", [1, 2], ids=["within a file", "and across files"])
def test_repeated_titles_raise_no_numeric_warning(engine, tmp_path, copies):
    import warnings

    from vornik_tamrel.errors import InputWarning
    from vornik_tamrel.search import run_search

    lines = []
    for s in spectra.read_spectra(DEMO_SPECTRA)[:300]:
        lines.append(f"BEGIN IONS\nTITLE=same\nPEPMASS={s.precursor_mz!r}\nCHARGE={s.charge}+\n")
        lines.extend(f"{m + spectra.PROTON:.5f} {i:.1f}\n" for m, i in zip(s.mass.tolist(), s.intensity.tolist()))
        lines.append("END IONS\n")
    paths = [tmp_path / f"same{k}.mgf" for k in range(copies)]
    for path in paths:
        path.write_text("".join(lines))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("error")
        warnings.simplefilter("always", InputWarning)
        result = run_search([str(p) for p in paths], str(DEMO_FASTA), SearchSettings(), progress=False)
    assert [str(w.message) for w in caught] == [
        f"{path}: 299 spectra repeat an earlier spectrum's title; they are named with a suffix, such as 'same #2'"
        for path in paths]
    keys = list(zip(result.table["file_id"].tolist(), result.table["spec_id"].tolist()))
    assert len(keys) == len(set(keys)) > 0 and result.summary["psms_at_fdr"] > 0


@pytest.mark.parametrize("rescore", [True, False])
def test_spectra_of_random_peaks_identify_nothing(engine, tmp_path, rescore):
    """The demo's precursors with their peaks replaced by as many random ones: every match is chance, and
    the fragment-match chance levels, E-values and rescoring built on them must accept none at 1%."""
    from vornik_tamrel.search import run_search

    rng = np.random.default_rng(7)
    lines = []
    for s in spectra.read_spectra(DEMO_SPECTRA):
        mass = np.sort(rng.uniform(150.0, s.precursor_mz * s.charge, len(s.mass)))
        lines.append(f"BEGIN IONS\nTITLE={s.id}\nPEPMASS={s.precursor_mz!r}\nCHARGE={s.charge}+\n")
        lines.extend(f"{m:.4f} {i:.1f}\n" for m, i in zip(mass, rng.permutation(s.intensity)))
        lines.append("END IONS\n")
    path = tmp_path / "noise.mgf"
    path.write_text("".join(lines))
    # a wide precursor window gives every spectrum candidates to compete with
    settings = SearchSettings(rescore=rescore, precursor_ppm=300.0)
    table = run_search([str(path)], str(DEMO_FASTA), settings, progress=False).table
    targets = ~table["is_decoy"]
    assert targets.sum() > 200
    assert not (targets & (table["spectrum_q"] <= 0.01)).any() and not (targets & (table["peptide_q"] <= 0.01)).any()


@pytest.mark.parametrize("rescore", [True, False])
def test_entrapment_hits_stay_within_an_honest_allowance(engine, tmp_path, rescore):
    """Shuffled copies of every protein (K, R and P in place) can only be matched falsely. Half the false
    targets land there, so at an honest 1% their count is Poisson with mean 0.01 * accepted / 2."""
    from math import exp, factorial

    from vornik_tamrel.fasta import read_fasta
    from vornik_tamrel.search import run_search
    from vornik_tamrel.spectra import PeakSettings

    rng = np.random.default_rng(1)
    records = []
    for protein in read_fasta(DEMO_FASTA):
        letters = np.array(list(protein.sequence))
        free = np.flatnonzero(~np.isin(letters, ["K", "R", "P"]))
        letters[free] = letters[rng.permutation(free)]
        records += [f">{protein.accession}\n{protein.sequence}", f">ENTRAP_{protein.accession}\n{''.join(letters)}"]
    fasta = tmp_path / "entrapment.fasta"
    fasta.write_text("\n".join(records) + "\n")
    settings = SearchSettings(peaks=PeakSettings(max_peaks=cli.DEMO_MAX_PEAKS), rescore=rescore)
    table = run_search([str(DEMO_SPECTRA)], str(fasta), settings, progress=False).table
    targets = ~table["is_decoy"]
    entrapment = np.array([all(a.startswith("ENTRAP_") for a in p.split(";")) for p in table["proteins"]])
    for q in (table["spectrum_q"], table["peptide_q"]):
        accepted = targets & (q <= 0.01)
        hits = dict(zip(table["peptide"][accepted], entrapment[accepted]))
        n, n_e = (accepted.sum(), (accepted & entrapment).sum()) if q is table["spectrum_q"] else (
            len(hits), sum(hits.values()))
        mean = 0.01 * n / 2
        assert n >= 20 and 1 - sum(exp(-mean) * mean ** k / factorial(k) for k in range(n_e)) >= 0.05, (n, n_e)


def test_blas_runs_on_one_thread_during_the_search(engine, monkeypatch):
    # A BLAS pool of one thread per core spins while the cores are busy: error control took thirty times longer.
    threadpoolctl = pytest.importorskip("threadpoolctl")
    from vornik_tamrel import search

    seen: list = []
    control_errors = search.control_errors

    def watched(*args, **kwargs):
        seen.extend(pool["num_threads"] for pool in threadpoolctl.threadpool_info() if pool["user_api"] == "blas")
        return control_errors(*args, **kwargs)

    monkeypatch.setattr(search, "control_errors", watched)
    with threadpoolctl.threadpool_limits(2, user_api="blas"):  # as a caller's numpy may well have it
        search.run_search([str(DEMO_SPECTRA)], str(DEMO_FASTA), SearchSettings(), progress=False)
    if not seen:
        pytest.skip("numpy here uses no BLAS that threadpoolctl controls")
    assert set(seen) == {1}
