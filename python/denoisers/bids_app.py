"""Running `denoisers bids`: each image as its own step, in this process or
in N worker processes, one progress line per image, then a summary.

A failure stays with its image (its reason goes into the summary), and so
does the death of its worker process (denoisers.workers); an interruption
(SIGINT or SIGTERM) stops the workers at once, whose temporary files are
removed on the way out, so a rerun finishes the work as if nothing had
happened.
"""
import contextlib
import functools
import os
import sys
import threading
import time
from pathlib import Path

from tqdm import tqdm

from . import bids, bids_report, workers
from .files import denoise_file, remove_stale_temporaries


def usable_cpus():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


def threads_per_process(nprocs):
    """The cores' worker threads for each of nprocs processes, so that
    together they use the machine's cores and no more."""
    return max(1, usable_cpus() // nprocs)


def process_scan(bids_dir, output_dir, scan, method, threads, report=False):
    """('done' or 'skipped', detail) for one image; raises on a failure. The
    gradient tables go first: a sidecar in place means all is complete.
    report: also its page (made from the files when the image is up to date
    and the page is missing)."""
    page = bids_report.page_path(output_dir, scan) if report else None
    if page is not None:
        page.parent.mkdir(parents=True, exist_ok=True)
    if bids.up_to_date(bids_dir, output_dir, scan, method):
        if page is not None and not page.is_file():
            bids_report.page_from_files(bids_dir, output_dir, scan)
            return "skipped", "up to date; page made"
        return "skipped", "up to date"
    image = Path(output_dir) / scan.derivative()
    image.parent.mkdir(parents=True, exist_ok=True)
    if scan.suffix == "dwi":
        for original, ext in zip(bids.gradients(bids_dir, scan), (".bval", ".bvec")):
            bids.copy_atomically(original, Path(output_dir) / scan.derivative(ext))
    done = denoise_file(Path(bids_dir) / scan.relative, image, method=method,
                        threads=threads, source_name=scan.uri,
                        source_sidecars=bids.sidecars(bids_dir, scan), report=page)
    return "done", "; warning: ".join(
        ["sigma " + ", ".join(f"{s:.4g}" for s in done["sigma"])] + done["warnings"])


def _attempt(job):
    """(status, detail, seconds) for one image; failures become 'failed'."""
    start = time.perf_counter()
    try:
        status, detail = process_scan(*job)
    except Exception as e:
        status, detail = "failed", str(e) or type(e).__name__
    return status, detail, time.perf_counter() - start


def _remove_temporaries(job):
    """What an interrupted step may have left of its files' temporaries,
    including one made just before its writer's own clean-up was armed."""
    _, output_dir, scan = job[:3]
    for ext in (".nii.gz", ".json", ".bval", ".bvec"):
        remove_stale_temporaries(Path(output_dir) / scan.derivative(ext))
    remove_stale_temporaries(bids_report.page_path(output_dir, scan))


def _init_worker(threads):
    os.environ["DENOISERS_THREADS"] = str(threads)  # the C++ cores read it at each call
    # tqdm's default lock is a multiprocessing one, a named semaphore that a
    # worker killed mid-image would leave to the resource tracker's warnings.
    tqdm.set_lock(threading.RLock())


def _results(jobs, nprocs):
    """Yields (job, (status, detail, seconds)) as each image finishes."""
    if nprocs == 1:
        for job in jobs:
            try:
                result = _attempt(job)
            except KeyboardInterrupt:
                _remove_temporaries(job)
                raise
            yield job, result
        return
    yield from workers.results(jobs, nprocs, functools.partial(_init_worker, jobs[0][4]),
                               _attempt, _remove_temporaries)


def run(bids_dir, output_dir, scans, method, nprocs, out=sys.stdout, report=False):
    """Processes scans; prints a line per image and the summary; with
    report, the pages too. Returns the number of failures."""
    start = time.perf_counter()
    nprocs = max(1, min(nprocs, len(scans)))
    threads = threads_per_process(nprocs) if nprocs > 1 else None
    jobs = [(bids_dir, output_dir, scan, method, threads, report) for scan in scans]
    counts = {"done": 0, "skipped": 0, "failed": 0}
    failures, warnings = [], []
    entries = []
    width = len(str(len(jobs)))
    name_width = max((len(scan.relative) for scan in scans), default=0)
    # closing(): an interruption while a line is printed still stops the workers.
    with contextlib.closing(_results(jobs, nprocs)) as results:
        for k, (job, (status, detail, seconds)) in enumerate(results, 1):
            scan = job[2]
            counts[status] += 1
            entries.append((scan, status, detail))
            if status == "failed":
                failures.append((scan.relative, detail))
            warnings += [(scan.relative, w) for w in detail.split("; warning: ")[1:]]
            print(f"[{k:{width}}/{len(jobs)}] {status:7} {scan.relative:{name_width}} "
                  f"{seconds:6.1f} s  "
                  f"{detail}", file=out, flush=True)
    total = time.perf_counter() - start
    print(f"\n{'files':>8} {'done':>6} {'skipped':>8} {'failed':>7} {'time':>9}\n"
          f"{len(jobs):8} {counts['done']:6} {counts['skipped']:8} {counts['failed']:7} "
          f"{total:7.1f} s", file=out)
    for relative, reason in failures:
        print(f"failed: {relative}: {reason}", file=out)
    for relative, warning in warnings:
        print(f"warning: {relative}: {warning}", file=out)
    if report:
        print(f"report: {bids_report.write_pages(output_dir, entries)}", file=out)
    out.flush()
    return len(failures)


def main(args):
    """`denoisers bids` with parsed arguments; the exit status."""
    bids_dir, output_dir = Path(args.bids_dir), Path(args.output_dir)
    bids.check_output_dir(bids_dir, output_dir)
    scans, ignored = bids.find_scans(bids_dir, args.participant_label, args.suffix,
                                     validate=not args.skip_bids_validation)
    for relative in ignored:
        print(f"denoisers: {relative}: not a valid BIDS name; left out", file=sys.stderr)
    output_dir.mkdir(parents=True, exist_ok=True)
    bids.write_dataset_description(output_dir, bids_dir)
    if not scans:
        print(f"denoisers: {bids_dir}: no image of {', '.join(args.suffix)} found",
              file=sys.stderr)
        return 1
    return 1 if run(bids_dir, output_dir, scans, args.method, args.nprocs,
                    report=args.report) else 0
