"""The warnings of one run, collected in one place.

Anything that finds a result doubtful (an estimated sigma, an output that
does not look like its input) raises a ``DenoiseWarning`` with Python's
``warnings`` module, so that library callers see it as any warning. A
command run collects them here: each is printed on stderr as
``denoisers: warning: ...``, recorded in the output's sidecar under
``Warnings``, and with ``--strict`` makes the command exit with
STRICT_EXIT once its outputs are written.
"""
import contextlib
import sys
import warnings

STRICT_EXIT = 3


class DenoiseWarning(UserWarning):
    """Something about a result that its user must hear of: an estimate that
    may be wrong, an output that does not look like its input."""


class RunWarnings:
    """The DenoiseWarning messages of one run, in the order raised (so far,
    while the run goes on)."""

    def __init__(self, caught=()):
        self._caught = caught

    @property
    def messages(self):
        return [str(w.message) for w in self._caught if issubclass(w.category, DenoiseWarning)]

    def report(self, stream=None):
        for m in self.messages:
            print(f"denoisers: warning: {m}", file=stream or sys.stderr)

    def exit_status(self, strict):
        """0, or STRICT_EXIT when strict and anything was warned of."""
        return STRICT_EXIT if strict and self.messages else 0


@contextlib.contextmanager
def collected():
    """Collects the DenoiseWarnings raised inside into a RunWarnings (every
    one, repeats included); other warnings pass on as they would have."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DenoiseWarning)
        yield RunWarnings(caught)
    for w in caught:
        if not issubclass(w.category, DenoiseWarning):
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
