"""quorvel.arith kernels through the module, against exact integer oracles.

Every expectation is computed with Python ints (no overflow, exact rounding)
and compared with np.array_equal, never a tolerance.
"""

import sys

import numpy as np
import pytest

from quorvel import arith


def sat(v, bits):
    return max(-(1 << (bits - 1)), min((1 << (bits - 1)) - 1, v))


def wrap(v, bits):
    v &= (1 << bits) - 1
    return v - (1 << bits) if v >> (bits - 1) else v


def fixed_rules(bits):
    frac = bits - 1
    top = (1 << frac) - 1

    def shl(x, n):
        if n <= 0:
            return x
        if n < bits:
            return sat(x << n, bits)
        return top if x > 0 else -top - 1 if x < 0 else 0

    def shr(x, n):
        if n <= 0:
            return x
        if n < bits:
            return (x + (1 << (n - 1))) >> n
        return -1 if x < 0 else 0

    return {
        "add": lambda x, y: sat(x + y, bits),
        "sub": lambda x, y: sat(x - y, bits),
        "mul": lambda x, y: min((x * y + (1 << (frac - 1))) >> frac, top),
        "shl": shl,
        "shr": shr,
    }


def shl_i64(x, n):
    return x if n <= 0 else 0 if n >= 63 else wrap(x << n, 64)


def shr_i64(x, n):
    # Python ints never overflow: this is the exactly rounded (half up) quotient.
    return x if n <= 0 else (-1 if x < 0 else 0) if n >= 63 else (x + (1 << (n - 1))) >> n


Q15, Q8 = fixed_rules(16), fixed_rules(8)

# (function, dtype, element rule)
BINARY = [
    (arith.add_q15, np.int16, Q15["add"]), (arith.sub_q15, np.int16, Q15["sub"]),
    (arith.mul_q15, np.int16, Q15["mul"]), (arith.add_q8, np.int8, Q8["add"]),
    (arith.sub_q8, np.int8, Q8["sub"]), (arith.mul_q8, np.int8, Q8["mul"]),
]
SHIFTS = [
    (arith.shl_q15, np.int16, Q15["shl"]), (arith.shr_q15, np.int16, Q15["shr"]),
    (arith.shl_q8, np.int8, Q8["shl"]), (arith.shr_q8, np.int8, Q8["shr"]),
    (arith.shl_i64, np.int64, shl_i64), (arith.shr_i64, np.int64, shr_i64),
]
DOTS = [(arith.dot_q15, np.int16, 64), (arith.dot_q8, np.int8, 32)]
ALL = [f for f, _, _ in BINARY + SHIFTS + DOTS]


def ids(rows):
    return [row[0].__name__ for row in rows]


