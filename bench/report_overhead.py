"""What a report adds to `denoisers denoise` on the Colin27 T1 (181x217x181)
with Rician noise at 3% of its maximum: in process, the residual structure
score (every run computes it), importing the report's libraries in a fresh
interpreter, and writing the page; then the whole command with and without
--report, run in turns (sigma given, so that both do the same work). Median
wall and CPU seconds (user + system; on a shared machine the CPU seconds
say more than the wall ones); the load average is printed too.

Usage: .venv/bin/python bench/report_overhead.py [RUNS]
"""
import os
import resource
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
    """(wall, CPU) seconds of importing denoisers.report in a fresh
    interpreter that has imported what the command imports anyway."""
    code = ("import time, numpy, nibabel, denoisers.files; "
            "t, c = time.perf_counter(), time.process_time(); import denoisers.report; "
            "print(time.perf_counter() - t, time.process_time() - c)")
    times = [subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True).stdout.split() for _ in range(runs)]
    return tuple(statistics.median(float(t[k]) for t in times) for k in (0, 1))


def _children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def command_seconds(source, folder, sigma, runs):
    """{False: (wall, CPU), True: (wall, CPU)}: median seconds of the
    command without and with --report, run in turns."""
    times = {False: [], True: []}
    for _ in range(runs):
        for report in (False, True):
            extra = ["--report", str(folder / "page.html")] if report else []
            start, cpu = time.perf_counter(), _children_cpu()
            subprocess.run([sys.executable, "-m", "denoisers", "denoise", str(source),
                            str(folder / "out.nii.gz"), "--sigma", repr(sigma), "--quiet",
                            *extra], check=True)
            times[report].append((time.perf_counter() - start, _children_cpu() - cpu))
    return {k: tuple(statistics.median(t[i] for t in v) for i in (0, 1))
            for k, v in times.items()}


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

        def write():
            write_report(page, noisy, out, facts, sigmas=[sigma], scores=[0.5],
                         affine=nib.load(T1).affine)

        writing = median_seconds(write, runs)
        cpu = time.process_time()
        for _ in range(runs):
            write()
        writing_cpu = (time.process_time() - cpu) / runs
        size = page.stat().st_size
        imports = cold_import_seconds(runs)
        source = folder / "noisy.nii.gz"
        nib.save(nib.Nifti1Image(noisy.astype(np.float32), nib.load(T1).affine), str(source))
        command = command_seconds(source, folder, sigma, runs)
    (plain, plain_cpu), (report, report_cpu) = command[False], command[True]
    print("                                    wall      CPU")
    print(f"structure score (every run):      {score:6.3f} s")
    print(f"report: import, fresh interpreter: {imports[0]:6.3f} s {imports[1]:6.3f} s "
          "(overlaps the filters in the command)")
    print(f"report: write the page (warm):     {writing:6.3f} s {writing_cpu:6.3f} s "
          f"({size / 1e6:.2f} MB)")
    print(f"command without --report:          {plain:6.2f} s {plain_cpu:6.2f} s")
    print(f"command with --report:             {report:6.2f} s {report_cpu:6.2f} s "
          f"(+{report - plain:.2f} s wall, +{report_cpu - plain_cpu:.2f} s CPU)")
    print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
