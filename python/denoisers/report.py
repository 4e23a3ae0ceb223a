"""The page a person looks at after denoising: the input and the output as
mosaics in three orientations with a flip between them, the residual
(input minus output) as a mosaic and as a histogram against the noise law,
the sigma map and the estimator's background mask when there are any, the
residual's structure score, and a table of every fact of the run.

One self-contained HTML file: images embedded as data: URIs, no script,
nothing fetched. The flip is made of radio buttons and CSS.
"""
import base64
import html
import numbers
import os
import tempfile
from pathlib import Path

import numpy as np

from . import mosaic
from .noise_law import residual_density
from .residual import threshold, voxel_sample

_SAMPLES = 200_000              # voxels for the histogram and the grey range
_LAW_SAMPLES = 50_000           # of them, for the levels of the noise law's mixture
_RANGE = 5.0                    # the histogram spans +-_RANGE sigma
_RESIDUAL_WINDOW = 3.0          # the residual mosaic spans +-this many sigma


def shown_volume(scores):
    """The volume the page shows: the one with the highest structure score
    (the first when none has one)."""
    best, index = -np.inf, 0
    for t, s in enumerate(scores):
        if s is not None and s > best:
            best, index = s, t
    return index


def _volume(arr, t):
    arr = np.asarray(arr)
    return arr if arr.ndim == 3 else arr[..., t]


