"""Noise that varies across the image: a map estimated, written, read and
used, and the faults a map could bring (a wrong level, a wrong grid, a map
that is not the scalar call when it is constant)."""
import json
import warnings

import nibabel as nib
import numpy as np
import pytest

import denoisers
from conftest import phantom, run_cli

SHAPE = (72, 64, 48)


def _noisy(profile, seed=4):
    """The phantom's signal under Rician noise of sigma 5 * profile (an
    array of SHAPE), and the true map."""
    clean, _ = phantom(shape=SHAPE, sigma=0.0)
    rng = np.random.default_rng(seed)
    sigma = 5.0 * profile
    parts = [sigma * rng.standard_normal(SHAPE) for _ in range(2)]
    return np.sqrt((clean + parts[0]) ** 2 + parts[1] ** 2), sigma


def _ramp():
    return np.broadcast_to(1.0 + 2.0 * np.linspace(0, 1, SHAPE[0])[:, None, None], SHAPE)


def test_the_map_follows_the_noise_and_its_median_is_the_scalar_estimate():
    flat, _ = _noisy(np.ones(SHAPE))
    m = denoisers.estimate_sigma_map(flat)
    assert m.shape == SHAPE and m.flags.f_contiguous
    assert np.median(m) == pytest.approx(denoisers.estimate_sigma(flat), rel=0.05)
    assert m.max() / m.min() < 1.15

    ramp, truth = _noisy(_ramp())
    m = denoisers.estimate_sigma_map(ramp)
    inner = (slice(12, -12),) + (slice(None),) * 2  # the ramp is held flat past the outer tiles
    assert np.median(np.abs(m[inner] / truth[inner] - 1)) < 0.1
    series = np.stack([ramp, ramp * 1.0], -1)
    assert denoisers.estimate_sigma_map(series).shape == SHAPE
    assert denoisers.estimate_sigma_map(series, per_volume=True).shape == series.shape


def test_a_map_makes_the_noise_uniform_and_a_constant_one_is_the_scalar_call():
    noisy, truth = _noisy(_ramp())
    scalar = denoisers.denoise(noisy, sigma=7.5, method="quillon")
    constant = denoisers.denoise(noisy, sigma=np.full(SHAPE, 7.5), method="quillon")
    assert np.array_equal(scalar.denoised, constant.denoised) and constant.sigma == 7.5
    assert scalar.sigma_map is None
    assert constant.sigma_map == {"File": "given", "Median": 7.5, "Range": [7.5, 7.5]}

    clean, _ = phantom(shape=SHAPE, sigma=0.0)
    head = clean > 0.1 * clean.max()

    def error(out):
        return np.sqrt(np.mean((out[head] - clean[head]) ** 2))

    true_map = denoisers.denoise(noisy, sigma=truth, method="quillon")
    auto = denoisers.denoise(noisy, sigma="auto", method="quillon")
    assert auto.sigma_map["File"] == "estimated"
    assert auto.sigma == pytest.approx(true_map.sigma, rel=0.15)
    assert error(true_map.denoised) < error(scalar.denoised)
    assert error(auto.denoised) < 1.1 * error(true_map.denoised)

    for bad, words in ((np.zeros(SHAPE), "above 0"), (np.ones((4, 4, 4)), "shape"),
                       ("mean", "auto")):
        with pytest.raises(ValueError, match=words):
            denoisers.denoise(noisy, sigma=bad)


def test_maps_through_the_command_line(tmp_path):
    noisy, truth = _noisy(_ramp())
    affine = np.diag([2.0, 2.0, 2.0, 1.0])
    image, out, written = tmp_path / "in.nii.gz", tmp_path / "out.nii.gz", tmp_path / "map.nii"
    nib.save(nib.Nifti1Image(noisy.astype(np.float32), affine), str(image))
    done = run_cli("sigma", image, "--map", written)
    assert done.returncode == 0, done.stderr
    m = nib.load(str(written))
    assert m.shape == SHAPE and np.allclose(m.affine, affine)
    assert json.loads((tmp_path / "map.json").read_text())["Median"] == pytest.approx(
        float(np.median(m.get_fdata())), rel=1e-6)

    page = tmp_path / "page.html"
    for given, source in ((written, str(written)), ("auto", "estimated")):
        page.unlink(missing_ok=True)
        done = run_cli("denoise", image, out, "--method", "quillon", "--quiet",
                       "--sigma-map", given, "--report", page)
        assert done.returncode == 0, done.stderr
        meta = json.loads((tmp_path / "out.json").read_text())
        assert meta["NoiseSigmaMap"]["File"] == source
        assert meta["NoiseSigma"] == [meta["NoiseSigmaMap"]["Median"]]
        assert "<h2>Sigma map</h2>" in page.read_text()  # the map used is shown
    run_cli("denoise", image, out, "--method", "quillon", "--quiet", "--sigma", "5")
    assert json.loads((tmp_path / "out.json").read_text())["NoiseSigmaMap"] == "scalar"

    nib.save(nib.Nifti1Image(truth.astype(np.float32), np.eye(4)), str(written))
    for args in (["--sigma-map", written], ["--sigma", "5", "--sigma-map", "auto"]):
        done = run_cli("denoise", image, out, "--quiet", *args)
        assert done.returncode in (1, 2) and done.stderr.count("\n") == 1, done.stderr


def test_a_scalar_estimate_warns_of_noise_that_varies_and_not_of_uniform_noise():
    # The Colin27 T1, a whole head in air, and the macaque brain, skull-stripped.
    rng = np.random.default_rng(9)
    for name in ("ch2", "inia19-t1-brain"):
        clean = np.asarray(nib.load(f"/usr/share/mricron/templates/{name}.nii.gz").dataobj,
                           dtype=np.float64)
        base = 0.03 * clean.max()
        ramp = 1.0 + 2.0 * np.linspace(0, 1, clean.shape[0])[:, None, None]
        for factor, varying in ((1.0, False), (ramp, True)):
            sigma = base * factor
            noisy = np.hypot(clean + sigma * rng.standard_normal(clean.shape),
                             sigma * rng.standard_normal(clean.shape))
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                estimate = denoisers.estimate_noise(noisy)
            texts = [str(w.message) for w in caught]
            assert any("--sigma-map auto" in t for t in texts) == varying, (name, texts)
            assert any("--sigma-map auto" in t for t in estimate.warnings) == varying
