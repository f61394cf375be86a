"""Argument errors name no quorvel function: no argument format carries a
':name' suffix, so the interpreter words each as for a function without a
name (``steps()`` or ``AGC()`` never appear, whatever its version's
wording). One row per parse site."""

import re

import pytest

from quorvel import agc, arith, interp, util

# (call, what the interpreter reports on Python 3.11)
ROWS = [
    (lambda: util.square_clip(1), "function missing required argument 'lin' (pos 2)"),
    (lambda: util.next_pow_two(), "function missing required argument 'n' (pos 1)"),
    (lambda: util.saturate(1, 2, 3), "function missing required argument 'nan_to' (pos 4)"),
    (lambda: util.ema_step(1, 2), "function missing required argument 'alpha' (pos 3)"),
    (lambda: util.ema_alpha_decim(0.5), "function missing required argument 'd' (pos 2)"),
    (lambda: arith.add_q15([1]), "function missing required argument 'b' (pos 2)"),
    (lambda: arith.dot_q8([1]), "function missing required argument 'b' (pos 2)"),
    (lambda: arith.shl_i64([1]), "function missing required argument 'n' (pos 2)"),
    (lambda: arith.AccQ15(1, 2), "function takes at most 1 argument (2 given)"),
    (lambda: arith.AccQ8(1, 2), "function takes at most 1 argument (2 given)"),
    (lambda: arith.AccQ15().step(), "function takes exactly 1 argument (0 given)"),
    (lambda: arith.AccQ8().steps(), "function takes exactly 1 argument (0 given)"),
    (lambda: arith.AccQ15().set_acc(), "function takes exactly 1 argument (0 given)"),
    (lambda: arith.AccQ8().set_acc(1, 2), "function takes exactly 1 argument (2 given)"),
    (lambda: arith.AccQ8().madd([1]), "function takes exactly 2 arguments (1 given)"),
    (lambda: agc.AGC(1, 2, 3, 4), "function takes at most 3 arguments (4 given)"),
    (lambda: agc.AGC(bad=1), "'bad' is an invalid keyword argument for this function"),
    (lambda: agc.AGC().step(), "function takes exactly 1 argument (0 given)"),
    (lambda: agc.AGC().steps(), "function missing required argument 'x' (pos 1)"),
    (lambda: agc.AGC().stream(), "function missing required argument 'x' (pos 1)"),
    (lambda: agc.AGC().set_telemetry(None), "function missing required argument 'prefix' (pos 2)"),
    (lambda: agc.AGCBank(), "function missing required argument 'channels' (pos 1)"),
    (lambda: agc.AGCBank(2).steps(), "function missing required argument 'x' (pos 1)"),
    (lambda: agc.AGCBank(2).stream(), "function missing required argument 'x' (pos 1)"),
    (lambda: agc.AGCBank(2).set_telemetry(None), "function missing required argument 'prefix' (pos 2)"),
    (lambda: agc.AGCBank(2).get_state(), "function takes exactly 1 argument (0 given)"),
    (lambda: agc.AGCBank(2).state_bytes(0, 1), "function takes exactly 1 argument (2 given)"),
    (lambda: agc.AGCBank(2).set_state(0), "function takes exactly 2 arguments (1 given)"),
    (lambda: agc.settling_samples(1, 2, 3), "function missing required argument 'tol_db' (pos 4)"),
    (lambda: agc.AGC.from_preset(), "function takes exactly 1 argument (0 given)"),
    (lambda: agc.AGCBank.from_preset(2), "function takes exactly 2 arguments (1 given)"),
    (lambda: interp.InterpolatedTable(), "function missing required argument 'table' (pos 1)"),
    (lambda: interp.InterpolatedTable([1]).execute(), "function missing required argument 'x' (pos 1)"),
]


@pytest.mark.parametrize("call, message", ROWS, ids=[m for _, m in ROWS])
def test_parse_errors_name_no_function(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert "argument" in str(err.value) and not re.search(r"\w\(\)", str(err.value)), str(err.value)
