"""Drawing the PNG report, in this process or in a helper process.

Importing matplotlib and drawing four panels costs about a second of CPU,
longer than the whole search of a small run. `ReportProcess` therefore
starts a second interpreter (`python -m vornik_tamrel.plot`) at the very
beginning of a run: it imports matplotlib and lays out the empty figure while
the search runs, then waits for one line on its standard input naming a
pickle of the panel data (`report_data`) and the PNG to write. The helper
imports only numpy, matplotlib and this module, never the engine.

The drawing uses few artists: fills made by `fill_between` (a collection,
whose data limits are cheap, unlike the polygons of `hist`), legends placed
at a fixed corner (placing one "best" tests it against every artist) and
fixed margins (an automatic layout draws the whole figure once more), and
titles at a fixed height. The helper draws the empty figure once while it
waits (unless the data is already there), which loads the fonts and makes
the tick artists that the report's drawing then reuses; and at most TICKS
intervals per axis, tick labels being most of the drawing.
"""
from __future__ import annotations

import os
import pickle
import select
import subprocess
import sys
from pathlib import Path
from typing import Optional

import numpy as np

TARGET, DECOY, ACCEPTED = "tab:blue", "tab:red", "tab:green"
TITLE_Y = 1.0  # panel titles placed by hand: placing them automatically measures every tick label first
TICKS = 6  # at most this many intervals per axis: laying out and rasterising tick labels is most of the drawing
HEADROOM = 1.5  # the mass-error panel's height over its tallest bar: the top third holds the legend alone


def report_data(table, summary: dict, settings, n_files: int, proteins=None) -> dict:
    """The few arrays and texts the report shows, from a PSM table (see `search.psm_table`) and the
    protein groups (see `proteins.infer_proteins`)."""
    from .control import competition_rows

    compete = competition_rows(table, settings.chimera)
    decoy = np.asarray(table["is_decoy"], dtype=bool)[compete]
    column = lambda name: np.asarray(table[name], dtype=np.float64)[compete]  # noqa: E731
    spectrum_q = column("spectrum_q")
    targets = ~decoy
    # peptide q-values: one per distinct target peptide (its best row's value)
    best: dict = {}
    for peptide, q in zip(np.asarray(table["peptide"], dtype=object)[compete][targets].tolist(),
                          column("peptide_q")[targets].tolist()):
        if not q >= best.get(peptide, np.inf):
            best[peptide] = q
    rescored = bool(summary.get("rescored"))
    return {
        "title": (f"{n_files} file(s), {summary['spectra']} MS2 spectra: {summary['psms_at_fdr']} PSMs and "
                  f"{summary['peptides_at_fdr']} peptides at {settings.fdr:.0%} FDR"),
        "decoy": decoy,
        "hyperscore": column("hyperscore"),
        "second": column("discriminant_score") if rescored else column("matched_peaks"),
        "second_title": "Rescored (cross-validated discriminant)" if rescored else "Matched fragment peaks",
        "second_label": "discriminant score" if rescored else "matched peaks",
        "psm_q": np.sort(spectrum_q[targets]),
        "peptide_q": np.sort(np.fromiter(best.values(), dtype=np.float64, count=len(best))),
        "fdr": settings.fdr,
        "delta_mass": column("delta_mass"),
        "accepted": targets & (spectrum_q <= settings.fdr),
        "ppm_limit": None if settings.wide_window else settings.precursor_ppm,
        "protein_q": np.sort(np.asarray(proteins["protein_q"], dtype=np.float64)[~proteins["is_decoy"]])
        if proteins is not None else np.empty(0),
        "rt": column("aligned_rt")[targets & (spectrum_q <= settings.fdr)],
        "predicted_rt": column("predicted_rt")[targets & (spectrum_q <= settings.fdr)]
        if summary.get("rt_model") else None,
    }


