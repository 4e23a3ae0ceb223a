"""Running `denoisers bids`: each image as its own step, in this process or
in N worker processes, one progress line per image, then a summary.

A failure stays with its image (its reason goes into the summary); an
interruption (SIGINT or SIGTERM) stops the workers, whose temporary files
are removed on the way out, so a rerun finishes the work as if nothing had
happened.
"""
import concurrent.futures
import contextlib
import multiprocessing
import os
import signal
import sys
import time
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path

from . import bids, bids_report
from .files import denoise_file, remove_stale_temporaries

_busy = False  # a worker is inside an image's step (its signals must clean up)


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
                        threads=threads, source_name=scan.uri, report=page)
    return "done", "; ".join(["sigma " + ", ".join(f"{s:.4g}" for s in done["sigma"])]
                             + [f"warning: {w}" for w in done["warnings"]])


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


def _worker_signal(signum, frame):
    if _busy:
        # One interruption is enough: the pool sends every worker another
        # SIGTERM once one of them has exited, which would otherwise cut
        # this one's clean-up short and leave its temporaries behind.
        for s in (signal.SIGINT, signal.SIGTERM):
            signal.signal(s, signal.SIG_IGN)
        raise KeyboardInterrupt  # unwinds through the writes, which remove their temporaries
    os._exit(128 + signum)


def _init_worker(threads):
    os.environ["DENOISERS_THREADS"] = str(threads)  # the C++ cores read it at each call
    for s in (signal.SIGINT, signal.SIGTERM):
        signal.signal(s, _worker_signal)


def _work(job):
    global _busy
    try:
        _busy = True
        return _attempt(job)
    except KeyboardInterrupt:
        _remove_temporaries(job)
        os._exit(130)
    finally:
        _busy = False


def _stop(executor):
    """Asks every worker to stop (SIGTERM) and waits for each to clean up."""
    workers = list((executor._processes or {}).values())
    for w in workers:
        if w.is_alive():
            w.terminate()
    for w in workers:
        w.join(timeout=60)
    executor.shutdown(wait=False, cancel_futures=True)


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
    # forkserver, not fork: a child forked from this process would inherit
    # the state of its threads without the threads. The server imports the
    # package once, so each worker starts without importing it again.
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload([__name__])
    executor = concurrent.futures.ProcessPoolExecutor(
        max_workers=nprocs, mp_context=context,
        initializer=_init_worker, initargs=(jobs[0][4],))
    try:
        futures = {executor.submit(_work, job): job for job in jobs}
        for future in concurrent.futures.as_completed(futures):
            try:
                result = future.result()
            except BrokenProcessPool:
                # A worker died (killed, out of memory): its image and those
                # still queued fail with the reason; a rerun makes them.
                result = ("failed", "its worker process died before it finished", 0.0)
            yield futures[future], result
    except BaseException:
        _stop(executor)
        raise
    executor.shutdown()


def run(bids_dir, output_dir, scans, method, nprocs, out=sys.stdout, report=False):
    """Processes scans; prints a line per image and the summary; with
    report, the pages too. Returns the number of failures."""
    start = time.perf_counter()
    nprocs = max(1, min(nprocs, len(scans)))
    threads = threads_per_process(nprocs) if nprocs > 1 else None
    jobs = [(bids_dir, output_dir, scan, method, threads, report) for scan in scans]
    counts = {"done": 0, "skipped": 0, "failed": 0}
    failures = []
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
            print(f"[{k:{width}}/{len(jobs)}] {status:7} {scan.relative:{name_width}} "
                  f"{seconds:6.1f} s  "
                  f"{detail}", file=out, flush=True)
    total = time.perf_counter() - start
    print(f"\n{'files':>8} {'done':>6} {'skipped':>8} {'failed':>7} {'time':>9}\n"
          f"{len(jobs):8} {counts['done']:6} {counts['skipped']:8} {counts['failed']:7} "
          f"{total:7.1f} s", file=out)
    for relative, reason in failures:
        print(f"failed: {relative}: {reason}", file=out)
    if report:
        print(f"report: {bids_report.write_pages(output_dir, entries)}", file=out)
    out.flush()
    return len(failures)


def main(args):
    """`denoisers bids` with parsed arguments; the exit status."""
    bids_dir, output_dir = Path(args.bids_dir), Path(args.output_dir)
    if output_dir.resolve() == bids_dir.resolve():
        raise bids.BidsError("the output folder must not be the BIDS folder itself")
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
