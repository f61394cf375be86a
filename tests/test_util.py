"""quorvel.util: the five primitives, their documented values and argument parsing."""

import math

import pytest

from quorvel import util

INF = math.inf
NAN = math.nan


def same(a, b):
    """Equal floats where -0 differs from +0 and any NaN equals any NaN."""
    if a != a or b != b:
        return a != a and b != b
    return a == b and math.copysign(1, a) == math.copysign(1, b)


@pytest.mark.parametrize("args, expected", [
    ((0.5 + 0.25j, 1.0), 0.5 + 0.25j),
    ((2.0 + 0.5j, 1.0), 1 + 0.5j),
    ((3.0 - 4.0j, 1.0), 1 - 1j),
    ((0.5 + 0.5j, 0.25), 0.25 + 0.25j),
    ((-2.0 + 0.0j, 1.0), -1 + 0j),
    ((complex(NAN, 0.5), 1.0), -1 + 0.5j),
    ((complex(1.0, INF), 1.0), -1 + 1j),
    ((0.3 + 0.1j, -1.0), -1 - 1j),
    ((1e300 + 0j, 2.0), 2 + 0j),            # narrowing to float32 gives inf, then the clip
    ((0.1 + 0.2j, NAN), complex(0.10000000149011612, 0.20000000298023224)),  # NaN lin passes through
])
def test_square_clip_values(args, expected):
    got = util.square_clip(*args)
    assert same(got.real, expected.real) and same(got.imag, expected.imag)


def test_square_clip_signed_zero_and_parsing():
    assert same(util.square_clip(complex(-0.0, 0.0), 1.0).real, 0.0)
    assert same(util.square_clip(complex(-0.0, -1.0), 1.0).real, -0.0)
    assert util.square_clip(2, 1) == 1 + 0j           # any number converts
    assert util.square_clip(y=3j, lin=1.0) == 1j
    with pytest.raises(TypeError):
        util.square_clip("1", 1.0)
    with pytest.raises(TypeError):
        util.square_clip(1j)


@pytest.mark.parametrize("n, expected", [
    (0, 1), (1, 1), (2, 2), (3, 4), (4, 4), (5, 8), (1000, 1024), (1 << 20, 1 << 20),
    (2**63, 2**63), (2**63 + 1, 0), (2**64 - 1, 0), (-1, 0), (2**64, 1), (2**64 + 3, 4),
])
def test_next_pow_two(n, expected):
    assert util.next_pow_two(n) == expected


def test_next_pow_two_exhaustive_over_bit_boundaries():
    for k in range(2, 63):
        p = 1 << k
        assert util.next_pow_two(p - 1) == p
        assert util.next_pow_two(p) == p
        assert util.next_pow_two(p + 1) == p << 1


@pytest.mark.parametrize("args, expected", [
    ((0.5, 0.0, 1.0, 1.0), 0.5),
    ((2.0, 0.0, 1.0, 1.0), 1.0),
    ((INF, 0.0, 1.0, 1.0), 1.0),
    ((-3.0, 0.0, 1.0, 1.0), 0.0),
    ((-INF, 0.0, 1.0, 1.0), 0.0),
    ((NAN, 0.0, 1.0, 1.0), 1.0),
    ((NAN, 0.0, 1.0, 0.0), 0.0),
    ((0.5, 1.0, 0.0, 9.0), 1.0),
    ((0.5, NAN, 1.0, 7.0), 7.0),
])
def test_saturate(args, expected):
    assert same(util.saturate(*args), expected)


@pytest.mark.parametrize("args, expected", [
    ((0.0, 1.0, 0.5), 0.5),
    ((2.0, 2.0, 0.25), 2.0),
    ((1.0, 7.0, 1.0), 7.0),
    ((1.0, 7.0, 2.0), 7.0),
    ((1.0, 7.0, 0.0), 1.0),
    ((1.0, INF, 0.0), NAN),
    ((0.0, 1.0, -0.5), -0.5),
    ((1.0, 2.0, NAN), NAN),
])
def test_ema_step(args, expected):
    assert same(util.ema_step(*args), expected)


def test_ema_step_is_one_fused_rounding():
    # state + alpha*(x - state) with the difference rounded once and a single
    # final rounding: compare against exact rational arithmetic.
    from fractions import Fraction
    import random
    rng = random.Random(5)
    for _ in range(2000):
        s, x, a = rng.uniform(-1e3, 1e3), rng.uniform(-1e3, 1e3), rng.random()
        d = x - s
        exact = Fraction(s) + Fraction(a) * Fraction(d)
        assert util.ema_step(s, x, a) == float(exact)


@pytest.mark.parametrize("args, expected", [
    ((0.05, 1), 0.05),
    ((1.0, 4), 1.0),
    ((0.0, 8), 0.0),
    ((1.5, 1), 1.5),
    ((1.5, 0), 1.5),
    ((-0.5, 3), 0.0),
    ((NAN, 2), NAN),
    ((NAN, 1), NAN),
    ((0.5, -1), 1.0),        # d wraps to 2**64 - 1
])
def test_ema_alpha_decim(args, expected):
    assert same(util.ema_alpha_decim(*args), expected)


def test_ema_alpha_decim_value_and_accuracy():
    assert round(util.ema_alpha_decim(0.05, 8), 12) == 0.336579568711
    # Accurate also where the direct 1 - (1 - alpha)**d cancels (small alpha).
    from decimal import Decimal, localcontext
    with localcontext() as ctx:
        ctx.prec = 60
        for alpha in (1e-15, 1e-12, 1e-6, 0.01, 0.3):
            for d in (2, 8, 1000):
                exact = float(1 - (1 - Decimal(alpha)) ** d)
                assert math.isclose(util.ema_alpha_decim(alpha, d), exact, rel_tol=1e-14)


@pytest.mark.parametrize("call", [
    lambda: util.next_pow_two(1.5),
    lambda: util.next_pow_two("4"),
    lambda: util.saturate(1.0, 0.0, 1.0),
    lambda: util.saturate(1.0, 0.0, 1.0, 0.0, 9.0),
    lambda: util.ema_step(state=0.0, x=1.0, beta=0.5),
    lambda: util.ema_alpha_decim(0.5, 2.0),
    lambda: util.ema_alpha_decim("0.5", 2),
])
def test_parse_errors_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_keywords_accepted_everywhere():
    assert util.next_pow_two(n=3) == 4
    assert util.saturate(v=2.0, lo=0.0, hi=1.0, nan_to=0.0) == 1.0
    assert util.ema_step(state=0.0, x=1.0, alpha=0.5) == 0.5
    assert util.ema_alpha_decim(alpha=0.05, d=1) == 0.05
