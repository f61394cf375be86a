"""The native blocks of gr-quorvel in real flowgraphs: agc_cc against one
whole-stream AGC.steps call and agc_bank_cc against AGCBank whatever the
scheduler does, the settings and their setters, presets, gain outputs and
tags, reset tags, and the blocks as GNU Radio Companion compiles them."""

import math
import os
import pathlib
import struct
import threading
import time

import numpy as np
import pytest

from gnuradio_or_skip import require_native_blocks
from gr_streams import SCHEDULES, bursts, run, same_bits, whole_stream
from quorvel.agc import AGC, PRESETS, AGCBank
from quorvel.telemetry import Telemetry

native = require_native_blocks(module_level=True)
import pmt  # noqa: E402
import yaml  # noqa: E402  (Companion's, with GNU Radio)
from gnuradio import blocks, gr  # noqa: E402

import quorvel.gnuradio  # noqa: E402
from grc_flowgraphs import block, compile_flowgraph, load_top_block  # noqa: E402

LOOP_SETTINGS = ["ref_db", "loop_bw", "alpha", "decim", "acquire", "clip_db", "max_gain_db", "gate_db",
                 "attack_db"]  # those AGC has too
BURSTS = dict(max_gain_db=20.0, gate_db=-70.0, attack_db=6.0)  # each acts on the test streams
GAIN_DB_OFFSET, G_LAST_OFFSET = 16 + 48, 16 + 64  # in a state blob: the 16-byte header, then the record


def fresh_agc(blob):
    """An AGC in the state of a blob (parameters and loop state)."""
    agc = AGC()
    agc.set_state(blob)
    return agc


def gain_output(x, agc):
    """What a gain output carries over x through agc: the gain command after
    each sample, from the records of one steps call (x a whole number of
    chunks)."""
    before = np.float32(agc.gain_db)
    with Telemetry(1 << 16) as tlm:
        tlm.attach(agc, prefix="a")
        agc.steps(x)
        gains = tlm.demux(tlm.read())["a.gain_db"]
    updates = np.searchsorted(np.arange(agc.decim, len(x) + 1, agc.decim) - 1, np.arange(len(x)), side="right")
    return np.concatenate([[before], gains])[updates]


def configured(ref_db=0.0, decim=8, **settings):
    """A new AGC with these settings, as a block made with them starts."""
    agc = AGC(ref_db, settings.pop("loop_bw", 0.0025), settings.pop("alpha", 0.05))
    agc.decim = decim
    for name, value in settings.items():
        setattr(agc, name, value)
    agc.reset()  # the per-sample path's clip level too
    return agc


def bank_flowgraph(xs, bank, *, gains=0, block_max=0, source_max=0, tags=()):
    """Each row of xs into its input of the bank, with the tags paired with
    its channel in `tags`; returns the outputs, the gain outputs of the first
    `gains` channels and each output's tags."""
    tb = gr.top_block()
    outs = [blocks.vector_sink_c() for _ in xs]
    gain_sinks = [blocks.vector_sink_f() for _ in range(gains)]
    for c, x in enumerate(xs):
        src = blocks.vector_source_c(x, False, 1, [tag for channel, tag in tags if channel == c])
        if source_max:
            src.set_max_noutput_items(source_max)
        tb.connect(src, (bank, c))
        tb.connect((bank, c), outs[c])
    for c, sink in enumerate(gain_sinks):
        tb.connect((bank, len(xs) + c), sink)
    if block_max:
        bank.set_max_noutput_items(block_max)
    tb.run()
    return ([np.array(s.data(), np.complex64) for s in outs], [np.array(s.data(), np.float32) for s in gain_sinks],
            [s.tags() for s in outs])


def stream_tag(offset, key):
    tag = gr.tag_t()
    tag.offset, tag.key, tag.value = offset, pmt.intern(key), pmt.PMT_T
    return tag


