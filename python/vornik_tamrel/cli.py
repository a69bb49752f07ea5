"""Command line: `vornik-tamrel search ...` and `vornik-tamrel demo`."""
from __future__ import annotations

import argparse
import os
import re
import signal
import sys
import textwrap
import threading
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Optional, Sequence

# Before numpy is imported, which would otherwise start an OpenBLAS thread per core: they spin at start-up and
# wherever numpy works outside the search's own limit (`search.one_blas_thread`), a sixth of the demo's CPU time.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from .errors import InputError, OutputError  # noqa: E402

if TYPE_CHECKING:
    from .drawing import DrawingHelper
    from .masses import Modification
    from .search import SearchSettings

DEMO_SPECTRA = "BSA1_ms2.mzML.gz"
DEMO_FASTA = "18proteins_contaminants.fasta"
# Low-resolution fragment spectra carry fewer real peaks: with a 0.5 Da window,
# more peaks mostly add chance matches.
DEMO_MAX_PEAKS = 75

#: The most threads a search may be given: beyond, the system may refuse to start them.
MAX_THREADS = 1024

_DEFAULTS = dict(fixed=["C:57.021464"], variable=["M:15.994915"])


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """Shows each option's default, except where there is none to show."""

    def _get_help_string(self, action):
        text = action.help or ""
        if action.default not in (None, False, argparse.SUPPRESS) and action.option_strings:
            text += " (default: %(default)s)"
        return text


def _range(text: str, what: str) -> tuple[int, int]:
    try:
        low, _, high = text.partition(":")
        return int(low), int(high if high else low)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} must look like MIN:MAX, e.g. -1:3, not {text!r}") from None


def _isotopes(text: str) -> tuple[int, int]:
    return _range(text, "isotope errors")


def _charges(text: str) -> tuple[int, int]:
    return _range(text, "charges")


def _optional_int(text: str) -> Optional[int]:
    if text.lower() == "none":
        return None
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer or 'none', not {text!r}") from None


