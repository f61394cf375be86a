"""AGCBank: every row against an AGC of its own (any parameters, history,
split and samples), the per-channel state, telemetry, argument rules, and
calls from several threads."""

import math
import os
import struct
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel.agc import AGC, AGCBank
from quorvel.telemetry import Telemetry

from helpers import noise

SPECIAL_ROWS = {"nan": complex(math.nan, 1), "inf": complex(math.inf, -math.inf), "zero": 0j,
                "subnormal": 1e-45 + 1e-44j, "huge": 3e38 - 3e38j}


def configure(obj, decim, acquire, clip_db):
    obj.decim, obj.acquire, obj.clip_db = decim, acquire, clip_db
    return obj


def same_state(a, b):
    """Equal blobs, but for the payload of a NaN in gain_db, p_avg or g_last
    (operand order the compiler picks decides which NaN an update passes on)."""
    if a == b:
        return True
    loops = [struct.unpack("<3d", blob[64:88]) for blob in (a, b)]
    same_loop = all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(*loops))
    return same_loop and len(a) == len(b) and a[:64] == b[:64] and a[88:] == b[88:]


def rows(rng, channels, n, kinds):
    x = np.empty((channels, n), np.complex64)
    for c, kind in enumerate(kinds):
        x[c] = noise(n, int(rng.integers(2**31)), 10 ** rng.uniform(-4, 4)) if kind == "noise" else SPECIAL_ROWS[kind]
    return x


class TestRowsAreAGCs:
    @settings(max_examples=120, deadline=None)
    @given(channels=st.integers(1, 19), decim=st.sampled_from([0, 1, 2, 3, 7, 8, 16, 64, 1000]) | st.integers(0, 70),
           acquire=st.booleans(), call=st.sampled_from(["steps", "stream", "interleaved"]), in_place=st.booleans(),
           seed=st.integers(0, 2**32 - 1), lengths=st.lists(st.integers(0, 300), min_size=1, max_size=6),
           kinds=st.lists(st.sampled_from(["noise"] * 6 + sorted(SPECIAL_ROWS)), min_size=19, max_size=19))
    def test_each_row_is_an_independent_agc(self, channels, decim, acquire, call, in_place, seed, lengths, kinds):
        """Rows, or the columns of an interleaved block, as AGCs of their own."""
        stream = call == "stream"
        rng = np.random.default_rng(seed)
        params = dict(ref_db=float(rng.uniform(-30, 30)), loop_bw=float(10 ** rng.uniform(-4, -1.5)),
                      alpha=float(rng.uniform(0.01, 1.0)))
        clip_db = float(rng.choice([120.0, rng.uniform(-10, 20)]))
        bank = configure(AGCBank(channels, **params), decim, acquire, clip_db)
        agcs = [configure(AGC(**params), decim, acquire, clip_db) for _ in range(channels)]
        for n in lengths:                                     # several calls: the history carries
            x = rows(rng, channels, n, kinds[:channels])
            if call == "interleaved":
                columns = x.T.copy()
                got = bank.steps(columns, out=columns if in_place else None, layout="interleaved").T
            else:
                y = x.copy() if in_place else None
                got = (bank.stream if stream else bank.steps)(x if y is None else y, out=y)
            for c, agc in enumerate(agcs):
                want = (agc.stream if stream else agc.steps)(x[c])
                assert got[c].tobytes() == want.tobytes(), (c, n)
                assert same_state(bank.get_state(c), agc.get_state()), (c, n)
        assert np.array_equal(bank.gain_db, [a.gain_db for a in agcs], equal_nan=True)

    def test_channels_with_different_pending_chunks_keep_their_grids(self):
        x = noise(3 * 40, 4).reshape(3, 40)
        agcs = [AGC() for _ in range(3)]
        bank = AGCBank(3)
        for c, cut in enumerate([0, 3, 5]):                 # pending chunks of 0, 3 and 5 samples
            agcs[c].stream(x[c, :cut])
            bank.set_state(c, agcs[c].get_state())
        got = bank.stream(x[:, 5:])
        for c, agc in enumerate(agcs):
            assert np.array_equal(got[c], agc.stream(x[c, 5:])) and bank.get_state(c) == agc.get_state()


