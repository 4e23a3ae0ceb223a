"""Fault: the report's noise law or structure score says something false,
a page is not self-contained or drops a fact, the cohort pages miss an
image, or a page does not load in a real browser."""
import base64
import io
import json
import math
import re
import xml.etree.ElementTree as ET

import nibabel as nib
import numpy as np
import pytest
from PIL import Image
from scipy import integrate

import browser
from bids_data import make_dataset
from conftest import phantom, run_cli
from denoisers import denoise
from denoisers.noise_law import ncchi_pdf, residual_density
from denoisers.report import write_report
from denoisers.residual import (all_set, block_means, structure_score, structure_scores,
                                structure_warning, threshold, tissue_level, voxel_sample)

SIGMA = 8.0


def test_noise_law_is_a_density_with_the_simulated_mean():
    rng = np.random.default_rng(1)
    for coils in (1, 4):
        for nu in (0.0, 3.0, 1e5):  # 1e5 sigma: past scipy's range for the Bessel function
            lo, hi = max(0.0, nu - 40.0), nu + 40.0
            mass = integrate.quad(ncchi_pdf_at(nu, coils), lo, hi, points=[nu], limit=200)[0]
            mean = integrate.quad(lambda m: m * ncchi_pdf_at(nu, coils)(m), lo, hi,
                                  points=[nu], limit=200)[0]
            channels = rng.normal(0.0, 2.0, (200_000, 2 * coils))
            channels[:, 0] += nu
            simulated = np.sqrt((channels ** 2).sum(axis=1)).mean()
            assert mass == pytest.approx(1.0, abs=1e-6), (coils, nu)
            assert mean == pytest.approx(simulated, abs=0.02), (coils, nu)
    # One coil is the Rician law.
    m = np.linspace(0.1, 30.0, 50)
    rice = m / 4.0 * np.exp(-(m * m + 25.0) / 8.0) * np.i0(m * 5.0 / 4.0)
    assert np.allclose(ncchi_pdf(m, 5.0, 2.0, 1), rice, rtol=1e-10)
    r = np.linspace(-40.0, 40.0, 8001)
    for noise in ("rician", "gaussian"):
        assert np.trapz(residual_density(r, [0.0, 10.0, 500.0], 2.0, noise), r) == \
            pytest.approx(1.0, abs=1e-6)


def ncchi_pdf_at(nu, coils):
    return lambda m: float(ncchi_pdf(np.array([m]), nu, 2.0, coils)[0])


def test_structure_score_tells_a_too_high_sigma():
    flat = np.full((96, 96, 96), 100.0)  # 4096 blocks: white noise scores 1 within 0.05
    white = flat + np.random.default_rng(4).normal(0.0, SIGMA, flat.shape)
    assert structure_score(white, flat, SIGMA) == pytest.approx(1.0, abs=0.05)
    clean, noisy = phantom((64, 64, 48), sigma=SIGMA, seed=3)
    scores = []
    for factor in (1, 3):
        out, _ = denoise(noisy, SIGMA * factor, method="quillon+tessary")
        scores.append(structure_score(noisy, out, SIGMA * factor))
    assert scores[0] < threshold("quillon+tessary") < scores[1]
    # Voxels a mask kept (residual 0) and a zero background do not count.
    kept = out.copy()
    kept[:, :, :10] = noisy[:, :, :10]
    assert structure_score(noisy, kept, SIGMA * 3) > threshold("quillon+tessary")
    assert structure_score(noisy[:20, :20, :20], out[:20, :20, :20], SIGMA) is None
    series = structure_scores(np.stack([noisy, noisy], -1), np.stack([noisy, out], -1),
                              [SIGMA, SIGMA * 3])
    assert series[0] is None and series[1] == pytest.approx(scores[1])
    warning = structure_warning(series, "quillon+tessary")
    assert warning.startswith("volume 1: ") and structure_warning([scores[0]], "quillon") is None
    # The cheap tissue level and whole blocks are the full computation's, in
    # either memory order, at a sigma where the quartile decides and where it does not.
    for a, b in ((noisy, out), (np.asfortranarray(noisy), np.asfortranarray(out))):
        for sigma in (SIGMA, 40 * SIGMA):
            sample = voxel_sample(b, 200_000)[voxel_sample(a, 200_000) != 0]
            assert tissue_level(a, b, sigma) == min(2 * sigma, np.percentile(sample, 75))
        mask = b > np.median(b)
        assert np.array_equal(all_set(mask), block_means(mask) == 1.0)


def _data_images(page):
    """The images of a page, decoded: each src must be an embedded PNG (a
    mosaic) or SVG (the histogram, a well-formed XML document)."""
    images = []
    for src in re.findall(r'<img[^>]*\ssrc="([^"]*)"', page):
        kind, data = re.fullmatch(r"data:image/(png|svg\+xml);base64,(.*)", src).groups()
        data = base64.b64decode(data)
        images.append(Image.open(io.BytesIO(data)) if kind == "png" else ET.fromstring(data))
    return images


