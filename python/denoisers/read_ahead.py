"""The input of `denoisers denoise IN.nii.gz OUT ...`, read and decompressed
on a thread while the interpreter imports numpy, nibabel and the filters:
the imports take about as long as decompressing a brain volume (0.3 s),
and the command's read then finds the bytes at hand (nifti.load takes
them).

Only the standard library here: this runs before anything heavy is
imported. Only a 3-D .nii.gz of at most LARGEST bytes is read ahead: a
series is read volume by volume and a chunked run never whole, and holding
a large volume twice would cost more memory than the time it saves.
Whatever goes wrong here (a damaged file, one that changed, a guess at the
input that was wrong) only means that the command reads the file itself,
as it would have, and says what is wrong then.
"""
import os
import struct
import threading
import zlib

LARGEST = 1 << 30  # decompressed bytes
_ahead = None


class _Ahead:
    def __init__(self, path):
        self.path = os.path.realpath(path)
        self.stamp = _stamp(path)
        self.raw = None
        self.done = threading.Event()
        threading.Thread(target=self._read, name="denoisers-read-ahead", daemon=True).start()

    def _read(self):
        try:
            from . import gzip_io  # here, so that the thread starts before its imports

            with open(self.path, "rb") as f:
                compressed = f.read()
            end = _voxels_end(compressed)
            if end is not None:
                self.raw = gzip_io.inflate(compressed, end)
        except Exception:  # noqa: BLE001 (the command's own read says what is wrong)
            self.raw = None
        finally:
            self.done.set()


def start(argv):
    """Starts reading ahead the input of a `denoise` command line (argv: its
    arguments, without the program's name): the first argument that names
    a .nii.gz file, which is the input unless an option's value comes
    first (then that file is read ahead: a mask also goes through
    nifti.load)."""
    global _ahead
    if not argv or argv[0] != "denoise" or any(_chunked(a) for a in argv):
        return
    for argument in argv[1:]:
        if argument.endswith(".nii.gz") and not argument.startswith("-"):
            if os.path.isfile(argument):
                _ahead = _Ahead(argument)
            return


def take(path):
    """The decompressed bytes of the file at path when they were read ahead
    and it has not changed since, else None. Given once: the bytes are
    not held after."""
    global _ahead
    ahead = _ahead
    if ahead is None or os.path.realpath(path) != ahead.path:
        return None
    _ahead = None
    ahead.done.wait()
    try:
        same = _stamp(path) == ahead.stamp
    except OSError:
        return None
    return ahead.raw if same else None


def _chunked(argument):
    """Whether an argument is --chunks or --scheduler, or what argparse
    takes for one of them (a prefix, a value after =)."""
    option = argument.split("=", 1)[0]
    return len(option) > 3 and any(name.startswith(option) for name in ("--chunks",
                                                                        "--scheduler"))


def _stamp(path):
    s = os.stat(path)
    return s.st_ino, s.st_size, s.st_mtime_ns


def _voxels_end(compressed):
    """Where the voxels end in the decompressed file, from the NIfTI-1 or
    NIfTI-2 header at the start of the gzip data, when it declares at most
    three dimensions and at most LARGEST bytes of voxels; else None."""
    head = zlib.decompressobj(31).decompress(compressed[:1 << 16], 540)
    for order in "<>":
        if len(head) >= 348 and struct.unpack(order + "i", head[:4])[0] == 348:
            dims = struct.unpack(order + "8h", head[40:56])
            bits = struct.unpack(order + "h", head[72:74])[0]
            offset = struct.unpack(order + "f", head[108:112])[0]
            break
        if len(head) >= 540 and struct.unpack(order + "i", head[:4])[0] == 540:
            dims = struct.unpack(order + "8q", head[16:80])
            bits = struct.unpack(order + "h", head[14:16])[0]
            offset = struct.unpack(order + "q", head[168:176])[0]
            break
    else:
        return None
    if not (1 <= dims[0] <= 3 and bits > 0 and bits % 8 == 0 and 0 <= offset < LARGEST):
        return None
    voxels = 1
    for n in dims[1:dims[0] + 1]:
        voxels *= max(n, 0)
    size = voxels * (bits // 8)
    return int(offset) + size if size <= LARGEST else None
