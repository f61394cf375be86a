"""Inputs NumPy would take the wrong way, refused with what to do instead:
real arrays and complex128 handed to the AGC, non-integer sequences handed
to the integer kernels; and the conversions that must keep working."""

import numpy as np
import pytest

from quorvel import arith
from quorvel.agc import AGC, AGCBank
from quorvel.arith import AccQ8, AccQ15
from quorvel.formats import sample_format

REAL = r"^expected complex64 samples, got a real {} array; interleaved I and Q values become complex64 through " \
       r"quorvel\.formats, e.g\. sample_format\('ci16'\)\.decode\(x\)$"


def agc_calls():
    agc, bank = AGC(), AGCBank(2)
    return [("steps", agc.steps, 1), ("stream", agc.stream, 1), ("bank steps", bank.steps, 2),
            ("bank stream", bank.stream, 2),
            ("bank interleaved", lambda x: bank.steps(x, layout="interleaved"), 2)]


class TestSamples:
    @pytest.mark.parametrize("dtype", [np.int16, np.int8, np.uint8, np.float32, np.float64, np.bool_])
    def test_real_arrays_are_refused_with_the_way_to_complex64(self, dtype):
        for name, call, channels in agc_calls():
            x = np.zeros((4, 2) if channels == 1 else (2, 4), dtype)
            with pytest.raises(TypeError, match=REAL.format(np.dtype(dtype).name)):
                call(x)

    def test_complex128_names_the_cast_after_numpy_s_own_message(self):
        for name, call, channels in agc_calls():
            x = np.ones((2, 2)) * (1 + 1j) if channels == 2 else np.exp(1j * np.arange(8.0))
            with pytest.raises(TypeError, match=r"^Cannot cast array data from dtype\('complex128'\) to "
                                                r"dtype\('complex64'\).*; complex64 samples are expected: "
                                                r"x\.astype\(np\.complex64\)$"):
                call(x)
            assert call(x.astype(np.complex64)).dtype == np.complex64   # the cast named works

    def test_what_converted_before_still_converts(self):
        agc, reference = AGC(), AGC()
        assert agc.steps([1 + 1j, 2, 0.5j]).tobytes() == reference.steps(np.array([1 + 1j, 2, 0.5j],
                                                                                   np.complex64)).tobytes()
        swapped = np.full(16, 0.5 + 0.25j, ">c8")                         # complex, other byte order: converted
        assert AGC().steps(swapped).tobytes() == AGC().steps(swapped.astype(np.complex64)).tobytes()
        codes = np.array([[100, -200], [3, 4]], np.int16)
        assert AGC().steps(sample_format("ci16").decode(codes)).shape == (2,)   # the hint's own recipe


class TestIntegers:
    @pytest.mark.parametrize("kernel, dtype", [(arith.add_q15, np.int16), (arith.mul_q8, np.int8),
                                               (arith.dot_q15, np.int16), (arith.sub_q8, np.int8)])
    def test_non_integer_sequences_are_refused_as_their_arrays_are(self, kernel, dtype):
        other = np.zeros(2, dtype)
        for values in ([1.9, 2.0], [1, 2.5], [1j, 0], [[0.5, 1]]):
            with pytest.raises(TypeError) as from_list:
                kernel(values, other)
            with pytest.raises(TypeError) as from_array:
                kernel(np.array(values), other)
            assert str(from_list.value) == str(from_array.value)
            with pytest.raises(TypeError):
                kernel(other, values)                                      # second operand too

    def test_integer_sequences_and_narrower_arrays_still_convert(self):
        assert arith.add_q15([1, 2], [True, 3]).tolist() == [2, 5]
        assert arith.add_q15(np.array([1, -2], np.int8), np.zeros(2, np.int16)).tolist() == [1, -2]   # widened
        assert arith.shl_i64([3], 2).tolist() == [12]
        if np.lib.NumpyVersion(np.__version__) >= "2.0.0":               # NumPy 1.x wraps, with its DeprecationWarning
            with pytest.raises(OverflowError):
                arith.add_q15([70_000], [0])                               # NumPy's own check, as before
        with pytest.raises(TypeError):
            arith.add_q15(np.array([1, 2], np.int32), np.zeros(2, np.int16))   # unsafe for an array, as before

    def test_accumulators_take_the_same_rule(self):
        for acc, values in ((AccQ15(), [0.5, 1]), (AccQ8(), [2.5])):
            with pytest.raises(TypeError, match="Cannot cast"):
                acc.steps(values)
            assert acc.get() == 0                                          # nothing was taken in
