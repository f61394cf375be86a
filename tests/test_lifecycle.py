"""What every quorvel object shares: construction, release, the destroyed
guard, the context manager, the type objects and the state-blob protocol."""

import copy
import gc
import os
import pickle
import sys
import weakref

import numpy as np
import pytest

from quorvel.agc import AGC, AGCBank
from quorvel.arith import AccQ8, AccQ15
from quorvel.interp import InterpolatedTable

# (factory, a call that needs a live core, state blob size or None)
TYPES = [
    (AccQ15, lambda: AccQ15(3), lambda o: o.get(), 24),
    (AccQ8, lambda: AccQ8(3), lambda o: o.get(), 20),
    (InterpolatedTable, lambda: InterpolatedTable([1, 2, 3]), lambda o: o.execute([0.5]), None),
    (AGC, lambda: AGC(), lambda o: o.steps(np.full(8, 3 + 4j, np.complex64)).tobytes(), 120),
    (AGCBank, lambda: AGCBank(2), lambda o: o.steps(np.full((2, 8), 3 + 4j, np.complex64)).tobytes(), None),
]
STATEFUL = [t for t in TYPES if t[3] is not None]


def ids(rows):
    return [row[0].__name__ for row in rows]


@pytest.mark.parametrize("cls, make, use, _", TYPES, ids=ids(TYPES))
class TestLifecycle:
    def test_destroy_twice_then_everything_is_destroyed(self, cls, make, use, _):
        obj = make()
        use(obj)
        assert obj.destroy() is None and obj.destroy() is None
        for call in (lambda: use(obj), obj.reset):
            with pytest.raises(RuntimeError, match="^destroyed$"):
                call()

    def test_destroyed_guard_comes_before_argument_parsing(self, cls, make, use, _):
        obj = make()
        obj.destroy()
        bad_calls = {"reset": (), "step": ("bad",), "steps": (1, 2, 3), "madd": (None,), "set_acc": ("x",),
                     "get": (), "get_acc": (), "dump": (), "execute": (None, "bad out"), "execute_max_out": (),
                     "state_bytes": (), "get_state": (), "set_state": (bytearray(),), "set_telemetry": (1,)}
        for name, args in bad_calls.items():
            if hasattr(obj, name):
                with pytest.raises(RuntimeError, match="^destroyed$"):
                    getattr(obj, name)(*args)
        for prop in [name for name, value in vars(cls).items() if type(value).__name__ == "getset_descriptor"]:
            with pytest.raises(RuntimeError, match="^destroyed$"):
                getattr(obj, prop)
            if prop not in ("n", "gain_db", "applied_gain_db", "channels"):
                with pytest.raises(RuntimeError, match="^destroyed$"):
                    setattr(obj, prop, "not a number")

    def test_with_binds_the_object_and_releases_it(self, cls, make, use, _):
        obj = make()
        with obj as bound:
            assert bound is obj
            use(obj)
        with pytest.raises(RuntimeError, match="destroyed"):
            use(obj)
        with pytest.raises(KeyError):          # the block's exception reaches the caller
            with make():
                raise KeyError("x")
        assert obj.__enter__() is obj          # no guard on __enter__

    def test_exit_accepts_any_positional_arguments_and_no_keywords(self, cls, make, use, _):
        obj = make()
        assert obj.__exit__() is None
        assert obj.__exit__(None, None, None) is None
        assert obj.__exit__(1, 2, 3, 4, 5) is None
        with pytest.raises(TypeError):
            make().__exit__(exc=None)

    def test_init_again_revives_a_released_object(self, cls, make, use, _):
        obj = make()
        obj.destroy()
        obj.__init__(*{InterpolatedTable: [[1, 2]], AGCBank: [2]}.get(cls, []))
        use(obj)

    def test_no_args_methods_refuse_arguments(self, cls, make, use, _):
        obj = make()
        for name in ("reset", "destroy", "__enter__"):
            with pytest.raises(TypeError):
                getattr(obj, name)(1)

    def test_copies_and_pickles_are_refused(self, cls, make, use, _):
        obj = make()
        for duplicate in (copy.copy, copy.deepcopy, pickle.dumps):
            with pytest.raises(TypeError, match="cannot pickle"):
                duplicate(obj)

    def test_type_object(self, cls, make, use, _):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        obj = make()
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)
        assert not gc.is_tracked(obj)
        assert cls.__name__ == cls.__qualname__ and cls.__doc__
        assert type(obj).__basicsize__ == object.__basicsize__ + 8

    def test_unbound_object_reports_destroyed(self, cls, make, use, _):
        obj = cls.__new__(cls)
        with pytest.raises(RuntimeError, match="destroyed"):
            use(obj)
        obj.destroy()
        del obj                                   # dealloc of an unbound object


