"""What the GNU Radio tests share: test streams, a flowgraph run under a
scheduler setting, and the bits a block must give."""

import numpy as np

from quorvel.agc import AGC

# Scheduler settings: (block's max_noutput_items, source's max_noutput_items, min buffer).
SCHEDULES = {
    "default": (0, 0, 0),
    "one item per call": (1, 0, 0),
    "7 items per call": (7, 0, 0),
    "source in 37s, block up to 1023": (1023, 37, 0),
    "64k buffers": (0, 0, 1 << 16),
}


def bursts(n, seed=1):
    """Tone bursts whose level jumps between -60 and +10 dB every 2,000
    samples, over -80 dB noise, with a stretch of exact zeros."""
    rng = np.random.default_rng(seed)
    level = np.repeat(10 ** (rng.uniform(-60, 10, -(-n // 2000)) / 20), 2000)[:n]
    x = level * np.exp(2j * np.pi * 0.01 * np.arange(n)) + 1e-4 * (rng.normal(size=n) + 1j * rng.normal(size=n))
    x[n // 3:n // 3 + 500] = 0
    return x.astype(np.complex64)


def whole_stream(x, decim, **params):
    """One steps call over the whole stream: the bits the block must give."""
    agc = AGC(**params)
    agc.decim = decim
    return agc.steps(x), agc


def run(x, block, *, block_max=0, source_max=0, buffer=0):
    """x -> block -> vector sink; returns what reached the sink and its tags."""
    from gnuradio import blocks, gr

    tb = gr.top_block()
    src, sink = blocks.vector_source_c(x), blocks.vector_sink_c()
    for b in (src, block):
        if buffer:
            b.set_min_output_buffer(buffer)
    if source_max:
        src.set_max_noutput_items(source_max)
    if block_max:
        block.set_max_noutput_items(block_max)
    tb.connect(src, block, sink)
    tb.run()
    return np.array(sink.data(), np.complex64), sink.tags()


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))