def _modification(text: str) -> Optional[Modification]:
    from .masses import Modification

    if text.lower() == "none":
        return None
    try:
        return Modification.parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _add_search_options(parser: argparse.ArgumentParser) -> None:
    from .digest import ENZYMES

    g = parser.add_argument_group("digestion")
    g.add_argument("--enzyme", choices=sorted(ENZYMES), default="trypsin",
                   help="protease; trypsin cleaves after K or R unless followed by P (trypsin/p: even before P)")
    g.add_argument("--missed-cleavages", type=int, default=1, metavar="N",
                   help="most internal cleavage sites a peptide may span")
    g.add_argument("--min-length", type=int, default=7, metavar="N", help="shortest peptide, in residues")
    g.add_argument("--max-length", type=int, default=50, metavar="N", help="longest peptide, in residues")
    g.add_argument("--min-mass", type=float, default=500.0, metavar="DA",
                   help="lightest peptide (neutral monoisotopic mass, modifications included)")
    g.add_argument("--max-mass", type=float, default=5000.0, metavar="DA", help="heaviest peptide")
    g.add_argument("--fixed-mod", type=_modification, action="append", metavar="SITES:MASS",
                   help="fixed modification, repeatable; SITES are residue letters, ^ (peptide N-terminus) "
                        "or $ (C-terminus); 'none' for no fixed modification "
                        f"(default: {' '.join(_DEFAULTS['fixed'])}, carbamidomethyl C)")
    g.add_argument("--variable-mod", type=_modification, action="append", metavar="SITES:MASS",
                   help="variable modification, repeatable, same syntax; 'none' for none "
                        f"(default: {' '.join(_DEFAULTS['variable'])}, oxidised M)")
    g.add_argument("--max-variable-mods", type=int, default=2, metavar="K",
                   help="most variable modifications on one peptide")

    g = parser.add_argument_group("spectra")
    g.add_argument("--max-peaks", type=int, default=150, metavar="N",
                   help="keep this many most intense fragment peaks per spectrum (ion-trap spectra, "
                        "searched with a wide fragment window, often do better with fewer, e.g. 75)")
    g.add_argument("--min-mz", type=float, default=150.0, metavar="MZ", help="ignore fragment peaks below this m/z")
    g.add_argument("--max-mz", type=float, default=4000.0, metavar="MZ", help="ignore fragment peaks above this m/z")
    g.add_argument("--skip-bad-precursors", action="store_true",
                   help="skip spectra whose precursor m/z is not a positive 32-bit number or whose charge is "
                        "above 255, with one warning per file, instead of stopping at the first")

    g = parser.add_argument_group("matching")
    g.add_argument("--precursor-tol", type=float, default=10.0, metavar="PPM",
                   help="precursor mass tolerance, +/- parts per million")
    g.add_argument("--fragment-tol", type=float, default=0.5, metavar="TOL",
                   help="fragment tolerance, +/- in --fragment-unit (0.5 Da suits ion-trap MS2; "
                        "use e.g. 20 ppm for Orbitrap or TOF MS2)")
    g.add_argument("--fragment-unit", choices=("da", "ppm"), default="da", help="unit of --fragment-tol")
    g.add_argument("--isotope-errors", type=_isotopes, default="0:1", metavar="MIN:MAX",
                   help="precursor isotope errors to try (the instrument may pick a 13C peak as monoisotopic), "
                        "e.g. -1:3")
    g.add_argument("--charges", type=_charges, default="2:4", metavar="MIN:MAX",
                   help="precursor charges tried when a spectrum does not state its charge")
    g.add_argument("--max-fragment-charge", type=_optional_int, default=2, metavar="N",
                   help="highest fragment charge tried ('none': up to the precursor charge minus one)")
    g.add_argument("--min-matched-peaks", type=int, default=None, metavar="N",
                   help="matches with fewer matched fragment peaks are not reported (default: 3 with a fragment "
                        "tolerance in ppm or of at most 0.1 Da, else 4)")
    g.add_argument("--min-ion-index", type=int, default=2, metavar="N",
                   help="fragments of N residues or fewer are left out of the index (they still count in scoring)")
    g.add_argument("--report-psms", type=int, default=1, metavar="N", help="matches reported per spectrum")
    g.add_argument("--chimera", action="store_true",
                   help="extract co-isolated peptides one after another (each counts as a PSM)")
    g.add_argument("--wide-window", action="store_true",
                   help="search each precursor charge within the isolation window instead of --precursor-tol "
                        "(+/- 2.4 m/z where a spectrum states no window)")
    g.add_argument("--decoy-tag", default="rev_", metavar="TAG", help="prefix of decoy protein accessions in the output")
    g.add_argument("--bucket-size", type=int, default=8192, metavar="N", help="fragments per index bucket")

    g = parser.add_argument_group("error control")
    g.add_argument("--fdr", type=float, default=0.01, metavar="RATE", help="false discovery rate reported and used in the report")
    g.add_argument("--conservative-fdr", action="store_true",
                   help="estimate the FDR as (decoys + 1) / targets instead of decoys / targets "
                        "(guaranteed control even with few decoys; accepts nothing below ~1/RATE targets)")
    g.add_argument("--no-rescore", action="store_true",
                   help="rank by the E-value from each spectrum's own score distribution alone, without the learned discriminant")

    _add_runtime_options(parser)


