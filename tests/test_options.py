"""The AGC options: every face offers every option of the AGC with its
default, checks each where it is given, and levels exactly as an AGC (or
an AGCBank) with the same settings."""

import inspect
import json
import math

import numpy as np
import pytest

from quorvel import batch, cli, iqfile
from quorvel.agc import AGC, AGCBank
from quorvel.formats import sample_format
from quorvel.iqfile import UsageError, level_file, level_recording

from helpers import one_line, quorvel, recording, reference

# Settings far from the defaults: the clip level bites, the acquisition mode is on, the ceiling, the
# gate and the fast attack act.
SETTINGS = dict(ref_db=-4.0, loop_bw=0.004, alpha=0.2, decim=5, acquire=True, clip_db=-6.5, max_gain_db=30.0,
                gate_db=-50.0, attack_db=8.0)
FLAGS = ["--ref-db", "-4", "--loop-bw", "0.004", "--alpha", "0.2", "--decim", "5", "--acquire", "--clip-db", "-6.5",
         "--max-gain-db", "30", "--gate-db", "-50", "--attack-db", "8"]
NAMES = ["ref_db", "loop_bw", "alpha", "decim", "acquire", "clip_db", "max_gain_db", "gate_db", "attack_db"]


def test_every_function_offers_every_setting_of_the_agc_with_its_default():
    fresh = AGC()
    for function in (level_file, level_recording, batch.level_files):
        parameters = inspect.signature(function).parameters
        assert {name: parameters[name].default for name in NAMES} == {name: getattr(fresh, name) for name in NAMES}
        assert all(parameters[name].kind is inspect.Parameter.KEYWORD_ONLY for name in NAMES), function
        assert all(f"{name} : " in function.__doc__ for name in NAMES if function is not level_recording)
    assert set(NAMES) <= set(batch.OPTIONS)
    helped = quorvel("agc", "--help", text=True).stdout
    assert all(f"--{name.replace('_', '-')}" in helped for name in NAMES)


