"""quorvel.interp.InterpolatedTable: documented values, an exact model of the
per-point formula, construction errors and the out= rules."""

import math
from fractions import Fraction

import numpy as np
import pytest

from quorvel.interp import InterpolatedTable

OUT_TYPE_MSG = "out must be a writable, C-contiguous ndarray of the output dtype"


def fma(a, b, c):
    """a * b + c rounded once."""
    if hasattr(math, "fma"):
        return math.fma(a, b, c)
    if not (math.isfinite(a) and math.isfinite(b) and math.isfinite(c)):
        return a * b + c  # here b = t < 1, so a finite product cannot overflow
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    if exact == 0:
        return a * b + c  # the product is exact; IEEE rules give the zero's sign
    try:
        return float(exact)  # int / int: correctly rounded
    except OverflowError:
        return math.copysign(math.inf, exact)


def model(table, method, points):
    """The per-point formula in Python floats: floor, fmod, sign fix, then the method."""
    table = np.asarray(table, dtype=np.complex128).ravel()
    n = table.size
    out = []
    with np.errstate(invalid="ignore"):
        for p in np.asarray(points, dtype=np.float64).ravel():
            f = np.floor(p)
            m = np.fmod(f, np.float64(n))
            if m < 0:
                m += n
            i0 = 0 if np.isnan(m) else int(m)
            i1 = 0 if i0 + 1 == n else i0 + 1
            t = float(p) - float(f)
            a, b = table[i0], table[i1]
            if method == "floor":
                out.append(a)
            elif method == "nearest":
                out.append(b if t > 0.5 else a)
            else:
                out.append(complex(fma(b.real - a.real, t, a.real), fma(b.imag - a.imag, t, a.imag)))
    return np.array(out, dtype=np.complex128)


