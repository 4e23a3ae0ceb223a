"""Fault: the chunked command reads a NIfTI's values differently from the
whole-volume command (its scaling, its fourth axis of one), writes a chunk
to the wrong place of the output file, loses the header or the affine on
the way through zarr, leaves temporary files behind (its own, or a killed
run's), or on a cluster denoises another file than the one named, or fills
stderr with tracebacks when stopped."""
import json
import signal
import subprocess
import sys
import time

import nibabel as nib
import numpy as np
import pytest
import zarr

from denoisers import chunked_io, cli, nifti
from conftest import phantom


def test_nifti_and_zarr_chunked_equal_the_whole_volume_command(tmp_path):
    _, noisy = phantom(shape=(40, 36, 30), sigma=6.0, seed=2)
    stored = np.round(noisy * 4.0).astype(np.int16)[..., None]  # X x Y x Z x 1
    affine = np.diag([0.5, 0.6, 0.7, 1.0])
    img = nib.Nifti1Image(stored, affine)
    img.header.set_slope_inter(0.25, 3.0)
    source = tmp_path / "in.nii"
    nib.save(img, str(source))
    common = ["--sigma", "6", "--method", "quillon+tessary", "--radius", "2", "--quiet"]

    assert cli.main(["denoise", str(source), str(tmp_path / "whole.nii"), *common]) == 0
    whole = nib.load(str(tmp_path / "whole.nii"))
    # What killed runs left: a NIfTI's temporaries, a zarr store's, a sidecar's.
    (tmp_path / ".direct.nii.gz.k1llz.partial").write_bytes(b"stale")
    (tmp_path / ".store.zarr.k1llz.partial").mkdir()
    (tmp_path / ".store.json.k1llz.partial").write_text("{}")
    noisy_store = zarr.open_array(str(tmp_path / "noisy.zarr"), mode="w", shape=noisy.shape,
                                  chunks=(17, 17, 17), dtype=np.float64)
    noisy_store[:] = stored[..., 0] * 0.25 + 3.0
    noisy_store.attrs["affine"] = affine.tolist()
    chains = [(source, "direct.nii.gz", ["--chunks", "16"]),
              (source, "store.zarr", ["--chunks", "14"]),
              (tmp_path / "noisy.zarr", "back.nii", [])]
    for src, name, extra in chains:
        assert cli.main(["denoise", str(src), str(tmp_path / name), *common, *extra]) == 0

    expected = whole.get_fdata()
    store = zarr.open_array(str(tmp_path / "store.zarr"), mode="r")
    assert store.chunks == (14, 14, 14) and store.dtype == np.float32
    assert np.allclose(store.attrs["affine"], affine)
    for got in (nib.load(str(tmp_path / "direct.nii.gz")).get_fdata(), store[:],
                nib.load(str(tmp_path / "back.nii")).get_fdata()):
        np.testing.assert_allclose(got.reshape(expected.shape), expected, rtol=1e-6, atol=1e-5)
    direct = nib.load(str(tmp_path / "direct.nii.gz"))
    assert np.array_equal(direct.affine, whole.affine)
    assert direct.header.get_zooms() == whole.header.get_zooms()
    assert np.allclose(nib.load(str(tmp_path / "back.nii")).affine, affine)
    sidecar = json.loads((tmp_path / "store.json").read_text())
    assert sidecar["NoiseSigma"] == [6.0] and sidecar["Method"] == "quillon+tessary"
    assert nifti.matches_record(tmp_path / "direct.nii.gz",
                                json.loads((tmp_path / "direct.json").read_text()))
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


def test_chunked_options_that_do_not_apply_are_usage_errors(tmp_path, capsys):
    _, noisy = phantom(shape=(12, 10, 9))
    source = tmp_path / "in.nii"
    nib.save(nib.Nifti1Image(noisy.astype(np.float32), np.eye(4)), str(source))
    for extra in (["--keep-dtype"], ["--mask", str(source)], ["--method", "auto"]):
        try:
            code = cli.main(["denoise", str(source), str(tmp_path / "o.zarr"), *extra])
        except SystemExit as e:
            code = e.code
        assert code == 2
    assert "not available with chunks" in capsys.readouterr().err
    assert not (tmp_path / "o.zarr").exists()


def test_a_cluster_reads_the_clients_file_or_refuses(tmp_path, monkeypatch):
    distributed = pytest.importorskip("distributed")
    client_dir, worker_dir = tmp_path / "client", tmp_path / "worker"
    for folder, seed in ((client_dir, 3), (worker_dir, 4)):
        folder.mkdir()
        _, noisy = phantom(shape=(40, 36, 30), sigma=6.0, seed=seed)
        nib.save(nib.Nifti1Image(noisy.astype(np.float32), np.eye(4)), str(folder / "in.nii"))
    monkeypatch.chdir(worker_dir)  # the workers start here, beside another in.nii
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        monkeypatch.chdir(client_dir)
        common = ["--sigma", "6", "--method", "quillon", "--quiet"]
        assert cli.main(["denoise", "in.nii", "whole.nii", *common]) == 0
        assert cli.main(["denoise", "in.nii", "chunked.nii", "--chunks", "16",
                         "--scheduler", cluster.scheduler_address, *common]) == 0
        np.testing.assert_allclose(nib.load("chunked.nii").get_fdata(),
                                   nib.load("whole.nii").get_fdata(), rtol=1e-6, atol=1e-5)

        # A worker that finds another file than the client hashed refuses it.
        reader, _, _ = chunked_io.open_volume("in.nii")
        nib.save(nib.Nifti1Image(np.zeros((40, 36, 30), np.float32), np.eye(4)), "in.nii")
        with pytest.raises(nifti.NiftiError, match="reads another file"):
            client.submit(lambda r: r[:2, :2, :2], reader).result()


def test_a_stopped_cluster_run_ends_quietly(tmp_path):
    distributed = pytest.importorskip("distributed")
    _, noisy = phantom(shape=(96, 96, 96), sigma=6.0, seed=5)
    source = tmp_path / "in.nii"
    nib.save(nib.Nifti1Image(noisy.astype(np.float32), np.eye(4)), str(source))
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        child = subprocess.Popen(
            [sys.executable, "-m", "denoisers", "denoise", source, tmp_path / "out.nii",
             "--chunks", "16", "--sigma", "6", "--scheduler", cluster.scheduler_address],
            stderr=subprocess.PIPE, text=True)
        try:
            # The output's temporary appears once the chunks are under way.
            deadline = time.monotonic() + 300
            while not list(tmp_path.glob(".out.nii.*")) and time.monotonic() < deadline:
                time.sleep(0.02)
            time.sleep(1.0)
            child.send_signal(signal.SIGTERM)
            _, err = child.communicate(timeout=300)
        finally:
            child.kill()
    assert child.returncode == 143, err
    assert err.strip() == "denoisers: interrupted; no partial file left"  # no AllExit tracebacks
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.nii"]
