"""gzip files as the command reads and writes them: read in order as a
stream, and written compressed by several threads at once.

A gzip file may hold several members one after another; every reader
(gzip, zlib, nibabel, zcat) reads their concatenation as one stream. The
writer cuts its bytes into MEMBER-sized pieces and compresses each into a
member of its own on a pool of threads (zlib lets go of the GIL while it
works), so an output compresses about as many times faster as there are
cores, with the decompressed bytes exactly what one member would hold.
Members are written in order, as soon as each is ready, and the writer
keeps only a few in flight, so a series streamed volume by volume never
holds more than some members in memory. The level is nibabel's (1): about
the same size as nibabel's own writes. Where Debian's libdeflate0 is
installed its deflate makes the members, about three times zlib's speed at
that level for the same size on float32 volumes (the same bytes once
decompressed; the compressed bytes differ from zlib's); elsewhere zlib
does.
"""
import ctypes
import gzip
import hashlib
import io
import os
import struct
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np

LEVEL = 1
MEMBER = 1 << 20  # bytes of input per member: 28 per T1 volume, a few MiB in flight
# The gzip header of every member: no name, no time stamp (so equal bytes
# in make equal bytes out), "unknown" operating system.
_HEADER = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff"


def _zlib_deflate(data):
    body = zlib.compressobj(LEVEL, zlib.DEFLATED, -zlib.MAX_WBITS)
    return body.compress(data) + body.flush()


class _Libdeflate:
    """libdeflate's raw deflate through ctypes, which lets go of the GIL
    for the call. A compressor serves one thread at a time, so each call
    takes its own: allocating one is little beside a member's work."""

    def __init__(self, lib):
        self._lib = lib
        lib.libdeflate_alloc_compressor.restype = ctypes.c_void_p
        lib.libdeflate_alloc_compressor.argtypes = [ctypes.c_int]
        lib.libdeflate_free_compressor.restype = None
        lib.libdeflate_free_compressor.argtypes = [ctypes.c_void_p]
        lib.libdeflate_deflate_compress_bound.restype = ctypes.c_size_t
        lib.libdeflate_deflate_compress_bound.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        lib.libdeflate_deflate_compress.restype = ctypes.c_size_t
        lib.libdeflate_deflate_compress.argtypes = [ctypes.c_void_p, ctypes.c_void_p,
                                                    ctypes.c_size_t, ctypes.c_void_p,
                                                    ctypes.c_size_t]

    def __call__(self, data):
        lib = self._lib
        source = np.frombuffer(data, dtype=np.uint8)  # read-only buffers too, not copied
        compressor = lib.libdeflate_alloc_compressor(LEVEL)
        if not compressor:
            raise MemoryError("libdeflate could not allocate a compressor")
        try:
            capacity = lib.libdeflate_deflate_compress_bound(compressor, source.size)
            out = ctypes.create_string_buffer(capacity)
            size = lib.libdeflate_deflate_compress(compressor, source.ctypes.data, source.size,
                                                   out, capacity)
        finally:
            lib.libdeflate_free_compressor(compressor)
        if size == 0:  # cannot happen within the bound; never write a member short
            raise RuntimeError("libdeflate: the compressed member exceeded its bound")
        return ctypes.string_at(out, size)


def _deflater():
    """libdeflate's deflate where the library loads, else zlib's."""
    try:
        return _Libdeflate(ctypes.CDLL("libdeflate.so.0"))
    except (OSError, AttributeError):  # missing, or too old to have these calls
        return _zlib_deflate


# The deflate of every member, found by the first compressing Writer: a
# command that writes no .nii.gz never loads the library.
DEFLATE = None


def _member(data, deflate):
    return _HEADER + deflate(data) + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


class Writer:
    """A binary file to write into, as a plain file or compressed in gzip
    members by `threads` threads; it counts and digests (SHA-256) the bytes
    that reach the disk, so that the sidecar records them without reading
    the file again. Use it in a with block (the pool and file close)."""

    def __init__(self, path, compress, threads=None):
        self._file = open(path, "wb")
        self._digest = hashlib.sha256()
        self.size = 0  # bytes on disk
        self._position = 0  # bytes written in, before compression
        self._pending = []  # compressed members in order, futures
        self._held = []  # what does not fill a member yet
        self._held_bytes = 0
        self._threads = threads or len(os.sched_getaffinity(0))
        self._pool = ThreadPoolExecutor(self._threads) if compress else None
        global DEFLATE
        if compress and DEFLATE is None:
            DEFLATE = _deflater()
        self._deflate = DEFLATE

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        try:
            if kind is None:
                self._finish()
        finally:
            if self._pool is not None:
                self._pool.shutdown(cancel_futures=True)
            self._file.close()

    def _out(self, data):
        self._file.write(data)
        self._digest.update(data)
        self.size += len(data)

    def tell(self):
        return self._position

    def seek(self, offset, whence=io.SEEK_SET):
        """Only to where it stands: a stream goes forward by writing (nibabel
        writes the zeros up to the data's offset when a seek fails)."""
        if (whence, offset) not in ((io.SEEK_SET, self._position), (io.SEEK_CUR, 0)):
            raise io.UnsupportedOperation("a stream written in order does not seek")
        return self._position

    def read(self, size=-1):  # a file object to nibabel has both; this one only writes
        raise io.UnsupportedOperation("read")

    def write(self, data):
        data = memoryview(data).cast("B")
        self._position += len(data)
        if self._pool is None:
            self._out(data)
            return
        self._held.append(data.tobytes())
        self._held_bytes += len(data)
        if self._held_bytes >= MEMBER:
            joined = memoryview(b"".join(self._held))
            whole = len(joined) // MEMBER * MEMBER
            for start in range(0, whole, MEMBER):
                self._submit(joined[start:start + MEMBER])
            self._held = [joined[whole:].tobytes()]
            self._held_bytes = len(joined) - whole

    def _submit(self, piece):
        self._pending.append(self._pool.submit(_member, piece, self._deflate))
        # Write what is ready in order; hold at most two members per thread.
        while self._pending and (self._pending[0].done()
                                 or len(self._pending) > 2 * self._threads):
            self._out(self._pending.pop(0).result())

    def _finish(self):
        if self._pool is not None:
            if self._held_bytes or not self._position:  # an empty input: one empty member
                self._submit(b"".join(self._held))
                self._held, self._held_bytes = [], 0
            for future in self._pending:
                self._out(future.result())
            self._pending = []
        self._file.flush()

    def sha256(self):
        return self._digest.hexdigest()


class _Digested:
    """A binary file whose bytes are digested (SHA-256) as they are read."""

    def __init__(self, file):
        self.file = file
        self.digest = hashlib.sha256()

    def read(self, size=-1):
        data = self.file.read(size)
        self.digest.update(data)
        return data


class Reader:
    """A file read in order, piece by piece, as it is on disk or through its
    gzip members (Python's gzip reader: members, padding and truncation as
    every reader takes them), digesting the file's bytes as they pass."""

    def __init__(self, path, compressed):
        self._raw = _Digested(open(path, "rb"))
        self._stream = gzip.GzipFile(fileobj=self._raw, mode="rb") if compressed else self._raw

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._raw.file.close()

    def read(self, size):
        """Exactly `size` bytes (EOFError when the file ends before)."""
        data = self._stream.read(size)
        if len(data) < size:
            raise EOFError("the file ends before its voxels do (a truncated file?)")
        return data

    def sha256(self):
        """The digest of the whole file (the part not read yet is read now)."""
        while self._raw.read(1 << 20):
            pass
        return self._raw.digest.hexdigest()
