"""NIfTI-1 and NIfTI-2 files in and out, through nibabel.

The output keeps the input's header: the affine, qform and sform with their
codes, pixdim (voxel sizes and the repetition time), units, intent,
description and the rest of the header fields. Its values mean what the
input's scaled values mean: float32 by default (no scaling), or with
keep_dtype the input's integer type under the input's own scl_slope and
scl_inter. Files are written atomically: temporary files in the target's
directory, then renames.
"""
import hashlib
import io
import json
import os
import tempfile
import zlib
from pathlib import Path

import nibabel as nib
import numpy as np
from nibabel.arrayproxy import ArrayProxy
from nibabel.fileholders import FileHolder

from . import gzip_io, read_ahead


class NiftiError(Exception):
    """A file that cannot be used as asked (one clear line for the user)."""


def is_complex(img):
    return np.dtype(img.get_data_dtype()).kind == "c"


def load(path, magnitude=False):
    """(image, float64 data in the scaled units). NIfTI only. Complex voxels
    are refused (reading them as real would drop their imaginary part)
    unless magnitude, which takes their modulus."""
    img = open_image(path)
    if is_complex(img) and not magnitude:
        raise NiftiError(f"{path}: its voxels are complex ({img.get_data_dtype()}); "
                         "--magnitude denoises their magnitude")
    try:
        if is_complex(img):
            return img, np.abs(np.asanyarray(img.dataobj)).astype(np.float64)
        ahead = _read_ahead_voxels(path, img)
        if ahead is not None:
            return img, ahead
        return img, np.asarray(img.get_fdata(dtype=np.float64))
    except (OSError, EOFError, ValueError, zlib.error) as e:  # a truncated or damaged file
        raise NiftiError(f"{path}: its voxels cannot be read ({e})") from None


def _read_ahead_voxels(path, img):
    """The voxels as get_fdata gives them, from the file's bytes when the
    command read them ahead (read_ahead), else None."""
    raw = read_ahead.take(path)
    proxy = img.dataobj
    if raw is None or not isinstance(proxy, ArrayProxy):
        return None
    disk = img.header.get_data_dtype()
    if len(raw) < int(proxy.offset) + int(np.prod(proxy.shape)) * disk.itemsize:
        return None  # a short file: nibabel's own read says so
    # nibabel's own proxy over the bytes: its scaling, order and dtype rules.
    whole = ArrayProxy(io.BytesIO(raw), (proxy.shape, disk, int(proxy.offset), proxy.slope,
                                         proxy.inter))
    return np.asarray(np.asanyarray(whole, dtype=np.float64))


def open_image(path):
    """The NIfTI-1 or NIfTI-2 image at path, its data not yet read."""
    try:
        img = nib.load(str(path))
    except FileNotFoundError:
        raise NiftiError(f"{path}: no such file") from None
    except Exception as e:  # nibabel raises many kinds for unreadable files
        raise NiftiError(f"{path}: not a readable NIfTI file ({e})") from None
    if not isinstance(img, (nib.Nifti1Image, nib.Nifti2Image)):
        raise NiftiError(f"{path}: not a NIfTI-1 or NIfTI-2 file ({type(img).__name__})")
    return img


def is_zarr(path):
    """Whether path names a zarr store (the chunked path) rather than a file."""
    path = str(path).rstrip("/")
    return path.endswith(".zarr") or Path(path, ".zarray").exists()


def _on_grid(path, img, what, series=False):
    """The data of the NIfTI file at path, which must lie on img's grid: the
    same spatial shape and affine (and, with series, may also have img's
    whole 4-D shape). Another grid is refused, never resampled."""
    other_img, data = load(path)
    shape = img.shape[:3]
    if data.ndim == 4 and data.shape[3] == 1:
        data = data[..., 0]
    shapes = (shape, img.shape) if series else (shape,)
    if data.shape not in shapes or not np.allclose(other_img.affine, img.affine, atol=1e-4):
        raise NiftiError(f"{path}: the {what}'s grid ({'x'.join(map(str, data.shape))}, its "
                         "affine) differs from the image's; resample it onto the image first")
    return data


def load_mask(path, img):
    """A boolean mask on img's grid."""
    return _on_grid(path, img, "mask") != 0


def load_sigma_map(path, img):
    """A noise map on img's grid: one for every volume, or one per volume."""
    return _on_grid(path, img, "sigma map", series=True)


def _scaling(img):
    """(slope, inter) of the stored values: a loaded image's proxy holds
    them (nibabel clears them in the header it hands out)."""
    proxy = img.dataobj
    if hasattr(proxy, "slope"):
        return float(proxy.slope), float(proxy.inter)
    slope, inter = img.header.get_slope_inter()
    return (1.0 if slope is None else slope), (0.0 if inter is None else inter)


def output_image(img, data, keep_dtype):
    """The output image for `data` (in the input's scaled units) and the
    count of voxels clipped to the integer type's range (0 for floats)."""
    values, slope, inter, clipped = output_values(img, data, keep_dtype)
    return _image_over(img, values, slope, inter), clipped


def output_values(img, data, keep_dtype):
    """What output_image stores for `data`, voxel by voxel (so any piece of
    the data gives that piece of the whole's values): (values, slope, inter,
    clipped)."""
    in_dtype = img.get_data_dtype()
    slope, inter = _scaling(img)
    clipped = 0
    if keep_dtype and np.dtype(in_dtype).kind in "iu":
        info = np.iinfo(in_dtype)
        raw = np.rint((data - inter) / slope if (slope, inter) != (1.0, 0.0) else data)
        low, high = raw < info.min, raw > info.max
        clipped = int(np.count_nonzero(low) + np.count_nonzero(high))
        values = np.clip(raw, info.min, info.max).astype(in_dtype)
    else:
        out_dtype = in_dtype if keep_dtype else np.float32
        if np.dtype(out_dtype).kind == "c":  # a magnitude keeps the parts' precision
            out_dtype = np.dtype(f"f{np.dtype(out_dtype).itemsize // 2}")
        values = data.astype(out_dtype)
        slope, inter = 1.0, 0.0
    return values, slope, inter, clipped


