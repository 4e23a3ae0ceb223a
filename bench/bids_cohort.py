"""Wall seconds of `denoisers bids` on the tests' mini dataset (three
participants, one with two sessions: 4 T1w of 24x24x16 and 4 dwi of
24x24x16x3), with --nprocs 1 and 2, each run into a fresh output folder,
the whole command timed (interpreter start-up included). Prints the median
and the range of RUNS runs.

Usage: .venv/bin/python bench/bids_cohort.py [RUNS]
"""
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python" / "tests"))
from bids_data import make_dataset  # noqa: E402


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    with tempfile.TemporaryDirectory() as tmp:
        raw = make_dataset(Path(tmp) / "raw")
        print(f"{'nprocs':>6} {'median s':>9} {'min s':>7} {'max s':>7}")
        for nprocs in (1, 2):
            seconds = []
            for k in range(runs):
                out = Path(tmp) / f"out-{nprocs}-{k}"
                start = time.perf_counter()
                subprocess.run([sys.executable, "-m", "denoisers", "bids", str(raw), str(out),
                                "participant", "--nprocs", str(nprocs)],
                               check=True, stdout=subprocess.DEVNULL)
                seconds.append(time.perf_counter() - start)
            print(f"{nprocs:6} {statistics.median(seconds):9.2f} {min(seconds):7.2f} "
                  f"{max(seconds):7.2f}")


if __name__ == "__main__":
    main()
