"""Volumes larger than memory, from disk to disk: NIfTI and zarr read as
dask arrays and written chunk by chunk.

- NIfTI input goes through nibabel's array proxy: each chunk reads its own
  part of the file, scaled to float64 exactly as get_fdata does. (A .nii.gz
  must be decompressed from its start for every chunk: for large volumes an
  uncompressed .nii or a zarr store reads far faster.)
- NIfTI output: the header (the input's, with float32 data) is written
  first, then every chunk into its place in the file through a memory map
  opened by whichever process computed it, so a dask.distributed worker
  writes its own chunks. A .nii.gz is compressed from that file afterwards.
- zarr input and output are dask's own; the output keeps the chunks, and an
  "affine" attribute travels between zarr and NIfTI.

Every output is written under a temporary name beside its target and renamed
into place only once whole, with its JSON sidecar.
"""
import os
import shutil
import socket
import tempfile
import threading
from pathlib import Path

import dask.array as da
import nibabel as nib
import numpy as np
import zarr

from . import gzip_io, nifti
from .files import remove_stale_temporaries

OUTPUT_DTYPE = np.dtype(np.float32)


# What this process has found each input file to be: path -> (SHA-256,
# size, modification time). A file changed since is hashed again.
_verified = {}
_verifying = threading.Lock()


def _identity(path, sha256):
    stat = os.stat(path)
    return sha256, stat.st_size, stat.st_mtime_ns


class _NiftiVoxels:
    """A NIfTI file's voxels in float64 for dask.array.from_array: each read
    opens the file anew, so the object pickles to a worker as a file name,
    absolute (a worker runs in a folder of its own). `tail` indexes the axes
    past the third (the one volume of X x Y x Z x 1). `sha256` is the digest
    the client recorded: before its first read, and again if the file
    changes, a process checks that the file it finds there has that digest,
    so a worker on another machine, or one that sees another file under
    that name, refuses to read instead of denoising the wrong data."""

    def __init__(self, path, shape, tail, sha256):
        self.path, self.shape, self.tail = str(Path(path).resolve()), tuple(shape), tail
        self.sha256 = sha256
        self.dtype = np.dtype(np.float64)
        self.ndim = len(self.shape)

    def _check(self):
        if _verified.get(self.path) == _identity(self.path, self.sha256):
            return
        with _verifying:  # one thread hashes; the others then find it done
            if _verified.get(self.path) == _identity(self.path, self.sha256):
                return
            found = nifti.sha256(self.path)
            if found != self.sha256:
                raise nifti.NiftiError(
                    f"{self.path}: this worker ({socket.gethostname()}) reads another file "
                    f"than the one hashed when the run started (SHA-256 {found[:12]}..., not "
                    f"{self.sha256[:12]}...): every worker must see the input at the same path")
            _verified[self.path] = _identity(self.path, found)

    def __getitem__(self, key):
        self._check()
        key = (key if isinstance(key, tuple) else (key,)) + self.tail
        proxy = nib.load(self.path).dataobj
        # get_fdata(dtype=float64) scales through _get_scaled in float64;
        # the public indexing may scale in the stored type's precision.
        if hasattr(proxy, "_get_scaled"):
            return proxy._get_scaled(np.float64, key)
        return np.asarray(proxy[key], dtype=np.float64)


def open_volume(path):
    """(3-D voxel reader, NIfTI image or None, affine) of a NIfTI file or a
    zarr array. The reader reads any region when sliced (chunked.denoise
    reads each chunk's region with its halo from it); a zarr array keeps its
    own chunks. A NIfTI reader holds the file's SHA-256 (`sha256`), computed
    here, which every other process checks before it reads."""
    if nifti.is_zarr(path):
        store = zarr.open_array(str(path), mode="r")
        affine = np.array(store.attrs.get("affine", np.eye(4).tolist()), dtype=np.float64)
        return store, None, affine
    img = nifti.open_image(path)
    if nifti.is_complex(img):
        raise nifti.NiftiError(f"{path}: its voxels are complex ({img.get_data_dtype()}); "
                               "chunks take real volumes")
    shape, tail = img.shape, ()
    if len(shape) == 4 and shape[3] == 1:
        shape, tail = shape[:3], (0,)
    if len(shape) != 3:
        raise nifti.NiftiError(f"{path}: chunked denoising takes 3-D volumes; this one is "
                               f"{'x'.join(map(str, img.shape))}")
    reader = _NiftiVoxels(path, shape, tail, nifti.sha256(path))
    _verified[reader.path] = _identity(reader.path, reader.sha256)
    return reader, img, img.affine


