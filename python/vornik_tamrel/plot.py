"""Drawing the PNG report: six panels rasterised with Pillow.

The report is small (a few histograms, curves and a scatter); a plotting
library's imports and layout cost more than a second of CPU, longer than the
whole search of a small run. Pillow draws it in tens of milliseconds, so it
is drawn in this process once the results are known. It is drawn at twice
its size and halved, which smooths its edges; every part is placed at a fixed
position (fractions of the figure), and each axis shows at most TICKS
intervals at round steps.
"""
from __future__ import annotations

from functools import lru_cache
from typing import Optional

import numpy as np

from .rt import median as rt_median

TARGET, DECOY, ACCEPTED = (31, 119, 180), (214, 39, 40), (44, 160, 44)
SECOND, GREY, BLACK = (255, 127, 14), (128, 128, 128), (0, 0, 0)
SIZE = (1100, 1250)  # pixels of the written PNG
SCALE = 2  # drawn at this multiple of SIZE, then reduced: smooth lines and text
TICKS = 6  # at most this many intervals per axis
HEADROOM = 1.5  # the mass-error panel's height over its tallest bar: the top third holds the legend alone
MARGIN = 0.05  # share of a data range left free on either side
# The panels' grid, in fractions of the figure (left, right, bottom, top, and the gaps as shares of a panel).
LEFT, RIGHT, BOTTOM, TOP, WSPACE, HSPACE = 0.07, 0.98, 0.05, 0.93, 0.22, 0.34
# Text sizes in pixels of the written PNG.
TITLE_PX, LABEL_PX = 17, 14
BAND = 48  # rows of a panel's drawing pasted at a time (see `_Panel._put`)


def first_panel(table, settings) -> dict:
    """What the report's first panel shows, from a PSM table as soon as its rows are scored (their order
    aside): the engine's score of the competing rows and their decoy flags, as `report_data` has them."""
    from .control import competition_rows

    compete = competition_rows(table, settings.chimera)
    return {"decoy": np.asarray(table["is_decoy"], dtype=bool)[compete],
            "hyperscore": np.asarray(table["hyperscore"], dtype=np.float64)[compete]}


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


@lru_cache(maxsize=None)
def _font(px: int):
    from PIL import ImageFont

    return ImageFont.load_default(px * SCALE)


@lru_cache(maxsize=None)
def _bbox(px: int, text: str) -> tuple[int, int, int, int]:
    """The ink box of `text` at `px` (the report's tick labels repeat from panel to panel)."""
    return _font(px).getbbox(text)


def _text_size(px: int, text: str) -> tuple[int, int]:
    left, top, right, bottom = _bbox(px, text)
    return right - left, bottom - top


def _text(draw, x: float, y: float, text: str, px: int, align: str = "l", valign: str = "t",
          fill=BLACK) -> tuple[float, float, float, float]:
    """Draw `text` with its box's left, centre or right (`align`: l, c, r) at `x` and its top, middle or bottom
    (`valign`: t, m, b) at `y`; returns the box."""
    font = _font(px)
    left, top, right, bottom = _bbox(px, text)
    x0 = x - {"l": 0, "c": (right - left) / 2, "r": right - left}[align]
    y0 = y - {"t": 0, "m": (bottom - top) / 2, "b": bottom - top}[valign]
    draw.text((x0 - left, y0 - top), text, font=font, fill=fill)
    return x0, y0, x0 + right - left, y0 + bottom - top


def nice_ticks(low: float, high: float, integer: bool = False) -> np.ndarray:
    """Round values within [low, high] at the smallest step of 1, 2, 2.5 or 5 times a power of ten (whole
    numbers only, when `integer`) that leaves at most TICKS intervals."""
    span = high - low
    if not np.isfinite(span) or span <= 0:
        return np.array([low]) if np.isfinite(low) else np.empty(0)
    magnitude = 10.0 ** np.floor(np.log10(span / TICKS))
    for step in magnitude * np.array([1, 2, 2.5, 5, 10, 20]):
        if integer and step != round(step):
            if step > 1:
                continue
            step = 1.0
        first, last = np.ceil(low / step - 1e-9), np.floor(high / step + 1e-9)
        if last - first <= TICKS:
            return np.arange(first, last + 1) * step + 0.0  # no negative zero
    return np.array([low, high])


def _tick_label(value: float, step: float) -> str:
    digits = max(0, -int(np.floor(np.log10(step) + 1e-9))) if step > 0 else 0
    digits += 1 if step > 0 and round(step / 10.0 ** -digits, 6) % 1 else 0  # steps of 2.5
    text = f"{value:.{digits}f}"
    return "0" if float(text) == 0 else text