def residual_histogram(noisy, denoised, sigma, noise, coils):
    """An SVG data: URI of the residual's histogram (voxels with a non-zero
    input and a residual: not the zero background, not voxels a mask kept)
    over the density the noise law predicts, in units of sigma, and the
    residual's standard deviation in tissue (denoised above 2 sigma) over
    sigma. noisy and denoised: 3-D arrays of one shape."""
    m = voxel_sample(noisy, _SAMPLES)
    signal = voxel_sample(denoised, _SAMPLES)
    r = m - signal
    used = (m != 0) & (r != 0)
    tissue = used & (signal > 2.0 * sigma)
    ratio = float(np.std(r[tissue]) / sigma) if np.count_nonzero(tissue) > 1 else None
    values, signal = r[used], signal[used]
    edges = np.linspace(-_RANGE, _RANGE, 101)
    centres = 0.5 * (edges[1:] + edges[:-1])
    density = law = np.zeros_like(centres)
    if values.size:
        counts, _ = np.histogram(values / sigma, edges)
        density = counts / (values.size * (edges[1] - edges[0]))
        law = residual_density(centres * sigma, signal[:: max(1, signal.size // _LAW_SAMPLES)],
                               sigma, noise, coils) * sigma
    name = ("Gaussian" if noise == "gaussian" else
            "Rician" if coils == 1 else f"non-central chi, {coils} coils")
    svg = histogram_svg(edges, density, centres, law, f"{name}, sigma {sigma:.4g}")
    return "data:image/svg+xml;base64," + base64.b64encode(svg.encode()).decode("ascii"), ratio


def histogram_svg(edges, density, centres, law, law_name, width=640, height=220):
    """A histogram (density over bins of edges) as a filled step outline,
    the curve law at centres over it, an axis in sigmas and a legend: an
    SVG document. Drawn here rather than by matplotlib, whose import and
    tick machinery cost more than half of a report's time."""
    left, right, top, bottom = 10.0, width - 10.0, 10.0, height - 36.0
    peak = max(float(np.max(density, initial=0.0)), float(np.max(law, initial=0.0))) or 1.0

    def x(v):
        return left + (v - edges[0]) / (edges[-1] - edges[0]) * (right - left)

    def y(d):
        return bottom - d / peak * (bottom - top)

    steps = [f"{x(edges[0]):.1f},{bottom:.1f}"]
    for k, d in enumerate(density):
        steps += [f"{x(edges[k]):.1f},{y(d):.1f}", f"{x(edges[k + 1]):.1f},{y(d):.1f}"]
    steps.append(f"{x(edges[-1]):.1f},{bottom:.1f}")
    curve = " ".join(f"{x(c):.1f},{y(d):.1f}" for c, d in zip(centres, law))
    ticks = "".join(
        f'<line x1="{x(v):.1f}" y1="{bottom}" x2="{x(v):.1f}" y2="{bottom + 4}"/>'
        f'<text x="{x(v):.1f}" y="{bottom + 16}" text-anchor="middle" stroke="none">'
        f"{v:g}</text>"
        for v in range(-4, 5, 2))
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'font-family="sans-serif" font-size="11"><rect width="100%" height="100%" '
            f'fill="#fff"/><polygon points="{" ".join(steps)}" fill="#9ab"/>'
            f'<polyline points="{curve}" fill="none" stroke="#c22" stroke-width="1.5"/>'
            f'<g stroke="#333"><line x1="{left}" y1="{bottom}" x2="{right}" y2="{bottom}"/>'
            f'{ticks}</g><text x="{(left + right) / 2}" y="{height - 4}" '
            'text-anchor="middle">input - output, in sigma</text>'
            f'<rect x="{right - 190}" y="{top + 2}" width="14" height="8" fill="#9ab"/>'
            f'<text x="{right - 170}" y="{top + 10}">residual</text>'
            f'<line x1="{right - 190}" y1="{top + 22}" x2="{right - 176}" y2="{top + 22}" '
            f'stroke="#c22" stroke-width="1.5"/><text x="{right - 170}" y="{top + 26}">'
            f"{html.escape(law_name)}</text></svg>")


def _mosaic_uris(images, low, high, cmap="gray", marks=None):
    """{orientation: data: URI} of mosaic rows (mosaic.rows), grey from low
    to high, the voxels where marks (rows of a mask) are set tinted."""
    out = {}
    for name, image in images.items():
        pixels = (mosaic.grey(image, low, high) if cmap == "gray" else
                  mosaic.coloured(image, low, high, cmap))
        if marks is not None:
            pixels = mosaic.tint(pixels, marks[name])
        out[name] = mosaic.png_uri(pixels)
    return out


def _window(vol):
    """The grey range of the input and output: from 0 (or the 0.5th
    percentile, when lower) to the 99.5th percentile of the input's non-zero
    voxels."""
    values = voxel_sample(vol, _SAMPLES)
    values = values[values != 0]
    if values.size == 0:
        return 0.0, 1.0
    low, high = np.percentile(values, (0.5, 99.5))
    return float(min(low, 0.0)), float(high if high > low else low + 1.0)


def _format(value):
    """A fact as HTML: numbers to 6 significant digits, lists inline (or as
    a list when they hold text), dicts as a nested table."""
    if value is None:
        return "&ndash;"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, numbers.Integral):
        return str(value)
    if isinstance(value, numbers.Real):
        return f"{value:.6g}"
    if isinstance(value, dict):
        return facts_table(value)
    if isinstance(value, (list, tuple)):
        if all(isinstance(v, numbers.Number) or v is None for v in value):
            text = ", ".join(_format(v) for v in value)
            return f'<div class="list">{text}</div>' if len(value) > 12 else text
        return "<ul>" + "".join(f"<li>{_format(v)}</li>" for v in value) + "</ul>"
    return html.escape(str(value))


def facts_table(facts):
    """Every key of a dict and its value, in its order, as an HTML table."""
    rows = "".join(f"<tr><th>{html.escape(str(k))}</th><td>{_format(v)}</td></tr>"
                   for k, v in facts.items())
    return f'<table class="facts">{rows}</table>'


def _score_text(scores, t, method):
    s = scores[t] if t < len(scores) else None
    if s is None:
        return "no score (too little tissue)"
    limit = threshold(method)
    verdict = "structure: sigma may be too high" if s > limit else "noise-like"
    which = f" for {method}" if method else ""
    return f"{s:.3f} ({verdict}; threshold {limit:g}{which}, white noise 1)"


def _images(uris, alt):
    return "".join(f'<figure><figcaption>{name}</figcaption><img alt="{alt}, {name}" '
                   f'src="{uri}"></figure>' for name, uri in uris.items())


