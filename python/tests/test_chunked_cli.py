"""Fault: the chunked command reads a NIfTI's values differently from the
whole-volume command (its scaling, its fourth axis of one), writes a chunk
to the wrong place of the output file, loses the header or the affine on
the way through zarr, or leaves temporary files behind."""
import json

import nibabel as nib
import numpy as np
import zarr

from denoisers import cli
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
