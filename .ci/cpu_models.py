"""The installed quorvel loads and gives the same bits on older x86-64 CPUs.

Run by the interpreter whose quorvel is checked (CI: the repaired wheel's
virtual environment), it digests the results of the native modules' vector
paths here, then again under qemu-user posing as a CPU without AVX-512
(Haswell: the AVX2 code) and one without AVX (Nehalem, x86-64-v2: the SSE2
code; NumPy's own wheels need no less). Every digest must be the same.
With --digest it prints this interpreter's digest alone: CI compares the
wheels of every Python and of aarch64 with it.
"""

import hashlib
import itertools
import os
import subprocess
import sys

MODELS = ["Haswell", "Nehalem"]


def digest():
    import numpy as np

    from quorvel import agc, arith, interp

    rng = np.random.default_rng(1)
    h = hashlib.sha256()
    n = 4099  # past every vector width, with a tail
    for name in sorted(dir(arith)):
        kernel = getattr(arith, name)
        if name.startswith("_") or isinstance(kernel, type) or not callable(kernel):
            continue
        info = np.iinfo({"q15": np.int16, "q8": np.int8, "i64": np.int64}[name.rpartition("_")[2]])
        a = rng.integers(info.min, info.max, n, dtype=info.dtype, endpoint=True)
        if name.startswith(("shl", "shr")):
            results = [kernel(a, s) for s in (0, 1, 7, info.bits - 1)]
        else:
            results = [kernel(a, rng.integers(info.min, info.max, n, dtype=info.dtype, endpoint=True))]
        for r in results:
            h.update(np.asarray(r).tobytes())
    x = ((rng.normal(size=n) + 1j * rng.normal(size=n)) * np.repeat([1e-3, 30.0, 0.0, 1.0], -(-n // 4))[:n])
    # Off, then a ceiling, a gate and a fast attack on (each a branch of its own in the loop update).
    bursts = [{}, {"max_gain_db": 40.0, "gate_db": -60.0, "attack_db": 6.0}]
    for burst, acquire, decim in itertools.product(bursts, (False, True), (1, 8, 64)):
        def made(loop):
            loop.decim, loop.acquire = decim, acquire
            for name, value in burst.items():
                setattr(loop, name, value)
            return loop
        loop = made(agc.AGC(loop_bw=0.02))
        h.update(loop.steps(x.astype(np.complex64)).tobytes())
        h.update(np.float64(loop.gain_db).tobytes())
        loop = made(agc.AGC(loop_bw=0.02))  # the stream path, cut off the chunk grid
        for part in np.array_split(x.astype(np.complex64), [5, 1000, 1001, 3000]):
            h.update(loop.stream(part).tobytes())
        bank = made(agc.AGCBank(9, loop_bw=0.02))  # past every lane count, with a tail
        rows = np.stack([x * 10.0 ** (c / 4 - 1) for c in range(9)]).astype(np.complex64)
        h.update(bank.steps(rows).tobytes())
        h.update(bank.gain_db.tobytes())
    for method in ("linear", "floor", "nearest"):
        table = interp.InterpolatedTable(rng.normal(size=1000) + 1j * rng.normal(size=1000), method=method)
        h.update(table.execute(rng.uniform(-1e6, 1e6, n)).tobytes())
    return h.hexdigest()


def main():
    if sys.argv[1:] == ["--digest"]:
        print(digest())
        return 0
    here = digest()
    failed = 0
    for model in MODELS:
        result = subprocess.run(["qemu-x86_64", "-cpu", model, sys.executable, __file__, "--digest"],
                                capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        there = result.stdout.strip()
        same = result.returncode == 0 and there == here
        failed += not same
        print(f"{model}: {'same bits' if same else 'DIFFERENT: ' + (there or result.stderr.strip()[-500:])}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
