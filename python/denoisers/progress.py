"""denoise()'s progress bar on stderr: the volumes of a series, or the passes
of one volume, moving within each pass as the filters report their share
of the work done (every 50 ms or so), so that a large volume never sits
still for many seconds. tqdm is imported only for a bar that shows (a
quiet command does without it at start-up)."""


class PassBar:
    """A tqdm bar over `volumes` volumes of `passes` passes each: counted in
    volumes for a series, in passes for one volume. ``hook`` is what the
    filters' ``progress`` argument takes (None when the bar is off, so that
    the filters do not count their work)."""

    def __init__(self, enabled, volumes, passes):
        self.series = volumes > 1
        self.passes = passes
        self.bar = None
        if enabled:
            from tqdm import tqdm
            self.bar = tqdm(total=volumes if self.series else passes, unit="volume" if (
                self.series) else "pass", desc="denoise", leave=False)
        self.hook = self.within if enabled else None
        self.volume = 0
        self.done = 0

    def within(self, share):
        """The filter running reports `share` (0 to 1) of its pass done."""
        self._show(self.done + min(max(share, 0.0), 1.0))

    def pass_done(self):
        self.done += 1
        self._show(self.done)

    def volume_done(self):
        self.volume += 1
        self.done = 0
        self._show(0)

    def _show(self, passes_done):
        if self.bar is None:
            return
        n = self.volume + passes_done / self.passes if self.series else passes_done
        self.bar.n = round(n, 2)
        self.bar.refresh()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.close()
