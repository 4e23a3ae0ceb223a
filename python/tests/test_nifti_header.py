"""Fault: a denoised file loses or alters header information (orientation,
qform/sform and their codes, voxel sizes and TR, units, intent, description)
or the meaning of the values under scl_slope/scl_inter."""
import nibabel as nib
import numpy as np
import pytest

import denoisers
from denoisers import cli, nifti
from conftest import phantom

# Fields that must change with a float32 output; everything else is kept.
_FLOAT_OUTPUT_FIELDS = {"datatype", "bitpix", "scl_slope", "scl_inter"}


def _oblique_affine():
    angle = 0.3
    rot = np.array([[np.cos(angle), -np.sin(angle), 0], [np.sin(angle), np.cos(angle), 0],
                    [0, 0, 1]])
    affine = np.eye(4)
    affine[:3, :3] = rot @ np.diag([-1.2, 0.9, 2.5])  # left-handed, anisotropic
    affine[:3, 3] = [90.5, -126.0, -72.25]
    return affine


def _make(path, klass, data, dtype, slope=None, inter=None, four_d=False):
    img = klass(data.astype(dtype), _oblique_affine())
    h = img.header
    h.set_data_dtype(dtype)
    h.set_qform(_oblique_affine(), code=1)
    sform = _oblique_affine()
    sform[:3, 3] += [1.0, 2.0, 3.0]  # a second, different space
    h.set_sform(sform, code=4)
    h.set_xyzt_units("mm", "msec" if four_d else "unknown")
    if four_d:
        h["pixdim"][4] = 2000.0
    h.set_intent("estimate", name="T1w")
    h["descrip"] = b"odd orientation test"
    h.set_slice_duration = None
    img.update_header()
    if slope is not None:
        h.set_slope_inter(slope, inter)
    nib.save(img, str(path))
    return path


def _differing_fields(a, b):
    out = set()
    for key in a.keys():
        va, vb = np.asarray(a[key]), np.asarray(b[key])
        same = np.array_equal(va, vb) or (va.dtype.kind == "f" and np.array_equal(
            va, vb, equal_nan=True))
        if not same:
            out.add(key)
    return out


CASES = [
    ("nifti1 int16 scaled", nib.Nifti1Image, np.int16, 0.5, 3.0, False, ".nii.gz"),
    ("nifti2 uint8", nib.Nifti2Image, np.uint8, None, None, False, ".nii"),
    ("nifti1 float64 4-D", nib.Nifti1Image, np.float64, None, None, True, ".nii.gz"),
    ("nifti2 int32 scaled 4-D", nib.Nifti2Image, np.int32, 2.0, -100.0, True, ".nii"),
]


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_header_round_trip(tmp_path, case):
    _, klass, dtype, slope, inter, four_d, ext = case
    _, noisy = phantom(shape=(12, 10, 9))
    data = np.stack([noisy, noisy * 0.8], -1) if four_d else noisy
    stored = np.round((data - (inter or 0.0)) / (slope or 1.0)) if slope else np.round(data)
    src = _make(tmp_path / f"in{ext}", klass, stored, dtype, slope, inter, four_d)
    img = nib.load(str(src))

    assert cli.main(["denoise", str(src), str(tmp_path / f"out{ext}"), "--quiet"]) == 0
    out = nib.load(str(tmp_path / f"out{ext}"))
    assert type(out) is klass and out.get_data_dtype() == np.float32
    assert _differing_fields(img.header, out.header) <= _FLOAT_OUTPUT_FIELDS
    assert np.array_equal(out.affine, img.affine)
    expected, _ = denoisers.denoise(img.get_fdata())
    assert np.array_equal(out.get_fdata(), expected.astype(np.float32))

    assert cli.main(["denoise", str(src), str(tmp_path / f"kept{ext}"), "--quiet",
                     "--keep-dtype"]) == 0
    kept = nib.load(str(tmp_path / f"kept{ext}"))
    assert _differing_fields(img.header, kept.header) == set()
    step = slope or 1.0
    # Rounded to the input's grid of values, under its own scaling.
    assert np.max(np.abs(kept.get_fdata() - expected)) <= step / 2 + 1e-9


def test_keep_dtype_clips_and_counts(tmp_path):
    img = nib.Nifti1Image(np.zeros((4, 4, 4), np.uint8), np.eye(4))
    data = np.full((4, 4, 4), 100.0)
    data[0, 0, :2] = [-3.0, 300.0]
    out, clipped = nifti.output_image(img, data, keep_dtype=True)
    assert clipped == 2
    assert np.asanyarray(out.dataobj)[0, 0, :2].tolist() == [0, 255]
