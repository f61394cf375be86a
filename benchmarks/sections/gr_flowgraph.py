"""gr_flowgraph: samples per second through GNU Radio flowgraphs.

Every sample builds a fresh flowgraph, vector_source (the agc section's
65,536 samples, repeated) -> head -> block(s) -> null_sink(s), and times
tb.run() on the wall clock: the blocks run in GNU Radio's threads, where the
thread-CPU clock of the other sections sees nothing. Each flowgraph at GNU
Radio's default buffers (32 KiB: work() sees at most 4,096 complex64 items)
and with every output buffer at 65,536 items (work() sees up to 32,768).

One channel, 8M samples through: no block (the flowgraph's own ceiling), GNU
Radio's agc3_cc at its defaults, a Python block that only copies (the ceiling
of GNU Radio's Python block gateway), quorvel.gnuradio.agc_cc (the Python
block) and gr-quorvel's native agc_cc, both at their defaults (decim 8).

Eight channels, 8M samples through in all: head's output fanned out to eight
agc3_cc, to eight native agc_cc, or to the eight inputs of one native
agc_bank_cc (which asks for output buffers of 16,384 items itself; also with
GNU Radio's own, set_min_output_buffer(0)), each output to a null_sink; and
to eight null_sinks with no block between. Rates are per channel.
"""

from __future__ import annotations

import time
from typing import Any, Callable

import numpy as np

from report import INFO, FasterBy, Rate, Report, Row, fmt_count
from sections import Context, Skip
from sections.agc import samples
from sections.fixed_point import INSTALL_HINT
from timing import interleaved

TITLE = "gr_flowgraph: Msample/s through GNU Radio flowgraphs (wall clock)"

ITEMS = 1 << 23  # per run: a quarter of a second through the Python gateway at default buffers
CHANNELS = 8
BUFFERS = {"default buffers": 0, "64k buffers": 1 << 16}
GNURADIO_HINT = ("apt-get install gnuradio, and run the benchmarks with a Python that sees both GNU Radio "
                 "and quorvel (README: Using quorvel in GNU Radio)")
NATIVE_HINT = "build and install gr-quorvel where this Python finds it (README: Using quorvel in GNU Radio)"


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
    """source -> head(items) -> block -> null_sink."""
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


def fanned_out(x: np.ndarray, make_blocks: Callable[[], list[Any]], buffer: int, items: int) -> Callable:
    """source -> head(items) -> each of CHANNELS inputs, of the blocks made
    (one per channel, or one with CHANNELS ports; none: straight to the
    sinks) -> CHANNELS null_sinks."""
    from gnuradio import blocks, gr

    def build():
        tb = gr.top_block()
        src, head = blocks.vector_source_c(x, True), blocks.head(gr.sizeof_gr_complex, items)
        made = make_blocks()
        for b in [src, head, *made]:
            if buffer:
                b.set_min_output_buffer(buffer)
        tb.connect(src, head)
        for c in range(CHANNELS):
            port = (made[c], 0) if len(made) == CHANNELS else (made[0], c) if made else None
            sink = blocks.null_sink(gr.sizeof_gr_complex)
            if port is None:
                tb.connect(head, sink)
            else:
                tb.connect(head, port)
                tb.connect(port, sink)
        return tb, head, [src, head, *made]

    return build


def measure(ctx: Context, x: np.ndarray, kinds: dict[str, Any], build: Callable, items: int, budget: float):
    """Median seconds of every kind at every buffer size, interleaved."""
    groups = [(label, kind) for label in BUFFERS for kind in kinds]
    samplers = [FlowgraphSampler(build(x, kinds[kind], BUFFERS[label], items), items) for label, kind in groups]
    return dict(zip(groups, interleaved(samplers, ctx.plan(9, budget))))


