"""Which settings denoise best: our methods across their parameters and
dipy's non-local means in each of its configurations, on real brains with
Rician and Gaussian noise at 1, 3, 5, 7 and 9% of the maximum, every filter
given the true sigma. For each case it prints PSNR (dB, over the voxels
above 10% of the clean maximum, that maximum as the peak), SSIM (the mean
of the SSIM map over the same voxels), wall seconds and the load average
when the call started (the machine is shared: seconds under load are
longer, and the load says by how much).

Usage: .venv/bin/python bench/quality_sweep.py [WORK_DIR] [--volumes ch2,ch2bet]
           [--models rician,gaussian] [--levels 1,3,5,7,9] [--methods PATTERNS]
           [--redo PATTERNS] [--keep PATTERNS] [--report-only] [--timing RUNS]

Every figure of a case is kept in WORK_DIR (default out/quality_sweep), one
JSON file per case, so a rerun computes only what is missing: dipy's
figures once, ours again only when the installed denoisers package changed
(its files' fingerprint is stored with each figure). PATTERNS are
comma-separated shell patterns over the method names (--methods 'dipy*');
--keep names our methods whose cached figures stand although the package
changed, when the change cannot touch them.
--timing RUNS times the chosen methods instead, taking turns, and prints
median seconds (wall and CPU). Run it niced on a shared machine:
nice -n 19 .venv/bin/python bench/quality_sweep.py ...

The volumes: Colin27's T1 (ch2, 181x217x181, its air background noisy like
the head) and its skull-stripped brain (ch2bet, the same grid, a quarter of
it brain), from Debian's mricron-data; and a second skull-stripped brain,
the INIA19 macaque T1 template (inia19, 168x206x128), not run unless asked
for.
The noise is added to every voxel, the background included, with a fixed
seed per case.
"""
import argparse
import fcntl
import fnmatch
import hashlib
import json
import os
import time
import zlib
from pathlib import Path

import numpy as np

TEMPLATES = Path("/usr/share/mricron/templates")
VOLUMES = {"ch2": "ch2.nii.gz", "ch2bet": "ch2bet.nii.gz", "inia19": "inia19-t1-brain.nii.gz"}
DEFAULT_VOLUMES = ("ch2", "ch2bet")
MODELS = ("rician", "gaussian")
LEVELS = (1, 3, 5, 7, 9)  # percent of the clean maximum
DIPY_DEFAULT = "dipy blockwise pr1 br2"


def _ours(**options):
    def run(noisy, sigma, rician):
        import denoisers

        return denoisers.denoise(noisy, sigma=sigma, rician=rician, **options)[0]
    return run


MIX_WEIGHTS = tuple(k / 10 for k in range(11))


def _mix_family(radius, k=1.0):
    """auto's two results (quillon with its thresholds at k times the usual,
    under Rician noise corrected after averaging, and tessary guided by it)
    mixed at every tessary weight of MIX_WEIGHTS: one filtering, a result
    per weight. The steps of pipeline.py and auto.py, by hand."""
    family = f"mix r{radius}" + ("" if k == 1.0 else f" k{k:g}")

    def run(noisy, sigma, rician):
        from denoisers import _core, pipeline

        units = pipeline.Working(float(noisy.min()), float(noisy.max()), sigma, rician)
        work, ws = units.into(noisy), units.sigma
        if rician:
            q = _core.rician_mean(_core.quillon(work, k * ws, -1.0, False), ws)
        else:
            q = _core.quillon(work, k * ws, 0.0, False)
        t = _core.tessary(work, float(radius), ws, q, 1.0 if rician else 0.0)
        return ((f"{family} w{w:.1f}", units.back(q + w * (t - q), np.float64), {})
                for w in MIX_WEIGHTS)
    run.members = [f"{family} w{w:.1f}" for w in MIX_WEIGHTS]
    return run


def _dipy_blockwise(patch, block):
    def run(noisy, sigma, rician):
        from dipy.denoise.non_local_means import non_local_means

        return non_local_means(noisy, sigma, patch_radius=patch, block_radius=block,
                               rician=rician)
    return run


def _dipy_classic(block):
    def run(noisy, sigma, rician):
        from dipy.denoise.nlmeans import nlmeans

        return nlmeans(noisy, sigma, patch_radius=1, block_radius=block, rician=rician)
    return run


