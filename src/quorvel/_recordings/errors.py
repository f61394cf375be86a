"""The errors of a run and the one line that reports each. Imports nothing
of the package, so that every layer can raise and word them."""

from __future__ import annotations


class UsageError(ValueError):
    """A request that cannot run as given (a missing INPUT, OUTPUT that is
    INPUT, ...). Raised before anything is read or written."""


class RecordingError(ValueError):
    """A recording that cannot be read as its metadata describes it."""


class ClippingError(ValueError):
    """More of a run's output saturated than its max_clipped allows; the run
    wrote nothing."""


class ClusterError(ConnectionError):
    """A cluster that cannot run a batch: no Dask scheduler at the address,
    no worker that runs this quorvel, or the cluster lost on the way."""


def not_regular(name: str, about: str = "") -> str:
    """The wording for ``name`` when it is no regular file (a FIFO, a device,
    a folder...), which quorvel refuses before opening; ``about`` says whose
    file it is."""
    return f"{name}: not a regular file" + (f" ({about})" if about else "")


def describe(exc: BaseException) -> str:
    """The one line that reports ``exc``: the file concerned, then why (at
    least what kind of failure, when the exception says nothing)."""
    if isinstance(exc, OSError) and exc.filename is not None and exc.strerror:
        return f"{exc.filename}: {exc.strerror}"
    return str(exc) or type(exc).__name__