def _flip(before, after):
    return "".join(
        f'<figure><figcaption>{name}</figcaption><div class="stack">'
        f'<img class="before" alt="input, {name}" src="{before[name]}">'
        f'<img class="after" alt="output, {name}" src="{after[name]}"></div></figure>'
        for name in mosaic.ORIENTATIONS)


def _extras(sigma_map, background, t, affine, sizes, spans, rows_in, window):
    """The sections of the sigma map and of the background mask (over the
    input's mosaic rows, rows_in), for those given."""
    sections = []
    if sigma_map is not None:
        smap, _ = mosaic.canonical(_volume(sigma_map, t), affine)
        rows_map = mosaic.rows(smap, sizes, spans)
        top = max(np.nan_to_num(r, nan=0.0).max() for r in rows_map.values())
        top = float(top) if top > 0 else 1.0
        sections.append(f"<h2>Sigma map</h2><p>0 (dark) to {top:.4g} (bright).</p>"
                        + _images(_mosaic_uris(rows_map, 0.0, top, "viridis"), "sigma map"))
    if background is not None:
        mask, _ = mosaic.canonical(np.asarray(_volume(background, t), dtype=np.float32), affine)
        marks = {k: v > 0.5 for k, v in mosaic.rows(mask, sizes, spans).items()}
        sections.append("<h2>Background the estimator used</h2><p>In red, over the input.</p>"
                        + _images(_mosaic_uris(rows_in, *window, marks=marks),
                                  "background mask"))
    return "".join(sections)


def render(noisy, denoised, facts, *, sigmas, scores, affine=None, noise="rician", coils=1,
           sigma_map=None, background=None, title="denoisers report"):
    """The page as a string (see write_report)."""
    t = shown_volume(scores)
    count = 1 if np.ndim(noisy) == 3 else np.shape(noisy)[3]
    sigma = float(sigmas[t])
    raw_in, raw_out = _volume(noisy, t), _volume(denoised, t)
    vin, sizes = mosaic.canonical(raw_in, affine)
    vout, _ = mosaic.canonical(raw_out, affine)
    spans = mosaic.extent(vin)
    low, high = _window(raw_in)
    rows_in = mosaic.rows(vin, sizes, spans)
    rows_out = mosaic.rows(vout, sizes, spans)
    before = _mosaic_uris(rows_in, low, high)
    after = _mosaic_uris(rows_out, low, high)
    width = _RESIDUAL_WINDOW * sigma if sigma > 0 else 1.0
    residual = _mosaic_uris({k: rows_in[k] - rows_out[k] for k in rows_in}, -width, width)
    histogram, ratio = (residual_histogram(raw_in, raw_out, sigma, noise, coils) if sigma > 0
                        else (None, None))
    extra = _extras(sigma_map, background, t, affine, sizes, spans, rows_in, (low, high))

    warnings = facts.get("Warnings") or []
    warnings = [warnings] if isinstance(warnings, str) else warnings
    warning_box = ("" if not warnings else '<div class="warn"><b>Warnings</b><ul>'
                   + "".join(f"<li>{html.escape(str(w))}</li>" for w in warnings)
                   + "</ul></div>")
    which = "" if count == 1 else (f" Volume {t} of {count} (0-based) is shown: the one whose "
                                   "residual holds the most structure.")
    ratio_text = ("" if ratio is None else
                  f" The residual's standard deviation in tissue is {ratio:.2f} sigma: near 1 "
                  "when sigma is right, well below it when sigma is too high.")
    histogram_html = ("" if histogram is None else
                      f'<figure><img class="plot" alt="residual histogram" src="{histogram}">'
                      "</figure>")
    return _PAGE.format(
        title=html.escape(title), style=STYLE, warnings=warning_box,
        summary=html.escape(f"{'x'.join(map(str, np.shape(noisy)))}, sigma {sigma:.4g}, "
                            f"residual structure "
                            f"{_score_text(scores, t, facts.get('Method'))}.") + which,
        flip=_flip(before, after),
        residual=_images(residual, "residual"),
        window=f"{width:.4g}", histogram=histogram_html, ratio=ratio_text,
        extra=extra, facts=facts_table(facts))


