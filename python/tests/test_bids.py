"""Fault: `denoisers bids` misses or misnames an image, reuses one file's
noise level for another, redoes finished work or skips changed or damaged
work, writes private files, lets one bad file stop the rest, or writes
other bytes in parallel."""
import json
import os
import shutil

import nibabel as nib
import numpy as np
import pytest

from bids_data import SHAPE, counts, make_dataset, mini, partials, reference, tree, write_image  # noqa: F401
from conftest import phantom, run_cli
from denoisers import denoise
from denoisers.bids import BidsError, Scan, find_scans


def test_finds_images_by_entities_and_names_outputs_alike(tmp_path, mini, reference):
    scans, ignored = find_scans(mini)
    assert [s.relative for s in scans] == [
        f"{folder}/{kind}/{stem}_{kind == 'anat' and 'T1w' or 'dwi'}.nii.gz"
        for folder, stem in (("sub-01", "sub-01"), ("sub-02/ses-a", "sub-02_ses-a"),
                             ("sub-02/ses-b", "sub-02_ses-b"), ("sub-03", "sub-03"))
        for kind in ("anat", "dwi")] and ignored == []
    chosen, _ = find_scans(mini, ["sub-02", "03"], ["dwi"])
    assert [s.relative for s in chosen] == ["sub-02/ses-a/dwi/sub-02_ses-a_dwi.nii.gz",
                                            "sub-02/ses-b/dwi/sub-02_ses-b_dwi.nii.gz",
                                            "sub-03/dwi/sub-03_dwi.nii.gz"]
    with pytest.raises(BidsError, match="sub-09"):
        find_scans(mini, ["09"])
    # Entities stay in order with desc-denoised before the suffix; an input's
    # own desc keeps its label, so two inputs never write one output.
    assert Scan("sub-1/ses-2/anat/sub-1_ses-2_acq-fast_run-3_T2w.nii").derivative() == \
        "sub-1/ses-2/anat/sub-1_ses-2_acq-fast_run-3_desc-denoised_T2w.nii.gz"
    assert Scan("sub-1/anat/sub-1_desc-x_T1w.nii.gz").derivative(".json") == \
        "sub-1/anat/sub-1_desc-xDenoised_T1w.json"

    # The derivative dataset: every image, its sidecar, the gradient tables.
    expected = {"dataset_description.json"}
    for s in scans:
        expected |= {s.derivative(".nii.gz"), s.derivative(".json")}
        if s.suffix == "dwi":
            expected |= {s.derivative(".bval"), s.derivative(".bvec")}
            assert reference[s.derivative(".bval")] == (mini / s.relative).with_suffix(
                "").with_suffix(".bval").read_bytes()
        sidecar = json.loads(reference[s.derivative(".json")])
        assert sidecar["Sources"] == [f"bids:raw:{s.relative}"]
        # Acquisition fields by BIDS inheritance, the nearest sidecar winning.
        assert {k: sidecar.get(k) for k in ("RepetitionTime", "EchoTime", "AcquisitionTime")} \
            == ({"RepetitionTime": 2.3, "EchoTime": 0.0029 if "sub-01" in s.relative else 0.003,
                 "AcquisitionTime": None} if s.suffix == "T1w" else dict.fromkeys(
                     ("RepetitionTime", "EchoTime", "AcquisitionTime")))
    assert set(reference) == expected
    description = json.loads(reference["dataset_description.json"])
    assert description["DatasetType"] == "derivative"
    assert description["GeneratedBy"][0]["Name"] == "denoisers"

    # A name bids_validator refuses is left out unless validation is skipped.
    raw = tmp_path / "raw"
    shutil.copytree(mini / "sub-01", raw / "sub-01")
    shutil.copy(mini / "dataset_description.json", raw)
    shutil.copy(raw / "sub-01/anat/sub-01_T1w.nii.gz", raw / "sub-01/anat/sub-01_bogus_T1w.nii.gz")
    assert [s.relative for s in find_scans(raw, suffixes=["T1w"])[0]] == \
        ["sub-01/anat/sub-01_T1w.nii.gz"]
    assert len(find_scans(raw, suffixes=["T1w"], validate=False)[0]) == 2
    done = run_cli("bids", raw, tmp_path / "out", "participant", "--suffix", "T1w")
    assert done.returncode == 0 and "sub-01_bogus_T1w.nii.gz: not a valid BIDS name" in done.stderr


