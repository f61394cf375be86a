"""Uses every public name of quorvel; test_typing.py type-checks it with mypy --strict."""

from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel import agc, arith, interp, util
from quorvel.telemetry import RECORD, Telemetry, TelemetryStats

c: complex = util.square_clip(3 - 4j, 1.0)
n: int = util.next_pow_two(1000)
f: float = util.saturate(2.0, 0.0, 1.0, 0.0) + util.ema_step(0.0, 1.0, 0.5) + util.ema_alpha_decim(0.05, 8)

q15 = np.arange(8, dtype=np.int16)
q8 = np.arange(8, dtype=np.int8)
# Sums of results: NumPy 1.x types them as signedinteger[Any], NumPy 2 keeps the width.
Ints = npt.NDArray[np.signedinteger[Any]]
a15: Ints = arith.add_q15(q15, q15) + arith.sub_q15(q15, q15) + arith.mul_q15(q15, q15)
s15: Ints = arith.shl_q15(q15, 1) + arith.shr_q15(q15, 1)
a8: Ints = arith.add_q8(q8, q8) + arith.sub_q8(q8, q8) + arith.mul_q8(q8, q8)
s8: Ints = arith.shl_q8(q8, 1) + arith.shr_q8(q8, 1)
wide: Ints = arith.shr_i64(arith.shl_i64([1, 2], 3), 1)
dots: int = arith.dot_q15(q15, q15) + arith.dot_q8(q8, q8)

for acc in (arith.AccQ15(1), arith.AccQ8(acc=2)):
    with acc as same:
        same.reset()
        same.step(3)
        same.steps(q8)
        same.set_acc(4)
        same.madd(q8, q8)
        total: int = same.get() + same.get_acc() + same.dump() + same.state_bytes()
        same.set_state(same.get_state())
    acc.destroy()

table = interp.InterpolatedTable([0, 1, 2], method="nearest")
out = np.empty(4, np.complex128)
values: npt.NDArray[np.complex128] = table.execute([0.5, 1.5], out=out)
size: int = table.n + table.execute_max_out()
table.reset()
table.destroy()

gain = agc.AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05)
gain.decim = 16
gain.gain_update_period = 2
gain.ref_db, gain.loop_bw, gain.alpha, gain.clip_db = -3.0, 0.001, 0.1, 60.0
y: complex = gain.step(1 + 0j)
block: npt.NDArray[np.complex64] = gain.steps(np.ones(16, np.complex64))
block = gain.stream(block[:5], out=block[:5])
levels: float = gain.gain_db + gain.applied_gain_db
k: int = agc.settling_samples(0.0025, 0.05, 12.0, 0.5)
k = agc.settling_samples(0.0025, 0.05, -60.0, 1.0, acquire=True)
k = agc.settling_samples(0.02, 0.05, -60.0, 1.0, attack_db=6.0, max_gain_db=80.0, gate_db=-90.0)
preset = agc.PRESETS["burst"]
burst = agc.AGC(loop_bw=preset["loop_bw"], alpha=preset["alpha"])
burst.decim, burst.acquire = preset["decim"], preset["acquire"]
on: bool = burst.acquire
burst = agc.AGC.from_preset("burst", ref_db=-6.0)
burst.max_gain_db, burst.gate_db, burst.attack_db = 80.0, -90.0, burst.attack_db

bank = agc.AGCBank(4, ref_db=-3.0, loop_bw=0.001, alpha=0.1)
bank.decim, bank.clip_db, bank.acquire = 16, 60.0, True
bank = agc.AGCBank.from_preset(4, "burst", ref_db=-3.0)
bank.max_gain_db, bank.gate_db, bank.attack_db = 80.0, -90.0, bank.attack_db
bank.ref_db, bank.loop_bw, bank.alpha = bank.ref_db, bank.loop_bw, bank.alpha
rows: npt.NDArray[np.complex64] = bank.steps(np.ones((4, 32), np.complex64))
rows = bank.stream(rows, out=rows)
columns: npt.NDArray[np.complex64] = bank.steps(rows.T.copy(), layout="interleaved")
gains: npt.NDArray[np.float64] = bank.gain_db
size = bank.channels + bank.state_bytes(0)
bank.set_state(3, bank.get_state(-1))
gain.set_state(bank.get_state(0))

with Telemetry(4096) as tlm:
    tlm.attach(bank, prefix="bank")
    tlm.detach(bank)
    bank.set_telemetry(tlm, "rows", 2)
    bank.set_telemetry(None, "rows")
    tlm.attach(gain, prefix="rx", decim=1)
    tlm.probe("mine", decim=2)
    tlm.set_decim("mine", 3)
    tlm.emit("mine", 1.0)
    tlm.stamp = tlm.stamp + 1
    records = tlm.read(max_records=0, out=np.empty(16, RECORD))
    by_probe = tlm.demux(records)
    with_stamps = tlm.demux(records, stamps=True)[1]
    stats: TelemetryStats = tlm.stats()
    counts: int = tlm.capacity + tlm.avail + tlm.dropped + tlm.emitted("mine") + tlm.probe_id("mine")
    names: tuple[str, ...] = tlm.probe_names
    tlm.resize(8192)
    tlm.detach(gain)
    gain.set_telemetry(tlm, "direct")
    gain.set_telemetry(None, "direct")
    closed: bool = tlm.closed
gain.reset()
gain.set_state(gain.get_state())
with bank as same_bank:
    same_bank.reset()
bank.destroy()
