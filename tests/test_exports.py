"""Each extension module exports exactly its C API and its PyInit_ function."""

import importlib
import shutil
import subprocess

import pytest

ARITH = [f"{op}_{fmt}" for fmt in ("q15", "q8") for op in ("add", "sub", "mul", "dot", "shl", "shr")]
ARITH += ["shl_i64", "shr_i64"]
ARITH += [f"acc_{w}_{op}" for w in ("q15", "q8") for op in (
    "create", "destroy", "reset", "state_bytes", "get_state", "set_state", "steps",
    "get_acc", "set_acc", "get", "dump", "madd")]

AGC = [f"agc_{op}" for op in ("create", "destroy", "reset", "get_applied_gain_db", "state_bytes",
                               "get_state", "set_state", "steps", "stream", "settling_samples", "settling_samples_flags",
                               "settling_samples_like", "set_telemetry")]
AGC += [f"agc_bank_{op}" for op in ("create", "destroy", "reset", "configure", "set_state", "steps", "stream",
                                    "steps_interleaved", "stream_rows", "set_telemetry")]
AGC += ["settling_samples"] + [f"qv_tlm_{op}" for op in (
    "create", "destroy", "probe", "probe_id", "set_decim", "probe_name", "probe_count", "probe_id_at",
    "capacity", "stamp", "set_stamp", "emit_checked", "avail", "read_max_out", "read", "block_bound",
    "dropped", "emitted", "stats", "demux_counts", "demux", "resize")]

EXPECTED = {
    "agc": AGC,
    "util": ["square_clip", "next_pow_two", "saturate", "ema_step", "ema_alpha_decim"],
    "arith": ARITH,
    "interp": [f"interp_table_{op}" for op in ("create", "destroy", "reset", "execute_max_out", "execute")],
}


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_exported_symbols(name):
    path = importlib.import_module(f"quorvel.{name}").__file__
    out = subprocess.run(["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.split()[1] in ("T", "W", "i")}
    assert symbols == set(EXPECTED[name]) | {f"PyInit_{name}"}