class TestSameBitsWhateverTheScheduler:
    @pytest.mark.parametrize("schedule", SCHEDULES)
    @pytest.mark.parametrize("decim", [1, 8, 64])
    def test_agc_cc_equals_one_steps_call(self, decim, schedule):
        block_max, source_max, buffer = SCHEDULES[schedule]
        x = bursts(64 * 500)
        want, ref = whole_stream(x, decim)
        block = native.agc_cc(decim=decim)
        got, _ = run(x, block, block_max=block_max, source_max=source_max, buffer=buffer)
        assert same_bits(got, want) and block.state() == ref.get_state()
        assert block.gain_db() == ref.gain_db

    @pytest.mark.parametrize("decim", [0, 3, 8])
    def test_a_stream_that_ends_mid_chunk(self, decim):
        x = bursts(10_007)
        want, ref = whole_stream(x[:len(x) - len(x) % max(decim, 1)], decim)
        block = native.agc_cc(decim=decim)
        got, _ = run(x, block, block_max=97, source_max=13)
        complete = len(want)
        assert len(got) == len(x) and same_bits(got[:complete], want)
        ref.stream(x[complete:])
        assert block.state() == ref.get_state()  # the pending chunk too

    @pytest.mark.parametrize("channels", [1, 5, 8, 9])
    @pytest.mark.parametrize("schedule", ["default", "7 items per call", "source in 37s, block up to 1023"])
    @pytest.mark.parametrize("preset", ["", "burst"])
    def test_agc_bank_cc_equals_agc_bank(self, channels, schedule, preset):
        """With the burst preset and a gate on top (set before the first sample), too."""
        block_max, source_max, _ = SCHEDULES[schedule]
        xs = np.stack([bursts(8 * 1000 + 5, seed=c) for c in range(channels)])
        ref = AGCBank.from_preset(channels, preset, ref_db=-3.0, gate_db=-70.0) if preset else AGCBank(channels, -3.0)
        want = ref.stream(xs)
        bank = native.agc_bank_cc(channels, ref_db=-3.0, preset=preset)
        if preset:
            bank.set_gate_db(-70.0)
        got, _, _ = bank_flowgraph(xs, bank, block_max=block_max, source_max=source_max)
        complete = 8 * 1000
        for c in range(channels):
            assert same_bits(got[c][:complete], want[c][:complete]), c
            assert bank.state(c) == ref.get_state(c) and bank.gain_db(c) == ref.gain_db[c]
        assert bank.channels() == channels

    def test_every_setting_reaches_the_loop(self):
        settings = dict(ref_db=-6.0, loop_bw=0.01, alpha=0.2, decim=16, acquire=True, clip_db=3.0, **BURSTS)
        x = bursts(16 * 600)
        ref = configured(**settings)
        block = native.agc_cc(**settings)
        assert {name: getattr(block, name)() for name in settings} == settings
        got, _ = run(x, block, block_max=100)
        assert same_bits(got, ref.steps(x)) and block.state() == ref.get_state()