def samples(dtype, n, seed):
    """Random values with the extremes and their neighbours planted in."""
    info = np.iinfo(dtype)
    rng = np.random.default_rng(seed)
    x = rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)
    specials = np.array([info.min, info.max, info.min + 1, info.max - 1, -1, 0, 1], dtype=dtype)
    x[rng.integers(0, n, n // 4)] = rng.choice(specials, n // 4)
    return x


@pytest.mark.parametrize("func, dtype, rule", BINARY, ids=ids(BINARY))
def test_binary_kernels_match_oracle(func, dtype, rule):
    for n in (0, 1, 7, 16, 33, 64, 257, 1000):
        a, b = samples(dtype, n, n), samples(dtype, n, n + 1)
        expected = np.array([rule(int(x), int(y)) for x, y in zip(a, b)], dtype=dtype)
        got = func(a, b)
        assert got.dtype == dtype and got.shape == (n,)
        assert np.array_equal(got, expected)


@pytest.mark.parametrize("func, dtype, rule", BINARY, ids=ids(BINARY))
def test_binary_all_pairs_of_small_operands(func, dtype, rule):
    # Every rounding tie and saturation edge around the interesting points.
    info = np.iinfo(dtype)
    edges = sorted({info.min, info.min + 1, -(info.max + 1) // 2 - 1, -(info.max + 1) // 2,
                    -(info.max + 1) // 2 + 1, -2, -1, 0, 1, 2, (info.max + 1) // 2 - 1,
                    (info.max + 1) // 2, info.max - 1, info.max})
    a, b = np.meshgrid(np.array(edges, dtype=dtype), np.array(edges, dtype=dtype))
    expected = np.array([rule(int(x), int(y)) for x, y in zip(a.ravel(), b.ravel())], dtype=dtype)
    assert np.array_equal(func(a, b), expected)


@pytest.mark.parametrize("func, dtype, rule", SHIFTS, ids=ids(SHIFTS))
def test_shift_kernels_match_oracle_for_every_count(func, dtype, rule):
    a = samples(dtype, 300, 3)
    bits = np.iinfo(dtype).bits
    for n in [*range(-3, bits + 4), 100, 2**31 - 1, -2**31]:
        expected = np.array([rule(int(x), n) for x in a], dtype=dtype)
        assert np.array_equal(func(a, n), expected), n


def test_shr_i64_rounds_correctly_at_the_int64_limits():
    top, bottom = 2**63 - 1, -2**63
    a = np.array([top, top - 1, top - 2**40, bottom, bottom + 1], dtype=np.int64)
    for n in range(1, 63):
        expected = [(int(x) + (1 << (n - 1))) >> n for x in a]
        assert arith.shr_i64(a, n).tolist() == expected, n


@pytest.mark.parametrize("func, dtype, bits", DOTS, ids=ids(DOTS))
def test_dot_kernels_match_oracle(func, dtype, bits):
    for n in (0, 1, 15, 16, 17, 100, 4099):
        a, b = samples(dtype, n, 2 * n), samples(dtype, n, 2 * n + 1)
        exact = sum(int(x) * int(y) for x, y in zip(a, b))
        assert func(a, b) == wrap(exact, bits)


def test_documented_values():
    assert arith.mul_q15([-32768, -32768, -32768, 16384], [-32768, 32767, 1, 1]).tolist() == [32767, -32767, -1, 1]
    assert arith.mul_q8([-128, -128], [-128, 127]).tolist() == [127, -127]
    assert arith.dot_q15([16384, 16384], [16384, 16384]) == 536870912
    assert arith.dot_q8(np.full(131072, -128, np.int8), np.full(131072, -128, np.int8)) == -2**31
    assert arith.shr_q15([3, -3, -1, -1, -32768, 32767], 1).tolist() == [2, -1, 0, 0, -16384, 16384]
    assert arith.shr_q15([-1], 15).tolist() == [0] and arith.shr_q15([-1], 16).tolist() == [-1]
    assert arith.shr_q15([-32768, 32767], 15).tolist() == [-1, 1]
    assert arith.shl_q15([1, -1], 15).tolist() == [32767, -32768]
    assert arith.shr_q8([-1], 8).tolist() == [-1]
    assert arith.shl_i64([3], 62).tolist() == [-4611686018427387904]
    assert arith.shr_i64([-3, -1], 1).tolist() == [-1, 0]


def test_shapes_scalars_and_lists():
    got = arith.add_q15(np.ones((2, 3), np.int16), np.arange(6, dtype=np.int16).reshape(2, 3))
    assert got.shape == (6,) and got.tolist() == [1, 2, 3, 4, 5, 6]
    assert arith.add_q15(5, 7).tolist() == [12]
    assert arith.add_q15(np.int16(5), np.array(7, np.int16)).shape == (1,)
    assert arith.dot_q15([100, 200, 300], [1, 2, 3]) == 1400
    assert arith.dot_q8([10, 20, 30], [1, 2, 3]) == 140
    f_order = np.asfortranarray(np.arange(6, dtype=np.int16).reshape(2, 3))
    assert arith.shl_q15(f_order, 0).tolist() == [0, 1, 2, 3, 4, 5]   # C order, not memory order


@pytest.mark.parametrize("func, dtype, rule", BINARY, ids=ids(BINARY))
def test_unequal_lengths(func, dtype, rule):
    a, b = samples(dtype, 5, 1), samples(dtype, 3, 2)
    head = [rule(int(x), int(y)) for x, y in zip(a, b)]
    for _ in range(20):  # the tail is zero every time, never stale memory
        assert func(a, b).tolist() == head + [0, 0]
    assert func(b, a).tolist() == [rule(int(y), int(x)) for x, y in zip(a, b)]
    assert func(a, b[:0]).tolist() == [0] * 5
    assert func(a[:0], b).tolist() == []


def test_unequal_lengths_inner_products():
    assert arith.dot_q15([1, 2, 3, 4, 5], [1, 1, 1]) == 6
    assert arith.dot_q8([], [1, 2]) == 0


def test_input_conversion_follows_numpy_casting():
    assert arith.add_q15(np.array([100], np.int8), np.array([1], np.int8)).dtype == np.int16
    for bad in (np.array([1], np.int32), np.array([1.0]), np.array([1], np.uint16)):
        with pytest.raises(TypeError):
            arith.add_q15(bad, np.array([1], np.int16))
    with pytest.raises(TypeError):
        arith.shl_q8(np.array([1], np.int16), 1)
    strided = np.arange(20, dtype=np.int16)[::2]
    readonly = np.arange(10, dtype=np.int16)
    readonly.flags.writeable = False
    swapped = np.arange(10, dtype=">i2")
    expected = (np.arange(10) * 2 + np.arange(0, 20, 2)).tolist()
    assert arith.add_q15(strided, readonly * 2).tolist() == expected
    assert arith.add_q15(swapped, np.arange(10, dtype=np.int16)).tolist() == list(range(0, 20, 2))
    assert readonly.tolist() == list(range(10))


def test_unaligned_input_is_handled():
    raw = np.zeros(2 * 17 + 1, np.uint8)
    view = raw[1:].view(np.int16)          # misaligned by one byte
    view[:] = np.arange(17)
    assert not view.flags.aligned
    assert arith.add_q15(view, view).tolist() == [2 * i for i in range(17)]


@pytest.mark.parametrize("call", [
    lambda: arith.add_q15([1]),
    lambda: arith.add_q15([1], [2], [3]),
    lambda: arith.add_q15(a=[1], c=[2]),
    lambda: arith.shl_q15([1], 1.5),
    lambda: arith.shl_q15([1], "1"),
    lambda: arith.dot_q8(None, [1]),
    lambda: arith.shr_i64(np.array([1.5]), 1),
])
def test_bad_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_shift_count_outside_c_int_is_refused():
    for n in (2**31, -2**31 - 1, 2**64):
        with pytest.raises(OverflowError):
            arith.shl_q15([1], n)


def test_keywords():
    assert arith.mul_q15(a=[16384], b=[16384]).tolist() == [8192]
    assert arith.shr_q8(a=[10], n=2).tolist() == [3]


def test_no_reference_leaks():
    wrong = np.arange(100, dtype=np.float64)
    for f, dtype in [(f, d) for f, d, _ in BINARY + SHIFTS + DOTS]:
        a, b = np.arange(100, dtype=dtype), np.arange(100, dtype=dtype)
        before = [sys.getrefcount(x) for x in (a, b, wrong)]
        for _ in range(50):
            if f.__name__.startswith(("shl", "shr")):
                f(a, 3)
                with pytest.raises(TypeError):
                    f(wrong, 1)
            else:
                f(a, b)
                with pytest.raises(TypeError):
                    f(a, wrong)
        assert [sys.getrefcount(x) for x in (a, b, wrong)] == before, f.__name__


def test_module_surface():
    assert [name for name in dir(arith) if not name.startswith("_")] == sorted(
        ["AccQ15", "AccQ8", *(f.__name__ for f in ALL)])
