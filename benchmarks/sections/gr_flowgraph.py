"""gr_flowgraph: samples per second through GNU Radio flowgraphs.

Every sample builds a fresh flowgraph, vector_source (the agc section's
65,536 samples, repeated) -> head(N) -> block -> null_sink, and times
tb.run() on the wall clock: the blocks run in GNU Radio's threads, where the
thread-CPU clock of the other sections sees nothing. The blocks: none (the
flowgraph's own ceiling), GNU Radio's agc3_cc at its defaults, a Python
block that only copies (the ceiling of GNU Radio's Python block gateway) and
quorvel.gnuradio.agc_cc at its defaults (decim 8). Each at GNU Radio's
default buffers (32 KiB: work() sees at most 4,096 complex64 items) and with
every output buffer at 65,536 items (work() sees up to 32,768).
"""

from __future__ import annotations

import time
from typing import Any, Callable

import numpy as np

from report import INFO, FasterBy, Rate, Report, Row, fmt_count
from sections import Context
from sections.agc import samples
from sections.fixed_point import INSTALL_HINT
from timing import interleaved

TITLE = "gr_flowgraph: Msample/s through GNU Radio flowgraphs (wall clock)"

ITEMS = 1 << 23  # per run: a quarter of a second through the Python gateway at default buffers
BUFFERS = {"default buffers": 0, "64k buffers": 1 << 16}
GNURADIO_HINT = ("apt-get install gnuradio, and run the benchmarks with a Python that sees both GNU Radio "
                 "and quorvel (README: Using quorvel in GNU Radio)")


class FlowgraphSampler:
    """One fresh flowgraph per sample; seconds for its run of `items` samples."""

    def __init__(self, build: Callable[[], tuple[Any, Any, list[Any]]], items: int) -> None:
        self.build, self.items = build, items
        self.seconds = self.sample()  # also the warm-up

    def sample(self) -> float:
        tb, head, keep = self.build()  # keep: Python blocks must outlive the run
        started = time.perf_counter()
        tb.run()
        elapsed = time.perf_counter() - started
        if head.nitems_written(0) != self.items:
            raise RuntimeError(f"flowgraph of {[b.name() for b in keep]} stopped after "
                               f"{head.nitems_written(0)} of {self.items} samples")
        return elapsed


def copy_block_class(gr: Any) -> type:
    class CopyBlock(gr.sync_block):
        """A Python block that only copies its input: what the gateway itself costs."""

        def __init__(self) -> None:
            gr.sync_block.__init__(self, name="copy_only", in_sig=[np.complex64], out_sig=[np.complex64])

        def work(self, input_items, output_items):
            output_items[0][:] = input_items[0]
            return len(output_items[0])

    return CopyBlock


def flowgraph(x: np.ndarray, make_block: Callable[[], Any] | None, buffer: int, items: int) -> Callable:
    from gnuradio import blocks, gr

    def build():
        tb = gr.top_block()
        chain = [blocks.vector_source_c(x, True), blocks.head(gr.sizeof_gr_complex, items)]
        if make_block is not None:
            chain.append(make_block())
        for block in chain:
            if buffer:
                block.set_min_output_buffer(buffer)
        tb.connect(*chain, blocks.null_sink(gr.sizeof_gr_complex))
        return tb, chain[1], chain

    return build


def run(ctx: Context, items: int = ITEMS) -> Report:
    gr = ctx.require("gnuradio.gr", GNURADIO_HINT)
    analog = ctx.require("gnuradio.analog", GNURADIO_HINT)
    ctx.require("quorvel.agc", INSTALL_HINT)
    gr.logging().set_default_level(gr.log_levels.warn)  # not a line per buffer setting
    x = samples(ctx.rng(11))
    from quorvel.gnuradio import agc_cc

    kinds: dict[str, Callable[[], Any] | None] = {
        "no block": None,
        "agc3_cc": lambda: analog.agc3_cc(),
        "copy": copy_block_class(gr),
        "quorvel": agc_cc,
    }
    groups = [(label, kind) for label in BUFFERS for kind in kinds]
    samplers = [FlowgraphSampler(flowgraph(x, kinds[kind], BUFFERS[label], items), items) for label, kind in groups]
    times = dict(zip(groups, interleaved(samplers, ctx.plan(9, 25.0))))

    report = Report(TITLE)
    size = fmt_count(items)
    for label in BUFFERS:
        t = {kind: times[label, kind] for kind in kinds}
        report.rows += [
            Row(f"source -> head -> null_sink, no block, {label}", size, t["no block"], target=Rate(items)),
            Row(f"GNU Radio agc3_cc, {label}", size, t["agc3_cc"], target=Rate(items)),
            Row(f"Python block that only copies (gateway ceiling), {label}", size, t["copy"], target=Rate(items)),
        ]
        report.rows += [
            Row(f"quorvel agc_cc, {label}", size, t["quorvel"], target=Rate(items)),
            Row(f"quorvel agc_cc vs agc3_cc, {label}", size, t["quorvel"], t["agc3_cc"],
                FasterBy(1.3) if BUFFERS[label] else INFO),
            Row(f"quorvel agc_cc vs the copy block, {label}", size, t["quorvel"], t["copy"]),
        ]
    report.notes += [
        f"GNU Radio {gr.version()}; wall-clock medians of interleaved rounds, a fresh flowgraph per run",
        "agc3_cc at its defaults (attack 0.1, decay 0.01, reference 1, iir_update_decim 1); agc_cc at its "
        "defaults (decim 8); 64k buffers: set_min_output_buffer(65536) on source, head and block",
        "target: agc_cc at least 1.3x as fast as agc3_cc at 64k buffers; at default buffers the copy block "
        "is the ceiling",
    ]
    return report