class TestSettings:
    def test_defaults_are_the_python_blocks_and_the_agcs(self):
        """The native defaults (C++) against quorvel.gnuradio.agc_cc's and a fresh AGC's (Python, the core)."""
        import inspect

        python_block = inspect.signature(quorvel.gnuradio.agc_cc).parameters
        fresh = AGC()
        for block in (native.agc_cc(), native.agc_bank_cc(2)):
            for name in LOOP_SETTINGS + ["tag_every"]:
                assert getattr(block, name)() == python_block[name].default, name
            for name in LOOP_SETTINGS:
                assert getattr(block, name)() == getattr(fresh, name), name
            assert (block.initial_gain_db(), block.reset_tag(), block.preset()) == (0.0, "", "")
        assert fresh.gain_db == 0.0

    def test_presets_are_the_agc_modules(self):
        assert PRESETS  # one table for both sides: these are the names and settings the blocks know
        for name, preset in PRESETS.items():
            for block in (native.agc_cc(preset=name), native.agc_bank_cc(3, loop_bw=1.0, preset=name)):
                assert {key: getattr(block, key)() for key in preset} == preset and block.preset() == name
        x = bursts(8 * 700)
        got, _ = run(x, native.agc_cc(loop_bw=0.3, max_gain_db=1.0, preset="burst"), block_max=333)
        assert same_bits(got, AGC.from_preset("burst").steps(x))

    def test_unknown_presets_and_bad_values_are_refused(self):
        block = native.agc_cc()
        with pytest.raises(ValueError, match="unknown preset 'fast'; the presets: burst"):
            block.set_preset("fast")
        with pytest.raises(ValueError, match="unknown preset"):
            native.agc_bank_cc(2, preset="fast")
        for name, bad, message in [("decim", -1, "decim must be 0 or more, got -1"),
                                   ("tag_every", -5, "tag_every must be 0 or more, got -5"),
                                   ("initial_gain_db", math.nan, "initial_gain_db must be finite"),
                                   ("initial_gain_db", math.inf, "initial_gain_db must be finite")]:
            with pytest.raises(ValueError, match=message):
                getattr(block, f"set_{name}")(bad)
            with pytest.raises(ValueError, match=message):
                native.agc_cc(**{name: bad})
        assert (block.decim(), block.tag_every(), block.initial_gain_db(), block.preset()) == (8, 0, 0.0, "")
        for channels in (0, 1025, 2**40):
            with pytest.raises(ValueError, match=f"channels must be between 1 and 1024, got {channels}"):
                native.agc_bank_cc(channels)
        with pytest.raises(IndexError, match="channel 2 of a bank of 2"):
            native.agc_bank_cc(2).gain_db(2)
        with pytest.raises(IndexError):
            native.agc_bank_cc(2).state(5)

    def test_a_change_acts_from_the_next_work_call(self):
        """A block run in two flowgraphs, its settings changed in between: the
        stream goes on, its chunk grid too, under the new settings."""
        x = bursts(9001)
        block = native.agc_cc()
        first, _ = run(x[:4003], block, block_max=500)
        block.set_ref_db(-10.0)
        block.set_decim(5)
        block.set_acquire(True)
        block.set_clip_db(-12.0)
        for name, value in BURSTS.items():
            getattr(block, f"set_{name}")(value)
        second, _ = run(x[4003:], block, block_max=77)
        ref = AGC()
        want = [ref.stream(x[:4003])]
        ref.ref_db, ref.decim, ref.acquire, ref.clip_db = -10.0, 5, True, -12.0
        for name, value in BURSTS.items():
            setattr(ref, name, value)
        want.append(ref.stream(x[4003:]))
        assert same_bits(np.concatenate([first, second]), np.concatenate(want))
        assert block.state() == ref.get_state()

    def test_settings_set_before_the_first_sample_are_those_of_a_new_block(self):
        """Before any sample, the loop starts afresh under the settings (the
        detector on the new reference, the initial gain)."""
        x = bursts(8 * 500)
        block = native.agc_cc()
        block.set_ref_db(-20.0)
        block.set_initial_gain_db(15.0)
        made = native.agc_cc(ref_db=-20.0, initial_gain_db=15.0)
        assert block.state() == made.state()
        assert same_bits(run(x, block)[0], run(x, made)[0])

    def test_setters_from_another_thread_while_it_runs(self):
        """Callbacks come from another thread: a stream of changes during a run
        neither stops nor corrupts it, and the last values stand."""
        block = native.agc_cc(tag_every=1000, reset_tag="burst")
        tb = gr.top_block()
        sink = blocks.vector_sink_c()
        tb.connect(blocks.vector_source_c(bursts(1 << 16), True), blocks.head(gr.sizeof_gr_complex, 1 << 21), block,
                   sink)
        done = threading.Event()

        def changes():
            k = 0
            while not done.is_set():
                k += 1
                block.set_ref_db(-float(k % 20))
                block.set_decim(1 + k % 17)
                block.set_preset("burst" if k % 3 else "")
                block.set_reset_tag(f"key{k % 5}")
                block.set_tag_every(k % 2000)
                block.gain_db()

        thread = threading.Thread(target=changes)
        thread.start()
        try:
            tb.run()
        finally:
            done.set()
            thread.join()
        got = np.array(sink.data(), np.complex64)
        assert len(got) == 1 << 21 and np.all(np.isfinite(got))
        assert math.isfinite(block.gain_db()) and block.reset_tag().startswith("key")


