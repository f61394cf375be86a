"""A short tour of quorvel: run ``python -m quorvel``."""

import numpy as np

from quorvel import arith, interp, util


def main() -> None:
    rng = np.random.default_rng(0)
    a = rng.integers(-32768, 32768, 8, dtype=np.int16)
    b = rng.integers(-32768, 32768, 8, dtype=np.int16)
    print("quorvel: bit-exact fixed point, shared primitives, periodic interpolation\n")
    print("arith (Q15 = int16):")
    print(f"  a                  = {a.tolist()}")
    print(f"  b                  = {b.tolist()}")
    print(f"  add_q15(a, b)      = {arith.add_q15(a, b).tolist()}   (saturating)")
    print(f"  mul_q15(a, b)      = {arith.mul_q15(a, b).tolist()}   (round half up)")
    dot = arith.dot_q15(a, b)
    print(f"  dot_q15(a, b)      = {dot}   (exact Q30)")
    print(f"  shr_i64([dot], 15) = {arith.shr_i64([dot], 15).tolist()}   (back to Q15)")
    acc = arith.AccQ8()
    acc.steps(np.full(16777217, -128, np.int8))
    print(f"  AccQ8 after 2**24 + 1 samples of -128: {acc.get()}   (wraps modulo 2**32)\n")

    print("util:")
    print(f"  square_clip(3-4j, 1.0)      = {util.square_clip(3 - 4j, 1.0)}")
    print(f"  next_pow_two(1000)          = {util.next_pow_two(1000)}")
    print(f"  ema_alpha_decim(0.05, 8)    = {util.ema_alpha_decim(0.05, 8):.12f}\n")

    n = 16
    with interp.InterpolatedTable(np.exp(2j * np.pi * np.arange(n) / n)) as tone:
        points = np.array([0.0, 0.5, 16.5, -15.5, 1e12 + 0.5])
        values = tone.execute(points)
    print(f"interp: one period of a {n}-point complex tone, linear")
    for p, v in zip(points, values):
        print(f"  x = {p:>16}: {v.real:+.6f} {v.imag:+.6f}j")


if __name__ == "__main__":
    main()
