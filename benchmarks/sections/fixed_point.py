"""The arith kernels under test, their exact NumPy equivalents and operands.

Shared by the arith and cmsisdsp sections. Each NumPy equivalent is kept as
the text of one expression in `a`, `b` and `np`: the same text is checked
against the kernel, timed, and printed under the table.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from timing import Call

SHIFT = 3  # the shift count of every shl/shr row
SHIFTS = ("shl", "shr")
INSTALL_HINT = "install quorvel first: pip install ."


@dataclass(frozen=True)
class Format:
    suffix: str  # the kernels' name suffix: add_q15, shr_i64
    dtype: type
    ops: tuple[str, ...]
    dot_acc: str = "int64"  # the integer type the inner product wraps in

    @property
    def info(self) -> np.iinfo:
        return np.iinfo(self.dtype)


Q15 = Format("q15", np.int16, ("add", "sub", "mul", "dot", "shl", "shr"))
Q8 = Format("q8", np.int8, ("add", "sub", "mul", "dot", "shl", "shr"), dot_acc="int32")
I64 = Format("i64", np.int64, SHIFTS)
FORMATS = (Q15, Q8, I64)

# Saturating fixed point: intermediates in int32, clipped back to the format.
_FIXED = {
    "add": "np.clip(a.astype(np.int32) + b, {lo}, {hi}).astype(np.{dt})",
    "sub": "np.clip(a.astype(np.int32) - b, {lo}, {hi}).astype(np.{dt})",
    "mul": "np.minimum((a.astype(np.int32) * b + {half}) >> {frac}, {hi}).astype(np.{dt})",
    "dot": "int(np.dot(a.astype(np.int64), b).astype(np.{acc}))",
    "shl": "np.clip(a.astype(np.int32) << {n}, {lo}, {hi}).astype(np.{dt})",
    "shr": "((a.astype(np.int32) + {round}) >> {n}).astype(np.{dt})",
}
# int64: the left shift wraps; the right shift rounds half up without overflow.
_WIDE = {
    "shl": "a << {n}",
    "shr": "(a >> {n}) + ((a >> {n1}) & 1)",
}


def numpy_expr(fmt: Format, op: str) -> str:
    info = fmt.info
    frac = info.bits - 1
    table = _WIDE if fmt is I64 else _FIXED
    return table[op].format(
        lo=info.min, hi=info.max, dt=np.dtype(fmt.dtype).name, acc=fmt.dot_acc,
        half=1 << (frac - 1), frac=frac, n=SHIFT, n1=SHIFT - 1, round=1 << (SHIFT - 1),
    )


def kernel_name(fmt: Format, op: str) -> str:
    return f"{op}_{fmt.suffix}"


def kernel_call(arith, fmt: Format, op: str, a: np.ndarray, b: np.ndarray) -> Call:
    fn = getattr(arith, kernel_name(fmt, op))
    return Call.of(fn, a, SHIFT) if op in SHIFTS else Call.of(fn, a, b)


def expr_call(fmt: Format, op: str, a: np.ndarray, b: np.ndarray) -> Call:
    return Call(numpy_expr(fmt, op), np=np, a=a, b=b)


def same_result(x, y) -> bool:
    if isinstance(x, np.ndarray) or isinstance(y, np.ndarray):
        return isinstance(x, np.ndarray) and isinstance(y, np.ndarray) and x.dtype == y.dtype and np.array_equal(x, y)
    return int(x) == int(y)


def check_equivalent(arith, fmt: Format, op: str, a: np.ndarray, b: np.ndarray) -> None:
    """Raise AssertionError unless the kernel and its NumPy expression agree exactly."""
    ours, ref = kernel_call(arith, fmt, op, a, b).run(), expr_call(fmt, op, a, b).run()
    if not same_result(ours, ref):
        bad = "" if not isinstance(ours, np.ndarray) or ours.shape != ref.shape else f" first at {np.flatnonzero(ours != ref)[:1]}"
        raise AssertionError(f"{kernel_name(fmt, op)} differs from `{numpy_expr(fmt, op)}`{bad}")


def operands(fmt: Format, n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """Two random full-range arrays of n elements, led by every pair of extremes."""
    info = fmt.info
    a = rng.integers(info.min, info.max, n, dtype=fmt.dtype, endpoint=True)
    b = rng.integers(info.min, info.max, n, dtype=fmt.dtype, endpoint=True)
    edges = np.array([info.min, info.min + 1, -1, 0, 1, info.max - 1, info.max], fmt.dtype)
    pa, pb = (g.ravel() for g in np.meshgrid(edges, edges))
    k = min(n, pa.size)
    a[:k], b[:k] = pa[:k], pb[:k]
    return a, b
