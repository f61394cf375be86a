// AGCBank: many AGC channels with one set of parameters, run over the rows of
// a (channels, n) block. Unlike every other type of the package, its block
// calls release the interpreter lock (see common/guarded.h).
#include "agc/agc_bank_module.h"

#include <cstring>
#include <type_traits>

#include "agc/agc_bank.h"
#include "agc/agc_binding.h"
#include "common/arrays.h"
#include "common/guarded.h"
#include "common/lifecycle.h"
#include "common/module.h"

namespace {

using qv::Array;
using Bank = qv::Guarded<agc_bank_t, agc_bank_destroy>;

// Block calls of at least this many samples (all rows) run with the
// interpreter lock released: a few microseconds of work, against the lock's
// hand-over of well under one.
constexpr size_t kReleaseSamples = 4096;

struct BankType {
    using Core = Bank;
    static constexpr const char *module = "agc", *name = "AGCBank", *example = "AGCBank(2)";
    static constexpr const char *create_name = "agc_bank_create";
    // A channel's blob: that of an AGC (get_state and set_state take a channel).
    static constexpr size_t kStateSizes[] = {QV_AGC_STATE_BYTES, QV_AGC_STATE_BYTES_PENDING, QV_AGC_STATE_BYTES_ONSET};
    static constexpr auto destroy = Bank::drop;

    struct Args : qv::agc::LoopArgs {
        Py_ssize_t channels = 0;
    };
    static bool parse(PyObject *args, PyObject *kw, Args &a) {
        static const char *_kwlist[] = {"channels", "ref_db", "loop_bw", "alpha", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kw, "n|ddd", const_cast<char **>(_kwlist), &a.channels, &a.ref_db,
                                         &a.loop_bw, &a.alpha))
            return false;
        if (a.channels >= 1) return true;
        PyErr_Format(PyExc_ValueError, "channels must be at least 1, not %zd", a.channels);
        return false;
    }
    static Core *create(Args &a) {
        return Bank::adopt(agc_bank_create(size_t(a.channels), a.ref_db, a.loop_bw, a.alpha));
    }
};

using Life = qv::Lifecycle<BankType>;

// A call's hold on the bank, after the destroyed guard: bank() is the
// record, or null with the error set or to come. Errors under it go through
// fail(), raised once it is let go (see common/guarded.h).
struct Held : Bank::Hold {
    explicit Held(PyObject *self) : Bank::Hold(Life::live(self)) {}
    agc_bank_t *bank() { return core(); }
};

// How the parameters' properties reach the bank (see agc_binding.h): the
// first channel answers, and a change goes to every channel.
struct BankAccess {
    static bool live(PyObject *self) { return Life::live(self); }
    template <class F>
    static PyObject *view(PyObject *self, F &&f) {
        Held held(self);
        const agc_bank_t *b = held.bank();
        return b ? f(b->chan[0]) : nullptr;
    }
    template <class F>
    static bool change(PyObject *self, F &&f) {
        Held held(self);
        agc_bank_t *b = held.bank();
        if (!b) return false;
        agc_t like = b->chan[0];
        f(like);
        agc_bank_configure(b, &like);
        return true;
    }
};

// Channel c of the bank (negative c counts from the end), or false with
// IndexError to come.
bool channel_index(Held &held, const agc_bank_t *b, Py_ssize_t &c) {
    if (c < 0) c += Py_ssize_t(b->channels);
    if (c >= 0 && size_t(c) < b->channels) return true;
    held.fail(PyExc_IndexError, "no channel %zd in a bank of %zu", c, b->channels);
    return false;
}

bool watched(const agc_bank_t *b) {
    for (size_t c = 0; c < b->channels; ++c)
        if (b->chan[c].tlm) return true;
    return false;
}

