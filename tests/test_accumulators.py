"""AccQ15 and AccQ8: register arithmetic, wrapping, parsing and state blobs."""

import numpy as np
import pytest

from quorvel.arith import AccQ8, AccQ15

# (type, sample dtype, register bits, blob size, magic)
ACCS = [(AccQ15, np.int16, 64, 24, b"AC15"), (AccQ8, np.int8, 32, 20, b"ACC8")]
IDS = ["AccQ15", "AccQ8"]


@pytest.fixture(params=ACCS, ids=IDS)
def acc_type(request):
    return request.param


def test_construction_and_reset(acc_type):
    cls = acc_type[0]
    assert cls().get_acc() == 0
    acc = cls(100)
    assert acc.get_acc() == acc.get() == 100
    assert acc.reset() is None and acc.get() == 0        # zero, not the initial value
    assert cls(acc=-7).get() == -7


def test_step_takes_the_low_bits_of_a_c_int():
    acc = AccQ15()
    acc.step(40000)
    assert acc.get() == -25536
    acc = AccQ8()
    acc.step(200)
    assert acc.get() == -56
    for cls in (AccQ15, AccQ8):
        with pytest.raises(OverflowError):
            cls().step(2**36)
        with pytest.raises(TypeError):
            cls().step(x=1)           # positional only


def test_q8_register_wraps_modulo_2_32():
    assert AccQ8(2**31).get() == -2**31
    acc = AccQ8(2**31 - 1)
    acc.step(1)
    assert acc.get() == -2**31
    acc = AccQ8()
    acc.steps(np.full(16777216, -128, np.int8))
    assert acc.get() == -2**31
    acc.step(-128)
    assert acc.get() == 2147483520
    acc.set_acc(2**32 + 5)
    assert acc.get() == 5
    acc.madd(np.full(70000, -128, np.int8), np.full(70000, -128, np.int8))
    assert acc.get() == ((5 + 70000 * 16384 + 2**31) % 2**32) - 2**31


def test_q15_register_is_64_bit():
    acc = AccQ15(2**62)
    acc.set_acc(-2**63)
    assert acc.get() == -2**63
    with pytest.raises(OverflowError):
        acc.set_acc(2**63)
    acc.set_acc(2**63 - 1)
    acc.step(1)                       # two's complement wrap, not undefined behaviour
    assert acc.get() == -2**63


def test_steps_dump_and_madd(acc_type):
    cls, dtype = acc_type[:2]
    acc = cls()
    assert acc.steps(np.array([1, 2, 3, 4, 5], dtype)) is None
    assert acc.get() == 15
    assert acc.dump() == 15 and acc.get() == 0
    acc.steps([[10, 20], [30, -60]])                      # any shape, flattened
    assert acc.get() == 0
    acc.madd([10, 20, 30], [1, 2, 3])
    assert acc.get() == 140
    acc.madd([1, 1, 1], [1, 1, 1, 1, 1])                  # the shorter array decides
    assert acc.get() == 143
    acc.madd([], [1])
    assert acc.get() == 143
    with pytest.raises(TypeError):
        acc.steps([1], [2])
    with pytest.raises(TypeError):
        acc.steps(np.array([1.5]))


def test_madd_large_and_exact():
    acc = AccQ15()
    acc.madd([100, 200, 300], [10, 20, 30])
    assert acc.get() == 14000
    acc = AccQ15()
    acc.madd([-32768], [-32768])
    assert acc.get() == 1073741824
    rng = np.random.default_rng(1)
    a = rng.integers(-32768, 32768, 10001, dtype=np.int16)
    b = rng.integers(-32768, 32768, 10001, dtype=np.int16)
    acc.reset()
    acc.madd(a, b)
    assert acc.get() == sum(int(x) * int(y) for x, y in zip(a, b))


def test_blob_layout():
    blob = AccQ15(100).get_state()
    assert blob == bytes.fromhex("41433135 0100 01 00 18000000 00000000 6400000000000000".replace(" ", ""))
    blob8 = AccQ8(-2).get_state()
    assert blob8 == b"ACC8" + bytes([1, 0, 1, 0, 20, 0, 0, 0, 0, 0, 0, 0]) + (-2).to_bytes(4, "little", signed=True)


def test_blob_checks(acc_type):
    cls, _, _, size, magic = acc_type
    acc = cls(42)
    blob = acc.get_state()
    assert acc.state_bytes() == size == len(blob) and blob[:4] == magic
    other = cls(7)
    other.set_state(blob)
    assert other.get() == 42
    for offset, value in [(0, 0x58), (4, 2), (5, 1), (6, 0), (6, 2), (8, size + 1), (9, 1)]:
        bad = bytearray(blob)
        bad[offset] = value
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            other.set_state(bytes(bad))
        assert other.get() == 42
    for offset in (7, 12, 13, 14, 15):        # reserved bytes are not read
        fine = bytearray(blob)
        fine[offset] = 0xAB
        other.set_acc(0)
        other.set_state(bytes(fine))
        assert other.get() == 42


def test_blob_of_the_other_width_is_refused():
    with pytest.raises(ValueError, match="state blob size mismatch"):
        AccQ15().set_state(AccQ8().get_state())
    with pytest.raises(ValueError, match="state blob size mismatch"):
        AccQ8().set_state(AccQ15().get_state())
    forged = b"AC15" + AccQ8().get_state()[4:]     # right length, wrong magic
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        AccQ8().set_state(forged)
