"""The ``quorvel`` command (also ``python -m quorvel``).

``quorvel`` with no arguments runs the demonstration; ``quorvel agc INPUT
OUTPUT`` levels an IQ recording through :func:`quorvel.iqfile.level_file`,
and ``quorvel agc INPUT... -o OUTDIR`` many of them through
:func:`quorvel.batch.level_files`. User errors print one line on stderr and
exit with status 2 (usage) or 1 (run-time failure), never a traceback;
SIGINT, SIGTERM and SIGHUP stop the run cleanly with status 128 + the
signal's number, and a reader that goes away (``| head``) ends it quietly
with status 141, as SIGPIPE ends other tools.

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

from quorvel import __version__
from quorvel._recordings import options
from quorvel._recordings.errors import UsageError, describe

__all__ = ["main"]

#: What ``main`` returns, as ``--help`` and the command's reference page say.
EXIT_STATUS = """\
  0    everything asked was done (with -o: every recording levelled)
  1    a run-time failure: a file that could not be read or written, a
       recording that is not what it says, more saturated output than
       --max-clipped allows, a cluster that failed, or (with -o) any
       recording that failed; nothing was written for it
  2    a usage error: an unknown or malformed option, a missing INPUT or
       OUTPUT, a format that contradicts a file's extension...
  128+N  stopped by signal N: 130 (SIGINT, Ctrl-C), 143 (SIGTERM), 129
       (SIGHUP); nothing half written is left behind
  141  the reader of standard output went away (| head), as SIGPIPE ends
       other tools
"""

_STOPPING: dict[int, str] = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated", signal.SIGHUP: "hung up"}


class _Stopped(BaseException):
    """A stopping signal arrived: unwind (removing temporaries), then exit 128 + signum."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _typed(rule: options.Rule, kind: type) -> Callable[[str], Any]:
    """The argparse type of a number held to ``rule``: argparse's one line,
    naming the flag, for text that breaks it."""

    def parse(text: str) -> Any:
        if kind is int:
            try:
                value: Any = int(text)
            except ValueError:
                value = None
        else:
            try:
                value = float(text)
            except ValueError:
                value = math.nan
            if not (math.isfinite(value) or rule.infinite):
                raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
        if value is None or not rule.test(value):
            raise argparse.ArgumentTypeError(f"expected {rule.expected}, got {text!r}")
        return value

    return parse


