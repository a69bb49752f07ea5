"""Writing a search's results: the PSM table (TSV and Parquet), a PNG report and a JSON summary.

Every file is written under a temporary name in the output directory and
renamed into place only once all of them are complete, so an interrupted or
failed run never leaves a half-written table behind.
"""
from __future__ import annotations

import json
import os
import tempfile
import time
from pathlib import Path

import numpy as np

from .search import SearchResult, competition_rows

OUTPUT_FILES = ("psms.tsv", "psms.parquet", "report.png", "summary.json")


def _tsv_frame(table):
    flat = table.copy()
    flat["modifications"] = [",".join(f"{m:g}" for m in mods) for mods in flat["modifications"]]
    return flat


def _plot(result: SearchResult, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    table, settings = result.psms, result.settings
    compete = competition_rows(table, settings.chimera)
    rows = table.loc[compete]
    decoy = rows["is_decoy"].to_numpy()
    fig, axes = plt.subplots(2, 2, figsize=(11, 8.5), dpi=100)
    # fixed margins: an automatic layout would draw the whole figure an extra time
    fig.subplots_adjust(left=0.07, right=0.98, bottom=0.07, top=0.91, wspace=0.22, hspace=0.32)
    fig.suptitle(f"{len(result.files)} file(s), {result.summary['spectra']} MS2 spectra: "
                 f"{result.summary['psms_at_fdr']} PSMs and {result.summary['peptides_at_fdr']} peptides "
                 f"at {settings.fdr:.0%} FDR", fontsize=12)

    def histogram(ax, values, title, xlabel):
        values = np.asarray(values, dtype=np.float64)
        finite = np.isfinite(values)
        if not finite.any():
            ax.set_title(title)
            return
        bins = np.histogram_bin_edges(values[finite], bins=60)
        ax.hist(values[finite & ~decoy], bins=bins, alpha=0.6, color="tab:blue", histtype="stepfilled",
                label=f"targets ({(~decoy).sum()})")
        ax.hist(values[finite & decoy], bins=bins, alpha=0.6, color="tab:red", histtype="stepfilled",
                label=f"decoys ({decoy.sum()})")
        ax.set_title(title)
        ax.set_xlabel(xlabel)
        ax.set_ylabel("PSMs")
        ax.legend(frameon=False)

    histogram(axes[0, 0], rows["hyperscore"], "Engine score, best match per spectrum", "hyperscore")
    if result.summary.get("rescored"):
        histogram(axes[0, 1], rows["discriminant_score"], "Rescored (cross-validated discriminant)",
                  "discriminant score")
    else:
        histogram(axes[0, 1], rows["matched_peaks"], "Matched fragment peaks", "matched peaks")

    ax = axes[1, 0]
    thresholds = np.linspace(0, max(0.1, 2 * settings.fdr), 201)
    target_rows = rows.loc[~decoy]
    q_psm = np.sort(target_rows["spectrum_q"].to_numpy(np.float64))
    pep_q = target_rows.groupby("peptide")["peptide_q"].min().to_numpy(np.float64)
    ax.plot(thresholds, np.searchsorted(q_psm, thresholds, side="right"), label="PSMs")
    ax.plot(thresholds, np.searchsorted(np.sort(pep_q), thresholds, side="right"), label="peptides")
    ax.axvline(settings.fdr, color="grey", linestyle="--", linewidth=1)
    ax.set_title("Identifications against q-value")
    ax.set_xlabel("q-value threshold")
    ax.set_ylabel("accepted targets")
    ax.legend(frameon=False)

    ax = axes[1, 1]
    ppm = rows["delta_mass"].to_numpy(np.float64)
    accepted = (~decoy) & (rows["spectrum_q"].to_numpy(np.float64) <= settings.fdr)
    limit = settings.precursor_ppm
    bins = np.linspace(-limit, limit, 41) if not settings.wide_window else 60
    ax.hist(ppm[accepted], bins=bins, color="tab:green", alpha=0.7, histtype="stepfilled",
            label=f"targets at {settings.fdr:.0%} FDR ({accepted.sum()})")
    ax.hist(ppm[decoy], bins=bins, color="tab:red", alpha=0.5, histtype="stepfilled", label=f"decoys ({decoy.sum()})")
    if accepted.any():
        ax.axvline(np.median(ppm[accepted]), color="black", linewidth=1,
                   label=f"median {np.median(ppm[accepted]):+.2f} ppm")
    ax.set_title("Precursor mass error (isotope-corrected)")
    ax.set_xlabel("ppm")
    ax.set_ylabel("PSMs")
    ax.legend(frameon=False)

    fig.savefig(path)
    plt.close(fig)


def write_outputs(result: SearchResult, outdir: str | os.PathLike) -> dict[str, str]:
    """Write the table, report and summary into `outdir` (created if needed); returns name -> path."""
    clock = time.perf_counter()
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    staging = Path(tempfile.mkdtemp(prefix=".vornik-tamrel-", dir=outdir))
    try:
        _tsv_frame(result.psms).to_csv(staging / "psms.tsv", sep="\t", index=False)
        result.psms.to_parquet(staging / "psms.parquet", index=False)
        _plot(result, str(staging / "report.png"))
        result.timings["writing"] = time.perf_counter() - clock
        summary = dict(result.summary, files=result.files,
                       timings_seconds={k: round(v, 3) for k, v in result.timings.items()})
        (staging / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")
        written = {}
        for name in OUTPUT_FILES:
            os.replace(staging / name, outdir / name)
            written[name] = str(outdir / name)
        return written
    finally:
        for leftover in staging.glob("*"):
            leftover.unlink()
        staging.rmdir()