class TestGainOutputAndTags:
    @pytest.mark.parametrize("decim", [1, 8, 13])
    @pytest.mark.parametrize("schedule", ["default", "7 items per call", "source in 37s, block up to 1023"])
    def test_gain_output_is_the_command_after_each_sample(self, decim, schedule):
        block_max, source_max, _ = SCHEDULES[schedule]
        x = bursts(decim * 3000)
        block = native.agc_cc(decim=decim)
        tb = gr.top_block()
        src, out, gain = blocks.vector_source_c(x), blocks.vector_sink_c(), blocks.vector_sink_f()
        if source_max:
            src.set_max_noutput_items(source_max)
        if block_max:
            block.set_max_noutput_items(block_max)
        tb.connect(src, block, out)
        tb.connect((block, 1), gain)
        tb.run()
        want = gain_output(x, configured(decim=decim))
        assert same_bits(np.array(out.data(), np.complex64), whole_stream(x, decim)[0])
        assert same_bits(np.array(gain.data(), np.float32), want)

    def test_bank_gain_outputs_of_the_first_channels(self):
        xs = np.stack([bursts(8 * 2000, seed=c) for c in range(6)])
        bank = native.agc_bank_cc(6, ref_db=-3.0)
        got, gains, _ = bank_flowgraph(xs, bank, gains=4, block_max=999)
        assert len(gains) == 4
        for c in range(4):
            assert same_bits(gains[c], gain_output(xs[c], configured(-3.0))), c

    def test_gain_outputs_beyond_one_telemetry_context(self):
        """35 gain outputs at decim 1: two rings (32 channels each at most), an
        update per sample."""
        xs = np.stack([bursts(3001, seed=c) for c in range(40)])
        bank = native.agc_bank_cc(40, decim=1)
        got, gains, _ = bank_flowgraph(xs, bank, gains=35, block_max=4000)
        for c in (0, 31, 32, 34):
            assert same_bits(gains[c], gain_output(xs[c], configured(decim=1))), c
            assert same_bits(got[c], configured(decim=1).steps(xs[c])), c

    def test_gain_tags_carry_the_gain_of_the_chunk_they_end(self):
        x, decim, every, block_max = bursts(40_000), 8, 1000, 333
        _, tags = run(x, native.agc_cc(decim=decim, tag_every=every), block_max=block_max)
        offsets = [t.offset for t in tags]
        assert [str(t.key) for t in tags] == ["gain_db"] * len(tags) and len(tags) >= 25
        assert all((t + 1) % decim == 0 for t in offsets)
        gaps = np.diff([-1] + offsets)
        assert gaps.min() >= every and gaps.max() <= every + block_max + decim
        for tag in tags:
            assert pmt.to_double(tag.value) == whole_stream(x[:tag.offset + 1], decim)[1].gain_db

    def test_input_tags_reach_their_channels_outputs_only(self):
        xs = np.stack([bursts(3000, seed=c) for c in range(3)])
        tags = [(0, stream_tag(10, "rx")), (2, stream_tag(20, "rx")), (2, stream_tag(30, "other"))]
        _, _, out_tags = bank_flowgraph(xs, native.agc_bank_cc(3), gains=3, tags=tags)
        assert [[(t.offset, str(t.key)) for t in channel] for channel in out_tags] == \
            [[(10, "rx")], [], [(20, "rx"), (30, "other")]]


