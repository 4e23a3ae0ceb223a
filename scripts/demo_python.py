"""The command line on the Colin27 T1: noise added, denoised with an
estimated sigma, scored against the clean volume and against dipy's nlmeans.

Usage: demo_python.py OUT_DIR [--noise PERCENT]
"""
import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

import nibabel as nib
import numpy as np

import denoisers

T1 = Path("/usr/share/mricron/templates/ch2.nii.gz")


def psnr_over_head(clean, x):
    """PSNR over the voxels above 10% of the clean maximum, that maximum as
    the peak (as the Octave demo and the benchmark score)."""
    head = clean > 0.1 * clean.max()
    return 10.0 * np.log10(clean.max() ** 2 / np.mean((x[head] - clean[head]) ** 2))


def denoise_file(noisy_path, out_path, method):
    """`denoisers denoise` as a user runs it; returns its seconds and the
    estimated sigma from the sidecar."""
    command = [str(Path(sys.executable).with_name("denoisers")), "denoise", str(noisy_path),
               str(out_path), "--method", method, "--quiet"]
    print("$ " + " ".join(Path(c).name if "/" in c else c for c in command), flush=True)
    start = time.perf_counter()
    subprocess.run(command, check=True)
    seconds = time.perf_counter() - start
    sidecar = json.loads(out_path.with_name(out_path.name.replace(".nii.gz", ".json")).read_text())
    return seconds, sidecar["NoiseSigma"][0]


def save_picture(path, slices):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    strip = np.concatenate([np.rot90(s) for s in slices], axis=1)
    plt.imsave(path, strip, cmap="gray", vmin=0.0, vmax=float(slices[0].max()))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--noise", type=float, default=5.0,
                        help="Rician noise sigma in percent of the maximum (default 5)")
    args = parser.parse_args()
    out = args.out_dir
    out.mkdir(parents=True, exist_ok=True)

    img = nib.load(str(T1))
    clean = img.get_fdata()
    sigma = args.noise / 100.0 * clean.max()
    rng = np.random.default_rng(0)
    noisy = np.sqrt((clean + sigma * rng.standard_normal(clean.shape)) ** 2
                    + (sigma * rng.standard_normal(clean.shape)) ** 2)
    noisy_path = out / "noisy.nii.gz"
    noisy_img = nib.Nifti1Image(noisy.astype(np.float32), img.affine, header=img.header)
    noisy_img.header.set_data_dtype(np.float32)
    nib.save(noisy_img, str(noisy_path))
    noisy = nib.load(str(noisy_path)).get_fdata()  # what the command reads
    print(f"Colin27 T1 {clean.shape}, Rician noise sigma {sigma:.2f} "
          f"({args.noise:g}% of the maximum {clean.max():g}) -> {noisy_path}\n")

    rows = [("noisy", psnr_over_head(clean, noisy), None, None)]
    results = {}
    for method in ("auto", "quillon", "quillon+tessary"):
        path = out / f"{method.replace('+', '_')}.nii.gz"
        command_seconds, estimated = denoise_file(noisy_path, path, method)
        results[method] = nib.load(str(path)).get_fdata()
        # The call alone, in this process, with the sigma the command found.
        start = time.perf_counter()
        again, _ = denoisers.denoise(noisy, estimated, method=method)
        call_seconds = time.perf_counter() - start
        assert np.array_equal(again.astype(np.float32), results[method])
        rows.append((f"denoisers --method {method}", psnr_over_head(clean, results[method]),
                     command_seconds, call_seconds))
    print(f"\nestimated sigma {estimated:.2f} (true {sigma:.2f})\n", flush=True)

    from dipy.denoise.nlmeans import nlmeans
    start = time.perf_counter()
    dipy_out = nlmeans(noisy, sigma=estimated, patch_radius=1, block_radius=3, rician=True)
    rows.append(("dipy nlmeans (same sigma)", psnr_over_head(clean, dipy_out), None,
                 time.perf_counter() - start))

    seconds = lambda x: "-" if x is None else f"{x:.1f}"
    lines = [f"{'volume':34s} {'PSNR (dB)':>9s} {'command s':>9s} {'call s':>7s}"]
    for name, value, command_s, call_s in rows:
        lines.append(f"{name:34s} {value:9.2f} {seconds(command_s):>9s} {seconds(call_s):>7s}")
    lines.append("(command: the whole run of `denoisers denoise`, with reading, sigma, "
                 "writing .nii.gz;\n call: the denoising call alone)")
    table = "\n".join(lines)
    print(table)
    (out / "table.txt").write_text(table + "\n")

    z = clean.shape[2] // 2
    picture = out / "middle_axial.png"
    save_picture(picture, [noisy[:, :, z], results["auto"][:, :, z],
                           results["quillon+tessary"][:, :, z], dipy_out[:, :, z]])
    print(f"\nslice {z}, noisy | auto | quillon+tessary | dipy nlmeans: {picture}")


if __name__ == "__main__":
    main()