# Name -> call(noisy, sigma, rician). Ours first, then dipy's, cheapest first.
METHODS = {
    "auto": _ours(method="auto"),
    "quillon": _ours(method="quillon"),
    **{f"quillon+tessary r{r}": _ours(method="quillon+tessary", radius=r) for r in (1, 2, 3, 4)},
    "mix r3": _mix_family(3),
    "mix r2": _mix_family(2),
    "mix r3 k0.9": _mix_family(3, 0.9),
    "mix r3 k1.15": _mix_family(3, 1.15),
    DIPY_DEFAULT: _dipy_blockwise(1, 2),
    "dipy blockwise pr1 br3": _dipy_blockwise(1, 3),
    "dipy blockwise pr2 br2": _dipy_blockwise(2, 2),
    "dipy classic pr1 br3": _dipy_classic(3),
    "dipy blockwise pr2 br3": _dipy_blockwise(2, 3),
    "dipy classic pr1 br5": _dipy_classic(5),
}


def is_ours(name):
    return not name.startswith("dipy")


def ours_fingerprint():
    """A digest of the installed denoisers package's files: a figure of ours
    made with other code is computed again."""
    import denoisers

    digest = hashlib.sha256()
    root = Path(denoisers.__file__).parent
    for path in sorted(root.iterdir()):
        if path.suffix in (".py", ".so"):
            digest.update(path.name.encode())
            digest.update(path.read_bytes())
    return digest.hexdigest()[:16]


def load_clean(volume):
    import nibabel

    return np.asfortranarray(nibabel.load(str(TEMPLATES / VOLUMES[volume])).dataobj,
                             dtype=np.float64)


def noisy_case(clean, case, sigma, rician):
    """The clean volume with noise of the case's own fixed seed."""
    rng = np.random.default_rng(zlib.crc32(case.encode()))
    real = clean + rng.normal(0.0, sigma, clean.shape)
    if not rician:
        return np.asfortranarray(real)
    imag = rng.normal(0.0, sigma, clean.shape)
    return np.asfortranarray(np.sqrt(real * real + imag * imag))


class Scorer:
    """PSNR and SSIM of a result against the clean volume, over its head."""

    def __init__(self, clean):
        self.clean = clean
        self.peak = float(clean.max())
        self.head = clean > 0.1 * self.peak
        # SSIM on the head's bounding box, with the SSIM window's margin.
        lo = np.maximum(np.argwhere(self.head).min(0) - 4, 0)
        hi = np.argwhere(self.head).max(0) + 5
        self.box = tuple(slice(a, b) for a, b in zip(lo, hi))

    def psnr(self, volume):
        err = volume[self.head] - self.clean[self.head]
        return float(20.0 * np.log10(self.peak / np.sqrt(np.mean(err * err))))

    def ssim(self, volume):
        from skimage.metrics import structural_similarity

        _, ssim_map = structural_similarity(self.clean[self.box], np.asarray(volume)[self.box],
                                            data_range=self.peak, full=True)
        return float(ssim_map[self.head[self.box]].mean())


def case_name(volume, model, level):
    return f"{volume}-{model}-{level:02d}"


def load_figures(path):
    return json.loads(path.read_text()) if path.exists() else {}


