"""Build and run the C++ peer harnesses of benchmarks/peers/.

A harness is compiled with g++ -O2 -march=native only when its peer's header
is found, and only again when its sources change. Each run of a harness
times its own loop (median of `runs` passes over the samples file) and
prints ns per sample, so process start-up is not counted.
"""

from __future__ import annotations

import math
import os
import shutil
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

PEERS_DIR = Path(__file__).resolve().parent / "peers"
CXX = os.environ.get("CXX", "g++")
CXXFLAGS = ["-O2", "-march=native", "-std=c++17"]


class Unavailable(Exception):
    """The peer cannot be built here; the message says why."""


@dataclass(frozen=True)
class Harness:
    program: str  # peers/<program>.cpp
    header: str  # the peer's header that must be found, e.g. "liquid/liquid.h"
    pkgconfig: tuple[str, ...] = ()  # pkg-config modules to link
    libs: tuple[str, ...] = ()  # further linker flags
    install: str = ""  # how to get the peer

    def sources(self) -> list[Path]:
        return [PEERS_DIR / f"{self.program}.cpp", PEERS_DIR / "harness.h"]


def _run(cmd: list[str], stdin: str | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, input=stdin, capture_output=True, text=True)


def header_found(header: str) -> bool:
    return _run([CXX, "-E", "-x", "c++", "-o", os.devnull, "-"], f"#include <{header}>\n").returncode == 0


def link_flags(h: Harness) -> list[str]:
    flags = []
    if h.pkgconfig:
        got = _run(["pkg-config", "--libs", *h.pkgconfig]) if shutil.which("pkg-config") else None
        if got is None or got.returncode != 0:
            raise Unavailable(f"pkg-config does not know {' '.join(h.pkgconfig)}; {h.install}")
        flags += got.stdout.split()
    return flags + list(h.libs)


def build(h: Harness, build_dir: Path) -> Path:
    """The harness program, compiled into build_dir/peers when out of date."""
    if shutil.which(CXX) is None:
        raise Unavailable(f"no C++ compiler ({CXX}); apt-get install g++")
    if not header_found(h.header):
        raise Unavailable(f"<{h.header}> not found; {h.install}")
    exe = build_dir / "peers" / h.program
    if exe.exists() and all(exe.stat().st_mtime >= s.stat().st_mtime for s in h.sources()):
        return exe
    exe.parent.mkdir(parents=True, exist_ok=True)
    cmd = [CXX, *CXXFLAGS, f"-I{PEERS_DIR}", str(h.sources()[0]), "-o", str(exe), *link_flags(h)]
    got = _run(cmd)
    if got.returncode != 0:
        tail = " | ".join(got.stderr.strip().splitlines()[-3:])
        raise Unavailable(f"{' '.join(cmd)} failed: {tail}")
    return exe


@dataclass
class PeerSampler:
    """One run of a harness process per sample; seconds per pass over the samples."""

    exe: Path
    samples_file: Path
    samples: int
    runs: int = 21
    args: list[str] = field(default_factory=list)
    seconds: float = 0.0
    power: float = math.nan  # mean output power of the last pass, a sanity check

    def sample(self) -> float:
        got = _run([str(self.exe), str(self.samples_file), str(self.runs), *self.args])
        fields = got.stdout.split()
        if got.returncode != 0 or len(fields) != 2:
            raise RuntimeError(f"{self.exe.name} {' '.join(self.args)} failed: {got.stderr.strip() or got.stdout}")
        ns_per_sample, self.power = float(fields[0]), float(fields[1])
        return ns_per_sample * 1e-9 * self.samples

    def warm_up(self) -> "PeerSampler":
        self.seconds = self.sample() * (self.runs + 1) + 0.02  # plus process start-up
        return self