def test_failed_create_leaves_the_object_unbound():
    table = InterpolatedTable([1])
    with pytest.raises(MemoryError, match="^interp_table_create returned NULL$"):
        table.__init__([])
    with pytest.raises(RuntimeError, match="destroyed"):
        table.execute([0.0])
    with pytest.raises(MemoryError, match="interp_table_create returned NULL"):
        InterpolatedTable(np.zeros((3, 0)))


def test_failed_parse_keeps_the_live_core():
    acc = AccQ15(9)
    with pytest.raises(TypeError):
        acc.__init__("nine")
    assert acc.get() == 9


def rss_bytes():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# 100 cores of 16 MiB each: 1.6 GiB if they leaked. The bound leaves room for
# a sanitizer's quarantine of freed memory (256 MiB by default).
LEAKED = 100 * (16 << 20)


def test_second_init_releases_the_core_it_replaces():
    big = np.zeros(1 << 20, np.complex128)
    table = InterpolatedTable(big)
    before = rss_bytes()
    for _ in range(100):
        table.__init__(big)
    assert rss_bytes() - before < LEAKED // 4


def test_objects_are_released_when_collected():
    big = np.zeros(1 << 20, np.complex128)
    before = rss_bytes()
    for _ in range(100):
        InterpolatedTable(big)
    assert rss_bytes() - before < LEAKED // 4


@pytest.mark.parametrize("cls, make, use, size", STATEFUL, ids=ids(STATEFUL))
class TestStateBlob:
    def test_size_and_round_trip(self, cls, make, use, size):
        obj = make()
        blob = obj.get_state()
        assert obj.state_bytes() == size and isinstance(blob, bytes) and len(blob) == size
        expected = use(obj)
        obj.reset()
        obj.set_state(blob)
        assert use(obj) == expected

    def test_non_bytes_are_type_errors(self, cls, make, use, size):
        obj = make()
        blob = obj.get_state()
        for wrong in (bytearray(blob), memoryview(blob), blob.decode("latin-1"), None, 5):
            with pytest.raises(TypeError, match="^set_state expects bytes$"):
                obj.set_state(wrong)

        class Blob(bytes):
            pass
        obj.set_state(Blob(blob))                    # a bytes subclass is bytes
        with pytest.raises(TypeError):
            obj.set_state()
        with pytest.raises(TypeError):
            obj.set_state(blob, blob)

    def test_random_blobs_never_crash_and_keep_state(self, cls, make, use, size):
        obj = make()
        use(obj)
        expected = obj.get_state()
        rng = np.random.default_rng(7)
        for length in range(0, 3 * size):
            for _ in range(4):
                junk = rng.integers(0, 256, length, dtype=np.uint8).tobytes()
                with pytest.raises(ValueError):
                    obj.set_state(junk)
        assert obj.get_state() == expected

    def test_no_reference_leaks(self, cls, make, use, size):
        obj = make()
        blob = obj.get_state()
        bad = b"x" * size
        before = sys.getrefcount(blob), sys.getrefcount(bad)
        for _ in range(200):
            obj.set_state(blob)
            with pytest.raises(ValueError):
                obj.set_state(bad)
        assert (sys.getrefcount(blob), sys.getrefcount(bad)) == before