PyDoc_STRVAR(AGCBank_doc,
"AGCBank(channels, ref_db=0.0, loop_bw=0.0025, alpha=0.05)\n--\n\n"
"Construct a bank of ``channels`` AGC loops that share their parameters.\n\n"
"``steps`` and ``stream`` take a (channels, n) complex64 block and run row c\n"
"through channel c: its output, ``gain_db`` and loop state are bit for bit\n"
"those of an ``AGC`` with the same parameters and history taking row c, for\n"
"every ``decim``, any n and any samples. The bank runs several channels' loop\n"
"updates at once, which one AGC cannot (each of its chunks waits for the\n"
"previous chunk's gain): a multi-channel receiver levels many streams for\n"
"little more than the cost of one.\n\n"
"Parameters (``ref_db``, ``loop_bw``, ``alpha``, ``decim``, ``clip_db``,\n"
"``acquire``, ``max_gain_db``, ``gate_db``, ``attack_db``) belong to the\n"
"bank, with the meanings and defaults they have on ``AGC``; each channel has\n"
"its own loop state. ``get_state(c)`` is the blob ``AGC.get_state`` would\n"
"give for channel c (120 bytes, 152 while ``stream`` has a chunk pending,\n"
"176 with a setting for bursts on), and ``set_state(c, blob)`` takes any\n"
"AGC blob that holds the bank's parameters. ``AGCBank.from_preset``\n"
"returns a bank set up by a preset.\n\n"
"Threads: ``steps`` and ``stream`` release the interpreter lock for blocks\n"
"of 4,096 samples or more, so banks on several threads use several cores;\n"
"every other quorvel call keeps it. Calls on one bank take turns: two\n"
"threads stepping one bank get what the same calls one after the other\n"
"would, and ``destroy``, ``set_state`` or a property on another thread wait\n"
"for (or, ``destroy``, leave the freeing to) a running call. Keep ``x`` and\n"
"``out`` as they are while a call runs on them. While telemetry is\n"
"attached the calls keep the interpreter lock (see ``set_telemetry``).\n\n"
"Parameters\n----------\n"
"channels : int\n    Number of channels, at least 1.\n"
"ref_db, loop_bw, alpha : float, optional\n    As for ``AGC``.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC, AGCBank\n"
">>> x = np.array([np.full(1000, 4 + 0j), np.full(1000, 0.25j)], np.complex64)\n"
">>> bank = AGCBank(2)\n"
">>> y = bank.steps(x)\n"
">>> bank.gain_db.round(1)\n"
"array([-12.,  12.])\n"
">>> one = AGC()\n"
">>> np.array_equal(y[1], one.steps(x[1])), bank.get_state(1) == one.get_state()\n"
"(True, True)\n");

PyDoc_STRVAR(AGCBank_reset_doc,
"reset($self, /)\n--\n\n"
"Return every channel's loop to its freshly constructed condition.\n\n"
"What ``AGC.reset`` does, on every channel: the parameters and a telemetry\n"
"attachment stay.\n\n"
"Returns\n-------\nNone\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGCBank\n"
">>> bank = AGCBank(2)\n"
">>> _ = bank.steps(np.full((2, 1000), 4 + 0j, np.complex64))\n"
">>> bank.reset()\n"
">>> bank.gain_db\n"
"array([0., 0.])\n");