def save_figures(path, figures, names):
    """Writes figures[name] for each of names into the case's file, merged
    with what other runs (of other methods, at the same time) stored."""
    with open(path.with_suffix(".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        merged = load_figures(path)
        merged.update({n: figures[n] for n in names})
        part = path.with_suffix(".part")
        part.write_text(json.dumps(merged, indent=1, sort_keys=True))
        part.replace(path)
    figures.update(merged)


def matches(name, patterns):
    return any(fnmatch.fnmatchcase(name, p) for p in patterns)


def wanted(name, figures, fingerprint, redo, keep):
    members = getattr(METHODS[name], "members", [name])
    if any(m not in figures for m in members) or matches(name, redo):
        return True
    return (is_ours(name) and not matches(name, keep)
            and any(figures[m].get("code") != fingerprint for m in members))


def run_case(work, volume, model, level, clean, scorer, names, fingerprint, redo, keep):
    case = case_name(volume, model, level)
    path = work / f"{case}.json"
    figures = load_figures(path)
    todo = [n for n in names if wanted(n, figures, fingerprint, redo, keep)]
    stale_look = figures.get("look", {}).get("code") != fingerprint
    if not todo and not stale_look:
        return figures
    rician = model == "rician"
    sigma = level / 100.0 * scorer.peak
    noisy = noisy_case(clean, case, sigma, rician)
    if "noisy" not in figures:
        figures["noisy"] = {"psnr": scorer.psnr(noisy), "ssim": scorer.ssim(noisy)}
    if stale_look:
        # What method="auto" reads of this volume.
        from denoisers import auto

        noise, background = auto.look(noisy, sigma, rician)
        figures["look"] = {"noise": noise, "background": background, "code": fingerprint}
        save_figures(path, figures, ["noisy", "look"])
    for name in todo:
        load = os.getloadavg()[0]
        start, start_cpu = time.perf_counter(), time.process_time()
        out = METHODS[name](noisy, sigma, rician)
        seconds, cpu = time.perf_counter() - start, time.process_time() - start_cpu
        timing = {"seconds": seconds, "cpu_seconds": cpu, "load": load}
        # A family's results (a generator of (name, volume, extra figures))
        # share its seconds, and are scored by PSNR alone.
        results = [(name, out, {"ssim": scorer.ssim(out)})] if isinstance(out, np.ndarray) else out
        done = []
        for member, volume, extra in results:
            done.append(member)
            figures[member] = {"psnr": scorer.psnr(volume), **extra, **timing}
            if is_ours(name):
                figures[member]["code"] = fingerprint
            ssim = f"{extra['ssim']:.4f}" if "ssim" in extra else "     -"
            print(f"  {case:22s} {member:28s} {figures[member]['psnr']:7.2f} dB {ssim} "
                  f"{seconds:7.1f} s  load {load:.1f}", flush=True)
        save_figures(path, figures, ["noisy"] + done)
    return figures


def print_case(case, figures):
    print(f"\n{case}: {'method':28s} {'PSNR dB':>8s} {'SSIM':>7s} {'s':>7s} {'load':>5s}")
    for name, f in sorted(((n, f) for n, f in figures.items() if "psnr" in f),
                          key=lambda kv: -kv[1]["psnr"]):
        if name.startswith("mix "):
            continue
        ssim = f"{f['ssim']:7.4f}" if "ssim" in f else "      -"
        seconds = f"{f['seconds']:7.1f}" if "seconds" in f else "      -"
        load = f"{f['load']:5.1f}" if "load" in f else "    -"
        print(f"{'':{len(case) + 2}s}{name:28s} {f['psnr']:8.2f} {ssim} {seconds} {load}")


TARGET_MARGIN = 0.3  # dB above the best dipy configuration measured
TARGET_RATIO = 0.2  # of dipy's default's seconds
TARGET_LOSS = 0.05  # dB below quillon+tessary at most
PIPELINE = "quillon+tessary r3"


def print_summary(all_figures, ours_name):
    """Ours (ours_name) against the best dipy configuration of each case,
    against quillon+tessary, and its seconds against dipy's default's; then
    each target, met or missed and by how much."""
    print(f"\nsummary: {ours_name} against the best dipy configuration measured")
    print(f"{'case':22s} {'ours dB':>8s} {'best dipy dB':>12s} {'margin':>7s}  {'best dipy':24s} "
          f"{'vs q+t':>7s} {'ours s':>7s} {'default s':>9s} {'ratio':>6s}")
    margins, ratios, losses = [], [], []
    for case, figures in all_figures.items():
        dipy = {n: f for n, f in figures.items() if n.startswith("dipy")}
        if ours_name not in figures or not dipy:
            continue
        best = max(dipy, key=lambda n: dipy[n]["psnr"])
        ours = figures[ours_name]
        margins.append((ours["psnr"] - dipy[best]["psnr"], case))
        versus = "      -"
        if PIPELINE in figures:
            losses.append((ours["psnr"] - figures[PIPELINE]["psnr"], case))
            versus = f"{losses[-1][0]:+7.2f}"
        ratio, default_s = "     -", "        -"
        if DIPY_DEFAULT in dipy:
            ratios.append((ours["seconds"] / dipy[DIPY_DEFAULT]["seconds"], case))
            ratio, default_s = f"{ratios[-1][0]:6.2f}", f"{dipy[DIPY_DEFAULT]['seconds']:9.1f}"
        print(f"{case:22s} {ours['psnr']:8.2f} {dipy[best]['psnr']:12.2f} "
              f"{margins[-1][0]:+7.2f}  {best:24s} {versus} {ours['seconds']:7.2f} "
              f"{default_s} {ratio}")
    # (label, figures, whether larger is better, target)
    for label, values, up, target in (
            ("margin over the best dipy (dB)", margins, True, TARGET_MARGIN),
            ("seconds over dipy's default's (each run at its own load; --timing "
             "compares them in turns)", ratios, False, TARGET_RATIO),
            ("against quillon+tessary (dB)", losses, True, -TARGET_LOSS)):
        if not values:
            continue
        value, case = (min if up else max)(values)
        missed = [c for v, c in values if (v < target if up else v > target)]
        print(f"target: {label}: worst {value:+.2f} ({case}), target {target:+.2f}: "
              + (f"met in all {len(values)} cases" if not missed else
                 f"MISSED in {len(missed)} of {len(values)}: {', '.join(missed)}"))


def print_mixes(all_figures):
    """The table auto's rule is fitted on: per case, the look auto reads
    and the best tessary weight of each mixed family."""
    families = sorted({n.rsplit(" w", 1)[0] for f in all_figures.values() for n in f
                       if n.startswith("mix ")})
    if not families:
        return
    print(f"\nmixes: quillon and tessary, (1 - w) * quillon + w * tessary")
    print(f"{'case':22s} {'noise %':>7s} {'dark':>5s}"
          + "".join(f"  {fam + ' best':>14s} {'w0':>6s} {'w1':>6s}" for fam in families))
    for case, figures in all_figures.items():
        line = f"{case:22s}"
        for fam in families:
            mixes = {n: f for n, f in figures.items() if n.startswith(fam + " w")}
            if not mixes:
                line += f"  {'-':>14s} {'-':>6s} {'-':>6s}"
                continue
            best = max(mixes, key=lambda n: mixes[n]["psnr"])
            line += (f"  {mixes[best]['psnr']:8.2f} @{best.rsplit(' w', 1)[1]} "
                     f"{mixes[fam + ' w0.0']['psnr']:6.2f} {mixes[fam + ' w1.0']['psnr']:6.2f}")
        look = figures.get("look", {"noise": float("nan"), "background": float("nan")})
        print(line[:22] + f" {look['noise']:7.2f} {look['background']:5.2f}" + line[22:])


def time_interleaved(volume, model, level, names, runs):
    """Median wall and CPU seconds of each method over `runs` rounds, the
    methods taking turns within a round, so that a change in the machine's
    load falls on all of them alike."""
    clean = load_clean(volume)
    case = case_name(volume, model, level)
    rician = model == "rician"
    sigma = level / 100.0 * float(clean.max())
    noisy = noisy_case(clean, case, sigma, rician)
    walls = {n: [] for n in names}
    cpus = {n: [] for n in names}
    loads = []
    for _ in range(runs):
        loads.append(os.getloadavg()[0])
        for name in names:
            start, start_cpu = time.perf_counter(), time.process_time()
            METHODS[name](noisy, sigma, rician)
            walls[name].append(time.perf_counter() - start)
            cpus[name].append(time.process_time() - start_cpu)
    print(f"\ntiming, {case}: median of {runs} interleaved rounds, load average "
          f"{min(loads):.1f} to {max(loads):.1f}")
    print(f"  {'method':28s} {'wall s':>7s} {'CPU s':>7s}")
    for name in names:
        print(f"  {name:28s} {np.median(walls[name]):7.2f} {np.median(cpus[name]):7.2f}")


def split(text):
    return [t for t in text.split(",") if t]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("work", type=Path, nargs="?", default=Path("out/quality_sweep"))
    parser.add_argument("--volumes", default=",".join(DEFAULT_VOLUMES))
    parser.add_argument("--models", default=",".join(MODELS))
    parser.add_argument("--levels", default=",".join(map(str, LEVELS)))
    parser.add_argument("--methods", default="*", help="patterns of the methods to run")
    parser.add_argument("--redo", default="", help="patterns of methods to compute again")
    parser.add_argument("--keep", default="",
                        help="patterns of our methods whose figures stand although the code "
                        "changed (when the change cannot touch them)")
    parser.add_argument("--report-only", action="store_true", help="print what is cached")
    parser.add_argument("--timing", type=int, metavar="RUNS",
                        help="time the methods instead, in RUNS interleaved rounds per case "
                        "(nothing cached)")
    parser.add_argument("--summary", default="auto",
                        help="our method that the summary compares with dipy")
    args = parser.parse_args()
    args.work.mkdir(parents=True, exist_ok=True)
    volumes, models = split(args.volumes), split(args.models)
    levels = [int(x) for x in split(args.levels)]
    for v in volumes:
        if v not in VOLUMES:
            parser.error(f"unknown volume {v!r}; one of {', '.join(VOLUMES)}")
    names = [n for n in METHODS if matches(n, split(args.methods))]
    if args.timing:
        for volume in volumes:
            for model in models:
                for level in levels:
                    time_interleaved(volume, model, level, names, args.timing)
        return
    fingerprint = ours_fingerprint()
    print(f"load average at start: {' '.join(f'{x:.1f}' for x in os.getloadavg())}; "
          f"{os.cpu_count()} cores; ours {fingerprint}", flush=True)

    all_figures = {}
    for volume in volumes:
        clean = scorer = None
        for model in models:
            for level in levels:
                case = case_name(volume, model, level)
                if args.report_only:
                    all_figures[case] = load_figures(args.work / f"{case}.json")
                    continue
                if clean is None:
                    clean = load_clean(volume)
                    scorer = Scorer(clean)
                all_figures[case] = run_case(args.work, volume, model, level, clean, scorer,
                                             names, fingerprint, split(args.redo),
                                             split(args.keep))
    for case, figures in all_figures.items():
        if figures:
            print_case(case, figures)
    print_mixes(all_figures)
    print_summary(all_figures, args.summary)
    print(f"\nload average at end: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
