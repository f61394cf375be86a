"""quorvel.formats: every code of every integer format in and out, against
NumPy and exact integer references."""

import math
from fractions import Fraction

import numpy as np
import pytest

from quorvel.formats import FORMATS, sample_format

INTEGER = [name for name, fmt in FORMATS.items() if not fmt.is_float]


def every_code(fmt):
    info = np.iinfo(fmt.component)
    return np.arange(info.min, info.max + 1).astype(fmt.component)


def reference_in(fmt, codes):
    """NumPy's own conversion: float64 arithmetic, then float32."""
    value = codes.astype(np.float64)
    if fmt.offset:
        return ((value - 128) / 128).astype(np.float32)
    return (value / 2.0 ** (8 * fmt.component.itemsize - 1)).astype(np.float32)


def reference_out(fmt, values, scale):
    """Python's exact arithmetic: the float64 product, then floor(t + 1/2), saturated; NaN lowest."""
    half = 1 << (8 * fmt.component.itemsize - 1)
    codes = []
    for v in values.tolist():
        t = v * (scale * half)  # one float64 rounding, as defined
        if math.isnan(t):
            code = -half
        elif math.isinf(t):
            code = half - 1 if t > 0 else -half
        else:
            code = min(max(math.floor(Fraction(t) + Fraction(1, 2)), -half), half - 1)
        codes.append(code + fmt.offset)
    return np.array(codes).astype(fmt.component)


@pytest.mark.parametrize("name", INTEGER)
def test_every_code_reads_as_numpy_converts_it_and_writes_back_unchanged(name):
    fmt = sample_format(name)
    codes = every_code(fmt)
    for stored in (np.stack([codes, codes[::-1]], axis=1), np.stack([codes[::-1], codes], axis=1)):  # as I and as Q
        stored = stored.astype(fmt.component)
        x = fmt.decode(stored.tobytes())
        assert x.dtype == np.complex64 and len(x) == len(codes)
        expected = reference_in(fmt, stored.ravel())
        assert np.array_equal(x.view(np.float32).view(np.uint32), expected.view(np.uint32))
        assert np.all(x.real >= -1) and np.all(x.real < 1)
        assert bytes(fmt.encode(x)) == stored.tobytes()


@pytest.mark.parametrize("name", INTEGER)
def test_rounding_half_up_and_saturation_at_every_code(name):
    fmt = sample_format(name)
    half = 1 << (8 * fmt.component.itemsize - 1)
    k = np.arange(-half - 2, half + 3, dtype=np.float64)
    ties = ((k - 0.5) / half).astype(np.float32)           # exact in float32: the tie below each code
    values = np.concatenate([ties, np.nextafter(ties, np.float32(-2)), np.nextafter(ties, np.float32(2)),
                             (k / half).astype(np.float32),
                             np.array([np.nan, np.inf, -np.inf, -0.0, 1e30, -1e30, 1e-45], np.float32)])
    values = values[: len(values) // 2 * 2]
    x = values.view(np.complex64)
    got = np.frombuffer(fmt.encode(x), fmt.component)
    assert np.array_equal(got, reference_out(fmt, values, 1.0))
    # Ties go up: (k - 0.5) / half becomes k for every code k.
    inside = (k > -half) & (k < half)
    assert np.array_equal(got[: len(k)][inside].astype(np.int64) - fmt.offset, k[inside].astype(np.int64))


@pytest.mark.parametrize("name", INTEGER)
@pytest.mark.parametrize("scale", [0.7, 0.25, 3.0])
def test_scaled_output_matches_exact_rounding(name, scale):
    fmt = sample_format(name)
    rng = np.random.default_rng(7)
    values = np.concatenate([rng.normal(0, 0.6, 20_000), rng.uniform(-3, 3, 2_000)]).astype(np.float32)
    got = np.frombuffer(fmt.encode(values.view(np.complex64), scale), fmt.component)
    assert np.array_equal(got, reference_out(fmt, values, scale))


@pytest.mark.parametrize("name", ["cf32", "cf32_le", "cf32_be"])
def test_float_formats_keep_every_bit(name):
    fmt = sample_format(name)
    bits = np.array([0x7FC00001, 0xFFC12345, 0x80000000, 0x7F800000, 0x00000001, 0x3F800000], np.uint32)
    stored = bits.astype(fmt.component.str.replace("f", "u")).tobytes()
    x = fmt.decode(stored)
    assert np.array_equal(x.view(np.uint32), bits)
    assert bytes(fmt.encode(x, scale=123.0)) == stored      # the scale applies to integers only


def test_byte_order_of_ci16():
    le, be = sample_format("ci16"), sample_format("ci16_be")
    codes = np.array([1, -2, 300, -32768], np.int16)
    assert np.array_equal(be.decode(codes.astype(">i2").tobytes()), le.decode(codes.tobytes()))
    assert bytes(be.encode(le.decode(codes.tobytes()))) == codes.astype(">i2").tobytes()


def test_names_and_their_sigmf_datatypes():
    assert {n: f.sigmf for n, f in FORMATS.items()} == {
        "ci8": "ci8", "cu8": "cu8", "cf32": "cf32_le", "cf32_le": "cf32_le", "cf32_be": "cf32_be",
        "ci16": "ci16_le", "ci16_le": "ci16_le", "ci16_be": "ci16_be"}
    assert [sample_format(n).size for n in ("cf32", "ci16", "ci8", "cu8")] == [8, 4, 2, 2]
    assert sample_format("CI16_BE").name == "ci16_be"
    for bad in ("cf64", "ci32_le", "rf32", "cu8_le", ""):
        with pytest.raises(ValueError, match="unknown sample format .*choose from cf32"):
            sample_format(bad)


@pytest.mark.parametrize("scale", [0.0, -1.0, float("nan"), float("inf"), 1e308])
def test_scale_must_be_positive_and_finite(scale):
    with pytest.raises(ValueError, match="scale must be a positive finite number"):
        sample_format("ci16").encode(np.zeros(2, np.complex64), scale)
