"""What ``progress=`` takes: None or False (report nothing), True (a bar on stderr,
through tqdm when it is installed, plain lines otherwise) or a callable,
called as ``progress(done, total)`` a few times a second at most and once
when the work is done."""

import sys
import time
from typing import Any, Callable, Optional

Report = Callable[[int, int], None]


class _Lines:
    """One line on stderr at most every second, and one at the end."""

    def __init__(self, what: str):
        self._what = what
        self._last = -1.0

    def __call__(self, done: int, total: int) -> None:
        now = time.monotonic()
        if done < total and now - self._last < 1.0:
            return
        self._last = now
        share = 100 * done // total if total else 100
        print(f"korel: {self._what}: {done}/{total} ({share}%)", file=sys.stderr, flush=True)


class _Bar:
    """A tqdm bar on stderr, closed at the end."""

    def __init__(self, what: str, tqdm: Any):
        self._what = what
        self._tqdm = tqdm
        self._bar: Any = None

    def __call__(self, done: int, total: int) -> None:
        if self._bar is None:
            self._bar = self._tqdm(total=total, desc=f"korel: {self._what}", file=sys.stderr)
        self._bar.update(done - self._bar.n)
        if done >= total:
            self._bar.close()


def reporter(progress: Any, what: str) -> Optional[Report]:
    """The callable that reports ``what``'s progress as ``progress`` asks."""
    if progress is None or progress is False:
        return None
    if progress is True:
        try:
            from tqdm import tqdm  # type: ignore[import-untyped]
        except ImportError:
            return _Lines(what)
        return _Bar(what, tqdm)
    if not callable(progress):
        raise TypeError(
            f"progress must be None, True or a callable progress(done, total), not {type(progress).__name__}"
        )
    return progress