def _image_over(img, values, slope, inter):
    header = img.header.copy()
    header.set_data_dtype(values.dtype)
    out = type(img)(values, img.affine, header=header)
    # The header's own qform and sform, codes included (the constructor
    # would make the sform from the affine), and the input's scaling.
    out.set_qform(*img.get_qform(coded=True))
    out.set_sform(*img.get_sform(coded=True))
    out.header.set_slope_inter(slope, inter)
    return out


class _Prefix:
    """A file object that keeps the first `keep` bytes written to it and
    counts the rest."""

    def __init__(self, keep):
        self.kept, self.keep, self.position = bytearray(), keep, 0

    def write(self, data):
        data = memoryview(data).cast("B")
        room = self.keep - len(self.kept)
        if room > 0:
            self.kept += data[:room]
        self.position += len(data)

    def tell(self):
        return self.position

    def seek(self, offset, whence=0):
        if (whence, offset) not in ((0, self.position), (1, 0)):
            raise OSError("a stream written in order does not seek")
        return self.position

    def read(self, size=-1):
        raise OSError("write only")


def header_bytes(img, shape, values_dtype, slope, inter):
    """The bytes that come before the voxels in the file output_image()
    would make for values of `shape` and `values_dtype` (header, extensions,
    padding), and the voxels' dtype on disk: what a writer of the voxels
    piece by piece puts first. nibabel itself writes them, for voxels that
    are a broadcast zero (no memory), into a file that keeps the first bytes."""
    zeros = np.broadcast_to(np.zeros((), values_dtype), shape)
    out = _image_over(img, zeros, slope, inter)
    disk = out.header.get_data_dtype()
    voxels = int(np.prod(shape)) * disk.itemsize
    sink = _Prefix(1 << 20)
    out.to_file_map({"image": FileHolder(fileobj=sink)})
    length = sink.position - voxels
    if not 0 <= length <= sink.keep:
        raise NiftiError("the output's header is too large to stream its voxels")
    return bytes(sink.kept[:length]), disk


def temporary_beside(path):
    """A new temporary file in path's directory with path's extension, so
    that nibabel picks the same format and the rename stays on one disk."""
    path = Path(path)
    suffix = "".join(path.suffixes[-2:]) if path.name.endswith(".gz") else path.suffix
    fd, name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".partial" + suffix,
                                dir=path.parent)
    os.close(fd)
    # mkstemp makes the file private; the output gets the usual permissions.
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(name, 0o666 & ~umask)
    return Path(name)


def save_with_sidecar(img, path, sidecar, threads=None):
    """Writes img to path and the dict sidecar as JSON beside it
    (sidecar_path), each first into a temporary file in the same folder:
    both are complete before either is renamed into place, so a failure or
    an interruption leaves neither a partial file nor a new image with an
    old sidecar. The sidecar also records the image file's size and digest
    (output_record), digested as it is written; a .nii.gz is compressed
    by `threads` threads (None: what the process may use). sidecar may be
    a function that makes the dict once the image is written (its checks
    run meanwhile)."""
    def write(out):
        img.to_file_map({"image": FileHolder(fileobj=out)})

    save_streamed(write, path, sidecar, threads)


def save_streamed(write, path, sidecar, threads=None):
    """save_with_sidecar() for an image whose bytes write(out) writes into
    out, a gzip_io.Writer (a .nii.gz compressed by `threads` threads), in
    order from the header on; sidecar may be a function that makes the
    dict once they are written."""
    targets = [Path(path), sidecar_path(path)]
    temporaries = [temporary_beside(t) for t in targets]
    try:
        with gzip_io.Writer(temporaries[0], str(path).endswith(".gz"), threads) as out:
            write(out)
        if callable(sidecar):  # a record of what the writing found
            sidecar = sidecar()
        write_json(temporaries[1], {**sidecar, "OutputBytes": out.size,
                                    "OutputSHA256": out.sha256()})
        for tmp, target in zip(temporaries, targets):
            os.replace(tmp, target)
    except BaseException:
        for tmp in temporaries:
            tmp.unlink(missing_ok=True)
        raise


def output_record(path):
    """The sidecar's record of the output file it describes: its size in
    bytes and its SHA-256, which a resumed run checks before it trusts the
    file (a truncated or damaged output is made again)."""
    return {"OutputBytes": Path(path).stat().st_size, "OutputSHA256": sha256(path)}


def matches_record(path, sidecar):
    """Whether the file at path is the one sidecar's output_record describes."""
    path = Path(path)
    return (sidecar.get("OutputBytes") == path.stat().st_size
            and sidecar.get("OutputSHA256") == sha256(path))


def write_json(path, sidecar):
    Path(path).write_text(json.dumps(sidecar, indent=2) + "\n")


def sidecar_path(path):
    """OUT.nii or OUT.nii.gz -> OUT.json (the BIDS sidecar's name)."""
    path = Path(path)
    name = path.name
    for ext in (".nii.gz", ".nii"):
        if name.endswith(ext):
            return path.with_name(name[: -len(ext)] + ".json")
    return path.with_name(name + ".json")


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()
