"""Helpers shared by the test modules: recordings to level, the one-line
check of what the command prints, and references to level against."""

import re
import subprocess
import sys

import numpy as np

from quorvel.agc import AGC
from quorvel.telemetry import Telemetry


def noise(n, seed=0, scale=1.0):
    """Complex Gaussian noise, complex64."""
    rng = np.random.default_rng(seed)
    return ((rng.normal(size=n) + 1j * rng.normal(size=n)) * scale).astype(np.complex64)


def recording(path, n, seed=0):
    """A raw cf32 recording at ``path`` whose level jumps every 100 samples over 80 dB; its samples."""
    rng = np.random.default_rng(seed)
    x = ((rng.normal(size=n) + 1j * rng.normal(size=n)) * np.repeat(10 ** rng.uniform(-3, 1, n // 100 + 1), 100)[:n])
    x = x.astype("<c8")
    x.tofile(path)
    return x


def quorvel(*args, **kwargs):
    """``python -m quorvel ARGS``, its output captured."""
    return subprocess.run([sys.executable, "-m", "quorvel", *map(str, args)], capture_output=True, **kwargs)


def one_line(stderr):
    """The one line a failure prints: no traceback, no private name, no temporary."""
    text = stderr if isinstance(stderr, str) else stderr.decode()
    lines = text.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in text, text
    assert not re.search(r"\s_\w", text), text                # never a private helper's name
    assert ".part" not in text and "#" not in text, text        # never a temporary's
    return lines[0]


def reference(x, decim=8, ref_db=0.0, loop_bw=0.0025, alpha=0.05, probes=False, **settings):
    """One whole-recording steps call, the other AGC options (``acquire``,
    ``clip_db``) set as given; with probes, also its gain_db and level_db."""
    agc = AGC(ref_db, loop_bw, alpha)
    agc.decim = decim
    for name, value in settings.items():
        setattr(agc, name, value)
    if not probes:
        return agc.steps(x)
    with Telemetry(1 << 22) as tlm:
        tlm.attach(agc)
        y = agc.steps(x)
        found = tlm.demux(tlm.read())
    return y, found["agc.gain_db"], found["agc.level_db"]