def _add_runtime_options(parser: argparse.ArgumentParser) -> None:
    g = parser.add_argument_group("runtime")
    g.add_argument("--threads", type=int, metavar="N",
                   help="scoring threads (default: every processor available)")
    g.add_argument("--batch-size", type=int, default=2000, metavar="N", help="spectra scored per engine call")
    g.add_argument("--cluster", metavar="ADDRESS",
                   help="score on a Dask cluster: tcp://HOST:PORT of a running scheduler, or local:N to start N "
                        "worker processes here (needs pip install 'vornik-tamrel[cluster]')")
    g.add_argument("--db-partitions", type=int, default=1, metavar="K",
                   help="split the database into K slices by precursor mass and hold one slice's index at a time "
                        "(for databases larger than one process's memory)")
    g.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors (no progress bar)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vornik-tamrel",
        description="Identify peptides in tandem mass spectra by fragment-index database search.",
        formatter_class=_Formatter,
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    search = sub.add_parser(
        "search", formatter_class=_Formatter,
        help="search spectrum files against a protein FASTA",
        description=textwrap.dedent("""\
            Search the MS2 spectra of mzML or MGF files (optionally gzip-compressed)
            against the peptides of a protein FASTA, with reversed decoys, and control
            the false discovery rate by target-decoy competition.

            Writes into OUTDIR:
              psms.tsv, psms.parquet  one row per reported match: the engine's 38 columns,
                                      plus file, peptide (with modification masses),
                                      proteins and is_decoy; spectrum_q and peptide_q
                                      hold the q-values, discriminant_score the score
                                      they were computed from
              rollup/peptides.tsv/.parquet
                                      the best match of each peptide, with its peptide
                                      q-value and posterior error
              rollup/proteins.tsv/.parquet
                                      protein groups (parsimony, razor peptides) with
                                      protein-level q-values and coverage
              report.png              score distributions, identifications against
                                      q-value, precursor mass error, protein groups,
                                      retention time predicted against observed
              summary.json            counts, timings and files
              psms.pin, psms.mzid     with --pin, --mzid (see below)
            """),
        epilog="example: vornik-tamrel search run1.mzML run2.mgf.gz --fasta human.fasta -o results/")
    search.add_argument("spectra", nargs="+", metavar="SPECTRA", help="mzML or MGF files, plain or .gz")
    search.add_argument("--fasta", required=True, help="protein sequences (FASTA, plain or .gz)")
    search.add_argument("-o", "--output-dir", required=True, metavar="OUTDIR", help="directory for the results")
    _add_search_options(search)
    g = search.add_argument_group("files for other tools")
    g.add_argument("--pin", action="store_true", help="also write psms.pin, the matches and their features as "
                                                        "Percolator input (readable by Percolator and mokapot)")
    g.add_argument("--mzid", action="store_true", help="also write psms.mzid, the matches as mzIdentML 1.2")

    demo = sub.add_parser(
        "demo", formatter_class=_Formatter,
        help="search the bundled BSA demo run",
        description=textwrap.fill(
            "Search the bundled demo data: the 1120 MS2 scans of a BSA digest (LTQ Orbitrap XL, ion-trap CID) "
            "against the 18-protein mix and common contaminants, with the default settings of `search` except "
            f"--max-peaks {DEMO_MAX_PEAKS}, which suits ion-trap fragment spectra. Writes the same files as "
            "`search`.", 79))
    demo.add_argument("-o", "--output-dir", default="vornik-tamrel-demo", metavar="OUTDIR",
                      help="directory for the results")
    demo.add_argument("--data-dir", help=f"directory holding {DEMO_SPECTRA} and {DEMO_FASTA} "
                                         "(default: the bundled data/ directory)")
    _add_runtime_options(demo)
    return parser


def find_demo_data(explicit: Optional[str] = None) -> Path:
    """The directory with the demo files: explicit, $VORNIK_TAMREL_DATA, installed, source tree or ./data."""
    here = Path(__file__).resolve().parent
    candidates = [explicit] if explicit else [os.environ.get("VORNIK_TAMREL_DATA"), here / "data",
                                              here.parent.parent / "data", Path.cwd() / "data"]
    for candidate in candidates:
        if candidate and (Path(candidate) / DEMO_SPECTRA).is_file() and (Path(candidate) / DEMO_FASTA).is_file():
            return Path(candidate)
    where = explicit or "the bundled data/ directory"
    raise InputError(f"demo data not found in {where}: expected {DEMO_SPECTRA} and {DEMO_FASTA} "
                     "(run from the source tree or pass --data-dir)")


def _mods(given, default) -> tuple[Modification, ...]:
    from .masses import Modification

    if given is None:
        return tuple(Modification.parse(text) for text in default)
    return tuple(m for m in given if m is not None)


