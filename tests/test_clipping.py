"""Saturated output counted per channel where it is converted or clipped,
reported by the functions, the command and a batch's manifest, and refused
above max_clipped with nothing written."""

import json
import os

import numpy as np
import pytest

from quorvel.batch import level_files
from quorvel.formats import count_clipped, sample_format
from quorvel.iqfile import ClippingError, level_file, level_recording

from helpers import noise, one_line, quorvel, recording, reference


def saturated_codes(fmt, y, scale, channels):
    """Per channel, the components whose exact scaled value rounds outside the format's codes."""
    half = 1 << (8 * sample_format(fmt).component.itemsize - 1)
    t = y.view(np.float32).astype(np.float64) * (scale * half)
    code = np.floor(t + 0.5)
    outside = np.isnan(code) | (code < -half) | (code > half - 1)
    return outside.reshape(-1, channels, 2).sum(axis=(0, 2)).tolist()


class TestCounting:
    @pytest.mark.parametrize("fmt", ["ci8", "cu8", "ci16", "ci16_be"])
    @pytest.mark.parametrize("channels", [1, 3])
    def test_encode_counts_each_channels_saturated_codes(self, fmt, channels):
        rng = np.random.default_rng(channels)
        x = (rng.normal(size=6000) * 0.7 + 1j * rng.normal(size=6000) * 0.4).astype(np.complex64)
        x[:4] = [np.nan, complex(np.inf, -np.inf), 0.99609375, -1.0]   # NaN and infinities saturate; exact rails do not
        counts = np.zeros(channels, np.int64)
        plain = sample_format(fmt).encode(x, 1.0)
        counted = sample_format(fmt).encode(x, 1.0, saturated=counts)
        assert bytes(counted) == bytes(plain)                     # counting changes no code
        assert counts.tolist() == saturated_codes(fmt, x, 1.0, channels) and counts.sum() > 0
        sample_format(fmt).encode(x[4:] * np.float32(0.01), 1.0, saturated=counts)
        assert counts.tolist() == saturated_codes(fmt, x, 1.0, channels)   # nothing more added

    def test_float_output_counts_components_at_the_clip(self):
        x = np.array([1 + 0.5j, 0.2 - 1j, -1 - 1j, 0j, np.nan], np.complex64)
        counts = np.zeros(1, np.int64)
        count_clipped(x, 1.0, counts)
        assert counts.tolist() == [5]                               # NaN counts, both components of it
        sample_format("cf32").encode(x, saturated=counts)           # stored as is: nothing saturates
        assert counts.tolist() == [5]


class TestRuns:
    @pytest.mark.parametrize("fmt, scale", [("ci16", 1.0), ("cu8", 2.0), ("cf32", 1.0)])
    def test_counts_per_channel_match_the_levelled_output(self, tmp_path, fmt, scale):
        rng = np.random.default_rng(5)
        codes = np.stack([rng.integers(120, 136, (30_000, 2)), rng.integers(0, 256, (30_000, 2))], axis=1)
        codes = codes.astype(np.uint8)                                     # samples, channels, I/Q
        meta = {"global": {"core:datatype": "cu8", "core:version": "1.2.0", "core:num_channels": 2},
                "captures": [{"core:sample_start": 0}], "annotations": []}
        (tmp_path / "in.sigmf-meta").write_text(json.dumps(meta))
        (tmp_path / "in.sigmf-data").write_bytes(codes.tobytes())
        got = level_recording(tmp_path / "in.sigmf-meta", tmp_path / f"o.{fmt}", out_format=fmt, out_scale=scale,
                              ref_db=3.0, clip_db=1.0)
        y = np.stack([reference(sample_format("cu8").decode(codes[:, c].tobytes()), ref_db=3.0, clip_db=1.0)
                      for c in range(2)], axis=1).ravel()
        if fmt == "cf32":
            clip = np.abs(y.view(np.float32)).max()
            want = (np.abs(y.view(np.float32)) >= clip).reshape(-1, 2, 2).sum(axis=(0, 2)).tolist()
        else:
            want = saturated_codes(fmt, y, scale, 2)
        assert got.clipped == tuple(want) and got.clipped[1] > 0

    def test_float_output_counts_the_agc_clip(self, tmp_path):
        x = recording(tmp_path / "in.cf32", 30_000)
        done = level_file(tmp_path / "in.cf32", tmp_path / "out.cf32", clip_db=-6.0)
        y = reference(x, clip_db=-6.0)
        at_clip = np.abs(y.view(np.float32)) >= np.abs(y.view(np.float32)).max()
        assert done == 30_000 and done.clipped == (int(at_clip.sum()),) and 0 < done.clipped[0] < 60_000
        assert level_file(tmp_path / "in.cf32", tmp_path / "out.cf32").clipped == (0,)   # clip at 120 dB

    @pytest.mark.parametrize("output", ["out.cs16", "out.sigmf-meta"])
    def test_more_than_max_clipped_fails_and_writes_nothing(self, tmp_path, output):
        recording(tmp_path / "in.cf32", 20_000)
        target = tmp_path / output
        free = level_recording(tmp_path / "in.cf32", tmp_path / "free.cs16", out_format="ci16", ref_db=3.0)
        share = free.clipped[0] / 40_000
        assert share > 0.05
        before = sorted(os.listdir(tmp_path))
        with pytest.raises(ClippingError, match=rf"out\.\S+: {share:.4g} of the output components saturated "
                                                rf"\({free.clipped[0]:,} of 40,000\), more than max_clipped 0\.05$"):
            level_file(tmp_path / "in.cf32", target, out_format="ci16", ref_db=3.0, max_clipped=0.05)
        assert sorted(os.listdir(tmp_path)) == before
        done = level_file(tmp_path / "in.cf32", target, out_format="ci16", ref_db=3.0, max_clipped=share)
        assert done.clipped == free.clipped                        # exactly at the limit passes

    @pytest.mark.parametrize("bad", [-0.1, 1.5, float("nan"), "half"])
    def test_max_clipped_must_be_a_share(self, tmp_path, bad):
        recording(tmp_path / "in.cf32", 100)
        with pytest.raises(ValueError, match="max_clipped must be a number in"):
            level_file(tmp_path / "in.cf32", tmp_path / "out.cf32", max_clipped=bad)
        assert not (tmp_path / "out.cf32").exists()


