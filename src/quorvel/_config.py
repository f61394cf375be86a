"""What a report of a problem needs to say about this installation:
:func:`show_config`. A leaf: it imports nothing of the package until it is
called, and then the native modules and the optional components only."""

from __future__ import annotations

import importlib
import sys

__all__ = ["show_config"]

#: The native modules whose cores choose an instruction set at load.
CORES = ("arith", "agc", "interp")

#: The optional components: the name shown, and the distribution that
#: installs it (None: GNU Radio, which a system installs without one).
COMPONENTS = (("GNU Radio", None), ("Dask distributed", "distributed"), ("SigMF", "sigmf"), ("tqdm", "tqdm"))

NOT_INSTALLED = "not installed"


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return f"{type(exc).__name__}: {text.splitlines()[0]}" if text else type(exc).__name__


def _installed(distribution: str) -> str:
    """The installed version of a distribution, or "not installed"."""
    import importlib.metadata  # 60 ms: only when asked

    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return NOT_INSTALLED


def _gnuradio() -> str:
    try:
        gr = importlib.import_module("gnuradio.gr")
    except ModuleNotFoundError:
        return NOT_INSTALLED
    except ImportError as exc:  # found, but broken: say how
        return f"cannot be imported ({_first_line(exc)})"
    return str(gr.version())


def _core(name: str) -> str:
    """The instruction set the core of ``quorvel.<name>`` chose at load."""
    try:
        module = importlib.import_module(f"quorvel.{name}")
    except ImportError as exc:
        return f"cannot be imported ({_first_line(exc)})"
    return str(module._isa)


def _reference_only() -> str:
    """Whether the build runs every core's reference (one build makes all)."""
    for name in CORES:
        try:
            return "yes" if importlib.import_module(f"quorvel.{name}")._reference_only else "no"
        except ImportError:
            continue
    return "unknown"


def _numpy() -> str:
    try:
        import numpy
    except ImportError as exc:
        return f"cannot be imported ({_first_line(exc)})"
    return str(numpy.__version__)


def _report() -> list[str]:
    import platform

    lines = [
        f"quorvel {_installed('quorvel')}",
        f"Python {platform.python_version()} ({platform.python_implementation()}, {sys.executable})",
        f"NumPy {_numpy()}",
        f"platform: {platform.platform()}",
        "instruction sets chosen at load:",
    ]
    lines += [f"  {name:<8}{_core(name)}" for name in CORES]
    lines.append(f"  reference-only build: {_reference_only()}")
    lines.append("optional components:")
    for shown, distribution in COMPONENTS:
        lines.append(f"  {shown:<18}{_gnuradio() if distribution is None else _installed(distribution)}")
    return lines


def show_config() -> None:
    """Print what a report of a problem needs: the quorvel version, the
    Python and NumPy in use, the instruction set each native core chose at
    load (``sse2``, ``avx2`` or ``avx512`` on x86-64, ``neon`` on aarch64, or
    ``reference`` in a build that runs the scalar references only,
    ``QUORVEL_REFERENCE_ONLY``, and on other processors), and the optional
    components found with their versions.

    ``python -m quorvel --info`` prints the same. The results of every core
    are the same bits whichever set it runs; a report of a bit difference
    names the set, which a reference-only build can then rule out.

    Returns
    -------
    None

    Examples
    --------
    >>> import quorvel
    >>> quorvel.show_config()  # doctest: +ELLIPSIS
    quorvel ...
    Python ...
    NumPy ...
    platform: ...
    instruction sets chosen at load:
      arith   ...
      agc     ...
      interp  ...
      reference-only build: ...
    optional components:
      GNU Radio         ...
      Dask distributed  ...
      SigMF             ...
      tqdm              ...
    """
    print("\n".join(_report()))
