"""An argument whose conversion destroys the object it is passed to: the
call finds the object destroyed and says so, and never runs on the freed
record (which crashed or quietly wrote into freed memory)."""

import numpy as np
import pytest

from quorvel.agc import AGC, AGCBank
from quorvel.arith import AccQ15, AccQ8
from quorvel.interp import InterpolatedTable
from quorvel.telemetry import Telemetry


class Destroying:
    """Converts to `value` as any kind of argument, destroying `target` first."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def _destroy(self):
        self.target.destroy()
        return self.value

    def __float__(self):
        return float(self._destroy())

    def __index__(self):
        return int(self._destroy())

    def __complex__(self):
        return complex(self._destroy())

    def __bool__(self):
        return bool(self._destroy())

    def __array__(self, dtype=None, copy=None):
        return np.asarray(self._destroy())

    @property
    def _capsule(self):  # a telemetry context, as set_telemetry reads it
        return self._destroy()._capsule


def block(shape, dtype=np.complex64):
    return np.ones(shape, dtype)


# (type, make, call(obj, argument), the value the argument converts to)
CALLS = [
    ("AGC.step", AGC, lambda o, a: o.step(a), 1 + 0j),
    ("AGC.steps", AGC, lambda o, a: o.steps(a), block(4096)),
    ("AGC.stream", AGC, lambda o, a: o.stream(a, out=np.empty(4096, np.complex64)), block(4096)),
    ("AGC.ref_db", AGC, lambda o, a: setattr(o, "ref_db", a), 1.0),
    ("AGC.acquire", AGC, lambda o, a: setattr(o, "acquire", a), True),
    ("AGCBank.steps", lambda: AGCBank(2), lambda o, a: o.steps(a), block((2, 4096))),
    ("AGCBank.clip_db", lambda: AGCBank(2), lambda o, a: setattr(o, "clip_db", a), 3.0),
    ("AGCBank.acquire", lambda: AGCBank(2), lambda o, a: setattr(o, "acquire", a), True),
    ("AGCBank.get_state", lambda: AGCBank(2), lambda o, a: o.get_state(a), 1),
    ("AccQ15.step", AccQ15, lambda o, a: o.step(a), 3),
    ("AccQ15.steps", AccQ15, lambda o, a: o.steps(a), block(4096, np.int16)),
    ("AccQ8.set_acc", AccQ8, lambda o, a: o.set_acc(a), 5),
    ("AccQ8.madd", AccQ8, lambda o, a: o.madd(a, block(4096, np.int8)), block(4096, np.int8)),
    ("InterpolatedTable.execute", lambda: InterpolatedTable([1, 2j, 3]), lambda o, a: o.execute(a),
     np.linspace(0, 9, 4096)),
]


@pytest.mark.parametrize("make, call, value", [row[1:] for row in CALLS], ids=[row[0] for row in CALLS])
def test_a_conversion_that_destroys_the_object_reports_it(make, call, value):
    obj = make()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        call(obj, Destroying(obj, value))
    with pytest.raises(RuntimeError, match="^destroyed$"):
        obj.reset()


@pytest.mark.parametrize("make", [AGC, lambda: AGCBank(2)], ids=["AGC", "AGCBank"])
def test_a_telemetry_context_that_destroys_the_object_reports_it(make):
    tlm = Telemetry(1024)
    obj = make()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        obj.set_telemetry(Destroying(obj, tlm), "rx")
    assert tlm.probe_names == ()  # nothing was attached to the freed record
    tlm.close()
