"""Mosaics of a volume: a row of slices in each of the three orientations,
as PNG images in data: URIs that an HTML page embeds."""
import base64
import io

import numpy as np
from PIL import Image

ORIENTATIONS = ("sagittal", "coronal", "axial")
SLICES = 6


def canonical(vol, affine):
    """vol (3-D) turned by whole axes to the closest of RAS+ (x to the
    right, y anterior, z superior), and its voxel sizes in that order; as
    given, with unit sizes, without an affine."""
    if affine is None:
        return vol, (1.0, 1.0, 1.0)
    import nibabel as nib

    ornt = nib.orientations.io_orientation(affine)
    sizes = np.sqrt((np.asarray(affine)[:3, :3] ** 2).sum(axis=0))
    turned = nib.orientations.apply_orientation(vol, ornt)
    return turned, tuple(float(sizes[int(a)]) for a, _ in ornt)


def slice_positions(extent, count=SLICES):
    """count slice indices spread over the middle 80% of [lo, hi)."""
    lo, hi = extent
    span = hi - lo
    return [int(lo + span * (0.1 + 0.8 * (i + 0.5) / count)) for i in range(count)]


def extent(vol):
    """Per axis, the [lo, hi) range of the slices of a 3-D array that hold a
    non-zero voxel (the whole axis when there is none)."""
    reference = vol != 0
    spans = []
    for axis in range(3):
        others = tuple(a for a in range(3) if a != axis)
        hit = np.flatnonzero(reference.any(axis=others))
        spans.append((int(hit[0]), int(hit[-1]) + 1) if hit.size else (0, reference.shape[axis]))
    return spans


def _plane(vol, axis, index, sizes):
    """One slice, rows from top to bottom, voxels repeated so that the
    larger voxel side is shown about to scale."""
    plane = vol[(slice(None),) * axis + (index,)]  # a view: np.take would copy the volume
    across, up = [a for a in range(3) if a != axis]
    image = plane.T[::-1]  # first remaining axis across, second upwards
    ratio = sizes[up] / sizes[across]
    if ratio >= 1.5:
        image = np.repeat(image, int(round(ratio)), axis=0)
    elif ratio <= 1 / 1.5:
        image = np.repeat(image, int(round(1 / ratio)), axis=1)
    return image


def rows(vol, sizes, spans, count=SLICES):
    """{orientation: 2-D array}: count slices of each orientation side by
    side (sagittal cuts the first axis, coronal the second, axial the
    third), a column of gap between them."""
    out = {}
    for axis, name in enumerate(ORIENTATIONS):
        planes = [_plane(vol, axis, i, sizes) for i in slice_positions(spans[axis], count)]
        gap = np.full((planes[0].shape[0], 2), np.nan)
        out[name] = np.concatenate([p for pl in planes for p in (pl, gap)][:-1], axis=1)
    return out


def grey(image, low, high):
    """A uint8 image of a 2-D float array, values from low (black) to high
    (white); NaN (the gaps) black."""
    span = high - low if high > low else 1.0
    scaled = np.clip((np.nan_to_num(image, nan=low) - low) * (255.0 / span), 0.0, 255.0)
    pixels = scaled.astype(np.uint8)
    pixels[np.isnan(image)] = 0
    return pixels


def coloured(image, low, high, cmap):
    """An RGB uint8 image of a 2-D float array through a matplotlib colour
    map, values from low to high; NaN black."""
    from matplotlib import colormaps  # a third of a second: only for the sigma map

    lut = (colormaps[cmap](np.linspace(0.0, 1.0, 256))[:, :3] * 255).astype(np.uint8)
    pixels = lut[grey(image, low, high)]
    pixels[np.isnan(image)] = 0
    return pixels


def tint(pixels, where, colour=(230, 40, 40), alpha=0.45):
    """Grey or RGB pixels as RGB, the boolean image `where` blended towards
    colour."""
    if pixels.ndim == 2:
        pixels = np.repeat(pixels[..., None], 3, axis=2)
    out = pixels.astype(np.float32)
    out[where] = (1 - alpha) * out[where] + alpha * np.asarray(colour, np.float32)
    return out.astype(np.uint8)


def png_uri(pixels):
    """A data: URI of a grey (2-D) or RGB uint8 array as PNG (quick
    compression: the command's time matters more than the page's size)."""
    buffer = io.BytesIO()
    Image.fromarray(pixels).save(buffer, format="PNG", compress_level=1)
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")