def test_command_writes_a_self_contained_page_with_every_fact(tmp_path):
    clean, noisy = phantom((64, 64, 48), sigma=SIGMA, seed=5)
    source = tmp_path / "in.nii.gz"
    nib.save(nib.Nifti1Image(noisy.astype(np.float32), np.diag([1.0, 1.0, 2.0, 1.0])),
             str(source))
    page = tmp_path / "page.html"
    done = run_cli("denoise", source, tmp_path / "out.nii.gz", "--sigma", SIGMA * 3,
                   "--report", page, "--quiet")
    assert done.returncode == 0, done.stderr
    assert "warning" in done.stderr and "residual holds structure" in done.stderr
    sidecar = json.loads((tmp_path / "out.json").read_text())
    assert sidecar["ResidualStructure"][0] > threshold("quillon+tessary")
    assert sidecar["Warnings"] and "residual holds structure" in sidecar["Warnings"][0]
    text = page.read_text()
    assert "<script" not in text and "http://" not in text and "https://" not in text
    assert len(_data_images(text)) == 3 * 3 + 1  # input, output, residual; the histogram
    for key in sidecar:
        assert f"<th>{key}</th>" in text, key

    # Whatever facts a run adds show, and the sigma map and mask get mosaics.
    facts = {**sidecar, "NoiseEstimator": {"Name": "blocks", "Agreement": 0.98}}
    write_report(page, noisy, noisy, facts, sigmas=[SIGMA], scores=[None],
                 sigma_map=np.full(noisy.shape, SIGMA), background=clean == 0)
    text = page.read_text()
    assert "<th>NoiseEstimator</th>" in text and "<th>Agreement</th>" in text
    assert "Sigma map" in text and "Background the estimator used" in text
    assert len(_data_images(text)) == 3 * 3 + 1 + 3 + 3

    # With sigma estimated, the page shows the air the estimator fitted.
    done = run_cli("denoise", source, tmp_path / "estimated.nii.gz", "--method", "quillon",
                   "--report", page, "--quiet")
    assert done.returncode == 0, done.stderr
    text = page.read_text()
    assert "Background the estimator used" in text and "Sigma map" not in text
    assert len(_data_images(text)) == 3 * 3 + 1 + 3

    # Refused before any work: a missing folder for the page, chunks.
    for extra in (["--report", tmp_path / "nowhere" / "p.html"],
                  ["--report", page, "--chunks", "32"]):
        done = run_cli("denoise", source, tmp_path / "again.nii.gz", *extra)
        assert done.returncode == 2 and not (tmp_path / "again.nii.gz").exists(), done.stderr


def test_bids_report_pages_and_index(tmp_path):
    raw = make_dataset(tmp_path / "raw")
    (raw / "sub-03/anat/sub-03_T1w.nii.gz").write_bytes(b"not a NIfTI file")
    out = tmp_path / "out"
    args = ("bids", raw, out, "participant", "--suffix", "T1w", "--report")
    done = run_cli(*args)
    assert done.returncode == 1 and "report: " in done.stdout, done.stderr
    pages = sorted(p.relative_to(out).as_posix() for p in out.rglob("*.html"))
    assert pages == ["index.html", "sub-01.html", "sub-01/figures/sub-01_desc-denoised_T1w.html",
                     "sub-02.html", "sub-02/figures/sub-02_ses-a_desc-denoised_T1w.html",
                     "sub-02/figures/sub-02_ses-b_desc-denoised_T1w.html", "sub-03.html"]
    index = (out / "index.html").read_text()
    assert index.count("<td>done</td>") == 3 and index.count("<td>failed</td>") == 1
    assert "not a readable NIfTI file" in index
    assert 'href="sub-02/figures/sub-02_ses-b_desc-denoised_T1w.html"' in index
    assert (out / "sub-02.html").read_text().count("<td>done</td>") == 2

    # Up to date: a missing page is made again from the files, nothing denoised.
    lost = out / "sub-01/figures/sub-01_desc-denoised_T1w.html"
    lost.unlink()
    done = run_cli(*args)
    assert "up to date; page made" in done.stdout and lost.is_file()
    assert not list(out.rglob(".*.partial*"))


def test_page_loads_in_a_browser_with_its_images(tmp_path):
    if browser.BROWSER is None:
        pytest.fail("chromium is missing: bash scripts/setup.sh installs it")
    clean, noisy = phantom((64, 64, 48), sigma=SIGMA, seed=6)
    out, _ = denoise(noisy, SIGMA)
    page = tmp_path / "page.html"
    write_report(page, noisy, out, {"Method": "quillon+tessary", "NoiseSigma": [SIGMA]},
                 sigmas=[SIGMA], scores=[structure_score(noisy, out, SIGMA)],
                 sigma_map=np.full(noisy.shape, SIGMA), background=clean == 0)
    with browser.Browser() as chrome:
        chrome.open(page.as_uri())
        boxes = chrome.evaluate(
            "[...document.images].map(i => { const r = i.getBoundingClientRect();"
            " return [i.complete && i.naturalWidth > 0, r.left, r.top + scrollY,"
            " r.width, r.height, i.className]; })")
        shot = Image.open(io.BytesIO(chrome.screenshot())).convert("L")
        # The flip: "output" shows the output over the input.
        chrome.evaluate("document.querySelector('label[for=show-output]').click()")
        shown = chrome.evaluate("[...document.querySelectorAll('img.after')].map("
                                "i => getComputedStyle(i).opacity)")
        assert chrome.errors == []
    assert len(boxes) == 3 * 2 + 3 + 1 + 3 + 3 and all(b[0] for b in boxes)
    assert shown == ["1"] * 3
    for decoded, left, top, width, height, cls in boxes:
        if cls == "after":  # hidden under the input in the screenshot
            continue
        region = np.asarray(shot.crop((math.ceil(left), math.ceil(top),
                                       int(left + width), int(top + height))), dtype=float)
        assert region.size > 1000 and region.std() > 5.0, (cls, top)
