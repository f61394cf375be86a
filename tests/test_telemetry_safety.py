"""Telemetry under hostile use: lifetimes in any order, close and resize
racing readers and producers, fork, a shared-memory filesystem too small,
and arguments that ctypes would silently wrap. Sequences that could crash
run in a child interpreter, so a crash fails one test, not the run."""

import multiprocessing
import os
import random
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from quorvel.agc import AGC
from quorvel.telemetry import Telemetry


def run_python(code, timeout=120, prefix=()):
    result = subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stdout}\n{result.stderr[-3000:]}"
    assert result.stdout.strip().endswith("ok"), result.stdout
    return result.stdout


def ring_mappings():
    """Mappings of shared-memory ring storage in this process (two per ring)."""
    with open("/proc/self/maps") as maps:
        return sum(" /dev/shm/" in line for line in maps)


# -- lifetime -----------------------------------------------------------------

def test_agc_never_emits_into_a_freed_context():
    run_python("""
        import gc
        import numpy as np
        from quorvel.agc import AGC
        from quorvel.telemetry import Telemetry
        x = np.ones(4096, np.complex64)

        agc = AGC()
        agc.set_telemetry(Telemetry(4096), "agc")        # attached to a temporary
        agc.steps(x)

        tlm = Telemetry(4096)
        agc.set_telemetry(tlm, "agc")
        tlm.close()                                      # closed under a direct attachment
        agc.steps(x)
        agc.step(1j)

        tlm = Telemetry(256)
        tlm.attach(agc)
        other = AGC()
        other.set_telemetry(tlm, "other")
        del tlm
        gc.collect()
        agc.steps(x)
        other.steps(x)
        print("ok")
    """)


def test_a_bank_waiting_to_attach_holds_a_context_closed_meanwhile():
    # set_telemetry waits for a bank busy without the interpreter lock; the
    # context it was given is closed, and a new one may get its memory.
    run_python("""
        import threading, time
        import numpy as np
        from quorvel.agc import AGCBank
        from quorvel.telemetry import Telemetry
        bank = AGCBank(2)
        x = np.ones((2, 1 << 22), np.complex64)
        for _ in range(10):
            tlm = Telemetry(1 << 12)
            busy = threading.Thread(target=bank.steps, args=(x,))
            busy.start()
            time.sleep(0.02)
            attach = threading.Thread(target=bank.set_telemetry, args=(tlm, "b"))
            attach.start()
            time.sleep(0.02)
            tlm.close()
            other = Telemetry(1 << 12)
            other.probe("mine")
            busy.join(); attach.join()
            bank.steps(np.ones((2, 4096), np.complex64))
            assert other.probe_names == ("mine",) and other.avail == 0, other.probe_names
            bank.set_telemetry(None, "b")
            other.close()
        print("ok")
    """)


def test_an_attached_agc_holds_the_context_until_it_lets_go():
    before = ring_mappings()
    agc = AGC()
    tlm = Telemetry(256)
    agc.set_telemetry(tlm, "agc")
    tlm.close()
    assert ring_mappings() == before + 2                 # closed, but the AGC still holds it
    agc.set_telemetry(None, "agc")
    assert ring_mappings() == before                     # detaching lets go

    agc.set_telemetry(Telemetry(256), "agc")
    assert ring_mappings() == before + 2
    agc.destroy()                                        # so does destroying
    assert ring_mappings() == before

    a, b, agc = Telemetry(256), Telemetry(256), AGC()
    agc.set_telemetry(a, "x")
    agc.set_telemetry(b, "x")                            # moving the attachment moves the hold
    a.close()
    b.close()
    assert ring_mappings() == before + 2
    agc.__init__()                                       # a second __init__ releases the old record
    assert ring_mappings() == before


def test_second_init_releases_the_first_ring():
    before = ring_mappings()
    tlm = Telemetry(256)
    tlm.__init__(512)
    assert ring_mappings() == before + 2 and tlm.capacity == 512
    tlm.close()
    assert ring_mappings() == before


def test_copies_are_refused():
    run_python("""
        import copy, pickle
        from quorvel.telemetry import Telemetry
        tlm = Telemetry(256)
        for duplicate in (copy.copy, copy.deepcopy, pickle.dumps):
            try:
                duplicate(tlm)
            except TypeError as exc:
                assert str(exc) == "cannot pickle 'Telemetry' object", exc
            else:
                raise AssertionError(f"{duplicate.__name__} made a second owner of one context")
        tlm.close()
        print("ok")
    """)


def test_closed_context_refuses_attachment():
    tlm = Telemetry(256)
    tlm.close()
    agc = AGC()
    with pytest.raises(RuntimeError, match="^telemetry context is closed$"):
        tlm.attach(agc)
    with pytest.raises(RuntimeError, match="^telemetry context is closed$"):
        agc.set_telemetry(tlm, "agc")


# -- threads ------------------------------------------------------------------