class TestReports:
    def test_command_reports_and_refuses(self, tmp_path):
        recording(tmp_path / "in.cf32", 20_000)
        ok = quorvel("agc", tmp_path / "in.cf32", tmp_path / "out.cs16", "--out-format", "ci16", "--ref-db", "3",
                     text=True)
        assert ok.returncode == 0
        assert " output components saturated (" in one_line(ok.stderr)
        clean = quorvel("agc", tmp_path / "in.cf32", tmp_path / "out.cf32", text=True)
        assert one_line(clean.stderr).endswith("samples levelled into " + str(tmp_path / "out.cf32"))
        refused = quorvel("agc", tmp_path / "in.cf32", tmp_path / "new.cs16", "--out-format", "ci16", "--ref-db", "3",
                          "--max-clipped", "0.001", text=True)
        assert refused.returncode == 1 and "more than max_clipped 0.001" in one_line(refused.stderr)
        assert not (tmp_path / "new.cs16").exists()
        bad = quorvel("agc", tmp_path / "in.cf32", tmp_path / "new.cs16", "--max-clipped", "2", text=True)
        assert bad.returncode == 2 and "--max-clipped" in one_line(bad.stderr)

    def test_batch_rows_manifest_and_limit(self, tmp_path):
        recording(tmp_path / "loud.cf32", 20_000)
        noise(20_000, scale=0.01).tofile(tmp_path / "soft.cf32")           # steady: never near full scale
        inputs = [tmp_path / "loud.cf32", tmp_path / "soft.cf32"]
        summary = level_files(inputs, tmp_path / "out", workers=1, out_format="ci16", clip_db=-20.0,
                              out_scale=20.0)
        assert summary.ok and all(row.clipped[0] for row in summary)
        lines = [json.loads(text) for text in open(tmp_path / "out" / "quorvel-manifest.jsonl")]
        assert [line["clipped"] for line in lines[:-1]] == [list(row.clipped) for row in summary]
        assert lines[-1]["summary"]["saturated"] == [str(path) for path in inputs]
        again = level_files(inputs, tmp_path / "out", workers=1, out_format="ci16", clip_db=-20.0, out_scale=20.0,
                            skip_done=True)
        assert [row.clipped for row in again] == [row.clipped for row in summary]   # kept by the manifest
        limited = level_files(inputs, tmp_path / "limited", workers=1, out_format="ci16", ref_db=-20.0,
                              max_clipped=0.0)
        assert [row.status for row in limited] == ["failed", "levelled"] and "max_clipped 0" in limited[0].error
        assert sorted(os.listdir(tmp_path / "limited")) == ["quorvel-manifest.jsonl", "soft.cs16"]