class TestResetTags:
    def test_from_a_reset_tag_on_the_output_is_a_new_blocks(self):
        """Tags at 1,001 (mid-chunk) and 3,000: each segment, on its complete
        chunks, is a fresh loop's at the initial gain over the samples from the tag."""
        x, decim = bursts(7000), 8
        cuts = [0, 1001, 3000, 7000]
        start = native.agc_cc(initial_gain_db=20.0, reset_tag="rx_sob").state()
        assert struct.unpack_from("<d", start, GAIN_DB_OFFSET)[0] == 20.0
        assert struct.unpack_from("<d", start, G_LAST_OFFSET)[0] == pytest.approx(10.0, rel=1e-5)  # the loop's fast 2^x
        for block_max in (0, 7, 500):
            src = blocks.vector_source_c(x, False, 1, [stream_tag(1001, "rx_sob"), stream_tag(3000, "rx_sob"),
                                                      stream_tag(3000, "rx_sob"), stream_tag(5000, "other")])
            block, sink = native.agc_cc(initial_gain_db=20.0, reset_tag="rx_sob"), blocks.vector_sink_c()
            gain = blocks.vector_sink_f()
            if block_max:
                block.set_max_noutput_items(block_max)
            tb = gr.top_block()
            tb.connect(src, block, sink)
            tb.connect((block, 1), gain)
            tb.run()
            got, gains = np.array(sink.data(), np.complex64), np.array(gain.data(), np.float32)
            for a, b in zip(cuts, cuts[1:]):
                complete = a + (b - a) // decim * decim
                assert same_bits(got[a:complete], fresh_agc(start).steps(x[a:complete])), (block_max, a)
                assert same_bits(gains[a:complete], gain_output(x[a:complete], fresh_agc(start))), (block_max, a)
            assert [t.offset for t in sink.tags()] == [1001, 3000, 3000, 5000]

    def test_a_reset_tag_restarts_its_channel_of_a_bank_alone(self):
        xs = np.stack([bursts(8 * 900, seed=c) for c in range(5)])
        bank = native.agc_bank_cc(5, reset_tag="burst")
        got, _, _ = bank_flowgraph(xs, bank, tags=[(1, stream_tag(2405, "burst"))], block_max=1000)
        rows = AGCBank(5).steps(xs)
        fresh = native.agc_bank_cc(5).state(0)
        for c in (0, 2, 3, 4):
            assert same_bits(got[c], rows[c]), c
        assert same_bits(got[1][:2400], rows[1][:2400])
        after = fresh_agc(fresh).steps(xs[1][2405:])
        complete = (len(after) // 8) * 8
        assert same_bits(got[1][2405:2405 + complete], after[:complete])

    def test_without_a_key_tags_reset_nothing(self):
        x = bursts(4000)
        src = blocks.vector_source_c(x, False, 1, [stream_tag(100, "rx_sob")])
        block, sink = native.agc_cc(), blocks.vector_sink_c()
        tb = gr.top_block()
        tb.connect(src, block, sink)
        tb.run()
        assert same_bits(np.array(sink.data(), np.complex64), AGC().steps(x))


def native_paths():
    """Where GNU Radio Companion finds the installed blocks, and the Python
    directory the generated scripts import them from."""
    module = pathlib.Path(native.__file__).resolve()
    python_dir = module.parents[2]
    for prefix in module.parents:
        grc = prefix / "share" / "gnuradio" / "grc" / "blocks"
        if (grc / "quorvel_agc_cc.block.yml").exists():
            return grc, python_dir
    raise AssertionError(f"no share/gnuradio/grc/blocks with the blocks above {module}")


@pytest.fixture
def companion_env():
    grc, python_dir = native_paths()
    paths = [os.fspath(grc), os.environ.get("GRC_BLOCKS_PATH", "")]
    return dict(os.environ, GRC_BLOCKS_PATH=os.pathsep.join(filter(None, paths)),
                PYTHONPATH=os.pathsep.join(filter(None, [os.fspath(python_dir), os.environ.get("PYTHONPATH", "")])))


class TestCompanion:
    def test_definitions_follow_the_blocks(self):
        """Every setting of a block is a parameter with its default and a
        callback in the block's definition, and the make template names them all."""
        grc, _ = native_paths()
        for kind, made in [("quorvel_agc_cc", native.agc_cc()), ("quorvel_agc_bank_cc", native.agc_bank_cc(2))]:
            definition = yaml.safe_load((grc / f"{kind}.block.yml").read_text())
            parameters = {p["id"]: p for p in definition["parameters"]}
            setters = sorted(name[4:] for name in dir(made) if name.startswith("set_") and name[4:] in parameters)
            assert setters == sorted(set(parameters) - {"channels", "gain_output", "gain_outputs"})
            assert sorted(definition["templates"]["callbacks"]) == sorted(f"set_{n}(${{{n}}})" for n in setters)
            for name in setters:
                assert f"{name}=${{{name}}}" in definition["templates"]["make"]
                assert eval(parameters[name]["default"]) == getattr(made, name)(), (kind, name)
            assert definition["category"] == "[quorvel]"

    def test_grcc_compiles_a_flowgraph_of_both_blocks_and_it_runs(self, tmp_path, companion_env):
        """A constant 20 dB over the reference through each block (a preset, a
        reset key, gain outputs): the generated script runs and writes the
        bits quorvel.agc gives."""
        import subprocess
        import sys

        n = 16_000
        files = {k: tmp_path / f"{k}.bin" for k in ("agc", "gain", "bank0", "bank1", "bank_gain0", "bank_gain1")}
        sinks = [block(f"sink_{k}", "blocks_file_sink", type="float" if "gain" in k else "complex", file=repr(str(f)),
                       vlen=1, unbuffered="False", append="False") for k, f in files.items()]
        script = compile_flowgraph(tmp_path, "both_blocks", [
            block("src", "blocks_vector_source_x", type="complex", vector="(10+0j,) * 16000", repeat="False",
                  tags="[]", vlen=1),
            block("agc", "quorvel_agc_cc", preset='"burst"', ref_db="-1.5", gain_output="True"),
            block("bank", "quorvel_agc_bank_cc", channels=2, ref_db="-1.5", reset_tag='"rx_sob"',
                  gain_outputs="True"),
            *sinks,
        ], [("src", 0, "agc", 0), ("agc", 0, "sink_agc", 0), ("agc", 1, "sink_gain", 0),
            ("src", 0, "bank", 0), ("src", 0, "bank", 1), ("bank", 0, "sink_bank0", 0), ("bank", 1, "sink_bank1", 0),
            ("bank", 2, "sink_bank_gain0", 0), ("bank", 3, "sink_bank_gain1", 0)], env=companion_env)
        result = subprocess.run([sys.executable, "-u", str(script)], env=companion_env, capture_output=True,
                                text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        x = np.full(n, 10 + 0j, np.complex64)
        burst = dict(PRESETS["burst"])
        assert same_bits(np.fromfile(files["agc"], np.complex64), configured(-1.5, **burst).steps(x))
        assert same_bits(np.fromfile(files["gain"], np.float32), gain_output(x, configured(-1.5, **burst)))
        for c in (0, 1):
            assert same_bits(np.fromfile(files[f"bank{c}"], np.complex64), AGC(-1.5).steps(x))
            assert same_bits(np.fromfile(files[f"bank_gain{c}"], np.float32), gain_output(x, configured(-1.5)))

    def test_a_callback_during_a_run_moves_the_level(self, tmp_path, companion_env):
        """The flowgraph's variable ref feeds ref_db of both blocks; setting it
        from another thread while the flowgraph runs (a GUI's slider does the
        same) moves both output levels."""
        script = compile_flowgraph(tmp_path, "slider", [
            block("ref", "variable", value="0.0"),
            block("src", "analog_sig_source_x", type="complex", samp_rate=32000, waveform="analog.GR_COS_WAVE",
                  freq=1000, amp=0.1, offset=0, phase=0),
            block("agc", "quorvel_agc_cc", ref_db="ref"),
            block("bank", "quorvel_agc_bank_cc", channels=2, ref_db="ref"),
            *[block(f"level{k}", "analog_probe_avg_mag_sqrd_x", type="c", alpha=0.001, threshold=0) for k in range(3)],
        ], [("src", 0, "agc", 0), ("agc", 0, "level0", 0), ("src", 0, "bank", 0), ("src", 0, "bank", 1),
            ("bank", 0, "level1", 0), ("bank", 1, "level2", 0)], env=companion_env)
        tb = load_top_block(script)()
        levels = [tb.level0, tb.level1, tb.level2]

        def settle_at(db):
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                if all(abs(10 * math.log10(max(p.level(), 1e-30)) - db) < 0.1 for p in levels):
                    return True
                time.sleep(0.05)
            return False

        tb.start()
        try:
            assert settle_at(0.0)
            slider = threading.Thread(target=tb.set_ref, args=(-20.0,))
            slider.start()
            slider.join()
            assert settle_at(-20.0)
            assert (tb.agc.ref_db(), tb.bank.ref_db()) == (-20.0, -20.0)
        finally:
            tb.stop()
            tb.wait()

    def test_readme_example_runs(self, tmp_path, companion_env):
        import subprocess
        import sys

        readme = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text()
        script = readme.split("<!-- native blocks example -->\n```python\n", 1)[1].split("```", 1)[0]
        result = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, env=companion_env, capture_output=True,
                                text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        y = np.fromfile(tmp_path / "levelled.cf32", np.complex64)
        assert len(y) == 1 << 20 and 10 * np.log10(np.mean(np.abs(y[-4096:]) ** 2)) == pytest.approx(-6.0, abs=0.1)
        assert float(result.stdout) == pytest.approx(-6.0 - 10 * np.log10(0.01), abs=0.1)  # a 0.1 tone to -6 dB
