"""The command's entry point (`denoisers`, `python3 -m denoisers`).

Two things happen before the command's modules, and numpy and nibabel with
them, are imported:

- The process starts itself once more with glibc's malloc advising 2 MiB
  pages for its large blocks (GLIBC_TUNABLES=glibc.malloc.hugetlb=1, which
  malloc reads only from the environment it starts with). Every fresh 4 KiB
  page costs a fault on its first touch; on the virtual machines we measure
  on a fault takes about 18 microseconds, so the hundred-odd megabytes of
  Python buffers that reading and writing a brain volume pass through cost
  0.4 s of a 2.3 s command. numpy's arrays and the cores' scratch already
  ask for large pages on their own.
- The input starts being read ahead (read_ahead).
"""
import os
import sys

from . import read_ahead

_HUGE_PAGES = "glibc.malloc.hugetlb"


def main(argv=None):
    if argv is None:  # a process of its own: not a caller's interpreter
        restart = huge_page_restart(os.environ, getattr(sys, "orig_argv", None))
        if restart is not None:
            try:
                os.execve(sys.executable, restart[1], restart[0])
            except OSError:
                pass  # the command runs all the same, on small pages
    read_ahead.start(sys.argv[1:] if argv is None else argv)
    from .cli import main as command
    return command(argv)


def huge_page_restart(environment, argv):
    """(environment, argv) to start this process again with glibc's
    malloc on large pages, or None: not glibc 2.35 or later, no way to run
    the same command again, the system's large pages turned off, or
    GLIBC_TUNABLES already saying what malloc does with them (the user's
    choice, or this process restarted)."""
    tunables = environment.get("GLIBC_TUNABLES", "")
    if not argv or not sys.executable or _HUGE_PAGES in tunables or not _glibc_has_it():
        return None
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            if "[never]" in f.read():
                return None
    except OSError:
        return None
    setting = f"{_HUGE_PAGES}=1"
    return ({**environment, "GLIBC_TUNABLES": f"{tunables}:{setting}" if tunables else setting},
            list(argv))


def _glibc_has_it():
    try:
        name, version = os.confstr("CS_GNU_LIBC_VERSION").split()
        return name == "glibc" and tuple(map(int, version.split(".")[:2])) >= (2, 35)
    except (AttributeError, ValueError, OSError):  # not glibc, or not a version we can read
        return False
