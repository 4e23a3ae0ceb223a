"""The whole-call benchmark: a real T1 volume with Rician noise through the
two plug-ins' real entry points, and the same volume through the peer
(dipy's nlmeans), with times, peak memory and PSNR side by side.

Usage: pipeline.py BUILD_DIR WORK_DIR [--runs N] [--peer-runs N] [--no-peer]

Run it with Debian's /usr/bin/python3 (numpy, nibabel and dipy come from
Debian's packages).
"""
import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

T1 = Path("/usr/share/mricron/templates/ch2.nii.gz")
SEED = 20240601
NOISE = 0.03  # of the maximum


def make_volumes(work):
    """The clean T1 scaled to [0, 255] and its Rician-noisy copy."""
    import nibabel

    raw = np.asarray(nibabel.load(str(T1)).dataobj, dtype=np.float64)
    clean = (raw - raw.min()) * (255.0 / (raw.max() - raw.min()))
    sigma = NOISE * clean.max()
    rng = np.random.default_rng(SEED)
    real = clean + rng.normal(0.0, sigma, clean.shape)
    imag = rng.normal(0.0, sigma, clean.shape)
    noisy = np.sqrt(real * real + imag * imag)
    np.save(work / "clean.npy", clean)
    np.save(work / "noisy.npy", noisy)
    return clean, noisy, sigma


def run_child(cmd, work):
    """Runs cmd under GNU time; returns (wall seconds, CPU seconds, peak
    resident memory in bytes, stdout). The child is started by the small
    `time` process, not forked from this one: on Linux a forked child's peak
    memory would start at its parent's."""
    report = work / "time.txt"
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", "-o", str(report), *map(str, cmd)],
                          stdout=subprocess.PIPE)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"failed ({done.returncode}): {' '.join(map(str, cmd))}")
    peak_kib, user, system = report.read_text().split()[-3:]
    return seconds, float(user) + float(system), int(peak_kib) * 1024, done.stdout.decode()


def repeat(cmd, runs, work):
    walls, cpus, peaks, outs = [], [], [], []
    for _ in range(runs):
        t, c, m, o = run_child(cmd, work)
        walls.append(t)
        cpus.append(c)
        peaks.append(m)
        outs.append(o)
    return walls, statistics.median(cpus), max(peaks), outs


def psnr(volume, clean, head):
    err = volume[head] - clean[head]
    return 20.0 * np.log10(clean.max() / np.sqrt(np.mean(err * err)))


def peer_child(noisy_path, sigma, out_path):
    """Runs in its own process: dipy's nlmeans on the noisy volume; prints
    the wall and CPU seconds (all threads) of the call itself, imports and
    I/O excluded."""
    from dipy.denoise.nlmeans import nlmeans

    noisy = np.load(noisy_path)
    start, start_cpu = time.perf_counter(), time.process_time()
    out = nlmeans(noisy, sigma=sigma, patch_radius=1, block_radius=3, rician=True)
    seconds, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    np.save(out_path, np.asarray(out, dtype=np.float64))
    print(f"{seconds:.6f} {cpu:.6f}")


