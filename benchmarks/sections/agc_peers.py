"""agc_peers: AGC.steps at decim 8 against the per-sample loops of other AGCs.

The peers are small C++ harnesses (benchmarks/peers/) around GNU Radio's
agc_cc kernel loop and agc3_cc work(), and liquid-dsp's
agc_crcf_execute_block, compiled here when their headers are installed. Each
runs over the same 65,536 samples as the agc section (written to a file),
one harness process per round, alternating with our steps calls.
"""

from __future__ import annotations

import math

import numpy as np

from peer_build import Harness, PeerSampler, Unavailable, build
from report import INFO, FasterBy, Report, Row, Target, fmt_count
from sections import Context, Skip
from sections.agc import SAMPLES, make_agc, samples
from sections.fixed_point import INSTALL_HINT
from timing import Call, interleaved

TITLE = "agc_peers: AGC.steps at decim 8 against other AGC loops on the same samples"

DECIM = 8
GNURADIO = "apt-get install gnuradio-dev"
LIQUID = "apt-get install libliquid-dev"
GR_AGC = Harness("gr_agc", "gnuradio/analog/agc.h", install=GNURADIO)
GR_AGC3 = Harness("gr_agc3", "gnuradio/analog/agc3_cc.h", pkgconfig=("gnuradio-analog", "fmt"), install=GNURADIO)
LIQUID_AGC = Harness("liquid_agc", "liquid/liquid.h", libs=("-lliquid",), install=LIQUID)

# (row label, harness, harness options, target for ours)
PEERS: list[tuple[str, Harness, list[str], Target]] = [
    ("GNU Radio agc_cc loop", GR_AGC, [], FasterBy(2.5)),
    ("GNU Radio agc3_cc work(), iir decim 1", GR_AGC3, ["1"], INFO),
    ("GNU Radio agc3_cc work(), iir decim 8", GR_AGC3, ["8"], INFO),
    ("liquid-dsp agc_crcf_execute_block", LIQUID_AGC, [], FasterBy(5)),
]


def run(ctx: Context) -> Report:
    agc_module = ctx.require("quorvel.agc", INSTALL_HINT)
    x = samples(ctx.rng(11))  # the agc section's block
    ctx.build_dir.mkdir(parents=True, exist_ok=True)
    samples_file = ctx.build_dir / "agc_samples.c64"
    x.tofile(samples_file)

    report = Report(TITLE)
    available = []
    for label, harness, args, target in PEERS:
        try:
            exe = build(harness, ctx.build_dir)
        except Unavailable as why:
            report.notes.append(f"{label}: skipped, {why}")
            continue
        available.append((label, PeerSampler(exe, samples_file, SAMPLES, args=args).warm_up(), target))
    if not available:
        raise Skip("\n".join(["no peer could be built:", *report.notes]))

    agc = make_agc(agc_module, DECIM)
    out = np.empty_like(x)
    ours, *peers = interleaved([Call.of(agc.steps, x, out=out)] + [s for _, s, _ in available], ctx.plan(21, 10.0))
    agc.destroy()
    for (label, sampler, target), t in zip(available, peers):
        if not math.isfinite(sampler.power):
            raise AssertionError(f"{label} produced non-finite output (mean power {sampler.power})")
        report.rows.append(Row(f"steps decim {DECIM} vs {label}", fmt_count(SAMPLES), ours, t, target))
    report.notes.append("targets: ours at least 2.5x the GNU Radio agc_cc loop's speed and 5x liquid-dsp's; "
                        "peers at their usual settings (agc_cc rate 1e-4; agc3_cc attack 0.1, decay 0.01; "
                        "liquid bandwidth 1e-4), compiled with g++ -O2 -march=native")
    return report