PyObject *AGCBank_reset(PyObject *self, PyObject *) {
    Held held(self);
    agc_bank_t *b = held.bank();
    if (!b) return nullptr;
    agc_bank_reset(b);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(AGCBank_steps_doc,
"steps(x[, out], *, layout='rows') -> ndarray\n\n"
"Run row c of a block through channel c's decimated loop, for every c.\n\n"
"Each row as ``AGC.steps`` takes it: chunks of ``decim`` samples from the\n"
"call's first sample, a chunk that ``stream`` left pending dropped. With\n"
"``layout='interleaved'`` the block is (n, channels), sample i of every\n"
"channel side by side as a multi-channel recording stores them, and column\n"
"c goes through channel c: the bits of ``steps(x.T).T``, without the two\n"
"transposes.\n\n"
"Parameters\n----------\n"
"x : array_like\n"
"    A (channels, n) block, converted to complex64 without forced casting\n"
"    (complex128 is refused); any n, 0 included.\n"
"out : ndarray, optional\n"
"    Writeable complex64 array of the shape of ``x`` that receives the output\n"
"    and is returned; it may be ``x`` itself (in place). Any layout works; a\n"
"    buffer that overlaps ``x`` otherwise gives the same result as separate\n"
"    buffers.\n"
"layout : {'rows', 'interleaved'}, optional\n"
"    Whether a channel is a row of ``x`` (the default) or a column of an\n"
"    (n, channels) ``x``.\n\n"
"Returns\n-------\nndarray\n    The output, of the shape of ``x``; ``out`` when given.\n\n"
"Raises\n------\n"
"TypeError\n    ``out`` is not a writable complex64 ndarray.\n"
"ValueError\n    ``x`` is not two-dimensional with a row (a column, interleaved)\n"
"    per channel, ``out`` has another shape, or ``layout`` is neither.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGCBank\n"
">>> bank = AGCBank(3)\n"
">>> x = np.full((3, 1000), 4 + 0j, np.complex64)\n"
">>> bank.steps(x, out=x) is x            # in place\n"
"True\n"
">>> bank.steps(np.zeros((3, 0), np.complex64)).shape\n"
"(3, 0)\n"
">>> recorded = np.full((1000, 3), [4, 2, 1], np.complex64)   # interleaved\n"
">>> np.array_equal(AGCBank(3).steps(recorded, layout='interleaved'), AGCBank(3).steps(recorded.T).T)\n"
"True\n");

// steps and stream: a (channels, n) block into a new block or out= of its
// shape, its rows counted against the channels under the bank's hold; steps
// also an interleaved (n, channels) one, through run_interleaved.
template <auto run, auto run_interleaved = nullptr>
PyObject *block_call(PyObject *self, PyObject *args, PyObject *kw) {
    constexpr bool takes_layout = !std::is_null_pointer_v<decltype(run_interleaved)>;
    qv::agc::BlockCall call;
    const char *layout = "rows";
    if (!Life::live(self) || !call.parse(args, kw, takes_layout ? &layout : nullptr)) return nullptr;
    const bool interleaved = std::strcmp(layout, "interleaved") == 0;
    if (!interleaved && std::strcmp(layout, "rows") != 0)
        return PyErr_Format(PyExc_ValueError, "layout must be 'rows' or 'interleaved', not '%s'", layout);
    PyArrayObject *x = call.x().arr();
    if (PyArray_NDIM(x) != 2)
        return PyErr_Format(PyExc_ValueError, "x must be a %s block, not %d-dimensional",
                            interleaved ? "(n, channels)" : "(channels, n)", PyArray_NDIM(x));
    const npy_intp rows = PyArray_DIM(x, 0), columns = PyArray_DIM(x, 1);
    const npy_intp channels = interleaved ? columns : rows, n = interleaved ? rows : columns;
    const bool made = call.make_output(qv::agc::BlockCall::Fresh::like_x, [&](const Array &out) {
        if (PyArray_NDIM(out.arr()) == 2 && PyArray_DIM(out.arr(), 0) == rows && PyArray_DIM(out.arr(), 1) == columns)
            return true;
        PyErr_Format(PyExc_ValueError, "out must have the shape of x, (%zd, %zd)", Py_ssize_t(rows),
                     Py_ssize_t(columns));
        return false;
    });
    if (!made) return nullptr;
    {
        Held held(self);
        agc_bank_t *b = held.bank();
        if (!b) return nullptr;
        if (size_t(channels) != b->channels)
            return held.fail(PyExc_ValueError, "x has %zd %s for %zu channels", Py_ssize_t(channels),
                             interleaved ? "columns" : "rows", b->channels);
        // The ring of a telemetry context takes one producer at a time: an
        // attached bank keeps the lock, as every AGC does.
        const bool release = b->channels * size_t(n) >= kReleaseSamples && !watched(b);
        qv::maybe_without_interpreter_lock(release, [&] {
            if constexpr (takes_layout) {
                if (interleaved) return run_interleaved(b, call.in(), call.out(), size_t(n));
            }
            run(b, call.in(), call.out(), size_t(n));
        });
    }
    return call.result();
}

constexpr auto AGCBank_steps = block_call<agc_bank_steps, agc_bank_steps_interleaved>;

PyDoc_STRVAR(AGCBank_stream_doc,
"stream(x[, out]) -> ndarray\n\n"
"Run row c of the next block of channel c's stream through its loop.\n\n"
"Each row as ``AGC.stream`` takes it: the chunk grid carried from call to\n"
"call, so any cut of the streams gives one ``steps`` call's bits on every\n"
"complete chunk, and a chunk left unfinished is pending in every channel\n"
"(``get_state(c)`` is then 152 bytes). Channels whose pending chunks differ\n"
"(``set_state`` can make them) each keep their own grid.\n\n"
"Parameters\n----------\n"
"x : array_like\n    A (channels, n) block, as for ``steps``.\n"
"out : ndarray, optional\n    As for ``steps``.\n\n"
"Returns\n-------\nndarray\n    (channels, n) complex64 output, ``out`` when given.\n\n"
"Raises\n------\n"
"TypeError\n    ``out`` is not a writable complex64 ndarray.\n"
"ValueError\n    ``x`` is not two-dimensional with a row per channel, or ``out``\n"
"    has another shape.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGCBank\n"
">>> x = (np.arange(2000).reshape(2, 1000) % 7 + 1j).astype(np.complex64)\n"
">>> whole = AGCBank(2).steps(x)\n"
">>> bank = AGCBank(2)\n"
">>> parts = [bank.stream(x[:, i:j]) for i, j in [(0, 3), (3, 500), (500, 1000)]]\n"
">>> np.array_equal(np.concatenate(parts, axis=1), whole)\n"
"True\n");

constexpr auto AGCBank_stream = block_call<agc_bank_stream>;

PyDoc_STRVAR(AGCBank_get_state_doc,
"get_state($self, c, /)\n--\n\n"
"Serialize channel c's state as ``AGC.get_state`` does.\n\n"
"The blob an AGC with the bank's parameters and channel c's history would\n"
"give: 120 bytes, 152 while ``stream`` has a chunk pending, 176 with a\n"
"setting for bursts on. Any AGC's or this bank's ``set_state`` takes it.\n\n"
"Parameters\n----------\n"
"c : int\n    Channel; negative counts from the end.\n\n"
"Returns\n-------\nbytes\n\n"
"Raises\n------\nIndexError\n    No such channel.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC, AGCBank\n"
">>> bank = AGCBank(2)\n"
">>> _ = bank.steps(np.full((2, 100), 2 + 0j, np.complex64))\n"
">>> agc = AGC()\n"
">>> agc.set_state(bank.get_state(-1))\n"
">>> bool(agc.gain_db == bank.gain_db[1])\n"
"True\n");

PyDoc_STRVAR(AGCBank_state_bytes_doc,
"state_bytes($self, c, /)\n--\n\n"
"Size in bytes of ``get_state(c)``: 120, 152 while a chunk is pending, or\n"
"176 with a setting for bursts on.\n\n"
"Parameters\n----------\n"
"c : int\n    Channel; negative counts from the end.\n\n"
"Returns\n-------\nint\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGCBank\n"
">>> bank = AGCBank(2)\n"
">>> _ = bank.stream(np.ones((2, 3), np.complex64))\n"
">>> bank.state_bytes(0)\n"
"152\n");

// get_state(c) and state_bytes(c): the channel's blob, or its length.
template <bool blob>
PyObject *channel_state(PyObject *self, PyObject *args) {
    Py_ssize_t c;
    if (!Life::live(self) || !PyArg_ParseTuple(args, "n", &c)) return nullptr;
    Held held(self);
    agc_bank_t *b = held.bank();
    if (!b || !channel_index(held, b, c)) return nullptr;
    agc_t *channel = b->chan + c;
    if constexpr (!blob) {
        return PyLong_FromSize_t(agc_state_bytes(channel));
    } else {
        PyObject *bytes = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(agc_state_bytes(channel)));
        if (bytes) agc_get_state(channel, PyBytes_AS_STRING(bytes));
        return bytes;
    }
}

