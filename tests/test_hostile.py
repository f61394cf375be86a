"""Every function and method, fed hostile arguments in every position: only
Python exceptions come back, objects keep their state, references balance."""

import itertools
import math
import sys

import numpy as np
import pytest

from quorvel import agc, arith, interp, util


def hostile_values():
    readonly = np.arange(6, dtype=np.int16)
    readonly.flags.writeable = False
    return [
        None, "x", b"\x00" * 24, -1, 0, 2**31, 2**64, -2**63 - 1, 1e308, math.nan, -math.inf, 1 + 2j,
        object(), [1, 2], [[1], [2, 3]], np.array(0), np.zeros(0), np.zeros((2, 3)),
        np.arange(20, dtype=np.int16)[::3], readonly, np.zeros(5, np.complex64), np.zeros(5, np.complex128),
        np.full(4, np.nan), np.zeros(3, ">i2"), np.zeros((0, 4), np.int8),
    ]


def counted(values):
    """The values whose reference counts nothing else touches meanwhile."""
    return [v for v in values if isinstance(v, (np.ndarray, list)) or type(v) is object]


def objects():
    yield "AccQ15", arith.AccQ15(5)
    yield "AccQ8", arith.AccQ8(5)
    yield "InterpolatedTable", interp.InterpolatedTable([1, 2j, 3])
    yield "AGC", agc.AGC()
    yield "AGCBank", agc.AGCBank(2)


def snapshot(obj):
    """The object's state blobs (one per channel of a bank), or None."""
    if isinstance(obj, agc.AGCBank):
        return [obj.get_state(c) for c in range(obj.channels)]
    return obj.get_state() if hasattr(obj, "get_state") else None


# Arguments that would legitimately run for a very long time are left out:
# settling_samples runs about 16/loop_bw loop steps by design.
SKIP = {("agc", "settling_samples")}


def module_functions():
    for module in (util, arith, agc):
        for name in dir(module):
            func = getattr(module, name)
            if callable(func) and not isinstance(func, type) and not name.startswith("_"):
                if (module.__name__.split(".")[-1], name) not in SKIP:
                    yield f"{module.__name__}.{name}", func


def call_all_ways(func, values, arity=3):
    """Calls func with every combination of up to `arity` hostile positional arguments
    (a sample of them for three) and one keyword; returns how many calls raised."""
    raised = 0
    combos = [()] + [(v,) for v in values] + list(itertools.product(values, repeat=2))
    combos += list(itertools.product(values[:8], repeat=3))
    for args in combos:
        try:
            func(*args)
        except Exception:
            raised += 1
    try:
        func(bogus_keyword=1)
    except TypeError:
        raised += 1
    return raised


@pytest.mark.parametrize("name, func", list(module_functions()), ids=lambda v: v if isinstance(v, str) else "")
def test_module_functions_survive_hostile_arguments(name, func):
    values = hostile_values()
    before = [sys.getrefcount(v) for v in counted(values)]
    assert call_all_ways(func, values) > 0
    assert [sys.getrefcount(v) for v in counted(values)] == before


@pytest.mark.filterwarnings("ignore:overflow encountered in cast")
@pytest.mark.parametrize("type_name, obj", list(objects()), ids=lambda v: v if isinstance(v, str) else "")
def test_methods_survive_hostile_arguments_and_keep_state(type_name, obj):
    values = hostile_values()
    for name in dir(obj):
        if name.startswith("__") and name not in ("__enter__",) or name in ("destroy", "reset"):
            continue
        method = getattr(obj, name)
        if not callable(method):
            continue
        before = [sys.getrefcount(v) for v in counted(values)]
        state = snapshot(obj)
        call_all_ways(method, values)
        assert [sys.getrefcount(v) for v in counted(values)] == before, name
        if name == "set_state":
            assert snapshot(obj) == state
    # Properties: hostile assignments either store a converted value or raise.
    for name in [n for n, v in vars(type(obj)).items() if type(v).__name__ == "getset_descriptor"]:
        for value in values:
            try:
                setattr(obj, name, value)
            except (TypeError, AttributeError, OverflowError, ValueError):
                pass
            getattr(obj, name)
    if type_name in ("AGC", "AGCBank"):
        obj.reset()
        shape = (2, 100) if type_name == "AGCBank" else (100,)
        y = obj.steps(np.ones(shape, np.complex64))    # whatever the properties now hold
        assert y.shape == shape
    obj.destroy()
