"""What a report adds to `denoisers denoise` on the Colin27 T1 (181x217x181)
with Rician noise at 3% of its maximum: in process, the residual structure
score (every run computes it), importing the report's libraries in a fresh
interpreter, and writing the page; then the whole command with and without
--report, run in turns (sigma given, so that both do the same work). Median
wall seconds; the load average is printed, since the machine may be shared.

Usage: .venv/bin/python bench/report_overhead.py [RUNS]
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
from denoisers import denoise
from denoisers.residual import structure_scores


def cold_import_seconds(runs):
    code = ("import time; t = time.perf_counter(); import denoisers.report; "
            "print(time.perf_counter() - t)")
    base = ("import time; t = time.perf_counter(); import denoisers.files; "
            "print(time.perf_counter() - t)")
    times = []
    for _ in range(runs):
        for c in (base, code):
            done = subprocess.run([sys.executable, "-c", "import numpy, nibabel; " + c],
                                  capture_output=True, text=True, check=True)
            times.append(float(done.stdout))
    return statistics.median(times[1::2]) - statistics.median(times[::2])


def command_seconds(source, folder, sigma, runs):
    plain, report = [], []
    for k in range(runs):
        for extra, times in (([], plain), (["--report", str(folder / "page.html")], report)):
            start = time.perf_counter()
            subprocess.run([sys.executable, "-m", "denoisers", "denoise", str(source),
                            str(folder / "out.nii.gz"), "--sigma", repr(sigma), "--quiet",
                            *extra], check=True)
            times.append(time.perf_counter() - start)
    return statistics.median(plain), statistics.median(report)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    _, noisy, sigma = noisy_t1()
    out, _ = denoise(noisy, sigma)
    score = median_seconds(lambda: structure_scores(noisy, out, [sigma]), runs)
    from denoisers.report import write_report  # warm: what is left after the preload

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        page = folder / "page.html"
        facts = {"NoiseSigma": [sigma], "Method": "quillon+tessary"}
        writing = median_seconds(lambda: write_report(
            page, noisy, out, facts, sigmas=[sigma], scores=[0.5],
            affine=nib.load(T1).affine), runs)
        size = page.stat().st_size
        imports = cold_import_seconds(runs)
        source = folder / "noisy.nii.gz"
        nib.save(nib.Nifti1Image(noisy.astype(np.float32), nib.load(T1).affine), str(source))
        plain, report = command_seconds(source, folder, sigma, runs)
    print(f"structure score (every run):       {score:6.3f} s")
    print(f"report: import, fresh interpreter: {imports:6.3f} s (overlapped with the filters)")
    print(f"report: write the page (warm):     {writing:6.3f} s, {size / 1e6:.2f} MB")
    print(f"command without --report:          {plain:6.2f} s")
    print(f"command with --report:             {report:6.2f} s (+{report - plain:.2f} s)")
    print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
