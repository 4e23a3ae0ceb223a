"""What the Python layer adds to the C++ calls, on the Colin27 T1
(181x217x181) with Rician noise at 3% of its maximum: median wall seconds
of the bare extension call (the core with the gateway's preparation),
denoisers.quillon/tessary, and denoise() with sigma given and estimated.

Usage: .venv/bin/python bench/python_overhead.py [RUNS]
"""
import sys

import denoisers
from brain_timing import median_seconds, noisy_t1
from denoisers import _core


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    _, noisy, sigma = noisy_t1()
    guide = _core.quillon(noisy, sigma, 1.0, False)
    rows = [
        ("quillon: extension call", lambda: _core.quillon(noisy, sigma, 1.0, False)),
        ("quillon: denoisers.quillon", lambda: denoisers.quillon(noisy, sigma, 1)),
        ("quillon: denoise(sigma given)",
         lambda: denoisers.denoise(noisy, sigma, method="quillon")),
        ("tessary: extension call", lambda: _core.tessary(noisy, 3.0, sigma, guide, 1.0)),
        ("tessary: denoisers.tessary", lambda: denoisers.tessary(noisy, 3, sigma, guide, 1)),
        ("pipeline: both extension calls", lambda: _core.tessary(
            noisy, 3.0, sigma, _core.quillon(noisy, sigma, 1.0, False), 1.0)),
        ("pipeline: denoise(sigma given)", lambda: denoisers.denoise(noisy, sigma)),
        ("pipeline: denoise(sigma estimated)", lambda: denoisers.denoise(noisy)),
        ("estimate_sigma", lambda: denoisers.estimate_sigma(noisy)),
    ]
    print(f"Colin27 T1 {noisy.shape}, median of {runs} runs")
    for name, call in rows:
        print(f"  {name:36s} {median_seconds(call, runs):7.3f} s", flush=True)


if __name__ == "__main__":
    main()
