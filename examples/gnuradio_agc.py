"""Level tone bursts with quorvel's AGC in a GNU Radio flowgraph.

    python examples/gnuradio_agc.py [OUTPUT]        (default: levelled.cf32)

A tone whose level steps between -60 and 0 dB every 20,000 samples, over
-75 dB noise, runs through quorvel.gnuradio.agc_cc into a file sink
(complex64, the .cf32 convention), while a vector sink collects the block's
gain tags. Then the script prints, for each burst, the input level and the
output level once settled, and the gain the tags reported.

Run it with a Python that sees both GNU Radio and quorvel (README: Using
quorvel in GNU Radio).
"""

import sys

import numpy as np
import pmt
from gnuradio import analog, blocks, gr

from quorvel.gnuradio import agc_cc

BURST_DB = [-20, -50, -10, -60, -30, 0, -40]
BURST = 20_000  # samples per burst
NOISE_DB = -75


def db(power):
    return 10 * np.log10(np.maximum(power, 1e-30))


def main(output="levelled.cf32"):
    agc = agc_cc(ref_db=0.0, loop_bw=0.0025, alpha=0.05, decim=8, tag_every=BURST // 4)

    amplitude = np.repeat(10 ** (np.array(BURST_DB) / 20), BURST).astype(np.complex64)
    tb = gr.top_block()
    tone = analog.sig_source_c(1.0, analog.GR_COS_WAVE, 0.01, 1.0)
    levels = blocks.vector_source_c(amplitude)  # ends the flowgraph when the schedule is done
    noise = analog.noise_source_c(analog.GR_GAUSSIAN, 10 ** (NOISE_DB / 20), 7)
    bursts, with_noise = blocks.multiply_cc(), blocks.add_cc()
    tags = blocks.vector_sink_c()  # keeps the tags (and a copy of the samples)
    tb.connect(tone, (bursts, 0))
    tb.connect(levels, (bursts, 1))
    tb.connect(bursts, (with_noise, 0))
    tb.connect(noise, (with_noise, 1))
    tb.connect(with_noise, agc, blocks.file_sink(gr.sizeof_gr_complex, output))
    tb.connect(agc, tags)
    tb.run()

    y = np.fromfile(output, np.complex64)
    gains = {tag.offset: tag.value for tag in tags.tags() if str(tag.key) == "gain_db"}
    print(f"{len(y):,} samples written to {output}; {len(gains)} gain tags")
    print("burst  input dB  output dB (last half)  gain dB (last tag)")
    for k, level in enumerate(BURST_DB):
        start, end = k * BURST, (k + 1) * BURST
        settled = db(np.mean(np.abs(y[start + BURST // 2:end].astype(np.complex128)) ** 2))
        last = max((o for o in gains if start <= o < end), default=None)
        gain = f"{pmt.to_double(gains[last]):9.2f}" if last is not None else "        -"
        print(f"{k:5}  {level:8}  {settled:21.2f}  {gain}")
    print(f"gain after the run: {agc.gain_db():.2f} dB")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:2]))