PyDoc_STRVAR(AGCBank_set_state_doc,
"set_state($self, c, blob, /)\n--\n\n"
"Restore channel c's state from an AGC's (or a channel's) blob.\n\n"
"The blob's parameters must be the bank's, bit for bit: set the bank's\n"
"properties first to take a blob of an AGC set up otherwise.\n\n"
"Parameters\n----------\n"
"c : int\n    Channel; negative counts from the end.\n"
"blob : bytes\n    120, 152 or 176 bytes as ``AGC.get_state`` returns them.\n\n"
"Returns\n-------\nNone\n\n"
"Raises\n------\n"
"IndexError\n    No such channel.\n"
"TypeError\n    ``blob`` is not bytes.\n"
"ValueError\n    Not an AGC state, or one with other parameters; the channel\n"
"    keeps its state.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC, AGCBank\n"
">>> agc = AGC()\n"
">>> _ = agc.steps(np.full(100, 2 + 0j, np.complex64))\n"
">>> bank = AGCBank(3)\n"
">>> bank.set_state(2, agc.get_state())\n"
">>> bool(bank.gain_db[2] == agc.gain_db)\n"
"True\n"
">>> agc.decim = 16\n"
">>> bank.set_state(0, agc.get_state())\n"
"Traceback (most recent call last):\n    ...\n"
"ValueError: set_state: the blob's parameters are not the bank's\n");

