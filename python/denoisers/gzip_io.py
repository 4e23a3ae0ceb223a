"""gzip files as the command reads and writes them: read in order as a
stream, or decompressed whole; written compressed by several threads at
once.

A gzip file may hold several members one after another; every reader
(gzip, zlib, nibabel, zcat) reads their concatenation as one stream. The
writer cuts its bytes into MEMBER-sized pieces and compresses each into a
member of its own on a pool of threads (the compressors let go of the GIL
while they work), so an output compresses about as many times faster as
there are cores, with the decompressed bytes exactly what one member would
hold. Members are written in order, as soon as each is ready, and the
writer keeps only a few in flight, so a series streamed volume by volume
never holds more than some members in memory. The level is nibabel's (1):
about the same size as nibabel's own writes.

Where Debian's libdeflate0 is installed, it deflates the members and
inflates whole files, about three times zlib's speed either way (at level
1 for the same size on float32 volumes; the decompressed bytes are the
same, the compressed ones differ from zlib's); elsewhere zlib does.

Only the standard library here: read_ahead uses this before numpy loads.
"""
import ctypes
import functools
import gzip
import hashlib
import io
import os
import struct
import zlib
from concurrent.futures import ThreadPoolExecutor

LEVEL = 1
MEMBER = 1 << 20  # bytes of input per member: 28 per T1 volume, a few MiB in flight
# The gzip header of every member: no name, no time stamp (so equal bytes
# in make equal bytes out), "unknown" operating system.
_HEADER = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff"
_STEP = 1 << 20  # compressed bytes per zlib call: one member's leftover copy stays small


def _zlib_deflate(data):
    body = zlib.compressobj(LEVEL, zlib.DEFLATED, -zlib.MAX_WBITS)
    return body.compress(data) + body.flush()


def _zlib_inflate(compressed, size):
    """inflate() by zlib, a bounded piece at a time."""
    view = memoryview(compressed)
    parts, made, at = [], 0, 0
    try:
        while made < size:
            member = zlib.decompressobj(31)
            while not member.eof:
                if at >= len(view):
                    return None  # the data end inside a member, or before `size` bytes
                given = view[at:at + _STEP]
                # At most one byte past `size`: enough to tell a member running past it.
                piece = member.decompress(given, size - made + 1)
                at += len(given) - len(member.unconsumed_tail)
                made += len(piece)
                parts.append(piece)
                if made > size:
                    return None
            at -= len(member.unused_data)
    except zlib.error:  # damaged
        return None
    return b"".join(parts)


class _Libdeflate:
    """libdeflate through ctypes, which lets go of the GIL for each call. A
    compressor or decompressor serves one thread at a time, so each call
    takes its own: allocating one is little beside the call's work."""

    def __init__(self, lib):
        self._lib = lib
        size_t, pointer = ctypes.c_size_t, ctypes.c_void_p
        signatures = {
            "alloc_compressor": (pointer, [ctypes.c_int]),
            "free_compressor": (None, [pointer]),
            "deflate_compress_bound": (size_t, [pointer, size_t]),
            "deflate_compress": (size_t, [pointer, pointer, size_t, pointer, size_t]),
            "alloc_decompressor": (pointer, []),
            "free_decompressor": (None, [pointer]),
            "gzip_decompress_ex": (ctypes.c_int, [pointer, pointer, size_t, pointer, size_t,
                                                  ctypes.POINTER(size_t),
                                                  ctypes.POINTER(size_t)]),
        }
        for name, (result, arguments) in signatures.items():
            function = getattr(lib, "libdeflate_" + name)
            function.restype, function.argtypes = result, arguments

    def deflate(self, data):
        """data (a writable buffer: ctypes takes no read-only one without a
        copy) as a raw deflate stream at LEVEL."""
        lib = self._lib
        source = (ctypes.c_char * len(data)).from_buffer(data) if len(data) else None
        compressor = lib.libdeflate_alloc_compressor(LEVEL)
        if not compressor:
            raise MemoryError("libdeflate could not allocate a compressor")
        try:
            capacity = lib.libdeflate_deflate_compress_bound(compressor, len(data))
            out = ctypes.create_string_buffer(capacity)
            size = lib.libdeflate_deflate_compress(compressor, source, len(data), out, capacity)
        finally:
            lib.libdeflate_free_compressor(compressor)
        if size == 0:  # cannot happen within the bound; never write a member short
            raise RuntimeError("libdeflate: the compressed member exceeded its bound")
        return ctypes.string_at(out, size)

    def inflate(self, compressed, size):
        """inflate() by libdeflate, member by whole member."""
        if not size:
            return b""
        lib = self._lib
        source = ctypes.c_char_p(compressed)  # bytes: its own buffer, not copied
        base = ctypes.cast(source, ctypes.c_void_p).value
        out = bytearray(size)
        target = ctypes.addressof((ctypes.c_char * size).from_buffer(out))
        used, made = ctypes.c_size_t(), ctypes.c_size_t()
        taken = given = 0
        decompressor = lib.libdeflate_alloc_decompressor()
        if not decompressor:
            raise MemoryError("libdeflate could not allocate a decompressor")
        try:
            while given < size and taken < len(compressed):
                status = lib.libdeflate_gzip_decompress_ex(
                    decompressor, base + taken, len(compressed) - taken,
                    target + given, size - given, ctypes.byref(used), ctypes.byref(made))
                if status != 0:  # damaged, or a member running past `size`
                    return None
                taken += used.value
                given += made.value
        finally:
            lib.libdeflate_free_decompressor(decompressor)
        return out if given == size else None


@functools.lru_cache(maxsize=None)
def _library():
    """libdeflate where Debian's libdeflate0 loads, else None."""
    try:
        return _Libdeflate(ctypes.CDLL("libdeflate.so.0"))
    except (OSError, AttributeError):  # missing, or too old to have these calls
        return None


def _deflater():
    """The deflate of every member: libdeflate's where it loads (found by
    the first compressing Writer, so a command that writes no .nii.gz never
    loads the library), else zlib's."""
    lib = _library()
    return _zlib_deflate if lib is None else lib.deflate


def inflate(compressed, size):
    """The first `size` bytes that the gzip members in `compressed` (bytes)
    hold, or None when they do not give those bytes cleanly (damaged,
    truncated; with libdeflate also a member running past them): the
    caller's own reader then reads the file, and says what is wrong."""
    lib = _library()
    if lib is None:
        return _zlib_inflate(compressed, size)
    return lib.inflate(compressed, size)


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
        self._deflate = _deflater() if compress else None

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
            # Writable, for libdeflate to read in place.
            joined = memoryview(bytearray().join(self._held))
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
                self._submit(bytearray().join(self._held))
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