def _limits(values: np.ndarray, floor: Optional[float] = None) -> tuple[float, float]:
    """The data range with MARGIN on either side (from `floor` exactly, when given)."""
    values = np.asarray(values, dtype=np.float64)
    values = values[np.isfinite(values)]
    low, high = (float(values.min()), float(values.max())) if len(values) else (0.0, 1.0)
    if high <= low:
        low, high = low - 0.5, high + 0.5
    pad = MARGIN * (high - low)
    return (floor, high + pad) if floor is not None else (low - pad, high + pad)


class _Panel:
    """One set of axes: a box on the canvas, data limits, and what is drawn into it (clipped to the box).

    `legend_box` and `boxes` (the canvas boxes of the legend and of the data drawn, by name) are kept for
    checking the layout."""

    def __init__(self, canvas, box: tuple[float, float, float, float]):
        self.canvas, self.box = canvas, box
        self.xlim = self.ylim = (0.0, 1.0)
        self.legend: list = []
        self.legend_box: Optional[tuple] = None
        self.boxes: dict[str, tuple] = {}

    def x(self, values) -> np.ndarray:
        x0, _, x1, _ = self.box
        return x0 + (np.asarray(values, dtype=np.float64) - self.xlim[0]) / (self.xlim[1] - self.xlim[0]) * (x1 - x0)

    def y(self, values) -> np.ndarray:
        _, y0, _, y1 = self.box
        return y1 - (np.asarray(values, dtype=np.float64) - self.ylim[0]) / (self.ylim[1] - self.ylim[0]) * (y1 - y0)

    def _layer(self):
        """A coverage mask over the box (0: untouched, 255: covered) and a drawing on it (canvas points go
        through `_shift`): painted in one colour by `_put`, what is drawn is clipped to the box."""
        from PIL import Image, ImageDraw

        x0, y0, x1, y1 = self._pixels()
        layer = Image.new("L", (x1 - x0 + 1, y1 - y0 + 1), 0)
        return layer, ImageDraw.Draw(layer)

    def _pixels(self) -> tuple[int, int, int, int]:
        return tuple(int(round(v)) for v in self.box)  # type: ignore[return-value]

    def _shift(self, points: list) -> list:
        x0, y0, _, _ = self._pixels()
        return [(x - x0, y - y0) for x, y in points]

    def _put(self, layer, color) -> None:
        """Paint `color` through the mask `layer`, over the part of it that is covered: band by band of BAND
        rows, each over the columns it covers. Pasting through a mask leaves the pixels where it is 0 as they
        were, and costs the same whatever it holds, so a curve across the panel is painted along its course
        rather than over the whole panel. The covered columns come from Pillow's bounding box of each band's
        non-zero pixels (a copy of the mask in numpy took longer than the painting)."""
        whole = layer.getbbox()
        if whole is None:
            return
        x0, y0, _, _ = self._pixels()
        width = layer.width
        for top in range(whole[1] // BAND * BAND, whole[3], BAND):
            bottom = min(top + BAND, layer.height)
            box = layer.crop((0, top, width, bottom)).getbbox()
            if box is not None:
                left, right = box[0], box[2]
                self.canvas.paste(color, (x0 + left, y0 + top, x0 + right, y0 + bottom),
                                  layer.crop((left, top, right, bottom)))

    def fill_steps(self, edges, counts, color, alpha: float, label: str, name: str) -> None:
        """A histogram as one filled step curve."""
        layer, draw = self._layer()
        xs, ys, base = self.x(edges), self.y(counts), float(self.y(0.0))
        outline = [(float(xs[0]), base)]
        for i, top in enumerate(ys.tolist()):
            outline += [(float(xs[i]), top), (float(xs[i + 1]), top)]
        outline.append((float(xs[-1]), base))
        draw.polygon(self._shift(outline), fill=int(255 * alpha))
        self._put(layer, color)
        self.boxes[name] = (float(xs[0]), float(ys.min()) if len(ys) else base, float(xs[-1]), base)
        self.legend.append(("patch", color, alpha, label))

    def line(self, xs, ys, color, label: Optional[str] = None, dashed: bool = False, name: str = "") -> None:
        layer, draw = self._layer()
        points = list(zip(self.x(xs).tolist(), self.y(ys).tolist()))
        width = max(1, int(1.5 * SCALE)) if label else SCALE
        if dashed:
            (xa, ya), (xb, yb) = points[0], points[-1]
            length = float(np.hypot(xb - xa, yb - ya))
            dash = 6 * SCALE
            for start in np.arange(0, length, 1.6 * dash):
                end = min(start + dash, length)
                draw.line(self._shift([(xa + (xb - xa) * start / length, ya + (yb - ya) * start / length),
                                       (xa + (xb - xa) * end / length, ya + (yb - ya) * end / length)]),
                          fill=255, width=width)
        else:
            draw.line(self._shift(points), fill=255, width=width)
        self._put(layer, color)
        if name:
            xs_, ys_ = [p[0] for p in points], [p[1] for p in points]
            self.boxes[name] = (min(xs_), min(ys_), max(xs_), max(ys_))
        if label:
            self.legend.append(("line", color, 1.0, label))

    def scatter(self, xs, ys, color, alpha: float, label: str) -> None:
        from PIL import Image

        layer, _ = self._layer()
        x0, y0, _, _ = self._pixels()
        mask = np.array(layer)
        stamp_dots(mask, self.x(xs) - x0, self.y(ys) - y0, 1.5 * SCALE, int(255 * alpha))
        self._put(Image.fromarray(mask), color)
        self.legend.append(("dot", color, alpha, label))

    def message(self, text: str) -> None:
        x0, y0, x1, y1 = self.box
        from PIL import ImageDraw

        _text(ImageDraw.Draw(self.canvas), (x0 + x1) / 2, (y0 + y1) / 2, text, LABEL_PX, "c", "m")

    def decorate(self, draw, title: str, xlabel: str, ylabel: str, integer_y: bool, where: str) -> None:
        """Frame, ticks and their labels, title, axis labels and the legend at `where` (upper right, center
        right or upper left)."""
        x0, y0, x1, y1 = self.box
        draw.rectangle((x0, y0, x1, y1), outline=BLACK, width=SCALE)
        tick, gap, px = 3.5 * SCALE, 3 * SCALE, LABEL_PX
        xt = nice_ticks(*self.xlim)
        for value, at in zip(xt.tolist(), self.x(xt).tolist()):
            draw.line([(at, y1), (at, y1 + tick)], fill=BLACK, width=SCALE)
            _text(draw, at, y1 + tick + gap, _tick_label(value, _step(xt)), px, "c", "t")
        widest = 0.0
        yt = nice_ticks(*self.ylim, integer=integer_y)
        for value, at in zip(yt.tolist(), self.y(yt).tolist()):
            draw.line([(x0 - tick, at), (x0, at)], fill=BLACK, width=SCALE)
            box = _text(draw, x0 - tick - gap, at, _tick_label(value, _step(yt)), px, "r", "m")
            widest = max(widest, x0 - box[0])
        _text(draw, (x0 + x1) / 2, y0 - 6 * SCALE, title, TITLE_PX, "c", "b")
        _text(draw, (x0 + x1) / 2, y1 + tick + 2 * gap + px * SCALE * 1.1, xlabel, px, "c", "t")
        if ylabel:
            from PIL import Image, ImageDraw

            font = _font(LABEL_PX)
            left, top, right, bottom = _bbox(LABEL_PX, ylabel)
            label = Image.new("L", (right - left, bottom - top), 0)
            ImageDraw.Draw(label).text((-left, -top), ylabel, font=font, fill=255)
            label = label.transpose(Image.Transpose.ROTATE_90)
            at = (int(x0 - widest - 5 * SCALE - label.width), int((y0 + y1) / 2 - label.height / 2))
            self.canvas.paste(BLACK, at + (at[0] + label.width, at[1] + label.height), label)
        if self.legend:
            self._draw_legend(draw, where)

    def _draw_legend(self, draw, where: str) -> None:
        x0, y0, x1, y1 = self.box
        px, pad, swatch = LABEL_PX, 8 * SCALE, 22 * SCALE
        row = px * SCALE * 1.45
        width = swatch + 6 * SCALE + max(_text_size(LABEL_PX, label)[0] for *_, label in self.legend)
        height = row * len(self.legend)
        left = x0 + pad if where == "upper left" else x1 - pad - width
        top = y0 + pad if where.startswith("upper") else (y0 + y1) / 2 - height / 2
        self.legend_box = (left, top, left + width, top + height)
        for i, (kind, color, alpha, label) in enumerate(self.legend):
            middle = top + row * (i + 0.5)
            shade = tuple(int(255 - alpha * (255 - c)) for c in color)  # on the white background
            if kind == "patch":
                draw.rectangle((left, middle - 0.3 * px * SCALE, left + swatch, middle + 0.3 * px * SCALE), fill=shade)
            elif kind == "line":
                draw.line([(left, middle), (left + swatch, middle)], fill=color, width=max(1, int(1.5 * SCALE)))
            else:
                r = 2.5 * SCALE
                draw.ellipse((left + swatch / 2 - r, middle - r, left + swatch / 2 + r, middle + r), fill=shade)
            _text(draw, left + swatch + 6 * SCALE, middle, label, px, "l", "m")


def stamp_dots(mask: np.ndarray, x: np.ndarray, y: np.ndarray, radius: float, value: int) -> None:
    """Set to `value` the pixels of a mask (rows, columns) that Pillow's filled ellipse of `radius` around each
    point covers. Pillow truncates an ellipse's box to whole pixels, so every box of one size covers the same
    pixels, shifted: each size is drawn once and stamped at all its points, where one ellipse per point,
    thousands in a large run, would hold the interpreter for most of the report's drawing."""
    from PIL import Image, ImageDraw

    left, top = np.trunc(x - radius).astype(np.int64), np.trunc(y - radius).astype(np.int64)
    width, height = np.trunc(x + radius).astype(np.int64) - left, np.trunc(y + radius).astype(np.int64) - top
    span = int(height.max(initial=0)) + 1
    sizes, which = np.unique(width * span + height, return_inverse=True)
    for k, (w, h) in enumerate(zip((sizes // span).tolist(), (sizes % span).tolist())):
        dot = Image.new("L", (w + 3, h + 3), 0)  # a pixel of room on every side
        ImageDraw.Draw(dot).ellipse((1, 1, w + 1, h + 1), fill=255)
        dy, dx = np.nonzero(np.asarray(dot))
        at = which.reshape(-1) == k
        rows, cols = (top[at, None] + dy - 1).ravel(), (left[at, None] + dx - 1).ravel()
        inside = (rows >= 0) & (rows < mask.shape[0]) & (cols >= 0) & (cols < mask.shape[1])
        mask.reshape(-1)[rows[inside] * mask.shape[1] + cols[inside]] = value


def _step(ticks: np.ndarray) -> float:
    return float(ticks[1] - ticks[0]) if len(ticks) > 1 else 1.0


class _Figure:
    """The report's canvas with its six panels; `finish` draws the data and writes the PNG."""

    def __init__(self):
        from PIL import Image

        width, height = SIZE[0] * SCALE, SIZE[1] * SCALE
        self.image = Image.new("RGB", (width, height), (255, 255, 255))
        panel_w = (RIGHT - LEFT) / (2 + WSPACE)
        panel_h = (TOP - BOTTOM) / (3 + 2 * HSPACE)
        self.axes = []
        for r in range(3):
            top = TOP - r * panel_h * (1 + HSPACE)
            row = []
            for c in range(2):
                left = LEFT + c * panel_w * (1 + WSPACE)
                row.append(_Panel(self.image, (left * width, (1 - top) * height, (left + panel_w) * width,
                                               (1 - top + panel_h) * height)))
            self.axes.append(row)
        self.first_drawn = False

    def first(self, data: dict) -> None:
        """The first panel, whole (see `first_panel`): it shares no pixel with the others, so it may be drawn
        before them, even before the rest of the data is known."""
        from PIL import ImageDraw

        a = self.axes[0][0]
        _histograms(a, data["hyperscore"], data["decoy"])
        a.decorate(ImageDraw.Draw(self.image), "Engine score, best match per spectrum", "hyperscore", "PSMs", True,
                   "upper right")
        self.first_drawn = True

    def finish(self, data: dict, path: str) -> None:
        from PIL import ImageDraw

        if not self.first_drawn:
            self.first(data)
        (_, b), (c, d), (e, f) = self.axes
        decoy = data["decoy"]
        _histograms(b, data["second"], decoy)

        fdr = data["fdr"]
        thresholds = np.linspace(0, max(0.1, 2 * fdr), 201)
        psms = np.searchsorted(data["psm_q"], thresholds, side="right")
        peptides = np.searchsorted(data["peptide_q"], thresholds, side="right")
        c.xlim, c.ylim = _limits(thresholds), _limits(np.r_[psms, peptides], floor=0.0)
        c.line(thresholds, psms, TARGET, "PSMs")
        c.line(thresholds, peptides, SECOND, "peptides")
        c.line([fdr, fdr], c.ylim, GREY, dashed=True)

        ppm, accepted = data["delta_mass"], data["accepted"]
        finite = np.isfinite(ppm)
        limit = data["ppm_limit"]
        if limit is not None:
            edges = np.linspace(-limit, limit, 41)
        else:
            edges = np.histogram_bin_edges(ppm[finite], bins=60) if finite.any() else np.linspace(-1, 1, 61)
        found = np.histogram(ppm[accepted & finite], bins=edges)[0]
        decoys = np.histogram(ppm[decoy & finite], bins=edges)[0]
        tallest = max(int(found.max(initial=0)), int(decoys.max(initial=0)), 1)
        d.xlim, d.ylim = _limits(edges), (0.0, HEADROOM * tallest)
        d.fill_steps(edges, found, ACCEPTED, 0.7, f"targets at {fdr:.0%} FDR ({accepted.sum()})", "targets")
        d.fill_steps(edges, decoys, DECOY, 0.5, f"decoys ({decoy.sum()})", "decoys")
        if accepted.any():  # the median's line stops at the tallest bar, below the legend
            median = float(rt_median(ppm[accepted]))
            d.line([median, median], [0.0, tallest], BLACK, f"median {median:+.2f} ppm", name="median")

        proteins = np.searchsorted(data["protein_q"], thresholds, side="right")
        e.xlim, e.ylim = _limits(thresholds), _limits(proteins, floor=0.0)
        e.line(thresholds, proteins, ACCEPTED, "protein groups")
        e.line([fdr, fdr], e.ylim, GREY, dashed=True)

        observed, predicted = data["rt"], data["predicted_rt"]
        if predicted is None or len(observed) < 3:
            f.message("too few confident peptides for a model")
        else:
            r = float(np.corrcoef(observed, predicted)[0, 1])
            low, high = float(min(observed.min(), predicted.min())), float(max(observed.max(), predicted.max()))
            f.xlim = f.ylim = _limits(np.array([low, high]))
            f.line([low, high], [low, high], GREY)
            f.scatter(observed, predicted, TARGET, 0.6, f"{len(observed)} PSMs, Pearson r {r:.3f}")

        draw = ImageDraw.Draw(self.image)
        b.decorate(draw, data["second_title"], data["second_label"], "PSMs", True, "upper right")
        c.decorate(draw, "Identifications against q-value", "q-value threshold", "accepted targets", True,
                   "center right")
        d.decorate(draw, "Precursor mass error (isotope-corrected)", "ppm", "PSMs", True, "upper right")
        e.decorate(draw, "Protein groups against q-value (picked target-decoy)", "protein-level q-value threshold",
                   "accepted target groups", True, "center right")
        f.decorate(draw, "Retention time of accepted PSMs", "observed (aligned), min",
                   "predicted without the match's own time, min", False, "upper left")
        _text(draw, self.image.width / 2, 0.035 * self.image.height, data["title"], TITLE_PX, "c", "m")
        write_png(self.image.reduce(SCALE), path)


def write_png(image, path: str) -> None:
    """An RGB image as a PNG file: rows unfiltered, zlib's fastest level (the report is mostly flat colour).
    Written here because Pillow's own writer first imports a reader for each of five image formats."""
    import struct
    import zlib

    width, height = image.size
    pixels, stride = memoryview(image.tobytes()), 3 * width
    deflate = zlib.compressobj(1)  # each row fed as it is, after its filter type 0: the same stream as in one piece
    compressed = []
    for start in range(0, height * stride, stride):
        compressed += (deflate.compress(b"\0"), deflate.compress(pixels[start:start + stride]))
    compressed.append(deflate.flush())

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8 bits per sample, RGB
    with open(path, "wb") as handle:
        handle.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", b"".join(compressed))
                     + chunk(b"IEND", b""))


def _histograms(panel: _Panel, values, decoy) -> None:
    """Targets and decoys of `values` as two histograms over 60 common bins."""
    finite = np.isfinite(values)
    if not finite.any():
        return
    edges = np.histogram_bin_edges(values[finite], bins=60)
    targets = np.histogram(values[finite & ~decoy], bins=edges)[0]
    decoys = np.histogram(values[finite & decoy], bins=edges)[0]
    panel.xlim = _limits(edges)
    panel.ylim = _limits(np.r_[targets, decoys], floor=0.0)
    panel.fill_steps(edges, targets, TARGET, 0.6, f"targets ({(~decoy).sum()})", "targets")
    panel.fill_steps(edges, decoys, DECOY, 0.6, f"decoys ({decoy.sum()})", "decoys")


def prepare():
    """What every report needs before its data is known: Pillow loaded, the fonts and a blank canvas, for one
    `draw(..., figure=)`."""
    for px in (TITLE_PX, LABEL_PX):
        _font(px)
    return _Figure()


def draw(data: dict, path: str, figure=None) -> None:
    """Write the report for `data` (from `report_data`) to the PNG `path`, on the blank `figure` of `prepare`
    when given."""
    (figure or _Figure()).finish(data, path)
