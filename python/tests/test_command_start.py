"""Fault: the command's input, read ahead while its modules import, gives
other values than the file (scaling, a stale copy of a file that changed),
or is read ahead where it must not be (a series, a chunked run); a gzip
file decompressed whole gives other bytes than its members hold, or bytes
where it is damaged; the restart on large pages drops the user's glibc
settings, overrides them, or restarts again and again."""
import gzip
import os

import nibabel as nib
import numpy as np
import pytest

from denoisers import cli, gzip_io, launch, read_ahead
from conftest import phantom


def test_a_gzip_file_decompressed_whole_is_its_members_bytes_or_nothing(tmp_path, monkeypatch,
                                                                        gzip_backend):
    monkeypatch.setattr(gzip_io, "MEMBER", 1000)
    monkeypatch.setattr(gzip_io, "_STEP", 700)  # zlib's pieces end inside members
    data = np.random.default_rng(1).integers(0, 4, 25_000, dtype=np.uint8).tobytes()
    with gzip_io.Writer(tmp_path / "many.gz", True, 2) as out:
        out.write(data)
    for compressed in ((tmp_path / "many.gz").read_bytes(), gzip.compress(data)):
        assert bytes(gzip_io.inflate(compressed, len(data))) == data
        assert gzip_io.inflate(compressed[:-9], len(data)) is None  # truncated
        damaged = bytearray(compressed)
        damaged[len(damaged) // 2] ^= 0xFF
        assert gzip_io.inflate(bytes(damaged), len(data)) is None
    assert gzip_io.inflate(gzip.compress(data) + b"more", len(data) + 4) is None


def _volume(path, scale):
    _, noisy = phantom(shape=(20, 18, 16))
    img = nib.Nifti1Image((noisy / scale).round().astype(np.int16), np.eye(4))
    img.header.set_slope_inter(scale, 3.0)
    nib.save(img, str(path))


def test_the_input_read_ahead_gives_the_command_the_files_values(tmp_path, monkeypatch):
    source, changed = tmp_path / "in.nii.gz", tmp_path / "changed.nii.gz"
    _volume(source, 0.5)
    _volume(changed, 0.25)
    taken = []
    take = read_ahead.take
    monkeypatch.setattr(read_ahead, "take", lambda path: taken.append(take(path)) or taken[-1])
    arguments = ["--method", "quillon", "--sigma", "6", "--quiet"]
    assert cli.main(["denoise", str(source), str(tmp_path / "direct.nii"), *arguments]) == 0
    assert launch.main(["denoise", str(source), str(tmp_path / "ahead.nii"), *arguments]) == 0
    assert [raw is None for raw in taken] == [True, False]  # read ahead the second time only
    assert (tmp_path / "ahead.nii").read_bytes() == (tmp_path / "direct.nii").read_bytes()

    # A file that changes after it was read ahead is read again.
    read_ahead.start(["denoise", str(source), "x.nii"])
    os.replace(changed, source)
    assert cli.main(["denoise", str(source), str(tmp_path / "new.nii"), *arguments]) == 0
    assert taken[-1] is None
    values = [nib.load(str(tmp_path / name)).get_fdata() for name in ("new.nii", "direct.nii")]
    assert not np.array_equal(*values)


def test_only_a_plain_run_on_one_volume_is_read_ahead(tmp_path):
    one, series = tmp_path / "one.nii.gz", tmp_path / "series.nii.gz"
    _volume(one, 0.5)
    nib.save(nib.Nifti1Image(np.zeros((6, 5, 4, 3), np.float32), np.eye(4)), str(series))
    for argv, expected in ((["denoise", str(one), "o.nii"], True),
                           (["denoise", "--mask", str(one), "x.nii", "o.nii"], True),
                           (["denoise", str(series), "o.nii"], False),
                           (["denoise", str(one), "o.zarr", "--chunks", "8"], False),
                           (["denoise", str(one), "o.zarr", "--chunk=8"], False),
                           (["sigma", str(one)], False)):
        read_ahead.start(argv)
        path = next(a for a in argv if a.endswith(".nii.gz"))
        assert (read_ahead.take(path) is not None) == expected, argv
        assert read_ahead.take(path) is None  # given once


def test_the_restart_on_large_pages_keeps_the_users_settings_and_happens_once():
    argv = ["/usr/bin/python3", "-m", "denoisers", "denoise", "in.nii.gz", "out.nii.gz"]
    if launch.huge_page_restart({}, argv) is None:
        pytest.skip("not glibc 2.35 or later with large pages on")
    environment, again = launch.huge_page_restart(
        {"GLIBC_TUNABLES": "glibc.malloc.arena_max=2", "HOME": "/home/u"}, argv)
    assert environment == {"GLIBC_TUNABLES": "glibc.malloc.arena_max=2:glibc.malloc.hugetlb=1",
                           "HOME": "/home/u"}
    assert again == argv
    assert launch.huge_page_restart(environment, argv) is None  # once
    assert launch.huge_page_restart({"GLIBC_TUNABLES": "glibc.malloc.hugetlb=0"}, argv) is None
    assert launch.huge_page_restart({}, None) is None