class TestState:
    def test_blobs_are_an_agcs_both_ways(self):
        bank, agc = AGCBank(2, ref_db=-3.0), AGC(ref_db=-3.0)
        x = noise(2 * 21, 1).reshape(2, 21)
        bank.stream(x)
        agc.stream(x[1])
        assert bank.state_bytes(1) == len(bank.get_state(-1)) == 152 and bank.get_state(1) == agc.get_state()
        agc.steps(noise(64, 2))
        bank.set_state(0, agc.get_state())
        assert bank.get_state(0) == agc.get_state() and bank.state_bytes(0) == 120
        assert bank.gain_db[0] == agc.gain_db

    def test_refusals_keep_the_channel(self):
        bank = AGCBank(2)
        before = bank.get_state(0)
        for param, value in [("decim", 16), ("acquire", True), ("ref_db", -0.0), ("clip_db", 60.0)]:
            other = AGC()
            setattr(other, param, value)
            with pytest.raises(ValueError, match="parameters are not the bank's"):
                bank.set_state(0, other.get_state())
        with pytest.raises(ValueError, match="rejected"):
            bank.set_state(0, b"QVxx" + before[4:])
        for c in (2, -3):
            with pytest.raises(IndexError, match="no channel"):
                bank.get_state(c)
        assert bank.get_state(0) == before

    def test_parameters_are_the_banks(self):
        bank = AGCBank(3, 1.0, 0.01, 0.2)
        bank.decim, bank.clip_db, bank.acquire = 4, 30.0, True
        agc = AGC()
        agc.set_state(bank.get_state(2))
        assert (agc.ref_db, agc.loop_bw, agc.alpha, agc.decim, agc.clip_db, agc.acquire) == (
            bank.ref_db, bank.loop_bw, bank.alpha, bank.decim, bank.clip_db, bank.acquire) == (
            1.0, 0.01, 0.2, 4, 30.0, True)
        assert bank.channels == 3


class TestArguments:
    def test_shapes(self):
        bank = AGCBank(2)
        for bad in (np.zeros(4, np.complex64), np.zeros((3, 4), np.complex64), np.zeros((2, 2, 2), np.complex64)):
            with pytest.raises(ValueError):
                bank.steps(bad)
        with pytest.raises(ValueError, match="shape of x"):
            bank.steps(np.zeros((2, 4), np.complex64), out=np.zeros((4, 2), np.complex64))
        with pytest.raises(ValueError, match="^x has 4 columns for 2 channels$"):
            bank.steps(np.zeros((2, 4), np.complex64), layout="interleaved")
        with pytest.raises(ValueError, match=r"^x must be a \(n, channels\) block, not 1-dimensional$"):
            bank.steps(np.zeros(4, np.complex64), layout="interleaved")
        with pytest.raises(ValueError, match="^layout must be 'rows' or 'interleaved', not 'columns'$"):
            bank.steps(np.zeros((2, 4), np.complex64), layout="columns")
        with pytest.raises(TypeError):
            bank.stream(np.zeros((2, 4), np.complex64), layout="interleaved")   # steps alone reads interleaved
        with pytest.raises(ValueError, match="at least 1"):
            AGCBank(0)

    def test_out_layouts_and_overlap_give_the_same_bits(self):
        x = noise(2 * 50, 3).reshape(2, 50)
        want = AGCBank(2).steps(x)
        strided = np.zeros((2, 100), np.complex64)[:, ::2]
        assert AGCBank(2).steps(x, out=strided) is strided and np.array_equal(strided, want)
        buf = np.zeros(2 * 50 + 1, np.complex64)
        buf[1:] = x.ravel()
        got = AGCBank(2).steps(buf[1:].reshape(2, 50), out=buf[:-1].reshape(2, 50))
        assert np.array_equal(got, want)


class TestTelemetry:
    def test_probes_equal_those_of_agcs(self):
        x = noise(3 * 800, 5).reshape(3, 800)
        with Telemetry(1 << 14) as ours, Telemetry(1 << 14) as theirs:
            bank = AGCBank(3)
            bank.set_telemetry(ours, "rx", 2)
            bank.set_telemetry(ours, "rx", 2)                # idempotent
            bank.steps(x)
            for c in range(3):
                agc = AGC()
                agc.set_telemetry(theirs, f"rx.{c}", 2)
                agc.steps(x[c])
            got, want = ours.demux(ours.read()), theirs.demux(theirs.read())
            assert sorted(got) == sorted(want) and all(np.array_equal(got[k], want[k]) for k in want)
            bank.set_telemetry(None, "rx")
            bank.steps(x)
            assert ours.avail == 0

    def test_limits(self):
        with Telemetry(1024) as tlm:
            with pytest.raises(ValueError, match="at most 32 channels"):
                AGCBank(33).set_telemetry(tlm, "big")
            for k in range(6):
                tlm.probe(f"p{k}")
            with pytest.raises(ValueError, match="holds 6 of its 64 probes"):
                AGCBank(30).set_telemetry(tlm, "b")
            with pytest.raises(ValueError, match="rc=-4"):
                AGCBank(2).set_telemetry(tlm, "x" * 40)      # names cut to the same text
            assert tlm.probe_names == tuple(f"p{k}" for k in range(6))
            AGCBank(29).set_telemetry(tlm, "b")


BIG = (4, 1 << 14)  # large enough to run without the interpreter lock
CALLS = 40


