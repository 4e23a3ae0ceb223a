"""The README's main command against its call, on the Colin27 T1
(181x217x181) with Rician noise at 3% of its maximum, stored as float32
.nii.gz: `denoisers denoise noisy.nii.gz out.nii.gz --method M` as a child
process (wall seconds), against denoise() on the array in process, for
quillon and the default method (auto), sigma given and estimated; then the
command's parts, each timed in process: start-up (the interpreter and the
command's imports), reading the .nii.gz (with its digest), the sigma
estimate, the call, the checks of the result (mostly zero, residual
structure), the conversion to float32 and writing the .nii.gz (compressed on
the process's threads, with its digest). The parts run in a warm process;
the command's one call is the first of a new process, which pays for its
fresh memory (page faults) and the core's start: that call is timed too.
Medians of RUNS runs.

Usage: .venv/bin/python bench/command_time.py [RUNS]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import nibabel as nib
import numpy as np

from brain_timing import T1, median_seconds, noisy_t1
from denoisers import denoise, estimate_noise, nifti
from denoisers.output_checks import mostly_zero_volumes
from denoisers.residual import structure_scores


FIRST_CALL = r"""
import sys, time
from denoisers import denoise, nifti
data = nifti.load(sys.argv[1])[1]
start = time.perf_counter()
denoise(data, float(sys.argv[2]), method="quillon")
print(time.perf_counter() - start)
"""


def first_call_seconds(source, sigma, runs):
    """The call's wall seconds as the first of a new process."""
    def run():
        child = subprocess.run([sys.executable, "-c", FIRST_CALL, str(source), repr(sigma)],
                               check=True, capture_output=True, text=True)
        return float(child.stdout)
    return statistics.median(run() for _ in range(runs))


def child_seconds(argv, runs):
    def run():
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return median_seconds(run, runs)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    _, noisy, sigma = noisy_t1()
    command = str(Path(sys.executable).with_name("denoisers"))
    with tempfile.TemporaryDirectory() as folder:
        source, output = Path(folder, "noisy.nii.gz"), Path(folder, "out.nii.gz")
        t1 = nib.load(T1)
        img = nib.Nifti1Image(noisy.astype(np.float32), t1.affine, header=t1.header)
        img.header.set_data_dtype(np.float32)
        nib.save(img, str(source))
        data = nifti.load(source)[1]
        print(f"Colin27 T1 {noisy.shape}, Rician sigma {sigma:.2f}, float32 .nii.gz "
              f"{source.stat().st_size / 2**20:.0f} MiB; {os.cpu_count()} cores, load "
              f"{os.getloadavg()[0]:.1f}; medians of {runs} runs")
        print(f"  {'method, sigma':28s} {'call s':>7s} {'command s':>10s} {'ratio':>6s}")
        for method in ("quillon", "auto"):
            for given in (True, False):
                extra = ["--sigma", repr(sigma)] if given else []
                call = median_seconds(
                    lambda: denoise(data, sigma if given else None, method=method), runs)
                whole = child_seconds([command, "denoise", str(source), str(output), "--method",
                                       method, "--quiet", *extra], runs)
                label = f"{method}, {'given' if given else 'estimated'}"
                print(f"  {label:28s} {call:7.2f} {whole:10.2f} {whole / call:6.2f}")

        out = denoise(data, sigma, method="quillon")[0]
        out_img, _ = nifti.output_image(img, out, False)
        parts = [
            ("start-up and imports", lambda: subprocess.run(
                [sys.executable, "-c", "import denoisers.cli"], check=True)),
            ("read .nii.gz and its digest", lambda: (nifti.load(source), nifti.sha256(source))),
            ("sigma estimate", lambda: estimate_noise(data)),
            ("call (quillon, sigma given)", lambda: denoise(data, sigma, method="quillon")),
            ("the call, first of a process", None),
            ("checks of the result", lambda: (mostly_zero_volumes(data, out, sigma),
                                              structure_scores(data, out, [sigma]))),
            ("conversion to float32", lambda: nifti.output_image(img, out, False)),
            ("write .nii.gz and its digest", lambda: nifti.save_with_sidecar(
                out_img, output, {})),
        ]
        print("  the command's parts (quillon):")
        for name, part in parts:
            seconds = (first_call_seconds(source, sigma, runs) if part is None else
                       median_seconds(part, runs))
            print(f"    {name:30s} {seconds:6.3f} s", flush=True)
        start = time.perf_counter()
        nib.save(out_img, str(Path(folder, "nibabel.nii.gz")))
        print(f"    (nibabel's own write, one thread: {time.perf_counter() - start:.3f} s)")


if __name__ == "__main__":
    main()
