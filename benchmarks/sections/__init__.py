"""The benchmark sections and what they share.

A section is a module of this package with a ``TITLE`` and a function
``run(ctx: Context) -> Report``. It raises ``Skip`` when what it measures is
not installed. ``SECTIONS`` lists them in the order ``run.py`` runs them: to
add a section, write ``sections/<name>.py`` and append ``"<name>"`` here.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

import numpy as np

from timing import Plan

SECTIONS = [
    "arith",
    "cmsisdsp",
    "interp",
    "agc",
    "agc_bank",
    "agc_peers",
    "gr_flowgraph",
    "telemetry",
    "batch",
]


class Skip(Exception):
    """The section cannot run here; the message says why and what to install."""


@dataclass
class Context:
    quick: bool
    build_dir: Path  # scratch space for compiled peers and sample files

    def plan(self, rounds: int, budget: float, min_sample: float = 0.002) -> Plan:
        """Up to `rounds` interleaved rounds in about `budget` seconds; a third of both with --quick."""
        if self.quick:
            return Plan(max(5, rounds // 3), min_sample, budget / 3)
        return Plan(rounds, min_sample, budget)

    @staticmethod
    def rng(seed: int) -> np.random.Generator:
        return np.random.default_rng(seed)

    @staticmethod
    def require(module: str, hint: str) -> ModuleType:
        """Import `module` or skip the section with `hint`."""
        try:
            return importlib.import_module(module)
        except ImportError as exc:
            raise Skip(f"{module} is not importable ({exc}); {hint}") from None


def load(name: str) -> ModuleType:
    return importlib.import_module(f"sections.{name}")
