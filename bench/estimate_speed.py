"""The sigma estimate's speed and quillon's per-volume call, in the call:
the Colin27 T1 with Rician noise of 3% of its maximum, and the 96x96x60x65
diffusion-like series of series_scale.py, its volumes held in memory and
handed to the streamed estimate one at a time (as the command reads them).

For each: wall seconds (min of N) on one and two threads, and the process
time of the one-thread run. --against DIR times the _core module built in
DIR (an older build's build/python) interleaved with this one, run for
run, for a before/after on one machine state; the load average is printed
with the figures.

Usage: .venv/bin/python bench/estimate_speed.py [--runs N] [--against DIR]
"""
import argparse
import glob
import importlib.util
import os
import sys
import tempfile
import time
from pathlib import Path

import nibabel as nib
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from series_scale import T1, make_series  # noqa: E402


def load_core(directory):
    path = glob.glob(os.path.join(directory, "_core*.so"))[0]
    found = importlib.util.spec_from_file_location("_core", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def volumes():
    rng = np.random.default_rng(1)
    t1 = nib.load(T1).get_fdata()
    s = 0.03 * t1.max()
    t1 = np.asfortranarray(np.sqrt((t1 + s * rng.standard_normal(t1.shape)) ** 2
                                   + (s * rng.standard_normal(t1.shape)) ** 2))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "dwi.nii.gz")
        sigma = make_series(path, 65)
        dwi = nib.load(path).get_fdata()
    series = [np.asfortranarray(dwi[..., t]) for t in range(dwi.shape[3])]
    return t1, s, series, sigma


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--against", help="another build's build/python, timed interleaved")
    args = parser.parse_args()
    here = Path(__file__).resolve().parents[1] / "build" / "python"
    builds = {"this": load_core(str(here))}
    if args.against:
        builds["against"] = load_core(args.against)
    t1, t1_sigma, series, sigma = volumes()
    count = len(series)
    cases = {
        "T1 estimate": lambda c, th: c.noise_sigma_series(t1, True, th),
        "T1 quillon": lambda c, th: c.quillon(t1, t1_sigma, 1, False, threads=th),
        f"series estimate ({count} volumes, streamed)":
            lambda c, th: c.noise_sigma_streamed(lambda t: series[t], count, True, th),
        "series quillon, per volume":
            lambda c, th: [c.quillon(v, sigma, 1, False, threads=th) for v in series[:8]],
    }
    per = {"series quillon, per volume": 8}
    best = {}
    for _ in range(args.runs):
        for name, run in cases.items():
            for label, core in builds.items():
                for threads in (1, 2):
                    wall, cpu = time.perf_counter(), time.process_time()
                    run(core, threads)
                    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
                    n = per.get(name, 1)
                    key = (name, label, threads)
                    old = best.get(key, (float("inf"), float("inf")))
                    best[key] = (min(old[0], wall / n), min(old[1], cpu / n))
    print(f"load average {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} on {os.cpu_count()} "
          f"processors; min of {args.runs} runs, seconds")
    for name in cases:
        for label in builds:
            one, two = best[(name, label, 1)], best[(name, label, 2)]
            print(f"{name:42s} {label:8s} 1 thread {one[0]:7.3f} (cpu {one[1]:7.3f})  "
                  f"2 threads {two[0]:7.3f}")


if __name__ == "__main__":
    main()