class _Figure:
    """The report's figure with its fixed parts laid out; `finish` adds the data and writes the PNG."""

    def __init__(self):
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
        from matplotlib.ticker import MaxNLocator

        self.figure = Figure(figsize=(11, 12.5), dpi=100)
        FigureCanvasAgg(self.figure)
        self.axes = self.figure.subplots(3, 2)
        self.figure.subplots_adjust(left=0.07, right=0.98, bottom=0.05, top=0.93, wspace=0.22, hspace=0.34)
        (a, b), (c, d), (e, f) = self.axes
        a.set_title("Engine score, best match per spectrum", y=TITLE_Y)
        a.set_xlabel("hyperscore")
        c.set_title("Identifications against q-value", y=TITLE_Y)
        c.set_xlabel("q-value threshold")
        c.set_ylabel("accepted targets")
        d.set_title("Precursor mass error (isotope-corrected)", y=TITLE_Y)
        d.set_xlabel("ppm")
        for ax in (a, b, d):
            ax.set_ylabel("PSMs")
        e.set_title("Protein groups against q-value (picked target-decoy)", y=TITLE_Y)
        e.set_xlabel("protein-level q-value threshold")
        e.set_ylabel("accepted target groups")
        f.set_title("Retention time of accepted PSMs", y=TITLE_Y)
        f.set_xlabel("observed (aligned), min")
        f.set_ylabel("predicted without the match's own time, min")
        for ax in self.axes.flat:  # counts: a run of a few groups gets no ticks at 0.5, 1.5, ...
            ax.xaxis.set_major_locator(MaxNLocator(TICKS))
            ax.yaxis.set_major_locator(MaxNLocator(TICKS, integer=ax is not f))

    def finish(self, data: dict, path: str) -> None:
        (a, b), (c, d), (e, f) = self.axes
        self.figure.suptitle(data["title"], fontsize=12)
        decoy = data["decoy"]
        _histograms(a, data["hyperscore"], decoy)
        b.set_title(data["second_title"], y=TITLE_Y)
        b.set_xlabel(data["second_label"])
        _histograms(b, data["second"], decoy)

        fdr = data["fdr"]
        thresholds = np.linspace(0, max(0.1, 2 * fdr), 201)
        c.plot(thresholds, np.searchsorted(data["psm_q"], thresholds, side="right"), label="PSMs")
        c.plot(thresholds, np.searchsorted(data["peptide_q"], thresholds, side="right"), label="peptides")
        c.axvline(fdr, color="grey", linestyle="--", linewidth=1)
        c.set_ylim(bottom=0)
        c.legend(frameon=False, loc="center right")

        ppm, accepted = data["delta_mass"], data["accepted"]
        finite = np.isfinite(ppm)
        limit = data["ppm_limit"]
        if limit is not None:
            edges = np.linspace(-limit, limit, 41)
        else:
            edges = np.histogram_bin_edges(ppm[finite], bins=60) if finite.any() else np.linspace(-1, 1, 61)
        tallest = max(_fill(d, ppm[accepted & finite], edges, ACCEPTED, 0.7,
                            f"targets at {fdr:.0%} FDR ({accepted.sum()})"),
                      _fill(d, ppm[decoy & finite], edges, DECOY, 0.5, f"decoys ({decoy.sum()})"), 1)
        d.set_ylim(0, HEADROOM * tallest)
        if accepted.any():  # the median's line stops at the tallest bar, below the legend
            median = float(np.median(ppm[accepted]))
            d.axvline(median, ymax=1 / HEADROOM, color="black", linewidth=1, label=f"median {median:+.2f} ppm")
        d.legend(frameon=False, loc="upper right")

        e.plot(thresholds, np.searchsorted(data["protein_q"], thresholds, side="right"), color=ACCEPTED,
               label="protein groups")
        e.axvline(fdr, color="grey", linestyle="--", linewidth=1)
        e.set_ylim(bottom=0)
        e.legend(frameon=False, loc="center right")

        observed, predicted = data["rt"], data["predicted_rt"]
        if predicted is None or len(observed) < 3:
            f.text(0.5, 0.5, "too few confident peptides for a model", ha="center", va="center",
                   transform=f.transAxes)
        else:
            r = float(np.corrcoef(observed, predicted)[0, 1])
            f.scatter(observed, predicted, s=6, color=TARGET, alpha=0.6, linewidths=0,
                      label=f"{len(observed)} PSMs, Pearson r {r:.3f}")
            low, high = float(min(observed.min(), predicted.min())), float(max(observed.max(), predicted.max()))
            f.plot([low, high], [low, high], color="grey", linewidth=1)
            f.legend(frameon=False, loc="upper left")
        self.figure.savefig(path, pil_kwargs={"compress_level": 1})


