"""The ``quorvel`` command (also ``python -m quorvel``).

``quorvel`` with no arguments runs the demonstration; ``quorvel agc INPUT
OUTPUT`` levels a raw IQ recording. User errors print one line on stderr and
exit with status 2 (usage) or 1 (run-time failure), never a traceback.
"""

import argparse
import math
import os
import sys
import tempfile

import numpy as np

IQ = np.dtype("<c8")  # interleaved little-endian float32 I/Q: the .cf32 / .cfile convention


class UsageError(Exception):
    """A command line that cannot be run: exit status 2."""


def _finite(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(text)
    return value


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line, not the usage block
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _parser():
    parser = _Parser(
        prog="quorvel", description="Bit-exact DSP for NumPy. Without a command: run the AGC demonstration.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    agc = commands.add_parser(
        "agc", help="normalise the level of a raw complex64 IQ file",
        description="Run a recording of interleaved little-endian complex64 samples (.cf32/.cfile) through "
                    "the AGC block path. The output equals one whole-file AGC.steps call bit for bit.")
    agc.add_argument("input", metavar="INPUT", help="raw complex64 IQ file")
    agc.add_argument("output", metavar="OUTPUT", help="where to write the levelled samples")
    agc.add_argument("--ref-db", type=_finite, default=0.0, help="target output power in dB (default 0)")
    agc.add_argument("--loop-bw", type=_finite, default=0.0025, help="loop bandwidth, cycles/sample")
    agc.add_argument("--alpha", type=_finite, default=0.05, help="detector coefficient in (0, 1]")
    agc.add_argument("--decim", type=_positive_int, default=8, help="chunk length of the block path")
    agc.add_argument("--block", type=_positive_int, default=1 << 20,
                     help="samples per read, rounded up to a multiple of --decim")
    agc.add_argument("--telemetry", metavar="FILE.npz", help="save the gain_db and level_db probes")
    return parser


def run_agc(args, progress=None):
    from quorvel.agc import AGC
    from quorvel.telemetry import Telemetry

    if not os.path.isfile(args.input):
        raise UsageError(f"{args.input}: no such file")
    same_path = os.path.abspath(args.input) == os.path.abspath(args.output)
    if same_path or (os.path.exists(args.output) and os.path.samefile(args.input, args.output)):
        raise UsageError("OUTPUT must not be INPUT")
    size = os.path.getsize(args.input)
    if size % IQ.itemsize:
        raise UsageError(f"{args.input}: {size} bytes is not a whole number of complex64 samples")
    block = -(-args.block // args.decim) * args.decim   # a multiple of decim keeps the chunk grid
    agc = AGC(args.ref_db, args.loop_bw, args.alpha)
    agc.decim = args.decim
    tlm = Telemetry(1 << max(12, (2 * (block // args.decim) - 1).bit_length())) if args.telemetry else None
    gains, levels = [], []
    out_dir = os.path.dirname(os.path.abspath(args.output))
    fd, tmp = tempfile.mkstemp(prefix=".quorvel-", suffix=".part", dir=out_dir)
    try:
        if tlm:
            tlm.attach(agc)
        with open(args.input, "rb") as src, os.fdopen(fd, "wb") as dst:
            buffer = np.empty(block, IQ)
            done = 0
            while True:
                got = src.readinto(memoryview(buffer).cast("B")) // IQ.itemsize
                if got == 0:
                    break
                chunk = buffer[:got]
                agc.steps(chunk, out=chunk)
                dst.write(chunk.tobytes())
                if tlm:
                    probes = tlm.demux(tlm.read())
                    gains.append(probes["agc.gain_db"])
                    levels.append(probes["agc.level_db"])
                done += got
                if progress:
                    progress(done * IQ.itemsize, size)
        if args.telemetry:
            np.savez(args.telemetry, gain_db=np.concatenate(gains or [np.zeros(0, np.float32)]),
                     level_db=np.concatenate(levels or [np.zeros(0, np.float32)]),
                     decim=np.int64(args.decim))
        os.replace(tmp, args.output)
    except BaseException:
        os.unlink(tmp)
        raise
    finally:
        if tlm:
            tlm.close()
    return size // IQ.itemsize


def _progress_bar(stream):
    def show(done, total):
        width = 40
        filled = width * done // max(total, 1)
        stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {100 * done // max(total, 1):3d}%")
        if done >= total:
            stream.write("\n")
        stream.flush()
    return show


def main(argv=None):
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # argparse already printed its one-line usage error
        return exc.code if isinstance(exc.code, int) else 2
    try:
        if args.command is None:
            from quorvel import demo
            demo.run()
        else:
            big = os.path.isfile(args.input) and os.path.getsize(args.input) > 64 << 20
            progress = _progress_bar(sys.stderr) if big and sys.stderr.isatty() else None
            samples = run_agc(args, progress)
            print(f"{samples:,} samples levelled into {args.output}", file=sys.stderr)
        return 0
    except UsageError as exc:
        print(f"quorvel: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("quorvel: interrupted", file=sys.stderr)
        return 130
    except (OSError, ValueError, MemoryError) as exc:
        print(f"quorvel: error: {exc}", file=sys.stderr)
        return 1
