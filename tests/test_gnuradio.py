"""quorvel.gnuradio in real GNU Radio flowgraphs: the same bits as one
whole-stream AGC.steps call whatever the scheduler does, the gain tags, the
telemetry hookup and the parameters."""

import inspect
import pathlib
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from gnuradio_or_skip import require_gnuradio
from gr_streams import SCHEDULES, bursts, run, same_bits, whole_stream
from quorvel.agc import AGC
from quorvel.telemetry import Telemetry

gr = require_gnuradio(module_level=True)
import pmt  # noqa: E402
from gnuradio import blocks  # noqa: E402

from quorvel.gnuradio import GAIN_TAG, TELEMETRY_SPAN, agc_cc, telemetry_capacity  # noqa: E402

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "gnuradio_agc.py"


class Recording(agc_cc):
    """agc_cc that notes the length of every work() call."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.lengths = []

    def work(self, input_items, output_items):
        self.lengths.append(len(output_items[0]))
        return super().work(input_items, output_items)


class TestSameBitsWhateverTheScheduler:
    @pytest.mark.parametrize("schedule", SCHEDULES)
    @pytest.mark.parametrize("decim", [1, 8, 64])
    def test_whole_stream_of_complete_chunks(self, decim, schedule):
        block_max, source_max, buffer = SCHEDULES[schedule]
        x = bursts(64 * 500)  # a multiple of every decim here: the state must match too
        want, ref = whole_stream(x, decim)
        block = Recording(decim=decim)
        got, _ = run(x, block, block_max=block_max, source_max=source_max, buffer=buffer)
        assert same_bits(got, want)
        assert block.agc.get_state() == ref.get_state()
        if block_max and block_max % decim:
            assert any(n % decim for n in block.lengths)  # the calls really cut chunks

    @pytest.mark.parametrize("decim", [0, 3, 8])
    def test_a_stream_that_ends_mid_chunk(self, decim):
        x = bursts(10_007)
        want, _ = whole_stream(x, decim)
        got, _ = run(x, agc_cc(decim=decim), block_max=97, source_max=13)
        complete = len(x) - len(x) % max(decim, 1)
        assert len(got) == len(x) and same_bits(got[:complete], want[:complete])

    def test_parameters_reach_the_loop(self):
        params = dict(ref_db=-6.0, loop_bw=0.01, alpha=0.2)
        x = bursts(8000)
        block = agc_cc(**params, decim=16, clip_db=3.0)
        agc = block.agc
        assert (agc.ref_db, agc.loop_bw, agc.alpha, agc.decim, agc.clip_db) == (-6.0, 0.01, 0.2, 16, 3.0)
        ref = AGC(**params)
        ref.decim, ref.clip_db = 16, 3.0
        got, _ = run(x, block, block_max=100)
        assert same_bits(got, ref.steps(x)) and block.gain_db() == ref.gain_db


class TestGainTags:
    def test_tags_carry_the_gain_of_the_chunk_they_end(self):
        x, decim, every, block_max = bursts(40_000), 8, 1000, 333
        _, tags = run(x, agc_cc(decim=decim, tag_every=every), block_max=block_max)
        offsets = [t.offset for t in tags]
        assert [str(t.key) for t in tags] == [GAIN_TAG] * len(tags) and len(tags) >= 25
        assert all((t + 1) % decim == 0 for t in offsets)
        gaps = np.diff([-1] + offsets)
        assert gaps.min() >= every and gaps.max() <= every + block_max + decim
        for tag in tags:
            _, ref = whole_stream(x[:tag.offset + 1], decim)
            assert pmt.to_double(tag.value) == ref.gain_db

    def test_no_tags_by_default_and_upstream_tags_pass_through(self):
        x = bursts(4000)
        tb = gr.top_block()
        upstream = gr.tag_t()
        upstream.offset, upstream.key, upstream.value = 10, pmt.intern("rx"), pmt.PMT_T
        src = blocks.vector_source_c(x, False, 1, [upstream])
        block, sink = agc_cc(), blocks.vector_sink_c()  # a Python block must outlive the run
        tb.connect(src, block, sink)
        tb.run()
        assert [(t.offset, str(t.key)) for t in sink.tags()] == [(10, "rx")]

    def test_a_negative_spacing_is_refused(self):
        with pytest.raises(ValueError, match="tag_every"):
            agc_cc(tag_every=-1)


class TestTelemetry:
    def test_records_equal_those_of_one_steps_call(self):
        x = bursts(24_000)
        with Telemetry(8192) as mine, Telemetry(8192) as theirs:
            block = agc_cc(telemetry=mine, prefix="rx", telemetry_decim=3)
            run(x, block, block_max=101, source_max=29)
            ref = AGC()
            theirs.attach(ref, prefix="rx", decim=3)
            ref.steps(x)
            got, want = mine.demux(mine.read()), theirs.demux(theirs.read())
        assert block.telemetry is mine and sorted(got) == ["rx.gain_db", "rx.level_db"]
        assert all(same_bits(got[k], want[k]) for k in want) and len(got["rx.gain_db"]) == 1000

    def test_its_own_ring_loses_nothing_to_a_reader_thread(self):
        block = agc_cc(telemetry=True)
        tlm = block.telemetry
        assert isinstance(tlm, Telemetry) and tlm.capacity == telemetry_capacity(8)
        n = 2 * TELEMETRY_SPAN  # twice what the ring holds: only reading keeps up
        counts, stop = [], threading.Event()

        def reader():
            while not stop.is_set():
                counts.append(len(tlm.read()))
                time.sleep(0.02)

        tb = gr.top_block()
        tb.connect(blocks.vector_source_c(bursts(1 << 16), True), blocks.head(gr.sizeof_gr_complex, n), block,
                   blocks.null_sink(gr.sizeof_gr_complex))
        thread = threading.Thread(target=reader)
        thread.start()
        try:
            tb.run()
        finally:
            stop.set()
            thread.join()
        counts.append(len(tlm.read()))
        assert tlm.dropped == 0 and sum(counts) == 2 * n // 8

    def test_only_a_telemetry_or_a_flag(self):
        with pytest.raises(TypeError, match="telemetry must be"):
            agc_cc(telemetry="rx")
        assert agc_cc().telemetry is None and agc_cc(telemetry=False).telemetry is None


def test_a_callback_for_every_setting_acts_on_the_loop():
    block = agc_cc()
    values = dict(ref_db=-3.0, loop_bw=0.001, alpha=0.5, decim=16, acquire=True, clip_db=6.0, max_gain_db=40.0,
                  gate_db=-90.0, attack_db=6.0)
    for name, value in values.items():
        getattr(block, f"set_{name}")(value)
    assert {name: getattr(block.agc, name) for name in values} == values
    assert "from the next ``work()`` call" in agc_cc.set_clip_db.__doc__


def test_the_parameters_keep_their_order_and_defaults():
    parameters = inspect.signature(agc_cc).parameters
    assert list(parameters)[:4] == ["ref_db", "loop_bw", "alpha", "decim"]
    assert all(parameters[name].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for name in list(parameters)[:4])
    fresh = AGC()
    assert {name: parameters[name].default for name in ("ref_db", "loop_bw", "alpha", "decim", "acquire", "clip_db")} \
        == {name: getattr(fresh, name) for name in ("ref_db", "loop_bw", "alpha", "decim", "acquire", "clip_db")}
    block = agc_cc(-6.0, 0.01, 0.2, 0, clip_db=3.0)
    assert (block.agc.ref_db, block.agc.loop_bw, block.agc.alpha, block.agc.decim, block.agc.clip_db) == \
        (-6.0, 0.01, 0.2, 0, 3.0)  # nothing checked: decim 0 acts as 1, as for AGC
    with pytest.raises(TypeError, match="positional"):
        agc_cc(-6.0, 0.01, 0.2, 8, True)
    with pytest.raises(TypeError, match="multiple values for argument 'ref_db'"):
        agc_cc(-6.0, ref_db=1.0)


def test_acquisition_mode_is_passed_on():
    assert agc_cc(acquire=True).agc.acquire is True and agc_cc().agc.acquire is False


def test_a_preset_gives_the_bits_of_from_preset():
    x = bursts(12_000)
    got, _ = run(x, agc_cc(preset="burst", ref_db=-6.0), block_max=97)
    assert same_bits(got, AGC.from_preset("burst", ref_db=-6.0).steps(x))
    with pytest.raises(ValueError, match="^no preset named 'Burst'; the presets are 'burst'$"):
        agc_cc(preset="Burst")


def test_example_flowgraph_levels_its_bursts(tmp_path):
    out = tmp_path / "levelled.cf32"
    result = subprocess.run([sys.executable, str(EXAMPLE), str(out)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    halves = np.fromfile(out, np.complex64).astype(np.complex128).reshape(7, 2, -1)[:, 1]  # settled halves
    level_db = 10 * np.log10(np.mean(np.abs(halves) ** 2, axis=1))
    assert np.all(np.abs(level_db) < 0.5), level_db
    assert "140,000 samples written" in result.stdout and "gain after the run: 40." in result.stdout


def test_telemetry_capacity_covers_the_span_within_bounds():
    assert telemetry_capacity(8) == 2 * TELEMETRY_SPAN // 8
    assert telemetry_capacity(8, 3) == 1 << 20  # 699,051 updates: 1,398,102 records, rounded up
    assert telemetry_capacity(0) == telemetry_capacity(1) == 1 << 22  # the cap
    assert telemetry_capacity(1 << 40) == 4096  # the floor
    assert telemetry_capacity(8, span=1000) == 4096


def test_readme_embedded_python_block_acts_at_run_time(tmp_path):
    """The README's Embedded Python Block, compiled by grcc as Companion
    compiles it: the subclass is the block, and its parameters get callbacks
    that reach the running loop."""
    import math

    from grc_flowgraphs import block, compile_flowgraph, load_top_block

    readme = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text()
    code = readme.split("<!-- embedded python block -->\n```python\n", 1)[1].split("```", 1)[0]
    script = compile_flowgraph(tmp_path, "embedded", [
        block("ref", "variable", value="0.0"),
        block("clip", "variable", value="120.0"),
        block("src", "analog_sig_source_x", type="complex", samp_rate=32000, waveform="analog.GR_COS_WAVE",
              freq=1000, amp=0.1, offset=0, phase=0),
        block("epy", "epy_block", _source_code=code, ref_db="ref", clip_db="clip", decim=16, acquire="True",
              loop_bw=0.01, alpha=0.05, tag_every=0),
        block("level", "analog_probe_avg_mag_sqrd_x", type="c", alpha=0.001, threshold=0),
    ], [("src", 0, "epy", 0), ("epy", 0, "level", 0)])
    assert "self.epy.ref_db = self.ref" in script.read_text()
    tb = load_top_block(script)()
    agc = tb.epy.agc
    assert isinstance(tb.epy, agc_cc) and (agc.decim, agc.acquire, agc.loop_bw) == (16, True, 0.01)

    def settles_at(db):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if abs(10 * math.log10(max(tb.level.level(), 1e-30)) - db) < 0.1:
                return True
            time.sleep(0.05)
        return False

    tb.start()
    try:
        assert settles_at(0.0)
        slider = threading.Thread(target=tb.set_ref, args=(-20.0,))
        slider.start()
        slider.join()
        assert settles_at(-20.0) and agc.ref_db == -20.0
        tb.set_clip(-30.0)
        assert agc.clip_db == -30.0
    finally:
        tb.stop()
        tb.wait()