def test_noise_level_is_estimated_for_each_file(tmp_path):
    """Two files with different noise: each gets its own sigma, and its
    output is that of denoising it alone."""
    raw = make_dataset(tmp_path / "raw")
    data = {}
    for subject, sigma in (("01", 3.0), ("03", 12.0)):
        data[subject] = phantom(SHAPE, sigma=sigma, seed=int(subject))[1].astype(np.float32)
        write_image(raw / f"sub-{subject}/anat/sub-{subject}_T1w.nii.gz", data[subject])
    out = tmp_path / "out"
    done = run_cli("bids", raw, out, "participant", "--suffix", "T1w",
                   "--participant-label", "01", "03", "--nprocs", "2")
    assert done.returncode == 0, done.stdout + done.stderr
    sigmas = {}
    for subject in data:
        stem = out / f"sub-{subject}/anat/sub-{subject}_desc-denoised_T1w"
        sigmas[subject] = json.loads(stem.with_suffix(".json").read_text())["NoiseSigma"][0]
        alone, sigma = denoise(data[subject])
        assert sigmas[subject] == sigma
        assert np.array_equal(nib.load(f"{stem}.nii.gz").get_fdata(dtype=np.float32), alone)
    assert 2.0 < sigmas["01"] < 5.0 and 8.0 < sigmas["03"] < 18.0


def test_rerun_skips_finished_work_and_redoes_changed_work(tmp_path, mini, reference):
    raw = tmp_path / "raw"
    shutil.copytree(mini, raw)
    out = tmp_path / "out"
    assert run_cli("bids", raw, out, "participant").returncode == 0
    stamps = {p: p.stat().st_mtime_ns for p in out.rglob("*") if p.is_file()}

    done = run_cli("bids", raw, out, "participant")
    assert done.returncode == 0 and counts(done.stdout) == (8, 0, 8, 0)
    assert {p: p.stat().st_mtime_ns for p in stamps} == stamps

    # Every output has the umask's usual mode (the images' own).
    umask = os.umask(0)
    os.umask(umask)
    assert {p.stat().st_mode & 0o777 for p in stamps} == {0o666 & ~umask}

    # A changed input, a lost sidecar and a truncated output whose header
    # still reads are redone.
    write_image(raw / "sub-03/anat/sub-03_T1w.nii.gz", phantom(SHAPE, sigma=9.0, seed=7)[1])
    (out / "sub-01/dwi/sub-01_desc-denoised_dwi.json").unlink()
    damaged = out / "sub-01/anat/sub-01_desc-denoised_T1w.nii.gz"
    damaged.write_bytes(damaged.read_bytes()[:-100])
    done = run_cli("bids", raw, out, "participant")
    assert done.returncode == 0 and counts(done.stdout) == (8, 3, 5, 0), done.stdout
    redone = sorted(line.split()[2] for line in done.stdout.splitlines()
                    if line.startswith("[") and line.split()[1] == "done")
    assert redone == ["sub-01/anat/sub-01_T1w.nii.gz", "sub-01/dwi/sub-01_dwi.nii.gz",
                      "sub-03/anat/sub-03_T1w.nii.gz"]
    now = tree(out)
    # dataset_description.json links this copy of the raw dataset.
    changed = {k for k in reference if now[k] != reference[k]} - {"dataset_description.json"}
    assert changed == {"sub-03/anat/sub-03_desc-denoised_T1w.nii.gz",
                       "sub-03/anat/sub-03_desc-denoised_T1w.json"}


def test_a_bad_file_fails_alone_with_its_reason(tmp_path, mini, reference):
    raw = tmp_path / "raw"
    shutil.copytree(mini, raw)
    (raw / "sub-02/ses-a/anat/sub-02_ses-a_T1w.nii.gz").write_bytes(b"\x1f\x8b not gzip")
    (raw / "sub-03/dwi/sub-03_dwi.bvec").unlink()
    out = tmp_path / "out"
    for nprocs in ("1", "2"):
        done = run_cli("bids", raw, out, "participant", "--nprocs", nprocs)
        assert done.returncode == 1 and counts(done.stdout)[3] == 2
        failed = [line for line in done.stdout.splitlines() if line.startswith("failed: ")]
        assert len(failed) == 2, done.stdout
        # The workers report failures as they finish, in either order.
        failed.sort()
        assert "sub-02_ses-a_T1w.nii.gz: " in failed[0] and "not a readable NIfTI" in failed[0]
        assert "sub-03_dwi.nii.gz: " in failed[1] and "no .bvec" in failed[1]
    made = tree(out)
    made.pop("dataset_description.json")
    assert {k: v for k, v in reference.items() if "sub-02_ses-a_desc-denoised_T1w" not in k
            and "sub-03_desc-denoised_dwi" not in k and k != "dataset_description.json"} == made
    assert partials(out) == []


def test_parallel_processes_write_the_same_bytes(tmp_path, mini, reference):
    out = tmp_path / "out"
    done = run_cli("bids", mini, out, "participant", "--nprocs", "2")
    assert done.returncode == 0, done.stdout + done.stderr
    assert len([line for line in done.stdout.splitlines() if line.startswith("[")]) == 8
    assert tree(out) == reference
