"""What the numbers were measured on: CPU, clock, NumPy and quorvel."""

from __future__ import annotations

import os
import platform
from pathlib import Path

import numpy as np


def cpuinfo(path: str = "/proc/cpuinfo") -> dict[str, str]:
    """The first processor's fields of /proc/cpuinfo (empty where unreadable)."""
    fields: dict[str, str] = {}
    try:
        text = Path(path).read_text()
    except OSError:
        return fields
    for line in text.split("\n\n")[0].splitlines():
        key, sep, value = line.partition(":")
        if sep:
            fields[key.strip()] = value.strip()
    return fields


def clock_mhz() -> float | None:
    """The first processor's current clock in MHz, if /proc/cpuinfo gives it."""
    try:
        return float(cpuinfo().get("cpu MHz", ""))
    except ValueError:
        return None


def isa_summary(flags: str) -> str:
    have = set(flags.split())
    names = ["sse4_2", "avx2", "fma", "avx512f", "avx512bw", "avx512vl", "avx512dq"]
    return " ".join(n for n in names if n in have) or "baseline x86-64"


def header() -> str:
    info = cpuinfo()
    mhz = clock_mhz()
    lines = [
        f"CPU      : {info.get('model name', platform.processor() or 'unknown')}"
        + (f" at {mhz:.0f} MHz" if mhz else "")
        + f", {os.cpu_count()} logical cores"
        + (f", cache size {info['cache size']}" if "cache size" in info else ""),
        f"ISA      : {isa_summary(info.get('flags', ''))}",
        f"Python   : {platform.python_version()}   NumPy: {np.__version__}",
        f"quorvel  : {quorvel_location()}",
    ]
    return "\n".join(lines)


def quorvel_location() -> str:
    try:
        import quorvel
    except ImportError as exc:
        return f"not importable ({exc})"
    return f"{quorvel.__version__} from {Path(quorvel.__file__).parent}"
