"""Progress bars for counting, training and resuming: tqdm when asked for, by default when
standard error is a terminal or a notebook, quiet otherwise. tqdm's notebook parts are
imported only inside a notebook."""

from __future__ import annotations

import sys
from typing import Callable, Optional


def wanted(progress: Optional[bool]) -> bool:
    if progress is not None:
        return bool(progress)
    if "ipykernel" in sys.modules:
        return True
    stream = sys.stderr
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError):
        return False


class Bar:
    """A tqdm bar that the engine's callbacks move (from any thread, with the lock held)."""

    def __init__(self, enabled: bool, desc: str, total: Optional[int], unit: str, initial: int = 0,
                 unit_scale: bool = False, lazy: bool = False):
        """A `lazy` bar appears at its first move only (for a phase that may not happen,
        such as merging counts that spilled to disk)."""
        self._bar = None
        self._make = None
        self._total = total
        if not enabled:
            return
        if "ipykernel" in sys.modules:
            from tqdm.auto import tqdm
        else:
            from tqdm import tqdm

        class Quiet(tqdm):
            # The engine moves these bars often; tqdm's monitor thread, which redraws bars
            # left waiting, would only outlive them (it runs until the interpreter ends).
            monitor_interval = 0

        self._make = lambda: Quiet(desc=desc, total=total, unit=unit, initial=initial, unit_scale=unit_scale,
                                   leave=True, dynamic_ncols=True)
        if not lazy:
            self._bar = self._make()

    def to(self, value: int) -> None:
        # A total is what was known at the start (a file's size on disk, a vocabulary's
        # size); the work can run past it (a file that grows, the ids of special tokens),
        # and a bar past 100 % reads as a fault.
        if self._total is not None:
            value = min(value, self._total)
        if self._bar is None and self._make is not None:
            self._bar = self._make()
        if self._bar is not None and value > self._bar.n:
            self._bar.update(value - self._bar.n)

    def describe(self, text: str) -> None:
        """Says more on the bar's line (what a phase decided)."""
        if self._bar is not None:
            self._bar.set_postfix_str(text)

    def callback(self) -> Optional[Callable[..., None]]:
        if self._make is None:
            return None
        return lambda *values: self.to(int(values[0]))

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()

    def __enter__(self) -> "Bar":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
