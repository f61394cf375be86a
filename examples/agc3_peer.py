"""GNU Radio's agc3_cc over a complex64 file, for agc_dynamics.py.

Run by an interpreter that has GNU Radio (Debian: apt-get install gnuradio,
then /usr/bin/python3):

    python3 agc3_peer.py IN.cf32 OUT.cf32 ATTACK DECAY

reference 1.0 (unit output power, as ref_db 0), initial gain 1.0, gain
update every sample (iir_update_decim 1).
"""

import sys

import numpy as np
from gnuradio import analog, blocks, gr


def main(source: str, target: str, attack: float, decay: float) -> None:
    x = np.fromfile(source, np.complex64)
    # The block may hold back the last few items of a finite stream: run a
    # tail of zeros behind the samples (the block is causal) and cut it off.
    padded = np.concatenate([x, np.zeros(4096, np.complex64)])
    top = gr.top_block()
    sink = blocks.vector_sink_c()
    top.connect(blocks.vector_source_c(padded.tolist(), False), analog.agc3_cc(attack, decay, 1.0, 1.0, 1), sink)
    top.run()
    y = np.asarray(sink.data(), np.complex64)
    if len(y) < len(x):
        raise SystemExit(f"agc3_cc gave {len(y)} samples for {len(x)}")
    y[:len(x)].tofile(target)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4]))