def write_report(path, noisy, denoised, facts, *, sigmas, scores, affine=None, noise="rician",
                 coils=1, sigma_map=None, background=None, title=None):
    """Writes the report page of one denoised image to path (atomically).

    noisy, denoised: 3-D arrays, or 4-D series with the volumes along the
    last axis (the page shows one volume: see shown_volume). facts: a dict
    shown whole as a table (the sidecar and whatever a run adds; a
    "Warnings" list is also shown at the top). sigmas: the sigma of each
    volume; scores: each volume's residual structure score (None for none).
    affine: the image's, to show it turned to RAS (right, anterior,
    superior) with its voxels about to scale. noise: "rician" or
    "gaussian"; coils: receive coils for the magnitude law (1 is Rician).
    sigma_map, background: the sigma map and the estimator's background
    mask (3-D or 4-D), when used.
    """
    page = render(np.asarray(noisy), np.asarray(denoised), facts, sigmas=sigmas,
                  scores=scores, affine=affine, noise=noise, coils=coils,
                  sigma_map=sigma_map, background=background,
                  title=title or Path(path).stem)
    write_text_atomically(path, page)


def write_text_atomically(path, text):
    """path holds text in full or is left as it was: written to a temporary
    file beside it, then renamed."""
    path = Path(path)
    fd, name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".partial", dir=path.parent)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(name, 0o666 & ~umask)
        os.replace(name, path)
    except BaseException:
        Path(name).unlink(missing_ok=True)
        raise


STYLE = """
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em auto;max-width:1200px;color:#222;
padding:0 1em}
h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em;border-bottom:1px solid #ccc}
figure{margin:.4em 0}figcaption{font-size:.85em;color:#555}
img{display:block;max-width:100%;min-width:min(100%,720px);image-rendering:pixelated;
background:#000}
img.plot{background:#fff;image-rendering:auto;min-width:0}
.stack{position:relative;display:inline-block}
.stack img.after{position:absolute;left:0;top:0;opacity:0}
#show-output:checked~.flip img.after{opacity:1}
#flicker:checked~.flip img.after{animation:flicker 1s steps(1) infinite}
@keyframes flicker{50%{opacity:1}}
input[name=view]{display:none}
.controls label{margin-right:.6em;padding:.15em .6em;border:1px solid #aaa;border-radius:3px;
cursor:pointer}
#show-input:checked~.controls [for=show-input],#show-output:checked~.controls [for=show-output],
#flicker:checked~.controls [for=flicker]{background:#246;color:#fff}
.warn{background:#fff3cd;border:1px solid #e0b400;padding:.5em 1em;margin:1em 0}
table.facts{border-collapse:collapse;font-size:.9em}
table.facts th,table.facts td{border:1px solid #ddd;padding:.2em .5em;text-align:left;
vertical-align:top}
table.facts th{background:#f4f4f4;font-weight:600}
.list{max-height:8em;overflow:auto}
tr.warned td{background:#fff3cd}
"""

_PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title><style>{style}</style></head>
<body>
<h1>{title}</h1>
<p>{summary}</p>
{warnings}
<h2>Input and output</h2>
<input type="radio" name="view" id="show-input" checked>
<input type="radio" name="view" id="show-output">
<input type="radio" name="view" id="flicker">
<span class="controls"><label for="show-input">input</label>
<label for="show-output">output</label><label for="flicker">flicker</label></span>
<div class="flip">{flip}</div>
<h2>Residual: input minus output</h2>
<p>From -{window} (dark) to +{window} (bright), 3 sigma each way. Noise alone looks
like even grain; edges or shapes of anatomy mean the filter took signal away.{ratio}</p>
{residual}
{histogram}
{extra}
<h2>The run</h2>
{facts}
</body></html>
"""
