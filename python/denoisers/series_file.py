"""A 4-D NIfTI file denoised volume by volume, from disk to disk.

Read whole, a diffusion series of a hundred volumes is some hundreds of
megabytes as doubles, and denoised and written whole it takes several times
that. Here each volume is read from the file when it is needed (a .nii.gz
decompressed as a stream, never seeking back), denoised, checked and written
on at once (a .nii.gz compressed by gzip_io's threads), so that a few
volumes are in memory at any time. The work overlaps: while the filters
(which let go of the GIL) denoise volume t, a thread reads and decompresses
volume t+1 and another checks, converts and writes volume t-1. An estimated
sigma takes a pass over the file first: the C++ estimator asks for the
volumes one at a time (each read while it works on the one before) and
pools them as it pools a series in memory. The output's bytes, the sigma, the
sidecar and the warnings are those of the whole-series path (denoise() and
nifti.output_image), volume for volume.
"""
import io
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from nibabel.arrayproxy import ArrayProxy

from . import gzip_io, nifti
from .filters import thread_cap
from .output_checks import check_negative_magnitudes, mostly_zero_volumes
from .pipeline import (check_mask, denoise_volume, finite_extremes, finite_voxels, given_sigmas,
                       method_run, passes)
from .progress import PassBar
from .residual import structure_score
from .sigma import estimate_noise_streamed


def streams(img, sigma_map, report):
    """Whether denoise_file streams this image: a 4-D series of real voxels
    with a scalar sigma (given or estimated) and no page (a noise map and
    the page take the whole series)."""
    return len(img.shape) == 4 and sigma_map is None and report is None and not (
        nifti.is_complex(img))


class Volumes:
    """The volumes of a 4-D NIfTI file as nifti.load reads them (float64 in
    the scaled units, Fortran order), read in order: volume(t) for t = 0, 1,
    ...; asking for an earlier one reads the file again from its start."""

    def __init__(self, path, img):
        self.path = str(path)
        self.img = img
        self.shape = tuple(img.shape[:3])
        self.count = img.shape[3]
        self._disk = img.header.get_data_dtype()
        self._offset = int(img.dataobj.offset)
        self._bytes = int(np.prod(self.shape)) * self._disk.itemsize
        self._scaling = (img.dataobj.slope, img.dataobj.inter)
        self._reader = None
        self._next = 0

    def __call__(self, t):
        try:
            if self._reader is None or t < self._next:
                self.close()
                self._reader = gzip_io.Reader(self.path, self.path.endswith(".gz"))
                self._reader.read(self._offset)
                self._next = 0
            while self._next <= t:
                raw = self._reader.read(self._bytes)
                self._next += 1
        except (OSError, EOFError, zlib.error) as e:  # a truncated or damaged file
            raise nifti.NiftiError(f"{self.path}: its voxels cannot be read ({e})") from None
        # nibabel's own scaling, as get_fdata applies it to the whole file.
        proxy = ArrayProxy(io.BytesIO(raw), (self.shape, self._disk, 0, *self._scaling))
        return np.asfortranarray(np.asanyarray(proxy, dtype=np.float64))

    def sha256(self):
        """The file's digest, from the pass under way (read to its end)."""
        return self._reader.sha256()

    def close(self):
        if self._reader is not None:
            self._reader.close()
            self._reader = None


class ReadAhead:
    """read(t) for t = 0, 1, ... as a caller asks for them in order, each
    read on a thread of its own while the caller works on the one before
    (zlib and numpy let go of the GIL as they work). Asked out of order, it
    reads what is asked once the read under way is done; read itself is
    never run twice at once. Use it in a with block (the thread stops)."""

    def __init__(self, read, count):
        self._read, self._count = read, count
        self._pool = ThreadPoolExecutor(1, thread_name_prefix="denoisers-read")
        self._ahead = None  # (t, future of read(t))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._pool.shutdown(cancel_futures=True)

    def __call__(self, t):
        ahead, self._ahead = self._ahead, None
        if ahead is not None and ahead[0] == t:
            value = ahead[1].result()
        else:
            if ahead is not None:
                ahead[1].exception()  # its error, if any, is not the caller's
            value = self._read(t)
        if t + 1 < self._count:
            self._ahead = (t + 1, self._pool.submit(self._read, t + 1))
        return value


def denoise_series(volumes, output, *, sigma, rician, method, radius, mask, threads,
                   keep_dtype, progress, per_volume, coils, record):
    """Denoises the series `volumes` (a Volumes) into the NIfTI file
    `output`, as denoise_file() would from the whole series, and writes its
    sidecar, record(facts): facts holds sigma (one per volume), noise (the
    NoiseEstimate, None for a given sigma), scores, clipped and
    source_sha256. Returns facts, with mostly_zero: the warnings of volumes
    that came back mostly zero, for the caller to raise after the others."""
    cap = thread_cap(threads, "denoise")
    count = volumes.count
    mask = check_mask(mask, volumes.shape + (count,))

    def inside(t):
        return None if mask is None else (mask if mask.ndim == 3 else mask[..., t])

    facts = {"noise": None, "scores": [], "clipped": 0, "mostly_zero": []}
    if sigma is None:
        with ReadAhead(lambda t: finite_voxels(volumes(t), inside(t)), count) as ahead:
            facts["noise"] = estimate_noise_streamed(ahead, count, rician, per_volume, threads,
                                                     coils)
        sigmas = facts["noise"].sigmas
    else:
        sigmas = given_sigmas(sigma, count)
    facts["sigma"] = list(sigmas)

    def write(out):
        # At most one volume in each of the three stages: read, denoised,
        # written; a stage's error surfaces when the main thread waits on it.
        with PassBar(progress, count, len(passes(method_run(method, coils)))) as bar, \
                ReadAhead(volumes, count) as ahead, \
                ThreadPoolExecutor(1, thread_name_prefix="denoisers-write") as writer:
            written = None
            for t in range(count):
                v = ahead(t)
                r = denoised(v, t, sigmas[t], inside(t), bar)
                if written is not None:
                    written.result()
                written = writer.submit(finish, out, v, r, t, sigmas[t])
                bar.volume_done()
            written.result()
        facts["source_sha256"] = volumes.sha256()

    def denoised(v, t, s, m, bar):
        clean, extremes = finite_extremes(v, m)
        if rician:
            check_negative_magnitudes([clean], [s], True, first=t)
        r = denoise_volume(clean, s, rician, method, radius, bar, cap, m, coils,
                           extremes=extremes)
        if m is not None:
            outside = ~m
            r[outside] = v[outside]
        return r

    def finish(out, v, r, t, s):
        """The checks of volume t and its bytes written (on the writer's thread)."""
        facts["mostly_zero"] += mostly_zero_volumes(v, r, s, number=t)
        facts["scores"].append(structure_score(v, r, s))
        values, slope, inter, clipped = nifti.output_values(volumes.img, r, keep_dtype)
        facts["clipped"] += clipped
        if t == 0:
            head, disk[0] = nifti.header_bytes(volumes.img, volumes.img.shape, values.dtype,
                                               slope, inter)
            out.write(head)
        # An F-ordered volume's transpose is C-contiguous over the same bytes.
        out.write(np.asfortranarray(values.astype(disk[0], copy=False)).T)

    disk = [None]  # the voxels' dtype on disk, from the first volume's values

    try:
        nifti.save_streamed(write, output, lambda: record(facts), cap or None)
    finally:
        volumes.close()
    return facts
