"""The AGC of every channel of a recording, the one place a block of channels
meets it, and the state a run saves and continues from.

Everything that runs samples through the AGC for the command and
:mod:`quorvel.batch` goes through :meth:`ChannelBank.level`; a recording
of one channel is a block of one column. The channels are one
:class:`quorvel.agc.AGCBank`, each row bit for bit an AGC of its own.
"""

from __future__ import annotations

import math
import os
from typing import Any, Mapping, Optional

import numpy as np
import numpy.typing as npt

from quorvel import agc
from quorvel._recordings import options
from quorvel._recordings.checks import PathArg
from quorvel._recordings.errors import RecordingError, UsageError
from quorvel.telemetry import Telemetry

# What every channel of a bank shares and each channel's state blob carries:
# the AGC's options, each an attribute of AGC and AGCBank.
BANK_PARAMETERS = options.NAMES
# Probe names are <PROBE_PREFIX>.<channel>.gain_db and .level_db.
PROBE_PREFIX = "agc"


class ChannelBank:
    """The AGCs of ``channels`` channels: one AGCBank under ``settings``
    (every option's value), each channel with its own state."""

    def __init__(self, channels: int, settings: Mapping[str, Any]) -> None:
        self._bank = options.build(agc.AGCBank, settings, channels)
        self._tlm: Optional[Telemetry] = None

    @property
    def channels(self) -> int:
        return self._bank.channels

    def level(self, block: npt.NDArray[Any]) -> None:
        """Level ``block`` in place: complex64 of shape (n, channels) in C
        order, as a recording interleaves its channels. Column c continues
        channel c's loop exactly as one long ``steps`` call would."""
        self._bank.steps(block, out=block, layout="interleaved")

    def clip_level(self) -> float:
        """The magnitude at which the channels clip a component: what an AGC
        with their ``clip_db`` makes of an infinite sample."""
        probe = agc.AGC()
        probe.clip_db = self._bank.clip_db
        clipped = probe.steps(np.full(1, complex(math.inf, math.inf), np.complex64))
        return float(np.nanmax(np.abs(clipped.view(np.float32))))

    def settings(self) -> dict[str, Any]:
        """Every option's value (the same in every channel)."""
        return _parameters(self._bank)

    def gain_db(self) -> tuple[float, ...]:
        """Every channel's gain command now."""
        return tuple(float(g) for g in self._bank.gain_db)

    def get_state(self) -> bytes:
        """The channels' state blobs, one after another."""
        return b"".join(self._bank.get_state(c) for c in range(self.channels))

    def set_state(self, blob: bytes) -> None:
        """Restore what :meth:`get_state` saved, parameters included; ValueError
        when ``blob`` holds another number of channels or is no AGC state.
        Each channel's blob states its own length in its header."""
        saved, at = [], 0
        for _ in range(self.channels):
            size = int.from_bytes(blob[at + 8:at + 12], "little") if len(blob) >= at + 16 else 0
            loop = agc.AGC()
            loop.set_state(blob[at:at + size])
            saved.append(loop)
            at += size
        if at != len(blob):
            raise ValueError(f"holds more than the {at} bytes of the AGC state of {self.channels} channel(s)")
        if any(_parameters(loop) != _parameters(saved[0]) for loop in saved):
            raise ValueError("holds channels with different AGC parameters")
        before = _parameters(self._bank), [self._bank.get_state(c) for c in range(self.channels)]
        try:
            self._configure(_parameters(saved[0]))
            for c, loop in enumerate(saved):
                self._bank.set_state(c, loop.get_state())
        except BaseException:
            self._configure(before[0])
            for c, state in enumerate(before[1]):
                self._bank.set_state(c, state)
            raise

    def _configure(self, values: dict[str, Any]) -> None:
        for name, value in values.items():
            setattr(self._bank, name, value)

    def watch(self, tlm: Telemetry) -> None:
        """Record every channel's gain and level into ``tlm`` from now on; ValueError
        for more channels than a context has probes for (32)."""
        tlm.attach(self._bank, prefix=PROBE_PREFIX)
        self._tlm = tlm

    def probes(self) -> tuple[npt.NDArray[Any], npt.NDArray[Any]]:
        """The gain_db and level_db of the updates since the last call: float32
        arrays of shape (updates,) for one channel, (updates, channels) for more."""
        assert self._tlm is not None
        found = self._tlm.demux(self._tlm.read())
        gain, level = ([found[f"{PROBE_PREFIX}.{c}.{name}"] for c in range(self.channels)]
                       for name in ("gain_db", "level_db"))
        if self.channels == 1:
            return gain[0], level[0]
        return np.stack(gain, axis=1), np.stack(level, axis=1)


def _longest_state() -> int:
    """The longest blob an AGC writes: with a setting for bursts on (version 5,
    which also holds room for a pending chunk)."""
    with agc.AGC() as probe:
        probe.gate_db = 0.0
        return probe.state_bytes()



def _parameters(loop: Any) -> dict[str, Any]:
    return {name: getattr(loop, name) for name in BANK_PARAMETERS}


def restore(bank: ChannelBank, path: PathArg, wanted: Mapping[str, Any]) -> None:
    """Continue from the state saved in ``path``, whose parameters must be
    ``wanted``: a UsageError naming those that differ (or the missing file),
    a RecordingError when it holds no AGC state of these channels."""
    name = os.fspath(path)
    try:
        with open(name, "rb") as file:
            blob = file.read(bank.channels * _longest_state() + 1)  # a byte more tells a longer file
    except FileNotFoundError:
        raise UsageError(f"{name}: no such file") from None
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, name) from None
    try:
        bank.set_state(blob)
    except ValueError as exc:
        raise RecordingError(f"{name}: not a saved AGC state ({exc})") from None
    saved = bank.settings()
    if saved != dict(wanted):
        differ = ", ".join(f"{key} {saved[key]!r}" for key in wanted if saved[key] != wanted[key])
        raise UsageError(f"{name} continues a run with {differ}: give the same options")