def _fill(ax, values, edges, color, alpha, label) -> int:
    """A histogram of `values` as one filled step curve; returns its tallest count."""
    counts, _ = np.histogram(values, bins=edges)
    ax.fill_between(edges, np.append(counts, counts[-1:]), step="post", color=color, alpha=alpha, label=label,
                    linewidth=0)
    return int(counts.max(initial=0))


def _histograms(ax, values, decoy) -> None:
    finite = np.isfinite(values)
    if not finite.any():
        return
    edges = np.histogram_bin_edges(values[finite], bins=60)
    _fill(ax, values[finite & ~decoy], edges, TARGET, 0.6, f"targets ({(~decoy).sum()})")
    _fill(ax, values[finite & decoy], edges, DECOY, 0.6, f"decoys ({decoy.sum()})")
    ax.legend(frameon=False, loc="upper right")


def draw(data: dict, path: str) -> None:
    """Write the report for `data` (from `report_data`) to the PNG `path`, in this process."""
    _Figure().finish(data, path)


class ReportProcess:
    """A helper interpreter that draws one report; start it early, hand it the data later.

    Owns the child process: `close` (or leaving a with-block) ends it if it
    has not finished. `draw` returns once the PNG is written; if the helper
    could not be started or failed, it draws in this process instead, so a
    real drawing error surfaces here with its own message.
    """

    def __init__(self):
        root = str(Path(__file__).resolve().parent.parent)
        env = dict(os.environ, MPLBACKEND="Agg",
                   PYTHONPATH=os.pathsep.join(filter(None, [root, os.environ.get("PYTHONPATH")])))
        try:
            self._child: Optional[subprocess.Popen] = subprocess.Popen(
                [sys.executable, "-m", "vornik_tamrel.plot"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, env=env) if sys.executable else None
        except OSError:
            self._child = None

    def draw(self, data: dict, path: str) -> None:
        child, self._child = self._child, None
        if child is not None:
            payload = str(path) + ".data"
            with open(payload, "wb") as handle:
                pickle.dump(data, handle, protocol=pickle.HIGHEST_PROTOCOL)
            try:
                child.stdin.write(f"{payload}\t{path}\n".encode())
                child.stdin.close()
            except OSError:
                pass  # it died early: its exit status says so
            status = child.wait()
            os.unlink(payload)
            if status == 0 and os.path.exists(path):
                return
        draw(data, path)

    def close(self) -> None:
        child, self._child = self._child, None
        if child is not None:
            child.kill()
            child.wait()
            child.stdin.close()

    def __enter__(self) -> "ReportProcess":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _serve() -> int:
    """Helper side: prepare the figure, then draw the one report named on standard input; ends the process
    once it is drawn."""
    figure = _Figure()
    if not select.select([sys.stdin], [], [], 0)[0]:  # warming up is worth it only while the data is not there
        for ax in figure.axes.flat:  # as many ticks as the data can ask for, made now rather than then
            ax.xaxis.get_major_ticks(TICKS + 3)
            ax.yaxis.get_major_ticks(TICKS + 3)
        figure.figure.canvas.draw()
    line = sys.stdin.readline().rstrip("\n")
    if not line:
        return 0  # the run ended without a report
    payload, path = line.split("\t")
    with open(payload, "rb") as handle:
        data = pickle.load(handle)
    figure.finish(data, path)
    # The PNG is written and closed. Tearing down matplotlib's modules at exit would take a fifth of a
    # second, which the search, waiting for this process to end, would spend idle.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(_serve())
