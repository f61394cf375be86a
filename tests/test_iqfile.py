"""quorvel.iqfile.level_file, the library call behind `quorvel agc`."""

import os

import numpy as np
import pytest

from quorvel.agc import AGC
from quorvel.iqfile import UsageError, level_file

from helpers import recording


def test_blocks_progress_and_result(tmp_path):
    src, dst = tmp_path / "in.cf32", tmp_path / "out.cf32"
    x = recording(src, 10_000)
    calls = []
    assert level_file(src, dst, ref_db=-3.0, decim=7, block=3000, progress=lambda *a: calls.append(a)) == 10_000
    assert calls == [(24_024, 80_000), (48_048, 80_000), (72_072, 80_000), (80_000, 80_000)]  # 3003 samples a read
    agc = AGC(-3.0)
    agc.decim = 7
    assert dst.read_bytes() == agc.steps(x).tobytes()


@pytest.mark.parametrize("case, message", [
    ("missing", "no such file"),
    ("partial", "not a whole number of complex64 samples"),
    ("directory", "not a regular file"),
    ("same", "OUTPUT must not be INPUT"),
    ("hardlink", "OUTPUT must not be INPUT"),
    ("decim", "decim must be a whole number from 1 to 2**64 - 1, got 0"),
    ("block", "block must be a whole number from 1 to 2**64 - 1, got 0"),
    ("output is a directory", "is a directory"),
])
def test_requests_that_cannot_run_write_nothing(tmp_path, case, message):
    src, dst = tmp_path / "in.cf32", tmp_path / "out.cf32"
    recording(src, 100)
    (tmp_path / "odd.cf32").write_bytes(b"x" * 12)
    os.link(src, tmp_path / "hard.cf32")
    arguments = {
        "missing": (tmp_path / "nope.cf32", dst), "partial": (tmp_path / "odd.cf32", dst),
        "directory": (tmp_path, dst), "same": (src, tmp_path / "." / "in.cf32"),
        "hardlink": (src, tmp_path / "hard.cf32"), "decim": (src, dst), "block": (src, dst),
        "output is a directory": (src, tmp_path),
    }[case]
    options = {"decim": {"decim": 0}, "block": {"block": 0}}.get(case, {})
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(UsageError, match=message.replace("*", r"\*")):
        level_file(*arguments, **options)
    assert sorted(os.listdir(tmp_path)) == before
