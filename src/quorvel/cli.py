"""The ``quorvel`` command (also ``python -m quorvel``).

``quorvel`` with no arguments runs the demonstration; ``quorvel agc INPUT
OUTPUT`` levels a raw IQ recording through :func:`quorvel.iqfile.level_file`.
User errors print one line on stderr and exit with status 2 (usage) or 1
(run-time failure), never a traceback; SIGINT, SIGTERM and SIGHUP stop the
run cleanly with status 128 + the signal's number.

Only the standard library is imported before the command line is parsed,
so an interrupt at start-up is handled like any other.
"""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
from types import FrameType
from typing import Any, Callable, NoReturn, Optional, Sequence

_PROGRESS_FROM = 64 << 20  # bytes of input; smaller files are done before a progress bar would help
_STOPPING: dict[int, str] = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated", signal.SIGHUP: "hung up"}


class _Stopped(BaseException):
    """A stopping signal arrived: unwind (removing temporaries), then exit 128 + signum."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"expected a whole number from 1 to 2**64 - 1, got {text!r}")
    return value


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, not the usage block
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quorvel", description="Bit-exact DSP for NumPy. Without a command: run the AGC demonstration.")
    parser.add_argument("--plot", metavar="FILE.png",
                        help="also draw the demonstration's envelopes and probes into FILE.png; needs "
                             "matplotlib (default: not drawn)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    agc = commands.add_parser(
        "agc", help="normalise the level of a raw complex64 IQ file",
        description="Run a recording of interleaved little-endian complex64 samples (.cf32/.cfile) through "
                    "the AGC block path. The output equals one whole-file AGC.steps call bit for bit. A regular "
                    "OUTPUT is replaced only once complete; - is standard output; a FIFO or a character "
                    "device is written in place.")
    agc.add_argument("input", metavar="INPUT", help="raw complex64 IQ file")
    agc.add_argument("output", metavar="OUTPUT", help="where to write the levelled samples (- for stdout)")
    agc.add_argument("--ref-db", type=_finite, default=0.0, help="target output power in dB (default: %(default)s)")
    agc.add_argument("--loop-bw", type=_finite, default=0.0025,
                     help="loop bandwidth, cycles/sample (default: %(default)s)")
    agc.add_argument("--alpha", type=_finite, default=0.05,
                     help="detector coefficient in (0, 1] (default: %(default)s)")
    agc.add_argument("--decim", type=_count, default=8, help="chunk length of the block path (default: %(default)s)")
    agc.add_argument("--block", type=_count, default=1 << 20,
                     help="samples per read, rounded up to a multiple of --decim (default: %(default)s)")
    agc.add_argument("--telemetry", metavar="FILE.npz",
                     help="also save the gain_db and level_db probes (default: not saved)")
    return parser


def _progress_bar(stream: Any) -> Callable[[int, int], None]:
    def show(done: int, total: int) -> None:
        width = 40
        filled = width * done // max(total, 1)
        stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {100 * done // max(total, 1):3d}%")
        if done >= total:
            stream.write("\n")
        stream.flush()
    return show


def _stop(signum: int, frame: Optional[FrameType]) -> None:
    for other in _STOPPING:  # the clean-up that follows must not be cut short by a second signal
        signal.signal(other, signal.SIG_IGN)
    raise _Stopped(signum)


def _trap_signals() -> dict[int, Any]:
    try:
        return {signum: signal.signal(signum, _stop) for signum in _STOPPING}
    except ValueError:  # not the main thread: leave signals alone
        return {}


def _describe(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.filename is not None and exc.strerror:
        return f"{exc.filename}: {exc.strerror}"
    return str(exc)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    previous = _trap_signals()
    try:
        return _run(argv)
    except KeyboardInterrupt:
        print("quorvel: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except _Stopped as stop:
        print(f"quorvel: {_STOPPING[stop.signum]}", file=sys.stderr)
        return 128 + stop.signum
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _run(argv: Optional[Sequence[str]]) -> int:
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exc:  # argparse already printed its one-line usage error, or the help
        return exc.code if isinstance(exc.code, int) else 2
    from quorvel.iqfile import UsageError, level_file

    try:
        if args.command is None:
            from quorvel import demo
            demo.run(plot_path=args.plot)
            return 0
        if args.plot is not None:
            raise UsageError("--plot draws the demonstration; it takes no COMMAND")
        big = os.path.isfile(args.input) and os.path.getsize(args.input) > _PROGRESS_FROM
        progress = _progress_bar(sys.stderr) if big and sys.stderr.isatty() else None
        samples = level_file(args.input, args.output, ref_db=args.ref_db, loop_bw=args.loop_bw, alpha=args.alpha,
                             decim=args.decim, block=args.block, telemetry=args.telemetry, progress=progress)
        where = "standard output" if args.output == "-" else args.output
        print(f"{samples:,} samples levelled into {where}", file=sys.stderr)
        return 0
    except UsageError as exc:
        print(f"quorvel: error: {exc}", file=sys.stderr)
        return 2
    except (OSError, ValueError, MemoryError, ImportError) as exc:
        print(f"quorvel: error: {_describe(exc)}", file=sys.stderr)
        return 1
