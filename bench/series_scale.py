"""A diffusion-like series at scale: 96x96x60 voxels, 65 volumes, through
`denoisers denoise` (sigma estimated, pooled over the series), against
dipy's default (blockwise non_local_means, patch radius 1, block radius 2,
one thread) and its classic nlmeans (patch radius 1, block radius 3, two
threads), each looping over the volumes. Every run is a child process:
wall seconds and its peak memory (ru_maxrss), beside the memory of four
volumes as float64, the output's size in memory (float32) and the series'
as float64.

The series: the Colin27 T1 resampled to 96x96x60 (2 mm-like voxels), five
unweighted volumes and sixty whose signal falls by a direction-dependent
factor (0.25 to 0.6, smooth over the volume), Rician noise of sigma 3% of
the unweighted maximum, stored as int16 under a scale factor as scanners
store them.

Usage: .venv/bin/python bench/series_scale.py [--volumes N] [--dipy-volumes N]
  --dipy-volumes: time dipy on the first N volumes and scale to the series
  (default: all of them; dipy's default takes about a minute here).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import nibabel as nib
import numpy as np
from scipy import ndimage

T1 = "/usr/share/mricron/templates/ch2.nii.gz"
SHAPE = (96, 96, 60)
B0 = 5
DIPY_SPEEDUP_TWO_THREADS = 1.4  # dipy's current release on two threads against 1.6 on one


def make_series(path, volumes, seed=0):
    """Writes the series to path; returns its sigma."""
    t1 = nib.load(T1)
    clean = ndimage.zoom(t1.get_fdata(), [n / m for n, m in zip(SHAPE, t1.shape)], order=1)
    clean = np.clip(clean, 0, None)
    rng = np.random.default_rng(seed)
    sigma = 0.03 * clean.max()
    data = np.empty(SHAPE + (volumes,), dtype=np.int16)
    x = np.linspace(-1, 1, SHAPE[0])[:, None, None]
    y = np.linspace(-1, 1, SHAPE[1])[None, :, None]
    z = np.linspace(-1, 1, SHAPE[2])[None, None, :]
    scale = 0.25  # int16 steps of a quarter unit
    for t in range(volumes):
        if t < B0:
            signal = clean
        else:
            d = rng.normal(size=3)
            d /= np.linalg.norm(d)
            signal = clean * (0.425 + 0.175 * (d[0] * x + d[1] * y + d[2] * z) / np.sqrt(3))
        noisy = np.sqrt((signal + sigma * rng.standard_normal(SHAPE)) ** 2
                        + (sigma * rng.standard_normal(SHAPE)) ** 2)
        data[..., t] = np.rint(noisy / scale).astype(np.int16)
    affine = np.diag([2.0, 2.0, 2.0, 1.0])
    img = nib.Nifti1Image(data, affine)
    img.header.set_slope_inter(scale, 0.0)
    img.header.set_xyzt_units("mm", "sec")
    nib.save(img, str(path))
    return sigma


def measured(argv):
    """Wall seconds and peak MiB of argv run under GNU time (its own
    ru_maxrss, whatever the Python parent holds)."""
    fmt = "%e %M"
    start = time.perf_counter()
    child = subprocess.run(["/usr/bin/time", "-f", fmt, *argv], capture_output=True, text=True)
    wall = time.perf_counter() - start
    if child.returncode != 0:
        sys.exit(f"series_scale: {' '.join(argv[:4])} failed:\n{child.stderr}")
    seconds, kib = child.stderr.strip().splitlines()[-1].split()
    return wall, int(kib) / 1024, child.stdout


DIPY_CHILD = r"""
import sys, time
import nibabel as nib, numpy as np
path, out, sigma, kind, count = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4], int(sys.argv[5])
img = nib.load(path)
data = img.get_fdata()
result = np.zeros_like(data)
start = time.perf_counter()
for t in range(count):
    if kind == "blockwise":
        from dipy.denoise.non_local_means import non_local_means
        result[..., t] = non_local_means(data[..., t], sigma, patch_radius=1, block_radius=2,
                                         rician=True)
    else:
        from dipy.denoise.nlmeans import nlmeans
        result[..., t] = nlmeans(data[..., t], sigma, patch_radius=1, block_radius=3,
                                 rician=True, num_threads=2)
print(time.perf_counter() - start)
nib.save(nib.Nifti1Image(result.astype(np.float32), img.affine, img.header), out)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--volumes", type=int, default=65)
    parser.add_argument("--dipy-volumes", type=int)
    args = parser.parse_args()
    dipy_volumes = min(args.dipy_volumes or args.volumes, args.volumes)
    command = str(Path(sys.executable).with_name("denoisers"))
    with tempfile.TemporaryDirectory() as folder:
        series = Path(folder, "dwi.nii.gz")
        sigma = make_series(series, args.volumes)
        voxels = int(np.prod(SHAPE))
        volume_mib = voxels * 8 / 2**20
        print(f"series {'x'.join(map(str, SHAPE))} x {args.volumes} volumes (int16, "
              f"{series.stat().st_size / 2**20:.0f} MiB .nii.gz), Rician sigma {sigma:.2f}; "
              f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}")
        print(f"  one volume as float64 {volume_mib:.1f} MiB; four {4 * volume_mib:.1f} MiB; "
              f"the output as float32 {voxels * 4 * args.volumes / 2**20:.0f} MiB; the series "
              f"as float64 {volume_mib * args.volumes:.0f} MiB")
        idle = measured([sys.executable, "-c", "import denoisers.cli, nibabel"])[1]
        print(f"  the interpreter with denoisers and nibabel loaded: {idle:.0f} MiB")
        rows = []
        for method in ("auto", "quillon"):
            out = Path(folder, f"out-{method}.nii.gz")
            wall, peak, _ = measured([command, "denoise", str(series), str(out), "--method",
                                      method, "--quiet"])
            rows.append((f"denoisers denoise --method {method}", wall, peak))
        for kind, label in (("blockwise", "dipy non_local_means (blockwise, br 2, 1 thread)"),
                            ("classic", "dipy nlmeans (classic, br 3, 2 threads)")):
            out = Path(folder, f"dipy-{kind}.nii.gz")
            wall, peak, printed = measured([sys.executable, "-c", DIPY_CHILD, str(series),
                                            str(out), repr(sigma), kind, str(dipy_volumes)])
            seconds = float(printed.strip().splitlines()[-1]) * args.volumes / dipy_volumes
            rows.append((label + ("" if dipy_volumes == args.volumes else
                                  f", {dipy_volumes} volumes scaled"), seconds, peak))
        print(f"  {'':52s} {'seconds':>8s} {'peak MiB':>9s}")
        for name, seconds, peak in rows:
            print(f"  {name:52s} {seconds:8.1f} {peak:9.0f}")
        blockwise = rows[2][1] / DIPY_SPEEDUP_TWO_THREADS
        print(f"  dipy's default on two threads (one-thread time / {DIPY_SPEEDUP_TWO_THREADS}): "
              f"{blockwise:.1f} s; denoisers is {blockwise / rows[0][1]:.1f}x faster (auto), "
              f"{blockwise / rows[1][1]:.1f}x (quillon)")
        for name, _, peak in rows[:2]:
            print(f"  {name}: peak {peak:.0f} MiB = the interpreter {idle:.0f} + "
                  f"{peak - idle:.0f} MiB ({(peak - idle) / volume_mib:.1f} volumes of float64)")


if __name__ == "__main__":
    main()
