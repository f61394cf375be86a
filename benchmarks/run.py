"""Run the quorvel benchmarks and print one table per section.

    python benchmarks/run.py                    # every section: 8 min measured, 6.5 of them batch
    python benchmarks/run.py --only arith,agc   # some sections
    python benchmarks/run.py --quick            # fewer rounds, for a first look

Exits 1 when a section fails (e.g. a kernel disagrees with its NumPy
equivalent); missed targets are listed at the end but are not a failure.
"""

from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import machine  # noqa: E402
from report import Report  # noqa: E402
from sections import SECTIONS, Context, Skip, load  # noqa: E402


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", action="append", default=[], metavar="NAMES",
                        help=f"comma-separated sections to run, of: {', '.join(SECTIONS)} (repeatable)")
    parser.add_argument("--quick", action="store_true", help="a third of the rounds (noisier medians)")
    parser.add_argument("--scratch", type=Path, default=Path(tempfile.gettempdir()),
                        help="where a folder for compiled peers and sample files (up to 13 GB with the batch "
                             "section) is made, and removed when the run ends (default: %(default)s)")
    args = parser.parse_args(argv)
    wanted = [n.strip().replace("-", "_") for item in args.only for n in item.split(",") if n.strip()]
    unknown = sorted(set(wanted) - set(SECTIONS))
    if unknown:
        parser.error(f"unknown section(s) {', '.join(unknown)}; choose from {', '.join(SECTIONS)}")
    args.sections = [n for n in SECTIONS if n in wanted] if wanted else list(SECTIONS)
    return args


def run_section(name: str, ctx: Context) -> tuple[Report, bool]:
    """The section's report, and False when it failed rather than ran or skipped."""
    module = load(name)
    try:
        return module.run(ctx), True
    except Skip as skip:
        first, *more = str(skip).splitlines() or [""]
        return Report(module.TITLE, notes=[f"skipped: {first}", *(f"  {line}" for line in more)]), True
    except Exception:
        return Report(module.TITLE, notes=["FAILED:", *traceback.format_exc().rstrip().splitlines()]), False


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    scratch = Path(tempfile.mkdtemp(prefix="quorvel-benchmarks-", dir=args.scratch))
    try:
        return run_sections(args, Context(quick=args.quick, build_dir=scratch))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def run_sections(args: argparse.Namespace, ctx: Context) -> int:
    print(machine.header())
    print(f"mode     : {'quick' if args.quick else 'full'}; times are medians of interleaved rounds")
    print(f"scratch  : {ctx.build_dir} (removed at the end)\n", flush=True)
    started, failed, missed = time.perf_counter(), [], []
    for name in args.sections:
        t0 = time.perf_counter()
        report, ok = run_section(name, ctx)
        print(report.render())
        print(f"  ({time.perf_counter() - t0:.1f} s)\n", flush=True)
        failed += [] if ok else [name]
        missed += [f"{name}: {row.op} at {row.size}" for row in report.missed()]
    print(f"total {time.perf_counter() - started:.0f} s; {len(missed)} target(s) missed"
          + (f"; failed: {', '.join(failed)}" if failed else ""))
    for line in missed:
        print(f"  missed  {line}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
