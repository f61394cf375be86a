"""Progress bars on a terminal, drawn by tqdm (``pip install 'quorvel[progress]'``).

A bar appears once a run has lasted a second, so short runs stay silent;
without a terminal on standard error (or with it closed), or without tqdm,
there is none.
"""

from __future__ import annotations

import importlib
import sys
from typing import Any, Callable, Optional

DELAY = 1.0  # seconds before a bar appears


def _tqdm(total: Optional[int], stream: Any) -> Any:
    try:
        if not stream.isatty():
            return None
    except (AttributeError, ValueError):  # no stream (standard error closed at start), or closed since
        return None
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1000, delay=DELAY, file=stream,
                dynamic_ncols=True, leave=False)


class Bar:
    """A bar over bytes, with the rate also in samples; does nothing when not drawn."""

    def __init__(self, total: Optional[int], sample_bytes: Optional[int], stream: Any = None) -> None:
        self._bar = _tqdm(total, stream or sys.stderr)
        self._sample_bytes = sample_bytes
        self._done = 0

    def update(self, done: int, note: str = "") -> None:
        """``done`` bytes so far; ``note`` shown after the rate."""
        if self._bar is None:
            return
        self._bar.update(done - self._done)
        self._done = done
        rate = self._bar.format_dict.get("rate")
        text = f"{rate / self._sample_bytes / 1e6:.1f} Msample/s" if rate and self._sample_bytes else ""
        self._bar.set_postfix_str(", ".join(t for t in (text, note) if t), refresh=False)

    def callback(self) -> Optional[Callable[[int, Optional[int]], None]]:
        """``update`` in the shape ``level_file`` calls it, or None when not drawn."""
        if self._bar is None:
            return None
        return lambda done, total: self.update(done)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def __enter__(self) -> "Bar":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class NoBar:
    """Stands in for a bar with --quiet."""

    def update(self, done: int, note: str = "") -> None:
        pass

    def callback(self) -> None:
        return None

    def close(self) -> None:
        pass

    def __enter__(self) -> "NoBar":
        return self

    def __exit__(self, *exc: object) -> None:
        pass