class TestThreads:
    def test_calls_on_one_bank_take_turns(self):
        rng = np.random.default_rng(7)
        calls = [[noise(BIG[0] * BIG[1], int(rng.integers(2**31))).reshape(BIG)[:, :int(rng.integers(1024, BIG[1]))]
                  for _ in range(CALLS)] for _ in range(2)]
        bank, results, start = AGCBank(BIG[0]), [[], []], threading.Barrier(2)

        def run(t):
            start.wait()
            results[t] = [bank.stream(x) for x in calls[t]]

        threads = [threading.Thread(target=run, args=(t,)) for t in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        # The calls one after the other, in the order channel 0's outputs tell, give every output.
        replay, done = AGCBank(BIG[0]), [0, 0]
        while done != [CALLS, CALLS]:
            for t in (0, 1):
                if done[t] < CALLS:
                    x, y = calls[t][done[t]], results[t][done[t]]
                    first = AGC()
                    first.set_state(replay.get_state(0))
                    if np.array_equal(first.stream(x[0]), y[0]):
                        assert np.array_equal(replay.stream(x), y)
                        done[t] += 1
                        break
            else:
                pytest.fail("an output matches no order of the calls")

    def test_destroy_and_state_calls_while_a_call_runs(self):
        x = noise(8 * (1 << 18), 8).reshape(8, -1)
        sequential = AGCBank(8)
        want = [sequential.steps(x), sequential.steps(x)]
        bank = AGCBank(8)
        out = [np.full(x.shape, np.nan, np.complex64) for _ in want]
        for k, y in enumerate(out):
            worker = threading.Thread(target=bank.steps, args=(x, y))
            worker.start()
            while np.isnan(y[0, 0]) and worker.is_alive():  # until the call has begun writing
                pass
            if k == 0:
                while worker.is_alive():                     # whatever the moment, these are safe
                    bank.get_state(3)
                    bank.ref_db = 0.0
                    bank.gain_db
            else:
                bank.destroy()                               # the running call frees the record
            worker.join()
        assert all(np.array_equal(a, b) for a, b in zip(out, want))
        with pytest.raises(RuntimeError, match="destroyed"):
            bank.steps(x)

    def test_a_long_call_lets_other_threads_run(self):
        bank = AGCBank(8)
        bank.decim = 1
        x = np.ones((8, 1 << 20), np.complex64)
        started, done, count = threading.Event(), threading.Event(), 0

        def run():
            started.set()
            bank.steps(x, out=x)
            done.set()

        worker = threading.Thread(target=run)
        worker.start()
        started.wait()
        while not done.is_set():
            count += 1
        worker.join()
        assert count > 1000

    def test_banks_attached_to_one_context_on_two_threads_keep_its_ring_whole(self):
        x = noise(4 * (1 << 13), 9).reshape(4, -1)
        with Telemetry(1 << 16) as shared, Telemetry(1 << 16) as alone:
            banks = [configure(AGCBank(4), 64, False, 120.0) for _ in range(2)]
            for k, bank in enumerate(banks):
                bank.set_telemetry(shared, f"b{k}")
            threads = [threading.Thread(target=lambda b=b: [b.steps(x) for _ in range(10)]) for b in banks]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            for k in range(2):
                one = configure(AGCBank(4), 64, False, 120.0)
                one.set_telemetry(alone, f"b{k}")
                for _ in range(10):
                    one.steps(x)
            got, want = shared.demux(shared.read()), alone.demux(alone.read())
            assert shared.dropped == 0 and sorted(got) == sorted(want)
            assert all(np.array_equal(got[name], want[name]) for name in want)

    def test_a_child_forked_during_a_call_can_use_the_bank(self):
        bank = AGCBank(8)
        bank.decim = 1
        x = np.ones((8, 1 << 19), np.complex64)
        y = np.full_like(x, np.nan)
        worker = threading.Thread(target=bank.steps, args=(x, y))
        worker.start()
        while np.isnan(y[0, 0]) and worker.is_alive():
            pass
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
            pid = os.fork()
        if pid == 0:
            os._exit(0 if bank.steps(np.ones((8, 16), np.complex64)).shape == (8, 16) else 1)
        worker.join()
        for _ in range(600):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            time.sleep(0.05)
        else:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("the child hangs on the bank a thread of its parent was running")
        assert os.waitstatus_to_exitcode(status) == 0

    def test_an_error_under_the_hold_never_waits_for_its_own_finalizer(self):
        # While another exception is handled, raising an error creates its object at once; the
        # collection that allocation may run finds a finalizer calling the same bank.
        code = """
import gc
import numpy as np
from quorvel.agc import AGC, AGCBank
from quorvel.telemetry import Telemetry

bank = AGCBank(40)
other = AGC()
other.decim = 3
failing = [lambda: bank.get_state(99), lambda: bank.state_bytes(-41), lambda: bank.set_state(50, other.get_state()),
           lambda: bank.set_state(0, other.get_state()), lambda: bank.steps(np.zeros((3, 8), np.complex64)),
           lambda: bank.set_telemetry(tlm, "b")]

class Trap:
    def __init__(self):
        self.cycle = self
    def __del__(self):
        bank.gain_db, bank.channels
        Trap()

with Telemetry(64) as tlm:
    Trap()
    gc.set_threshold(1)
    raised = 0
    for _ in range(50):
        for call in failing:
            try:
                raise KeyError("being handled")
            except KeyError:
                try:
                    call()
                except (IndexError, ValueError):
                    raised += 1
    gc.set_threshold(700)
print(raised)
"""
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
        assert result.returncode == 0 and result.stdout == "300\n", result.stderr