def mib(n):
    return n / 2.0**20


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--peer-child":
        peer_child(sys.argv[2], float(sys.argv[3]), sys.argv[4])
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("build", type=Path)
    ap.add_argument("work", type=Path)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--peer-runs", type=int, default=3)
    ap.add_argument("--no-peer", action="store_true")
    args = ap.parse_args()
    work = args.work
    work.mkdir(parents=True, exist_ok=True)
    mexrun = str(args.build / "mexrun")

    clean, noisy, sigma = make_volumes(work)
    head = clean > 0.1 * clean.max()
    voxel_bytes = noisy.nbytes
    print(f"volume {noisy.shape} ({mib(voxel_bytes):.1f} MiB of doubles), "
          f"Rician noise sigma = {sigma:.4f} (seed {SEED}), head: {int(head.sum())} voxels")

    q_cmd = [mexrun, str(args.build / "quillon.mexa64"), str(work / "noisy.npy"), repr(sigma), "1",
             "-o", str(work / "quillon.npy")]
    t_cmd = [mexrun, str(args.build / "tessary.mexa64"), str(work / "noisy.npy"), "3", "1",
             repr(sigma), str(work / "quillon.npy"), "1", "-o", str(work / "tessary.npy")]
    q_times, q_cpu, q_peak, _ = repeat(q_cmd, args.runs, work)
    t_times, t_cpu, t_peak, _ = repeat(t_cmd, args.runs, work)
    q_med = statistics.median(q_times)
    t_med = statistics.median(t_times)
    ours = q_med + t_med
    quillon_out = np.load(work / "quillon.npy")
    tessary_out = np.load(work / "tessary.npy")

    def line(name, runs, med, cpu, peak, in_out, host_arrays=None):
        spread = f"[{min(runs):.3f} .. {max(runs):.3f}]"
        mem = ""
        if peak is not None:
            mem = (f"  peak {mib(peak):6.1f} MiB = {peak / in_out:4.2f} x inputs and output"
                   f" ({mib(in_out):.1f} MiB)")
            if host_arrays is not None:
                mem += f" = {peak / host_arrays:4.2f} x all host arrays ({mib(host_arrays):.1f} MiB)"
        print(f"{name:<30} median {med:7.3f} s {spread:<18} CPU {cpu:7.2f} s{mem}")

    print(f"\nwall time of each mexrun process (load, .npy I/O and call), median of {args.runs};"
          " CPU: median user + system time of the process")
    # The host's arrays of each call: its inputs and its output, and with
    # them the scratch arrays it creates through the host (quillon: weights,
    # accumulator and the bias table of 8 ceil(2 max) doubles; tessary: local
    # means and weights).
    bias_bytes = 8 * 8 * int(np.ceil(2 * noisy.max()))
    line("quillon (rician 1)", q_times, q_med, q_cpu, q_peak, 2 * voxel_bytes,
         4 * voxel_bytes + bias_bytes)
    line("tessary (radius 3, extra 1)", t_times, t_med, t_cpu, t_peak, 3 * voxel_bytes,
         5 * voxel_bytes)
    print(f"{'pipeline (quillon + tessary)':<30} median {ours:7.3f} s {'':<18} CPU {q_cpu + t_cpu:7.2f} s")

    print("\nPSNR over the head (voxels above 10% of the clean maximum, peak = clean maximum):")
    print(f"{'noisy':<30} {psnr(noisy, clean, head):6.2f} dB")
    print(f"{'quillon':<30} {psnr(quillon_out, clean, head):6.2f} dB")
    print(f"{'tessary (guided by quillon)':<30} {psnr(tessary_out, clean, head):6.2f} dB")

    if args.no_peer:
        return
    p_cmd = [sys.executable, __file__, "--peer-child", str(work / "noisy.npy"), repr(sigma),
             str(work / "peer.npy")]
    _, _, p_peak, p_outs = repeat(p_cmd, args.peer_runs, work)
    p_calls = [float(o.split()[-2]) for o in p_outs]
    p_med = statistics.median(p_calls)
    p_cpu = statistics.median(float(o.split()[-1]) for o in p_outs)
    peer_out = np.load(work / "peer.npy")
    print(f"\npeer: dipy nlmeans (patch_radius=1, block_radius=3, rician=True, true sigma), "
          f"median of {args.peer_runs}, the call alone (imports and I/O excluded):")
    line("dipy nlmeans", p_calls, p_med, p_cpu, p_peak, 2 * voxel_bytes)
    print(f"{'dipy nlmeans':<30} {psnr(peer_out, clean, head):6.2f} dB PSNR over the head")
    print(f"\nratio dipy / pipeline: {p_med / ours:.2f} x in wall time, "
          f"{p_cpu / (q_cpu + t_cpu):.2f} x in CPU time   "
          f"(PSNR over the head: pipeline {psnr(tessary_out, clean, head):.2f} dB, "
          f"dipy {psnr(peer_out, clean, head):.2f} dB)")


if __name__ == "__main__":
    main()
