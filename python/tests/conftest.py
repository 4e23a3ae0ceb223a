"""Helpers shared by the tests: the MEX files run through build/mexrun,
small test volumes, and the command line run as a process."""
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("DENOISERS_BUILD_DIR", ROOT / "build"))


class MexError(Exception):
    """A host error raised by a MEX file, as "identifier: message"."""


def mexrun(workdir, mex, *args, outputs=1, env=None):
    """Calls build/<mex>.mexa64 through build/mexrun (in the environment
    env, when given). Arrays become .npy files, numbers are passed as text;
    returns the outputs as arrays (one array when outputs=1), or raises
    MexError with mexrun's error line."""
    runner = BUILD / "mexrun"
    mex_file = BUILD / f"{mex}.mexa64"
    if not runner.exists() or not mex_file.exists():
        pytest.fail(f"{runner} or {mex_file} is missing: build the release tree first "
                    "(bash scripts/build.sh)")
    workdir = Path(workdir)
    command = [str(runner), str(mex_file)]
    for i, a in enumerate(args):
        if isinstance(a, np.ndarray):
            path = workdir / f"in{i}.npy"
            np.save(path, np.asarray(a, dtype=np.float64))
            command.append(str(path))
        else:
            command.append(repr(float(a)))
    out_paths = [workdir / f"out{k}.npy" for k in range(outputs)]
    for p in out_paths:
        command += ["-o", str(p)]
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode == 1:
        raise MexError(done.stderr.strip().splitlines()[-1])
    assert done.returncode == 0, done.stderr
    results = [np.load(p) for p in out_paths]
    return results[0] if outputs == 1 else results


def phantom(shape=(18, 20, 14), sigma=6.0, seed=0, rician=True):
    """A small head-like volume: bright blobs on a dark background, with
    Rician (or Gaussian) noise of the given sigma. Returns (clean, noisy)."""
    rng = np.random.default_rng(seed)
    grid = np.meshgrid(*[np.linspace(-1, 1, n) for n in shape], indexing="ij")
    r2 = sum(g * g for g in grid)
    clean = 150.0 * (r2 < 0.7) + 60.0 * (np.abs(grid[0] - 0.2) < 0.15) * (r2 < 0.7)
    clean += 40.0 * np.sin(3.0 * grid[1]) * (r2 < 0.5)
    clean = np.clip(clean, 0.0, None)
    n1 = rng.standard_normal(shape) * sigma
    if not rician:
        return clean, clean + n1
    n2 = rng.standard_normal(shape) * sigma
    return clean, np.sqrt((clean + n1) ** 2 + n2 ** 2)


def psnr(clean, x):
    head = clean > 0.1 * clean.max()
    return 10.0 * np.log10(clean.max() ** 2 / np.mean((x[head] - clean[head]) ** 2))


def run_cli(*args, **kwargs):
    """Runs `python -m denoisers ARGS` with this interpreter."""
    return subprocess.run([sys.executable, "-m", "denoisers", *map(str, args)],
                          capture_output=True, text=True, **kwargs)


@pytest.fixture(params=["libdeflate", "zlib"])
def gzip_backend(request, monkeypatch):
    """Each of gzip_io's libraries in turn: libdeflate (skipped where it is
    not installed) and zlib, its fallback."""
    from denoisers import gzip_io

    if request.param == "libdeflate" and gzip_io._library() is None:
        pytest.skip("libdeflate0 is not installed (scripts/setup.sh installs it)")
    if request.param == "zlib":
        monkeypatch.setattr(gzip_io, "_library", lambda: None)
    return request.param