def settings_from_args(args) -> SearchSettings:
    from .digest import DigestSettings
    from .masses import ModificationSettings
    from .search import SearchSettings
    from .spectra import PeakSettings

    if not hasattr(args, "enzyme"):  # the demo: defaults, with the peak count suited to ion-trap MS2
        return SearchSettings(peaks=PeakSettings(max_peaks=DEMO_MAX_PEAKS), batch_size=args.batch_size,
                              db_partitions=args.db_partitions)
    mods = ModificationSettings(fixed=_mods(args.fixed_mod, _DEFAULTS["fixed"]),
                                variable=_mods(args.variable_mod, _DEFAULTS["variable"]),
                                max_variable=args.max_variable_mods)
    return SearchSettings(
        digest=DigestSettings(enzyme=args.enzyme, missed_cleavages=args.missed_cleavages,
                              min_length=args.min_length, max_length=args.max_length,
                              min_mass=args.min_mass, max_mass=args.max_mass, mods=mods),
        peaks=PeakSettings(max_peaks=args.max_peaks, min_mz=args.min_mz, max_mz=args.max_mz),
        precursor_ppm=args.precursor_tol, fragment_tol=args.fragment_tol, fragment_unit=args.fragment_unit,
        min_isotope_err=args.isotope_errors[0], max_isotope_err=args.isotope_errors[1],
        min_precursor_charge=args.charges[0], max_precursor_charge=args.charges[1],
        max_fragment_charge=args.max_fragment_charge, min_matched_peaks=args.min_matched_peaks,
        min_ion_index=args.min_ion_index, report_psms=args.report_psms, chimera=args.chimera,
        wide_window=args.wide_window, bucket_size=args.bucket_size, decoy_tag=args.decoy_tag,
        skip_bad_precursors=args.skip_bad_precursors,
        rescore=not args.no_rescore, fdr=args.fdr, conservative_fdr=args.conservative_fdr,
        batch_size=args.batch_size, db_partitions=args.db_partitions)


def _print_summary(result, written: dict[str, str]) -> None:
    s = result.summary
    print(f"{s['spectra']} MS2 spectra, {s['peptides_searched']} peptides searched (plus decoys)")
    if s["rescored"]:
        how = "rescored by the cross-validated discriminant"
    elif result.settings.rescore:
        how = "ranked by E-value: the discriminant did not beat it on held-out spectra"
    else:
        how = "ranked by E-value"
    print(f"at {s['fdr']:.0%} FDR ({how}): {s['psms_at_fdr']} PSMs, {s['peptides_at_fdr']} distinct peptides"
          f", {s['protein_groups_at_fdr']} protein groups (E-value alone: {s['psms_at_fdr_calibrated']} PSMs)")
    if not s["psms_reported"]:
        print("no spectrum matched a peptide: the tables hold the column names only")
    if "db_partitions" in s:
        d = s["db_partitions"]
        print(f"database in {d['slices']} slices by mass: the merge may differ from one search of the whole "
              f"database in the rows of {d['rows_may_differ']} and the chance level of {d['tails_may_differ']} "
              f"of {d['spectra']} spectra")
    total = sum(result.timings.values())
    print("time: " + ", ".join(f"{k} {v:.2f}s" for k, v in result.timings.items()) + f"; total {total:.2f}s")
    for path in written.values():
        print(f"wrote {path}")