def assert_same(got, want):
    """Bit-identical parts (so -0 differs from +0), any NaN matching any NaN."""
    got, want = got.view(np.float64), want.view(np.float64)
    nan = np.isnan(got) & np.isnan(want)
    mismatch = np.flatnonzero((got.view(np.int64) != want.view(np.int64)) & ~nan)
    assert mismatch.size == 0, (mismatch[:5] // 2, got[mismatch[:5]], want[mismatch[:5]])


@pytest.mark.parametrize("method, point, expected", [
    ("linear", 0.5, 0.5), ("linear", 1.1, 1.1), ("linear", 2.5, 1.0), ("linear", -0.5, 1.0),
    ("linear", 3.0, 0.0), ("linear", -3.0, 0.0), ("linear", 6.0, 0.0),
    ("floor", 2.99, 2.0), ("floor", -0.01, 2.0), ("floor", math.nan, 0.0),
    ("nearest", 1.5, 1.0), ("nearest", 1.75, 2.0), ("nearest", 2.6, 0.0),
])
def test_edge_table(method, point, expected):
    got = InterpolatedTable([0, 1, 2], method=method).execute([point])
    assert got.dtype == np.complex128 and got.shape == (1,)
    assert got[0] == expected


@pytest.mark.parametrize("point", [math.nan, math.inf, -math.inf])
def test_linear_non_finite_point_is_nan(point):
    got = InterpolatedTable([0, 1, 2]).execute([point])[0]
    assert math.isnan(got.real) and math.isnan(got.imag)


@pytest.mark.parametrize("point", [math.nan, math.inf, -math.inf])
def test_floor_and_nearest_non_finite_point_give_first_entry(point):
    for method in ("floor", "nearest"):
        assert InterpolatedTable([5j, 1, 2], method=method).execute([point])[0] == 5j


def test_default_method_is_linear():
    assert InterpolatedTable(np.arange(4, dtype=np.complex128)).execute([1.5])[0] == 1.5


@pytest.mark.parametrize("method", ["Linear", "cubic", "", "linear "])
@pytest.mark.parametrize("table", [[0, 1, 2], object()])
def test_unknown_method_rejected_before_table(method, table):
    with pytest.raises(ValueError) as err:
        InterpolatedTable(table, method=method)
    assert str(err.value) == f"method must be one of \"floor\", \"nearest\", \"linear\", got '{method}'"


def test_empty_table_is_memory_error():
    with pytest.raises(MemoryError, match="^interp_table_create returned NULL$"):
        InterpolatedTable([])


def test_real_and_two_dimensional_tables():
    real = InterpolatedTable(np.array([1.5, -2.0]), method="floor")
    assert np.array_equal(real.execute([0, 1]), [1.5 + 0j, -2 + 0j])
    grid = InterpolatedTable(np.arange(6.0).reshape(2, 3), method="floor")
    assert grid.n == 6
    assert np.array_equal(grid.execute(np.arange(6.0)), np.arange(6.0))  # C order


def test_table_is_copied_and_n_is_read_only():
    values = np.array([1, 2, 3], dtype=np.complex128)
    table = InterpolatedTable(values, method="floor")
    values[:] = 0
    assert np.array_equal(table.execute([0, 1, 2]), [1, 2, 3])
    assert table.n == 3
    with pytest.raises(AttributeError):
        table.n = 4


def test_reset_and_execute_max_out_change_nothing():
    table = InterpolatedTable([1j, 2, 3])
    before = table.execute([0.25, 7.5])
    assert table.reset() is None and table.execute_max_out() == 0
    assert_same(table.execute([0.25, 7.5]), before)


def test_points_of_any_shape_are_taken_flat():
    table = InterpolatedTable([0, 1, 2, 3])
    got = table.execute([[0.5, 1.5], [2.5, 3.5]])
    assert got.shape == (4,) and np.array_equal(got, [0.5, 1.5, 2.5, 1.5])


def read_only_out():
    out = np.zeros(4, dtype=np.complex128)
    out.setflags(write=False)
    return out


class TestOut:
    def test_empty_points(self):
        table = InterpolatedTable([1, 2])
        got = table.execute([])
        assert got.dtype == np.complex128 and got.shape == (0,)
        for size in (0, 5):
            out = np.zeros(size, dtype=np.complex128)
            view = table.execute(np.array([]), out=out)
            assert view.shape == (0,) and view.base is out

    def test_longer_out_gets_a_leading_view(self):
        x = [0.5, 1.25, 2.75, -1.0]
        out = np.full(10, 9 + 9j)
        view = InterpolatedTable([0, 1, 2, 3]).execute(x, out=out)
        assert view.base is out and view.shape == (4,)
        assert np.shares_memory(view, out) and view.ctypes.data == out.ctypes.data
        assert np.array_equal(out[:4], InterpolatedTable([0, 1, 2, 3]).execute(x))
        assert np.all(out[4:] == 9 + 9j)

    @pytest.mark.parametrize("make_out", [
        lambda: [0j] * 4,
        lambda: np.zeros(4, dtype=np.complex64),
        lambda: np.zeros(8, dtype=np.float64),
        read_only_out,
        lambda: np.zeros((4, 3), dtype=np.complex128, order="F"),
        lambda: np.zeros(8, dtype=np.complex128)[::2],
    ], ids=["list", "complex64", "float64", "read-only", "fortran", "strided"])
    def test_bad_out_is_type_error(self, make_out):
        with pytest.raises(TypeError) as err:
            InterpolatedTable([1, 2]).execute([0, 1, 2, 3], out=make_out())
        assert str(err.value) == OUT_TYPE_MSG

    def test_short_out_is_value_error(self):
        with pytest.raises(ValueError) as err:
            InterpolatedTable([1, 2]).execute([0, 1, 2, 3], out=np.zeros(3, dtype=np.complex128))
        assert str(err.value) == "out has 3 elements, need >= 4"

    @pytest.mark.parametrize("offset", [0, 1, 3, 40])
    def test_points_inside_out(self, offset):
        # The points are read from memory the outputs overwrite.
        rng = np.random.default_rng(offset)
        table = InterpolatedTable(rng.standard_normal(7) + 1j * rng.standard_normal(7))
        x = rng.uniform(-30, 30, 50)
        want = table.execute(x)
        out = np.zeros(60, dtype=np.complex128)
        alias = out.view(np.float64)[offset:offset + 50]
        alias[:] = x
        view = table.execute(alias, out=out)
        assert_same(view, want)


def random_points(rng, n, count):
    """Points over +-5 periods, with integers, halves, multiples of n and
    huge or non-finite values mixed in."""
    x = rng.uniform(-5 * n, 5 * n, count)
    special = np.array([0.0, -0.0, 0.5, -0.5, math.nan, math.inf, -math.inf, 1e300, -1e300,
                        2.0**53, -(2.0**53) - 2, 2.0**62, -(2.0**62), 2.0**63 + 2048, 1e12, -1e12 - 0.5])
    picks = rng.integers(0, 6, count)
    x[picks == 0] = np.floor(x[picks == 0])
    x[picks == 1] = np.floor(x[picks == 1]) + 0.5
    multiples = np.count_nonzero(picks == 2)
    x[picks == 2] = n * rng.integers(-2**40, 2**40, multiples) + rng.integers(-1, 2, multiples)
    x[picks == 3] = rng.choice(special, np.count_nonzero(picks == 3))
    return x


@pytest.mark.parametrize("n", [1, 2, 3, 7, 1024, 1031])
@pytest.mark.parametrize("method", ["floor", "nearest", "linear"])
def test_matches_exact_model(n, method):
    rng = np.random.default_rng(n * 7 + len(method))
    values = rng.uniform(-4, 4, n) + 1j * rng.uniform(-4, 4, n)
    if n > 3:
        values[:3] = [complex(-0.0, 0.0), complex(1e308, -1e308), complex(5e-324, -0.0)]
    x = random_points(rng, n, 3000)
    assert_same(InterpolatedTable(values, method=method).execute(x), model(values, method, x))