class _Info(argparse.Action):
    """--info: print :func:`quorvel.show_config`, then exit, as --version does."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: Optional[str] = None) -> NoReturn:
        from quorvel import show_config

        show_config()
        parser.exit()


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, not the usage block
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quorvel", description="Bit-exact DSP for NumPy. Without a command: run the AGC demonstration.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("--info", action=_Info, nargs=0,
                        help="print the versions in use, the instruction set each native core chose and the "
                             "optional components found, then exit")
    parser.add_argument("--plot", metavar="FILE.png",
                        help="also draw the demonstration's envelopes and probes into FILE.png; needs "
                             "matplotlib (default: not drawn)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    agc = commands.add_parser(
        "agc", help="level IQ recordings (raw, standard input, SigMF; one or many)",
        usage="quorvel agc [options] INPUT OUTPUT\n       quorvel agc [options] INPUT... -o OUTDIR",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Run IQ recordings through the AGC block path. The output equals one\n"
                    "whole-recording AGC.steps call bit for bit, however the input is read.",
        epilog=_AGC_EPILOG)
    agc.add_argument("paths", nargs="+", metavar="INPUT",
                     help="a raw IQ file, - (standard input), a FIFO, or a SigMF recording (.sigmf-meta, "
                          ".sigmf-data or .sigmf); then OUTPUT, unless -o is given")
    agc.add_argument("-o", "--outdir", metavar="OUTDIR",
                     help="level every INPUT (patterns such as 'rec/*.cu8' are expanded) into the file of the "
                          "same name in OUTDIR, in parallel on a Dask cluster (default: one OUTPUT)")
    # An option left out is absent from the namespace: --preset's value, or the default, stands for it.
    for option in options.OPTIONS:
        if option.type is bool:
            agc.add_argument(option.flag, action=argparse.BooleanOptionalAction, default=argparse.SUPPRESS,
                             help=f"{option.described} (default: {'on' if option.default else 'off'})")
        else:
            agc.add_argument(option.flag, type=_typed(option.rule, option.type), default=argparse.SUPPRESS,
                             help=f"{option.described} (default: {option.default})")
    agc.add_argument("--preset", metavar="NAME",
                     help="start from the AGC settings of quorvel.agc.PRESETS[NAME] (burst: bursts that come out "
                          "of silence or noise at any level); the options given replace its values (default: none)")
    agc.add_argument("--block", type=_typed(options.COUNT, int), default=1 << 20,
                     help="samples per read, counted over all channels, rounded up to a multiple of --decim per "
                          "channel; fewer where a read would need over 256 MiB of buffers (default: %(default)s)")
    agc.add_argument("--in-format", metavar="FORMAT",
                     help="sample format of a raw INPUT: cf32, ci16, ci8, cu8, with _le or _be for cf32 and ci16; "
                          "must agree with INPUT's extension (default: the one its extension names, else cf32; a "
                          "SigMF INPUT names its own)")
    agc.add_argument("--out-format", metavar="FORMAT",
                     help="sample format written, as --in-format; with -o, OUTDIR's files take its extension "
                          "(default: the one OUTPUT's extension names, else cf32)")
    agc.add_argument("--force-format", action="store_true",
                     help="use --in-format and --out-format even where a file's extension names another format "
                          "(default: such a mismatch is an error)")
    agc.add_argument("--out-scale", type=_typed(options.POSITIVE, float), default=1.0,
                     help="integer output: multiply by this before rounding, 1.0 being full scale "
                          "(default: %(default)s)")
    agc.add_argument("--max-clipped", type=_typed(options.SHARE, float), metavar="FRACTION",
                     help="fail (status 1, nothing written) when more than this share of a channel's output "
                          "components saturate: integer codes at their rails, cf32 at the AGC's clip "
                          "(default: no limit; any saturation is reported)")
    agc.add_argument("--telemetry", metavar="FILE.npz",
                     help="also save the gain_db and level_db probes, written as they come (default: not saved)")
    agc.add_argument("--state-in", metavar="FILE",
                     help="start from the AGC state saved by --state-out (default: a fresh loop)")
    agc.add_argument("--state-out", metavar="FILE",
                     help="save the AGC state at the end: levelling the parts of a recording in turn, each "
                          "continuing from the state the part before saved, equals levelling the whole "
                          "recording bit for bit when every part but the last holds a multiple of --decim "
                          "samples (default: not saved)")
    agc.add_argument("--workers", type=_typed(options.COUNT, int), metavar="N",
                     help="with -o: worker processes of the local cluster (default: one per processor)")
    agc.add_argument("--scheduler", metavar="ADDRESS",
                     help="with -o: run on this running dask.distributed cluster (tcp://host:8786) instead; its "
                          "workers must reach every INPUT and OUTDIR under the same names (default: a local "
                          "cluster)")
    agc.add_argument("--skip-done", action="store_true",
                     help="with -o: skip each INPUT that OUTDIR's manifest shows levelled with the same options, "
                          "unchanged since and its output as written (default: level every INPUT)")
    agc.add_argument("-q", "--quiet", action="store_true",
                     help="no progress bar and no summary; errors are still reported")
    return parser


_AGC_EPILOG = """\
formats:
  A raw file's extension names its format: .cf32 .cfile .fc32 (cf32), .cs16
  .ci16 (ci16), .cs8 .ci8 (ci8), .cu8 (cu8); a format given that disagrees
  with it is an error unless --force-format. Other names (.raw, .bin) are
  read and written as --in-format and --out-format say, cf32 by default.
  Integer input is scaled to [-1, 1): a code c of b bits becomes c / 2**(b-1)
  (cu8: (c - 128) / 128), exactly. Integer output multiplies by --out-scale and
  2**(b-1) in float64, rounds half up and saturates (NaN to the lowest code);
  cf32 is written as computed. With --out-scale 1 every code read is written
  back unchanged. Every run counts the output components that saturated
  (integer codes at their rails, cf32 at the AGC's clip) and reports them.

streams and files:
  - is standard input or output. A regular OUTPUT (and --telemetry,
  --state-out, both files of a SigMF OUTPUT) is replaced only once complete;
  a FIFO or a character device is written in place. A reader that goes away
  (| head) ends the run quietly with status 141, as SIGPIPE would.

telemetry:
  FILE.npz holds gain_db and level_db (float32, one row per update, one
  column per channel of a multi-channel recording) and decim; numpy.load
  reads it. It is written to disk as the samples go, not held in memory.

many files:
  With -o, each INPUT is one task on a Dask cluster (pip install
  'quorvel[cluster]'; without it, a local process pool). OUTDIR keeps
  quorvel-manifest.jsonl, a line per recording as it finishes; --skip-done
  skips what it shows levelled with the same options from unchanged inputs.
  The exit status is 0 when every file was levelled, 1 when any failed;
  each failure is named, with its reason.

exit status:
""" + EXIT_STATUS


def _stop(signum: int, frame: Optional[FrameType]) -> None:
    for other in _STOPPING:  # the clean-up that follows must not be cut short by a second signal
        signal.signal(other, signal.SIG_IGN)
    raise _Stopped(signum)


def _trap_signals() -> dict[int, Any]:
    try:
        return {signum: signal.signal(signum, _stop) for signum in _STOPPING}
    except ValueError:  # not the main thread: leave signals alone
        return {}


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    _fill_closed_descriptors()
    previous = _trap_signals()
    try:
        return _run(argv)
    except KeyboardInterrupt:
        _say("quorvel: interrupted")
        return 128 + signal.SIGINT
    except _Stopped as stop:
        _say(f"quorvel: {_STOPPING[stop.signum]}")
        return 128 + stop.signum
    except BrokenPipeError:  # the reader went away: stop quietly, as a tool that SIGPIPE ends would
        _quiet_stdout()
        return 128 + signal.SIGPIPE
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _say(line: str) -> None:
    """A line on standard error, unless it is closed: never into standard
    output, where print would send it."""
    if sys.stderr is not None:
        print(line, file=sys.stderr)


def _fill_closed_descriptors() -> None:
    """/dev/null where descriptor 0, 1 or 2 is closed, so that no file the run
    opens takes that number (and with it what is written there, a worker's
    log among it). Python made sys.stdin, sys.stdout or sys.stderr None for
    it at start: the run still knows the stream is closed."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)


def _quiet_stdout() -> None:
    """Nothing more reaches the closed pipe, not even Python's flush at exit."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _run(argv: Optional[Sequence[str]]) -> int:
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exc:  # argparse already printed its one-line usage error, or the help
        return exc.code if isinstance(exc.code, int) else 2
    try:
        if args.command is None:
            from quorvel import demo
            demo.run(plot_path=args.plot)
            return 0
        if args.plot is not None:
            raise UsageError("--plot draws the demonstration; it takes no COMMAND")
        return _agc_many(args) if args.outdir is not None else _agc_one(args)
    except UsageError as exc:
        _say(f"quorvel: error: {exc}")
        return 2
    except BrokenPipeError:
        raise
    except (OSError, ValueError, MemoryError, ImportError) as exc:
        _say(f"quorvel: error: {describe(exc)}")
        return 1


def _agc_options(args: argparse.Namespace) -> dict[str, Any]:
    given = dict({name: getattr(args, name) for name in options.NAMES if hasattr(args, name)}, preset=args.preset,
                 block=args.block, in_format=args.in_format, out_format=args.out_format, out_scale=args.out_scale)
    if args.force_format:  # absent otherwise, as --max-clipped
        given["force_format"] = True
    if args.max_clipped is not None:  # absent otherwise: a batch's manifest compares the settings given
        given["max_clipped"] = args.max_clipped
    return given


def _saturated(clipped: Sequence[int], samples: int) -> str:
    """The closing line's note on saturated output, empty when none was."""
    if not any(clipped):
        return ""
    shares = [f"{100 * c / (2 * samples):.3g}%" for c in clipped]
    where = shares[0] if len(shares) == 1 else ", ".join(f"channel {k}: {share}" for k, share in enumerate(shares)
                                                         if clipped[k])
    return f"; {sum(clipped):,} output components saturated ({where})"


def _agc_one(args: argparse.Namespace) -> int:
    from quorvel._progress import Bar, NoBar
    from quorvel._recordings.inputs import open_source
    from quorvel.iqfile import level_recording

    if len(args.paths) != 2:
        raise UsageError("the following arguments are required: OUTPUT" if len(args.paths) < 2 else
                         "one INPUT takes one OUTPUT; give -o OUTDIR to level several")
    for option in ("workers", "scheduler", "skip_done"):
        if getattr(args, option) not in (None, False):
            raise UsageError(f"--{option.replace('_', '-')} runs many files: it needs -o OUTDIR")
    path, output = args.paths
    source = open_source(path, args.in_format, args.force_format)  # opened and checked once: the run reads it, the bar sizes itself
    bar: Any = NoBar() if args.quiet else Bar(source.size, source.frame)
    with bar:
        done = level_recording(source, output, telemetry=args.telemetry, progress=bar.callback(),
                               state_in=args.state_in, state_out=args.state_out, **_agc_options(args))
    if not args.quiet:
        where = "standard output" if output == "-" else output
        _say(f"{done.samples:,} samples levelled into {where}{_saturated(done.clipped, done.samples)}")
    return 0


def _agc_many(args: argparse.Namespace) -> int:
    for option, flag in (("telemetry", "--telemetry"), ("state_in", "--state-in"), ("state_out", "--state-out")):
        if getattr(args, option) is not None:
            raise UsageError(f"{flag} applies to one recording, not to -o OUTDIR")
    if args.scheduler is not None and args.workers is not None:
        raise UsageError("--workers sizes the local cluster; a --scheduler has its own workers")
    from quorvel._recordings import cluster

    with cluster.quiet_logs():  # the summary and the exit status say what happened to the files
        client = cluster.connect(args.scheduler) if args.scheduler is not None else None
        try:
            return _report(args, client)
        finally:
            if client is not None:
                client.close()


def _most_saturated(rows: Sequence[Any]) -> str:
    """The file whose channel saturated the largest share of its output, and that share."""
    share, name = max((max(row.clipped) / (2 * row.samples), os.path.basename(row.input)) for row in rows)
    return f"{name}, {100 * share:.3g}%"


def _report(args: argparse.Namespace, client: Any) -> int:
    from quorvel._progress import Bar, NoBar
    from quorvel._recordings import checks, sigmf
    from quorvel.batch import level_files

    bar: Any = NoBar() if args.quiet else None

    def progress(files: int, total_files: int, done: int, total: int) -> None:
        nonlocal bar
        if bar is None:  # counted in samples where every input is raw in formats of one size
            raw = not any(sigmf.is_sigmf(path) for path in args.paths)
            sizes = {checks.format_for(path, args.in_format, True).size for path in args.paths} if raw else set()
            bar = Bar(total, sizes.pop() if len(sizes) == 1 else None)
        bar.update(done, f"{files}/{total_files} files")

    try:
        summary = level_files(args.paths, args.outdir, client=client, workers=args.workers, progress=progress,
                              skip_done=args.skip_done, **_agc_options(args))
    finally:
        if bar is not None:
            bar.close()
    for row in summary.failed:
        _say(f"quorvel: error: {row.error}")
    for path in summary.leftovers:
        _say(f"quorvel: error: {path}: a temporary a stopped writer left, which quorvel could not remove")
    if not args.quiet:
        failed, skipped, clipped = len(summary.failed), len(summary.skipped), summary.clipped
        _say(f"{len(summary) - failed} of {len(summary)} recordings levelled into {args.outdir}"
             + (f" ({skipped} by an earlier run)" if skipped else "") + (f"; {failed} failed" if failed else "")
             + (f"; {len(clipped)} with saturated output (most: {_most_saturated(clipped)})" if clipped else ""))
    return 0 if summary.ok else 1