RACE = """
    import threading, time
    import numpy as np
    from quorvel.agc import AGC
    from quorvel.telemetry import RECORD, Telemetry

    def filled(records):
        '''A ring full of an AGC's records: gain, level, gain, level, ...'''
        tlm = Telemetry(records)
        agc = AGC()
        agc.decim = 1
        tlm.attach(agc)
        agc.steps(np.ones(records // 2, np.complex64))
        return tlm, agc

    def whole(records):
        probes = records["probe"]
        return bool(len(probes) % 2 == 0 and not probes[0::2].any() and (probes[1::2] == 1).all())

    def reading(tlm, out, results, stop):
        def loop():
            while not stop:
                try:
                    got = tlm.read(out=out)
                except RuntimeError as exc:
                    results.append(str(exc))
                    return
                results.append(whole(got))
        thread = threading.Thread(target=loop)
        thread.start()
        return thread
"""


@pytest.mark.parametrize("action", ["tlm.close()", "tlm.resize(1 << 21); stop.append(True)"])
def test_close_or_resize_while_another_thread_reads(action):
    run_python(RACE + f"""
    for _ in range(10):
        tlm, agc = filled(1 << 20)
        results, stop = [], []
        reader = reading(tlm, np.empty(1 << 20, RECORD), results, stop)
        time.sleep(0.001)                                # the first read is copying 16 MB now
        {action}
        reader.join()
        if results[-1] == "telemetry context is closed":
            results.pop()
        assert results and all(result is True for result in results), results[:5]
        tlm.close()
    print("ok")
    """)


def test_resize_while_another_thread_steps():
    run_python(RACE + """
    x = np.ones(1 << 15, np.complex64)
    for _ in range(20):
        tlm = Telemetry(256)
        agc = AGC()
        agc.decim = 1
        tlm.attach(agc)
        stop = []
        def produce():
            while not stop:
                agc.steps(x)
        producer = threading.Thread(target=produce)
        producer.start()
        for k in range(9, 21):
            tlm.resize(1 << k)
        stop.append(True)
        producer.join()
        assert tlm.capacity == 1 << 20 and whole(tlm.read())
        tlm.close()
    print("ok")
    """)


# -- fork ---------------------------------------------------------------------

def in_child(work):
    """Runs work() in a forked child; its exit status (0: work returned True)."""
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            status = 0 if work() else 3
        finally:
            os._exit(status)
    return pid