def run(ctx: Context, items: int = ITEMS) -> Report:
    gr = ctx.require("gnuradio.gr", GNURADIO_HINT)
    analog = ctx.require("gnuradio.analog", GNURADIO_HINT)
    ctx.require("quorvel.agc", INSTALL_HINT)
    gr.logging().set_default_level(gr.log_levels.warn)  # not a line per buffer setting
    try:
        native = ctx.require("gnuradio.quorvel", NATIVE_HINT)
    except Skip as skip:
        native, native_missing = None, str(skip)
    x = samples(ctx.rng(11))
    from quorvel.gnuradio import agc_cc

    one: dict[str, Callable[[], Any] | None] = {
        "no block": None,
        "agc3_cc": lambda: analog.agc3_cc(),
        "copy": copy_block_class(gr),
        "quorvel": agc_cc,
    }
    if native:
        one["native"] = native.agc_cc
    times = measure(ctx, x, one, flowgraph, items, 25.0)

    report = Report(TITLE)
    size = fmt_count(items)
    for label in BUFFERS:
        t = {kind: times[label, kind] for kind in one}
        report.rows += [
            Row(f"source -> head -> null_sink, no block, {label}", size, t["no block"], target=Rate(items)),
            Row(f"GNU Radio agc3_cc, {label}", size, t["agc3_cc"], target=Rate(items)),
            Row(f"Python block that only copies (gateway ceiling), {label}", size, t["copy"], target=Rate(items)),
            Row(f"quorvel agc_cc, {label}", size, t["quorvel"], target=Rate(items)),
            Row(f"quorvel agc_cc vs agc3_cc, {label}", size, t["quorvel"], t["agc3_cc"],
                FasterBy(1.3) if BUFFERS[label] else INFO),
            Row(f"quorvel agc_cc vs the copy block, {label}", size, t["quorvel"], t["copy"]),
        ]
        if native:
            report.rows += [
                Row(f"native agc_cc (gr-quorvel), {label}", size, t["native"], target=Rate(items)),
                Row(f"native agc_cc vs agc3_cc, {label}", size, t["native"], t["agc3_cc"],
                    INFO if BUFFERS[label] else FasterBy(1.5)),
            ]
    report.notes += [
        f"GNU Radio {gr.version()}; wall-clock medians of interleaved rounds, a fresh flowgraph per run",
        "agc3_cc at its defaults (attack 0.1, decay 0.01, reference 1, iir_update_decim 1); both agc_cc at "
        "their defaults (decim 8); 64k buffers: set_min_output_buffer(65536) on source, head and block",
        "targets: the Python agc_cc at least 1.3x as fast as agc3_cc at 64k buffers (at default buffers the "
        "copy block is its ceiling); the native agc_cc 1.5x at default buffers",
    ]
    if not native:
        report.notes.append(f"native rows skipped: {native_missing}")
        return report

    per_channel = items // CHANNELS
    def bank_with_default_outputs() -> Any:
        bank = native.agc_bank_cc(CHANNELS)
        bank.set_min_output_buffer(0)  # GNU Radio's size (Companion's Min Output Buffer sets this)
        return bank

    many = {
        "no block": lambda: [],
        "agc3_cc": lambda: [analog.agc3_cc() for _ in range(CHANNELS)],
        "native agc_cc": lambda: [native.agc_cc() for _ in range(CHANNELS)],
        "agc_bank_cc": lambda: [native.agc_bank_cc(CHANNELS)],
        "agc_bank_cc, default outputs": lambda: [bank_with_default_outputs()],  # at 64k buffers, the plain bank
    }
    times = measure(ctx, x, many, fanned_out, per_channel, 25.0)
    size = f"{CHANNELS} x {fmt_count(per_channel)}"
    for label in BUFFERS:
        t = {kind: times[label, kind] for kind in many}
        report.rows += [
            Row(f"head -> {CHANNELS} null_sinks, no block, {label}", size, t["no block"], target=Rate(per_channel)),
            Row(f"{CHANNELS} GNU Radio agc3_cc, {label}", size, t["agc3_cc"], target=Rate(per_channel)),
            Row(f"{CHANNELS} native agc_cc, {label}", size, t["native agc_cc"], target=Rate(per_channel)),
            Row(f"native agc_bank_cc({CHANNELS}), {label}", size, t["agc_bank_cc"], target=Rate(per_channel)),
            Row(f"agc_bank_cc({CHANNELS}) vs {CHANNELS} agc3_cc, {label}", size, t["agc_bank_cc"], t["agc3_cc"],
                FasterBy(3.0)),
            Row(f"agc_bank_cc({CHANNELS}) vs {CHANNELS} native agc_cc, {label}", size, t["agc_bank_cc"],
                t["native agc_cc"]),
        ]
        if not BUFFERS[label]:
            report.rows.append(Row(f"agc_bank_cc({CHANNELS}) with GNU Radio's output buffers vs {CHANNELS} agc3_cc, "
                                   f"{label}", size, t["agc_bank_cc, default outputs"], t["agc3_cc"]))
    report.notes += [
        f"{CHANNELS} channels: head's output to every channel, each output to a null_sink; rates per channel; "
        f"target: agc_bank_cc({CHANNELS}) at least 3x as fast as {CHANNELS} agc3_cc; the bank asks for output "
        "buffers of 16,384 items itself, GNU Radio's output buffers: set_min_output_buffer(0) on it",
    ]
    return report