def test_the_functions_the_command_and_the_bank_level_as_the_agc_does(tmp_path):
    x = recording(tmp_path / "in.cf32", 20_003)
    want = reference(x, **SETTINGS).tobytes()
    assert level_file(tmp_path / "in.cf32", tmp_path / "f.cf32", block=999, **SETTINGS) == len(x)
    assert cli.main(["agc", str(tmp_path / "in.cf32"), str(tmp_path / "c.cf32"), "--block", "777", *FLAGS]) == 0
    assert (tmp_path / "f.cf32").read_bytes() == (tmp_path / "c.cf32").read_bytes() == want
    parts = np.abs(np.frombuffer(want, np.float32))
    assert np.count_nonzero(parts == parts.max()) > 1000 and parts.max() < 0.48  # clipped at -6.5 dB
    # Three channels, each as a row of a bank with the same settings.
    rows = np.stack([recording(tmp_path / f"r{c}.cf32", 8_000, seed=c) for c in range(3)])
    (tmp_path / "wide.sigmf-data").write_bytes(rows.T.astype("<c8").tobytes())
    (tmp_path / "wide.sigmf-meta").write_text(json.dumps({"global": {
        "core:datatype": "cf32_le", "core:version": "1.2.0", "core:num_channels": 3},
        "captures": [{"core:sample_start": 0}], "annotations": []}))
    reads: list = []
    done = level_recording(tmp_path / "wide.sigmf-meta", tmp_path / "w.cf32", block=3000,
                           progress=lambda got, total: reads.append(got), **SETTINGS)
    per_channel = -(-1000 // SETTINGS["decim"]) * SETTINGS["decim"]  # block counts every channel's samples
    assert reads[0] == per_channel * 3 * 8
    bank = AGCBank(3, SETTINGS["ref_db"], SETTINGS["loop_bw"], SETTINGS["alpha"])
    for name in NAMES[3:]:
        setattr(bank, name, SETTINGS[name])
    assert (tmp_path / "w.cf32").read_bytes() == bank.steps(rows.astype(np.complex64)).T.tobytes()
    assert done.gain_db == tuple(bank.gain_db)


@pytest.mark.parametrize("flag, text, message", [
    ("--alpha", "2", "argument --alpha: expected a number in (0, 1], got '2'"),
    ("--alpha", "0", "argument --alpha: expected a number in (0, 1], got '0'"),
    ("--alpha", "nan", "argument --alpha: expected a finite number, got 'nan'"),
    ("--loop-bw", "0", "argument --loop-bw: expected a positive number, got '0'"),
    ("--loop-bw", "inf", "argument --loop-bw: expected a finite number, got 'inf'"),
    ("--clip-db", "inf", "argument --clip-db: expected a finite number, got 'inf'"),
    ("--clip-db", "loud", "argument --clip-db: expected a finite number, got 'loud'"),
    ("--decim", "1.5", "argument --decim: expected a whole number from 1 to 2**64 - 1, got '1.5'"),
    ("--gate-db", "nan", "argument --gate-db: expected a number, inf or -inf, got 'nan'"),
    ("--max-gain-db", "high", "argument --max-gain-db: expected a number, inf or -inf, got 'high'"),
])
def test_the_command_checks_each_value_in_one_line(tmp_path, flag, text, message):
    recording(tmp_path / "in.cf32", 100)
    result = quorvel("agc", tmp_path / "in.cf32", tmp_path / "out.cf32", flag, text, text=True)
    assert result.returncode == 2 and one_line(result.stderr) == f"quorvel agc: error: {message} (see --help)"
    assert not (tmp_path / "out.cf32").exists()


@pytest.mark.parametrize("name, value, message", [
    ("alpha", 1.5, "alpha must be a number in (0, 1], got 1.5"),
    ("alpha", 0.0, "alpha must be a number in (0, 1], got 0.0"),
    ("loop_bw", -0.001, "loop_bw must be a positive finite number, got -0.001"),
    ("loop_bw", math.inf, "loop_bw must be a positive finite number, got inf"),
    ("ref_db", math.nan, "ref_db must be a finite number, got nan"),
    ("ref_db", 10 ** 400, "ref_db must be a finite number, got 1" + "0" * 400),
    ("clip_db", "3", "clip_db must be a finite number, got '3'"),
    ("acquire", "yes", "acquire must be True or False, got 'yes'"),
    ("decim", 2**64, "decim must be a whole number from 1 to 2**64 - 1, got 18446744073709551616"),
    ("attack_db", math.nan, "attack_db must be a number, inf or -inf (not NaN), got nan"),
])
def test_the_functions_check_each_value_before_anything_is_written(tmp_path, name, value, message):
    recording(tmp_path / "in.cf32", 100)
    for function, args in ((level_file, (tmp_path / "in.cf32", tmp_path / "out.cf32")),
                           (batch.level_files, ([tmp_path / "in.cf32"], tmp_path / "many"))):
        with pytest.raises(UsageError) as err:
            function(*args, **{name: value})
        assert str(err.value) == message
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.cf32"]


def test_numbers_of_any_kind_are_taken_and_calls_python_refuses_stay_refused(tmp_path):
    x = recording(tmp_path / "in.cf32", 3000)
    level_file(tmp_path / "in.cf32", tmp_path / "out.cf32", alpha=np.float32(0.25), decim=np.uint64(4),
               acquire=np.True_, out_scale=np.float32(0.5))
    assert (tmp_path / "out.cf32").read_bytes() == reference(x, decim=4, alpha=float(np.float32(0.25)),
                                                             acquire=True).tobytes()
    with pytest.raises(TypeError, match="integer"):
        level_file(tmp_path / "in.cf32", tmp_path / "out.cf32", decim=2.0)
    with pytest.raises(TypeError, match="unexpected keyword argument 'gain'"):
        level_file(tmp_path / "in.cf32", tmp_path / "out.cf32", gain=3)
    with pytest.raises(TypeError, match="positional"):
        level_file(tmp_path / "in.cf32", tmp_path / "out.cf32", 0.0)


def test_a_sigmf_output_records_every_setting(tmp_path):
    codes = np.random.default_rng(1).integers(0, 256, 2 * 4000).astype(np.uint8)
    (tmp_path / "in.cu8").write_bytes(codes.tobytes())
    assert cli.main(["agc", str(tmp_path / "in.cu8"), str(tmp_path / "out.sigmf-meta"), "--in-format", "cu8",
                     "--out-format", "ci8", *FLAGS]) == 0
    record = json.loads((tmp_path / "out.sigmf-meta").read_text())["global"]["quorvel:agc"]
    assert record == dict(SETTINGS, input_datatype="cu8", continued=False, output_scale=1.0)
    expected = sample_format("ci8").encode(reference(sample_format("cu8").decode(codes.tobytes()), **SETTINGS))
    assert (tmp_path / "out.sigmf-data").read_bytes() == bytes(expected)


def test_a_saved_state_carries_every_setting(tmp_path, capsys):
    x = recording(tmp_path / "whole.cf32", 12_000)
    x[:5000].tofile(tmp_path / "a.cf32")
    x[5000:].tofile(tmp_path / "b.cf32")
    state = str(tmp_path / "state")
    assert cli.main(["agc", str(tmp_path / "a.cf32"), str(tmp_path / "a.out"), *FLAGS, "--state-out", state]) == 0
    capsys.readouterr()
    for differing, message in ((["--acquire", "--clip-db", "120"], "clip_db -6.5"), ([], "acquire True, clip_db -6.5")):
        others = FLAGS[:8] + FLAGS[11:] + differing
        assert cli.main(["agc", str(tmp_path / "b.cf32"), str(tmp_path / "b.out"), *others, "--state-in", state]) == 2
        assert one_line(capsys.readouterr().err) == \
            f"quorvel: error: {state} continues a run with {message}: give the same options"
    assert cli.main(["agc", str(tmp_path / "b.cf32"), str(tmp_path / "b.out"), *FLAGS, "--state-in", state]) == 0
    assert (tmp_path / "a.out").read_bytes() + (tmp_path / "b.out").read_bytes() == reference(x, **SETTINGS).tobytes()


def test_the_command_opens_and_checks_its_input_once(tmp_path, monkeypatch):
    from quorvel._recordings import sigmf

    checked, made = [], []
    validate = sigmf._validate
    monkeypatch.setattr(sigmf, "_validate", lambda handle: checked.append(1) or validate(handle))
    init = iqfile.Source.__init__
    monkeypatch.setattr(iqfile.Source, "__init__", lambda self, *a, **k: made.append(1) or init(self, *a, **k))
    codes = np.random.default_rng(2).integers(-128, 128, 2 * 3000).astype(np.int8)
    (tmp_path / "in.sigmf-data").write_bytes(codes.tobytes())
    (tmp_path / "in.sigmf-meta").write_text(json.dumps({"global": {"core:datatype": "ci8", "core:version": "1.2.0"},
                                                        "captures": [{"core:sample_start": 0}], "annotations": []}))
    recording(tmp_path / "raw.cf32", 3000)
    for source in ("in.sigmf-meta", "raw.cf32"):
        checked.clear(), made.clear()
        assert cli.main(["agc", str(tmp_path / source), str(tmp_path / "out.cf32")]) == 0  # with its progress bar
        assert len(made) == 1 and len(checked) == (source.endswith("meta")), source


def test_a_preset_reaches_every_face_and_the_options_given_replace_its_values(tmp_path, capsys):
    x = recording(tmp_path / "in.cf32", 20_000)
    want = AGC.from_preset("burst", ref_db=-6.0, decim=4)
    expected = want.steps(x).tobytes()
    assert level_file(tmp_path / "in.cf32", tmp_path / "f.cf32", preset="burst", ref_db=-6.0, decim=4,
                      block=999) == len(x)
    assert cli.main(["agc", str(tmp_path / "in.cf32"), str(tmp_path / "c.sigmf-meta"), "--preset", "burst",
                     "--ref-db", "-6", "--decim", "4", "--state-out", str(tmp_path / "state")]) == 0
    summary = batch.level_files([tmp_path / "in.cf32"], tmp_path / "many", preset="burst", ref_db=-6.0, decim=4,
                                workers=1)
    assert summary.ok
    for out in ("f.cf32", "c.sigmf-data", "many/in.cf32"):
        assert (tmp_path / out).read_bytes() == expected, out
    # The record and the saved state carry the settings the preset resolved to.
    record = json.loads((tmp_path / "c.sigmf-meta").read_text())["global"]["quorvel:agc"]
    infinite = {name: float(record[name]) for name in NAMES if isinstance(record[name], str)}   # "inf" in JSON
    assert {**record, **infinite} == dict(input_datatype="cf32_le", continued=False,
                                          **{name: getattr(want, name) for name in NAMES})
    capsys.readouterr()
    args = ["agc", str(tmp_path / "in.cf32"), str(tmp_path / "d.cf32"), "--state-in", str(tmp_path / "state")]
    assert cli.main([*args, "--preset", "burst", "--ref-db", "-6", "--decim", "4", "-q"]) == 0
    assert cli.main([*args, "--ref-db", "-6", "--decim", "4"]) == 2                 # the preset's values differ
    assert "continues a run with loop_bw" in one_line(capsys.readouterr().err)
    # A switch turns off what the preset turns on.
    assert cli.main(["agc", str(tmp_path / "in.cf32"), str(tmp_path / "e.cf32"), "--preset", "burst",
                     "--no-acquire"]) == 0
    plain = AGC.from_preset("burst", acquire=False)
    assert (tmp_path / "e.cf32").read_bytes() == plain.steps(x).tobytes()


def test_a_misspelt_preset_is_one_clear_error(tmp_path):
    recording(tmp_path / "in.cf32", 100)
    message = "no preset named 'bursts'; the presets are 'burst'"
    result = quorvel("agc", tmp_path / "in.cf32", tmp_path / "out.cf32", "--preset", "bursts", text=True)
    assert result.returncode == 2 and one_line(result.stderr) == f"quorvel: error: {message}"
    for function, args in ((level_file, (tmp_path / "in.cf32", tmp_path / "out.cf32")),
                           (batch.level_files, ([tmp_path / "in.cf32"], tmp_path / "many"))):
        with pytest.raises(UsageError, match=f"^{message}$"):
            function(*args, preset="bursts")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.cf32"]