def exit_status(pid, timeout=5.0):
    """The child's exit status; a child still running after timeout is killed and fails the test."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the forked child hangs")


def test_forked_child_emits_into_a_ring_of_its_own():
    with Telemetry(256) as tlm:
        tlm.probe("p")
        tlm.emit("p", 100.0)                             # waiting at the fork: both processes have it
        go_r, go_w = os.pipe()

        def child():
            os.read(go_r, 1)                             # the parent has emitted after the fork
            for _ in range(300):
                tlm.emit("p", -1.0)
            got = tlm.read()["value"]
            return got[0] == 100.0 and len(got) == tlm.capacity and (got[1:] == -1.0).all()

        pid = in_child(child)
        for k in range(10):
            tlm.emit("p", float(k))
        os.write(go_w, b"x")
        assert exit_status(pid) == 0
        assert tlm.read()["value"].tolist() == [100.0] + list(range(10))
        assert tlm.dropped == 0


def test_multiprocessing_child_steps_an_inherited_agc():
    x = np.full(4096, 0.5 + 0j, np.complex64)
    with Telemetry(4096) as reference:
        agc = AGC()
        reference.attach(agc)
        agc.steps(x)
        agc.steps(x)
        expected = reference.read()
    with Telemetry(4096) as tlm:
        agc = AGC()
        tlm.attach(agc)
        agc.steps(x)
        first = tlm.read(max_records=100).copy()         # the rest stays waiting across the fork
        context = multiprocessing.get_context("fork")
        go = context.Event()

        def child():
            go.wait()                                    # the parent has emitted after the fork
            agc.steps(np.zeros(1 << 16, np.complex64))   # fills the child's ring and more
            assert tlm.avail == tlm.capacity and tlm.dropped > 0

        process = context.Process(target=child)
        process.start()
        agc.steps(x)
        go.set()
        process.join()
        assert process.exitcode == 0
        assert np.concatenate([first, tlm.read()]).tobytes() == expected.tobytes()
        assert tlm.dropped == 0


def test_fork_while_another_thread_holds_the_telemetry_lock():
    """A thread in the middle of a read holds the Telemetry's lock; the child
    has no such thread, and must not wait for it."""
    with Telemetry(256) as tlm:
        held, release = threading.Event(), threading.Event()

        def reading():
            with tlm._lock:                              # as read() holds it across its copy
                held.set()
                release.wait()

        reader = threading.Thread(target=reading)
        reader.start()
        held.wait()
        try:
            assert exit_status(in_child(lambda: tlm.avail == 0 and tlm.capacity == 256)) == 0
        finally:
            release.set()
            reader.join()


# -- storage ------------------------------------------------------------------

def shm_is_tmpfs():
    with open("/proc/mounts") as mounts:
        return any(line.split()[1:3] == ["/dev/shm", "tmpfs"] for line in mounts)


@pytest.mark.skipif(not shm_is_tmpfs(), reason="/dev/shm is not a tmpfs")
def test_ring_larger_than_shared_memory_is_refused():
    stat = os.statvfs("/dev/shm")
    total = stat.f_blocks * stat.f_frsize
    if total == 0:
        pytest.skip("/dev/shm has no size limit")
    too_big = 1 << (total // 16).bit_length()           # more records than the filesystem holds
    with pytest.raises(OSError, match=f"could not create a telemetry ring of {too_big} records"):
        Telemetry(too_big)
    with Telemetry(256) as tlm:
        tlm.probe("p")
        tlm.emit("p", 1.0)
        with pytest.raises(ValueError, match="cannot grow"):
            tlm.resize(too_big)
        assert tlm.capacity == 256 and tlm.read()["value"].tolist() == [1.0]


def small_shm_prefix():
    """A command prefix that runs in a private mount namespace whose /dev/shm
    is a 1.5 MiB tmpfs, or None where that is not permitted."""
    if shutil.which("unshare") is None:
        return None
    probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=1536k tmpfs /dev/shm"],
                           capture_output=True)
    if probe.returncode != 0:
        return None
    return ["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o size=1536k tmpfs /dev/shm && exec "$0" "$@"']


def test_small_shared_memory_filesystem():
    prefix = small_shm_prefix()
    if prefix is None:
        pytest.skip("needs unshare and mount (root in a mount namespace)")
    run_python("""
        import os
        import numpy as np
        from quorvel.agc import AGC
        from quorvel.telemetry import Telemetry
        agc = AGC()
        agc.decim = 1
        try:
            big = Telemetry(1 << 17)                     # 2 MiB: does not fit
        except OSError:
            pass
        else:
            big.attach(agc)
            agc.steps(np.ones(1 << 16, np.complex64))    # dies of SIGBUS at the first page beyond
            raise AssertionError("a ring larger than /dev/shm was created")

        tlm = Telemetry(1 << 16)                         # 1 MiB: fits, every page touched below
        tlm.attach(agc)
        agc.steps(np.ones(1 << 15, np.complex64))
        try:
            tlm.resize(1 << 17)
        except ValueError:
            pass
        assert tlm.capacity == 1 << 16 and tlm.avail == 1 << 16

        pid = os.fork()                                  # no room for the child's own copy
        if pid == 0:
            ok = tlm.capacity == 0 and tlm.avail == 0
            agc.steps(np.ones(64, np.complex64))
            ok = ok and tlm.avail == 0 and tlm.dropped == 128 and len(tlm.read()) == 0
            tlm.resize(1 << 14)                          # a ring of its own after all
            agc.steps(np.ones(64, np.complex64))
            os._exit(0 if ok and tlm.avail == 128 else 1)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        records = tlm.read()
        assert len(records) == 1 << 16 and records["probe"].tolist() == [0, 1] * (1 << 15)
        print("ok")
    """, prefix=prefix)


def test_sigkill_during_creation_leaves_no_shared_memory_object():
    left = []
    for _ in range(40):
        pid = os.fork()
        if pid == 0:
            try:
                while True:
                    Telemetry(256).close()
            finally:
                os._exit(1)
        time.sleep(random.uniform(0.002, 0.01))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        mine = [name for name in os.listdir("/dev/shm") if name.startswith(f"qv_{pid}_")]
        for name in mine:
            os.unlink(os.path.join("/dev/shm", name))
        left += mine
    assert left == []


# -- arguments ----------------------------------------------------------------

def test_integers_beyond_64_bits_are_refused():
    with Telemetry(256) as tlm:
        tlm.probe("p")
        tlm.emit("p", 1.0)
        for capacity in (2**64, 2**65, 2**64 + 512):
            with pytest.raises(ValueError, match="cannot grow"):
                tlm.resize(capacity)
        assert tlm.capacity == 256
        for count in (2**64, 2**64 + 2):
            with pytest.raises(ValueError, match="max_records"):
                tlm.read(max_records=count)
        with pytest.raises(ValueError):
            tlm.stamp = 2**64
        with pytest.raises(ValueError):
            tlm.emit(2**32, 1.0)
        with pytest.raises(ValueError):
            tlm.probe("q", decim=2**32 + 1)
        assert tlm.read()["value"].tolist() == [1.0]
    for capacity in (2**64, 2**59):
        with pytest.raises(ValueError, match="too large"):
            Telemetry(capacity)


def test_probe_names_with_nul_are_refused():
    with Telemetry(256) as tlm:
        tlm.probe("rx")
        for call in (lambda: tlm.probe("rx\0power"), lambda: tlm.probe_id("rx\0"),
                     lambda: tlm.set_decim("rx\0", 2), lambda: tlm.emit("rx\0x", 1.0)):
            with pytest.raises(ValueError, match="NUL"):
                call()
        assert tlm.probe_names == ("rx",)
