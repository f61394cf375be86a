"""The demonstration's signal and its settling column (the command that runs
it is tested in test_cli.py)."""

import numpy as np

from quorvel import demo


def test_settled_after_counts_until_the_gain_stays():
    # Within 1 dB of the end first at update 3, out again at 4, in for good from 5.
    gain = np.array([0.0, -30.0, -60.5, -58.5, -60.2, -59.9, -60.0])
    assert demo.settled_after(gain, 1.0) == 5
    assert demo.settled_after(np.full(4, -6.0), 1.0) == 1


def test_bursts_at_their_levels_with_one_fade():
    for noise_like in (False, True):
        x, bursts = demo.synthesize(noise_like=noise_like)
        assert len(x) == len(demo.LEVELS_DB) * (demo.GAP + demo.BURST) and x.dtype == np.complex64
        for k, b in enumerate(bursts):
            burst = x[b.start:b.start + demo.BURST].astype(np.complex128)
            # Level against the fade-corrected envelope, noise included.
            power = np.mean(np.abs(burst) ** 2 * 10 ** (demo.fade_db(k) / 10))
            assert abs(10 * np.log10(power) - 10 * np.log10(10 ** (b.level_db / 10) + 10 ** (demo.NOISE_DB / 10))) \
                < (0.02 if not noise_like else 0.1)
        envelope = np.abs(x[bursts[0].start:bursts[0].start + demo.BURST])
        assert (np.ptp(envelope) < 0.01) != noise_like          # constant envelope, or not