def _run(args, helper: DrawingHelper | None = None) -> int:
    if args.threads is not None:
        if not 1 <= args.threads <= MAX_THREADS:  # each a thread of the engine's pool and of rescoring
            raise InputError(f"--threads must lie between 1 and {MAX_THREADS}, not {args.threads}")
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)  # read when the engine's pool starts
    try:
        settings = settings_from_args(args)
    except ValueError as exc:
        raise InputError(str(exc)) from None
    if args.command == "demo":
        data = find_demo_data(args.data_dir)
        spectra, fasta = [str(data / DEMO_SPECTRA)], str(data / DEMO_FASTA)
    else:
        spectra, fasta = args.spectra, args.fasta
    from .drawing import lending
    from .report import DrawingHelper, check_output_dir, write_outputs
    from .search import run_search

    check_output_dir(args.output_dir)

    log = (lambda message: None) if args.quiet else (lambda message: print(message, file=sys.stderr))
    # The helper forked by `run`, before the process had any thread, also takes a share of the work after
    # scoring (its processor is idle until the report is drawn); one forked here, where the caller's threads
    # may hold locks the child would wait for, only draws.
    lent = helper
    if helper is None:
        helper = DrawingHelper.start()  # gets the report's drawing ready while the search runs
    try:
        with lending(lent):
            result = run_search(spectra, fasta, settings, progress=False if args.quiet else None, log=log,
                                cluster=args.cluster)
        formats = [f for f in ("pin", "mzid") if getattr(args, f, False)]
        try:
            written = write_outputs(result, args.output_dir, formats, helper)
        except OSError as exc:
            raise OutputError(f"{args.output_dir}: cannot write the results: {exc.strerror or exc}") from None
    finally:
        if helper is not None:
            helper.close()
    if not args.quiet:
        try:
            _print_summary(result, written)
            sys.stdout.flush()
        except OSError as exc:  # stdout closed or full: the results are written all the same
            _discard_stdout()
            print(f"vornik-tamrel: warning: results written, but the summary could not be printed: "
                  f"{exc.strerror or exc}", file=sys.stderr)
    return 0


def _discard_stdout() -> None:
    """Point standard output at the null device, so the text still buffered cannot fail again at exit."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass  # not a real file: nothing is flushed at exit


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised where the program is, so that the clean-up of Ctrl-C runs too."""


def _terminate(signum, frame):
    raise Terminated


def _warning_line(message, category, filename, lineno, file=None, line=None) -> None:
    print(f"vornik-tamrel: warning: {message}", file=sys.stderr)


#: Options whose value may begin with a minus sign.
RANGE_OPTIONS = ("--isotope-errors", "--charges")


def _joined_ranges(argv: Sequence[str]) -> list[str]:
    """`argv` with each range option joined to a value that begins with a minus sign ('--isotope-errors
    -1:3' as '--isotope-errors=-1:3'), which argparse would otherwise take for an option of its own."""
    out: list[str] = []
    for arg in argv:
        if out and out[-1] in RANGE_OPTIONS and re.fullmatch(r"-\d+:-?\d+", arg):
            out[-1] += "=" + arg
        else:
            out.append(arg)
    return out


def main(argv: Optional[Sequence[str]] = None, helper: DrawingHelper | None = None) -> int:
    """The command line on `argv` (default: the program's arguments); returns the exit status. `helper`: the
    report's drawing process, when the caller has started it (see `run`), else started before the search."""
    args = build_parser().parse_args(_joined_ranges(sys.argv[1:] if argv is None else argv))
    handling = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _terminate) if handling else None
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _warning_line
            return _run(args, helper)
    except InputError as exc:
        print(f"vornik-tamrel: error: {exc}", file=sys.stderr)
        return 1
    except Terminated:
        print("vornik-tamrel: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    except KeyboardInterrupt:
        print("vornik-tamrel: interrupted", file=sys.stderr)
        return 130
    finally:
        if handling:
            signal.signal(signal.SIGTERM, previous)


def run() -> None:
    """The program (`vornik-tamrel`, `python -m vornik_tamrel`): `main`, after which the process ends at once,
    its output flushed, without the interpreter's teardown of every module and object (20 to 30 ms of
    processor time, about a twentieth of the demo's). Where Dask was loaded (`--cluster`), the interpreter ends as usual, running
    the handlers Dask leaves for its exit."""
    from .drawing import DrawingHelper

    helper = None
    if sys.argv[1:2] in (["search"], ["demo"]):
        # The report's drawing process is forked early, once numpy and the drawing code are loaded (for both
        # processes): it loads Pillow and makes its canvas on another core while this one starts the search.
        from . import plot  # noqa: F401

        helper = DrawingHelper.start(preload=("vornik_tamrel.rescore",))  # for the work it shares (see `_run`)
    try:
        code = main(helper=helper)
    finally:
        if helper is not None:
            helper.close()
    if "distributed" in sys.modules:
        sys.exit(code)
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):  # closed: `main` has said what it could
            pass
    os._exit(code)


if __name__ == "__main__":
    run()
