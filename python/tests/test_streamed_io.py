"""Fault: the command's faster paths (a series streamed volume by volume, a
sigma estimated from volumes read one at a time, .nii.gz compressed in
members on threads) write other bytes or values, another sigma, or a
sidecar whose digest is not the file's."""
import gzip
import hashlib
import json

import nibabel as nib
import numpy as np
import pytest

import denoisers
from denoisers import cli, gzip_io, nifti, series_file
from denoisers.sigma import estimate_noise_streamed
from conftest import phantom


def _series(path, dtype, slope=None):
    _, noisy = phantom(shape=(16, 14, 12))
    data = np.stack([noisy, noisy * 0.7, noisy * 1.3], -1)
    img = nib.Nifti1Image((data / (slope or 1.0)).round().astype(dtype) if slope else
                          data.astype(dtype), np.diag([2.0, 2.0, 2.0, 1.0]))
    if slope:
        img.header.set_slope_inter(slope, 0.0)
    nib.save(img, str(path))
    return path


@pytest.mark.parametrize("dtype, slope", [(np.float32, None), (np.int16, 0.25)])
def test_streamed_outputs_are_the_whole_series_outputs(tmp_path, monkeypatch, capsys, dtype,
                                                       slope):
    monkeypatch.setattr(gzip_io, "MEMBER", 1 << 12)  # many members
    source = _series(tmp_path / "in.nii", dtype, slope)
    img = nib.load(str(source))
    for keep in (False, True):
        extra = ["--keep-dtype"] if keep else []
        expected, sigma = denoisers.denoise(img.get_fdata(), method="quillon")
        reference = tmp_path / "reference.nii"
        nib.save(nifti.output_image(img, expected, keep)[0], str(reference))
        for name in ("out.nii", "out.nii.gz"):
            out = tmp_path / name
            assert cli.main(["denoise", str(source), str(out), "--method", "quillon",
                             "--quiet", *extra]) == 0
            raw = out.read_bytes()
            meta = json.loads(nifti.sidecar_path(out).read_text())
            assert meta["OutputBytes"] == len(raw)
            assert meta["OutputSHA256"] == hashlib.sha256(raw).hexdigest()
            assert meta["NoiseSigma"] == sigma.tolist()
            assert meta["SourceSHA256"] == nifti.sha256(source)
            if name.endswith(".gz"):
                assert raw.count(b"\x1f\x8b\x08") > 2  # members, read as one stream
                raw = gzip.decompress(raw)
                # and read back a volume at a time by the command's own reader
                values = nib.load(str(reference)).get_fdata()
                volumes = series_file.Volumes(out, nib.load(str(out)))
                assert all(np.array_equal(volumes(t), values[..., t]) for t in (0, 2, 1))
                volumes.close()
            assert raw == reference.read_bytes()
    # `denoisers sigma` reads a series volume by volume too.
    assert cli.main(["sigma", str(source), "--json"]) == 0
    printed = json.loads(capsys.readouterr().out)
    assert printed["estimate"] == denoisers.estimate_noise(img.get_fdata()).record()
    # A 3-D volume goes through the threads' writer too.
    nib.save(img.slicer[..., 1], str(tmp_path / "one.nii"))
    assert cli.main(["denoise", str(tmp_path / "one.nii"), str(tmp_path / "a.nii.gz"),
                     "--sigma", "5", "--quiet"]) == 0
    expected, _ = denoisers.denoise(nib.load(str(tmp_path / "one.nii")).get_fdata(), 5.0)
    assert np.array_equal(nib.load(str(tmp_path / "a.nii.gz")).get_fdata(),
                          expected.astype(np.float32))


def test_estimate_from_volumes_read_one_at_a_time_is_the_series_estimate():
    _, noisy = phantom(shape=(16, 14, 12))
    series = np.asfortranarray(np.stack([noisy, noisy * 0.8, np.zeros_like(noisy)], -1))
    tiny = np.asfortranarray(series[:8, :8, :6])  # no volume has an estimate of its own
    for data in (series, tiny):
        whole = denoisers.estimate_noise(data)
        asked = []

        def read(t):
            asked.append(t)
            return np.asfortranarray(data[..., t])

        streamed = estimate_noise_streamed(read, data.shape[3])
        assert streamed.sigmas == whole.sigmas and streamed.record() == whole.record()
        assert streamed.warnings == whole.warnings
    # In order, again from the first for the side-by-side estimate and the
    # repeats, and the first once more for the noise's variation.
    assert asked == [0, 1, 2] * 3 + [0]

    def failing(t):
        if t == 2:
            raise OSError("the disk went away")
        return np.asfortranarray(series[..., t])

    with pytest.raises(OSError, match="went away"):
        estimate_noise_streamed(failing, 3)
    with pytest.raises(ValueError, match="Fortran-ordered"):
        estimate_noise_streamed(lambda t: np.ascontiguousarray(series[..., t]), 3)


def test_threaded_gzip_is_one_stream_with_the_same_bytes_for_any_thread_count(tmp_path,
                                                                               monkeypatch,
                                                                               gzip_backend):
    monkeypatch.setattr(gzip_io, "MEMBER", 1000)
    data = np.random.default_rng(0).integers(0, 4, 25_000, dtype=np.uint8).tobytes()
    written = []
    for threads in (1, 3):
        for payload in (data, b""):
            path = tmp_path / f"{threads}-{len(payload)}.gz"
            with gzip_io.Writer(path, True, threads) as out:
                for start in range(0, len(payload), 777):  # pieces across the members
                    out.write(payload[start:start + 777])
            raw = path.read_bytes()
            assert gzip.decompress(raw) == payload
            assert (out.size, out.sha256()) == (len(raw), hashlib.sha256(raw).hexdigest())
            written.append(raw)
    assert written[:2] == written[2:]


def test_read_ahead_gives_what_is_asked_in_any_order_one_read_at_a_time():
    running, seen = [], []

    def read(t):
        running.append(t)
        assert len(running) == 1  # never two reads at once
        seen.append(t)
        running.pop()
        if t == 3:
            raise OSError("damaged")
        return t * 10

    with series_file.ReadAhead(read, 4) as ahead:
        assert [ahead(t) for t in (0, 1, 0, 2, 1)] == [0, 10, 0, 20, 10]
        with pytest.raises(OSError, match="damaged"):  # the error reaches the one who asks
            ahead(3)
    assert seen.count(3) == 2  # read ahead after 2, then read again when asked