PyObject *AGCBank_set_state(PyObject *self, PyObject *args) {
    Py_ssize_t c;
    PyObject *blob;
    if (!Life::live(self) || !PyArg_ParseTuple(args, "nO", &c, &blob)) return nullptr;
    const char *bytes = Life::blob_bytes(Life::live(self), blob);
    if (!bytes) return nullptr;
    Held held(self);
    agc_bank_t *b = held.bank();
    if (!b || !channel_index(held, b, c)) return nullptr;
    const int rc = agc_bank_set_state(b, size_t(c), bytes);
    if (rc == QV_AGC_BANK_OTHER_PARAMETERS)
        return held.fail(PyExc_ValueError, "set_state: the blob's parameters are not the bank's");
    if (rc != 0) return held.fail(PyExc_ValueError, "%s", Life::kRejected);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(AGCBank_set_telemetry_doc,
"set_telemetry(tlm, prefix, decim) -> None\n\n"
"Attach (or detach) a telemetry context to every channel.\n\n"
"Channel c emits ``<prefix>.<c>.gain_db`` and ``<prefix>.<c>.level_db`` at\n"
"every loop update, as ``AGC.set_telemetry`` describes; records of different\n"
"channels interleave in the order the bank runs them, and each probe's\n"
"records come in order. A context holds 64 probes, two per channel, so at\n"
"most 32 channels can be watched: a larger bank, or a context without room\n"
"for the probes it does not hold yet, is refused before anything registers.\n"
"While attached, ``steps`` and ``stream`` keep the interpreter lock: a\n"
"context's ring takes one producer at a time, and so every AGC and bank\n"
"attached to one context may be stepped from any thread.\n\n"
"Parameters\n----------\n"
"tlm : Telemetry, capsule or None\n"
"    As for ``AGC.set_telemetry``; None detaches every channel.\n"
"prefix : str\n"
"    Probe name prefix; names are cut to 31 bytes, and a prefix that would\n"
"    make two names the same is refused.\n"
"decim : int, optional\n"
"    Telemetry thinning, as for ``AGC.set_telemetry``.\n\n"
"Returns\n-------\nNone\n\n"
"Raises\n------\n"
"ValueError\n"
"    More than 32 channels, a context without room, ``decim`` 0 or a prefix\n"
"    that is too long; an earlier attachment stays in force.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGCBank\n"
">>> from quorvel.telemetry import Telemetry\n"
">>> tlm = Telemetry(4096)\n"
">>> bank = AGCBank(2)\n"
">>> bank.set_telemetry(tlm, \"rx\")\n"
">>> tlm.probe_names\n"
"('rx.0.gain_db', 'rx.0.level_db', 'rx.1.gain_db', 'rx.1.level_db')\n"
">>> _ = bank.steps(np.full((2, 800), 0.5 + 0j, np.complex64))\n"
">>> len(tlm.demux(tlm.read())['rx.1.gain_db'])\n"
"100\n"
">>> AGCBank(33).set_telemetry(tlm, \"big\")\n"
"Traceback (most recent call last):\n    ...\n"
"ValueError: set_telemetry: a context watches at most 32 channels (two probes each), not 33\n"
">>> bank.set_telemetry(None, \"rx\")\n"
">>> tlm.close()\n");

PyObject *AGCBank_set_telemetry(PyObject *self, PyObject *args, PyObject *kw) {
    qv::agc::TelemetryArgs t;
    if (!Life::live(self) || !t.parse(args, kw)) return nullptr;
    qv_tlm *const context = t.context.get();
    Held held(self);
    agc_bank_t *b = held.bank();
    if (!b) return nullptr;
    const uint32_t probes = context ? qv_tlm_probe_count(context) : 0;  // those the context has already
    const int rc = agc_bank_set_telemetry(b, context, t.prefix, t.decim);
    if (rc == QV_AGC_BANK_TOO_MANY_CHANNELS)
        return held.fail(PyExc_ValueError,
                         "set_telemetry: a context watches at most %d channels (two probes each), not %zu",
                         int(QV_AGC_BANK_MAX_WATCHED), b->channels);
    if (rc == QV_AGC_BANK_NO_ROOM)
        return held.fail(PyExc_ValueError,
                         "set_telemetry: the context holds %u of its %d probes, without room for the %zu "
                         "channels' two each",
                         probes, int(QV_TLM_MAX_PROBES), b->channels);
    if (rc != 0) return held.fail(PyExc_ValueError, qv::agc::kTelemetryRefused, rc);
    Py_RETURN_NONE;
}

PyObject *AGCBank_getprop_channels(PyObject *self, void *) {
    Held held(self);
    agc_bank_t *b = held.bank();
    return b ? PyLong_FromSize_t(b->channels) : nullptr;
}

// A read-only float64 copy of every channel's command.
PyObject *AGCBank_getprop_gain_db(PyObject *self, void *) {
    Held held(self);
    agc_bank_t *b = held.bank();
    if (!b) return nullptr;
    Array gains;
    if (!qv::new_vector(NPY_DOUBLE, npy_intp(b->channels), gains)) return nullptr;
    for (size_t c = 0; c < b->channels; ++c) gains.data<double>()[c] = b->chan[c].gain_db;
    PyArray_CLEARFLAGS(gains.arr(), NPY_ARRAY_WRITEABLE);
    return gains.ref.release();
}

PyDoc_STRVAR(AGCBank_channels_doc,
"The number of channels, fixed at construction.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import AGCBank\n"
">>> AGCBank(4).channels\n"
"4\n");

PyDoc_STRVAR(AGCBank_gain_db_doc,
"Every channel's gain command in dB: a new read-only float64 array.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGCBank\n"
">>> bank = AGCBank(2)\n"
">>> _ = bank.steps(np.array([[1 + 0j] * 1000, [10 + 0j] * 1000], np.complex64))\n"
">>> bank.gain_db.round(1), bank.gain_db.flags.writeable\n"
"(array([  0., -20.]), False)\n");

PyDoc_STRVAR(AGCBank_decim_doc,
"Chunk length of ``steps`` and ``stream`` in every channel (0 acts as 1).\n\n"
"As ``AGC.decim``; an int taken modulo 2**64.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import AGCBank\n"
">>> bank = AGCBank(2)\n"
">>> bank.decim = 16\n"
">>> bank.decim\n"
"16\n");

PyDoc_STRVAR(AGCBank_acquire_doc,
"The acquisition mode of every channel: False (the default) or True.\n\n"
"As ``AGC.acquire``.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import AGCBank\n"
">>> bank = AGCBank(2)\n"
">>> bank.acquire = True\n"
">>> bank.acquire\n"
"True\n");

PyDoc_STRVAR(AGCBank_max_gain_db_doc,
"The gain ceiling of every channel, in dB (``inf``, the default: none).\n\n"
"As ``AGC.max_gain_db``.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import AGCBank\n"
">>> bank = AGCBank(2)\n"
">>> bank.max_gain_db = 60.0\n"
">>> bank.max_gain_db, bank.state_bytes(0)\n"
"(60.0, 176)\n");

PyDoc_STRVAR(AGCBank_gate_db_doc,
"The gate of every channel: the input power in dB below which an update\n"
"holds (``-inf``, the default: none).\n\n"
"As ``AGC.gate_db``; each channel compares its own input.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import AGCBank\n"
">>> bank = AGCBank(2)\n"
">>> bank.gate_db = -80.0\n"
">>> bank.gate_db\n"
"-80.0\n");

PyDoc_STRVAR(AGCBank_attack_db_doc,
"The fast attack of every channel: the excess over ``ref_db`` in dB that\n"
"an update corrects at once (``inf``, the default: never).\n\n"
"As ``AGC.attack_db``; each channel attacks on its own samples.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import AGCBank\n"
">>> bank = AGCBank(2)\n"
">>> bank.attack_db = 6.0\n"
">>> bank.attack_db\n"
"6.0\n");

// The bank's words for its parameters, beside those it shares with AGC.
struct BankDocs : qv::agc::ParameterDocs {
    static constexpr const char *decim = AGCBank_decim_doc;
    static constexpr const char *max_gain_db = AGCBank_max_gain_db_doc;
    static constexpr const char *gate_db = AGCBank_gate_db_doc;
    static constexpr const char *attack_db = AGCBank_attack_db_doc;
};

#define AGCBANK_PARAMETER_(name, scope) QV_AGC_IF_SHARED(scope, QV_AGC_PROPERTY(BankAccess, BankDocs, name))
PyGetSetDef AGCBank_getset[] = {
    {"channels", AGCBank_getprop_channels, nullptr, AGCBank_channels_doc, nullptr},
    {"gain_db", AGCBank_getprop_gain_db, nullptr, AGCBank_gain_db_doc, nullptr},
    QV_AGC_PARAMETERS(AGCBANK_PARAMETER_)
    {"acquire", qv::agc::get_acquire<BankAccess>, qv::agc::set_acquire<BankAccess>, AGCBank_acquire_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef AGCBANK_PARAMETER_

PyDoc_STRVAR(AGCBank_from_preset_doc,
"from_preset($type, channels, name, /, **overrides)\n--\n\n"
"Return a bank of ``channels`` channels set up as ``AGC.from_preset(name, **overrides)``.\n\n"
"Every channel is bit for bit the AGC that ``AGC.from_preset`` returns for\n"
"the same arguments.\n\n"
"Parameters\n----------\n"
"channels : int\n    Number of channels, at least 1.\n"
"name : str\n    A key of ``PRESETS``.\n"
"**overrides\n    Settable properties of the bank whose values replace the preset's.\n\n"
"Returns\n-------\nAGCBank\n\n"
"Raises\n------\n"
"ValueError\n    No preset of that name, or ``channels`` below 1.\n"
"TypeError\n    An override that is not a settable property of ``AGCBank``.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import AGC, AGCBank\n"
">>> bank = AGCBank.from_preset(2, 'burst', ref_db=-6.0)\n"
">>> bank.get_state(1) == AGC.from_preset('burst', ref_db=-6.0).get_state()\n"
"True\n"
">>> AGCBank.from_preset(2, 'burst', gain_update_period=4)\n"
"Traceback (most recent call last):\n    ...\n"
"TypeError: 'gain_update_period' is not a setting of AGCBank\n");

PyObject *AGCBank_from_preset(PyObject *cls, PyObject *args, PyObject *kw) {
    PyObject *channels, *name;
    if (!PyArg_ParseTuple(args, "OO", &channels, &name)) return nullptr;
    qv::PyRef leading = qv::PyRef::steal(PyTuple_Pack(1, channels));
    if (!leading) return nullptr;
    return qv::agc::from_preset(cls, leading.get(), name, kw, qv::agc::parameter_names<true>(), "AGCBank");
}

PyMethodDef AGCBank_methods[] = {
    {"from_preset", qv::with_keywords(AGCBank_from_preset), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     AGCBank_from_preset_doc},
    {"reset", AGCBank_reset, METH_NOARGS, AGCBank_reset_doc},
    {"steps", qv::with_keywords(AGCBank_steps), METH_VARARGS | METH_KEYWORDS, AGCBank_steps_doc},
    {"stream", qv::with_keywords(AGCBank_stream), METH_VARARGS | METH_KEYWORDS, AGCBank_stream_doc},
    {"set_telemetry", qv::with_keywords(AGCBank_set_telemetry), METH_VARARGS | METH_KEYWORDS,
     AGCBank_set_telemetry_doc},
    {"state_bytes", channel_state<false>, METH_VARARGS, AGCBank_state_bytes_doc},
    {"get_state", channel_state<true>, METH_VARARGS, AGCBank_get_state_doc},
    {"set_state", AGCBank_set_state, METH_VARARGS, AGCBank_set_state_doc},
    Life::destroy_def(),
    Life::enter_def(),
    Life::exit_def(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject *agc_bank_type() { return Life::init_type(AGCBank_doc, AGCBank_methods, AGCBank_getset); }
