"""The AGC state of every channel of a recording, and the one function that
levels a block of channels through it.

Everything that runs samples through the AGC for the command line and
:mod:`quorvel.batch` goes through :meth:`ChannelAGCs.level`; a recording
of one channel is a block of one row.
"""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from quorvel import agc
from quorvel.telemetry import Telemetry

PARAMETERS = ("ref_db", "loop_bw", "alpha", "decim")


class ChannelAGCs:
    """One AGC per channel, built with the same parameters, each with its own state."""

    def __init__(self, channels: int, ref_db: float, loop_bw: float, alpha: float, decim: int) -> None:
        self._agcs: list[Any] = []
        try:
            for _ in range(channels):
                loop = agc.AGC(ref_db, loop_bw, alpha)
                loop.decim = decim
                self._agcs.append(loop)
        except BaseException:
            self._agcs.clear()
            raise
        self._tlm: Optional[Telemetry] = None

    @property
    def channels(self) -> int:
        return len(self._agcs)

    def level(self, block: np.ndarray) -> None:
        """Level ``block``, complex64 of shape (channels, n) in C order, in place:
        row c continues channel c's loop exactly as one long ``steps`` call would."""
        for loop, row in zip(self._agcs, block):
            loop.steps(row, out=row)

    def parameters(self) -> dict[str, Any]:
        """ref_db, loop_bw, alpha and decim (the same in every channel)."""
        return {name: getattr(self._agcs[0], name) for name in PARAMETERS}

    def gain_db(self) -> tuple[float, ...]:
        """Every channel's gain command now."""
        return tuple(float(loop.gain_db) for loop in self._agcs)

    def get_state(self) -> bytes:
        """The channels' state blobs, one after another."""
        return b"".join(loop.get_state() for loop in self._agcs)

    def set_state(self, blob: bytes) -> None:
        """Restore what :meth:`get_state` saved, parameters included; ValueError
        when ``blob`` holds another number of channels or is no AGC state."""
        size = self._agcs[0].state_bytes()
        if len(blob) != size * self.channels:
            raise ValueError(f"holds {len(blob)} bytes, not the {size}-byte AGC state of each of "
                             f"{self.channels} channel(s)")
        states = [loop.get_state() for loop in self._agcs]
        try:
            for i, loop in enumerate(self._agcs):
                loop.set_state(blob[i * size:(i + 1) * size])
            if any(self._parameters_of(loop) != self.parameters() for loop in self._agcs):
                raise ValueError("holds channels with different AGC parameters")
        except BaseException:
            for loop, state in zip(self._agcs, states):
                loop.set_state(state)
            raise

    @staticmethod
    def _parameters_of(loop: Any) -> dict[str, Any]:
        return {name: getattr(loop, name) for name in PARAMETERS}

    def watch(self, tlm: Telemetry) -> None:
        """Record every channel's gain and level into ``tlm`` from now on."""
        for c, loop in enumerate(self._agcs):
            tlm.attach(loop, prefix="agc" if self.channels == 1 else f"ch{c}")
        self._tlm = tlm

    def probes(self) -> tuple[np.ndarray, np.ndarray]:
        """The gain_db and level_db of the updates since the last call: float32
        arrays of shape (updates,) for one channel, (updates, channels) for more."""
        assert self._tlm is not None
        found = self._tlm.demux(self._tlm.read())
        if self.channels == 1:
            return found["agc.gain_db"], found["agc.level_db"]
        names = [f"ch{c}" for c in range(self.channels)]
        return (np.stack([found[f"{n}.gain_db"] for n in names], axis=1),
                np.stack([found[f"{n}.level_db"] for n in names], axis=1))