class _RegionWriter:
    """Writes regions of a Fortran-ordered array stored raw from `offset`
    bytes on in a file, for dask.array.store. Pickles as a file name: each
    write maps the file in the process that makes it."""

    def __init__(self, path, offset, shape, dtype):
        self.path, self.offset, self.shape, self.dtype = str(path), offset, shape, dtype

    def __setitem__(self, key, value):
        target = np.memmap(self.path, dtype=self.dtype, mode="r+", offset=self.offset,
                           shape=self.shape, order="F")
        target[key] = value
        target.flush()
        del target


def _nifti_header(img, affine, shape):
    """The output header: the input's (everything kept, float32, no
    scaling), or a new NIfTI-1 one on `affine` for zarr input."""
    if img is None:
        header = nib.Nifti1Image(np.zeros(shape[:0] + (1,), OUTPUT_DTYPE), affine).header.copy()
        header.set_data_shape(shape)
        header.set_qform(affine, code=1)
        header.set_sform(affine, code=1)
    else:
        header = img.header.copy()
    # A single file's data start after the header, its extension flag and
    # its extensions (a loaded header says 0 until it is saved).
    if header.get_data_offset() == 0:
        header.set_data_offset(header.single_vox_offset + sum(
            e.get_sizeondisk() for e in getattr(header, "extensions", [])))
    header.set_data_dtype(OUTPUT_DTYPE)
    header.set_slope_inter(1.0, 0.0)
    return header


def _write_nifti(out, header, path):
    """Writes the header, then every chunk of out into place, to path (an
    uncompressed single file)."""
    with open(path, "wb") as f:
        header.write_to(f)
        offset = max(header.get_data_offset(), f.tell())
        f.truncate(offset + out.size * OUTPUT_DTYPE.itemsize)
    if offset != header.get_data_offset():
        raise nifti.NiftiError("the NIfTI header's extensions overrun its data offset")
    da.store(out, _RegionWriter(path, offset, out.shape, OUTPUT_DTYPE), lock=False)


def _temporary_name(target):
    fd, name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".partial",
                                dir=target.parent)
    os.close(fd)
    os.unlink(name)
    return Path(name)


def _replace(tmp, target):
    """Renames tmp onto target; an existing store directory is moved aside
    first and removed only once the new one is in place."""
    if target.is_dir():
        old = _temporary_name(target)
        os.replace(target, old)
        os.replace(tmp, target)
        shutil.rmtree(old)
    else:
        os.replace(tmp, target)


def _remove(path):
    if path.is_dir():
        shutil.rmtree(path, ignore_errors=True)
    else:
        path.unlink(missing_ok=True)


def save_volume(out, path, img, affine, sidecar):
    """Computes out (lazy, 3-D) into path (.nii, .nii.gz or .zarr) and its
    JSON sidecar, on the current dask scheduler. What a killed earlier run
    left of its temporaries goes first; a NIfTI output's size and digest go
    into the sidecar (nifti.output_record)."""
    target = Path(path)
    sidecar_target = sidecar_path(target)
    for stale in (target, sidecar_target):
        remove_stale_temporaries(stale)
    tmp, tmp_sidecar, raw = _temporary_name(target), _temporary_name(sidecar_target), None
    out = out.astype(OUTPUT_DTYPE)
    try:
        if nifti.is_zarr(target):
            da.to_zarr(out, str(tmp), compute=True, return_stored=False)
            zarr.open_array(str(tmp), mode="r+").attrs["affine"] = np.asarray(affine).tolist()
        else:
            header = _nifti_header(img, affine, out.shape)
            if target.name.endswith(".gz"):
                raw = _temporary_name(target)
                _write_nifti(out, header, raw)
                with open(raw, "rb") as src, gzip_io.Writer(tmp, True) as dst:
                    shutil.copyfileobj(src, dst, 1 << 24)
            else:
                _write_nifti(out, header, tmp)
            sidecar = {**sidecar, **nifti.output_record(tmp)}
        nifti.write_json(tmp_sidecar, sidecar)
        _replace(tmp, target)
        os.replace(tmp_sidecar, sidecar_target)
    finally:
        for p in (tmp, tmp_sidecar, raw):
            if p is not None:
                _remove(p)


def sidecar_path(path):
    """OUT.zarr -> OUT.json; NIfTI names as nifti.sidecar_path."""
    path = Path(str(path).rstrip("/"))
    if path.name.endswith(".zarr"):
        return path.with_name(path.name[: -len(".zarr")] + ".json")
    return nifti.sidecar_path(path)
