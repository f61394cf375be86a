"""The AGC state of every channel of a recording, and the one function that
levels a block of channels through it.

Everything that runs samples through the AGC for the command line and
:mod:`quorvel.batch` goes through :meth:`ChannelAGCs.level`; a recording
of one channel is a block of one row. The channels are one
:class:`quorvel.agc.AGCBank`, each bit for bit an AGC of its own.
"""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from quorvel import agc
from quorvel.telemetry import Telemetry

PARAMETERS = ("ref_db", "loop_bw", "alpha", "decim")
# What a bank shares and a state blob carries beside them.
SHARED = PARAMETERS + ("clip_db", "acquire")
PREFIX = "agc"


class ChannelAGCs:
    """One AGC per channel, built with the same parameters, each with its own state."""

    def __init__(self, channels: int, ref_db: float, loop_bw: float, alpha: float, decim: int) -> None:
        self._bank = agc.AGCBank(channels, ref_db, loop_bw, alpha)
        self._bank.decim = decim
        self._tlm: Optional[Telemetry] = None

    @property
    def channels(self) -> int:
        return self._bank.channels

    def level(self, block: np.ndarray) -> None:
        """Level ``block``, complex64 of shape (channels, n) in C order, in place:
        row c continues channel c's loop exactly as one long ``steps`` call would."""
        self._bank.steps(block, out=block)

    def parameters(self) -> dict[str, Any]:
        """ref_db, loop_bw, alpha and decim (the same in every channel)."""
        return {name: getattr(self._bank, name) for name in PARAMETERS}

    def gain_db(self) -> tuple[float, ...]:
        """Every channel's gain command now."""
        return tuple(float(g) for g in self._bank.gain_db)

    def get_state(self) -> bytes:
        """The channels' state blobs, one after another."""
        return b"".join(self._bank.get_state(c) for c in range(self.channels))

    def set_state(self, blob: bytes) -> None:
        """Restore what :meth:`get_state` saved, parameters included; ValueError
        when ``blob`` holds another number of channels or is no AGC state."""
        size = self._bank.state_bytes(0)
        if len(blob) != size * self.channels:
            raise ValueError(f"holds {len(blob)} bytes, not the {size}-byte AGC state of each of "
                             f"{self.channels} channel(s)")
        saved = [agc.AGC() for _ in range(self.channels)]
        for c, loop in enumerate(saved):
            loop.set_state(blob[c * size:(c + 1) * size])
        if any(self._shared(loop) != self._shared(saved[0]) for loop in saved):
            raise ValueError("holds channels with different AGC parameters")
        before = self._shared(self._bank), self.get_state()
        try:
            self._configure(self._shared(saved[0]))
            for c, loop in enumerate(saved):
                self._bank.set_state(c, loop.get_state())
        except BaseException:
            self._configure(before[0])
            for c in range(self.channels):
                self._bank.set_state(c, before[1][c * size:(c + 1) * size])
            raise

    @staticmethod
    def _shared(obj: Any) -> dict[str, Any]:
        return {name: getattr(obj, name) for name in SHARED}

    def _configure(self, values: dict[str, Any]) -> None:
        for name, value in values.items():
            setattr(self._bank, name, value)

    def watch(self, tlm: Telemetry) -> None:
        """Record every channel's gain and level into ``tlm`` from now on; ValueError
        for more channels than a context has probes for (32)."""
        tlm.attach(self._bank, prefix=PREFIX)
        self._tlm = tlm

    def probes(self) -> tuple[np.ndarray, np.ndarray]:
        """The gain_db and level_db of the updates since the last call: float32
        arrays of shape (updates,) for one channel, (updates, channels) for more."""
        assert self._tlm is not None
        found = self._tlm.demux(self._tlm.read())
        gain, level = ([found[f"{PREFIX}.{c}.{name}"] for c in range(self.channels)] for name in ("gain_db", "level_db"))
        if self.channels == 1:
            return gain[0], level[0]
        return np.stack(gain, axis=1), np.stack(level, axis=1)
