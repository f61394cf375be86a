// quorvel.agc: the AGC type and the settling-time query (AGCBank: agc_bank_module.cpp).
#include "agc/agc_bank_module.h"
#include "agc/agc_binding.h"
#include "agc/agc_core.h"
#include "agc/agc_loop.h"
#include "agc/agc_presets.h"
#include "agc/agc_variants.h"
#include "common/lifecycle.h"
#include "common/module.h"

namespace {

struct AgcType {
    using Core = agc_t;
    static constexpr const char *module = "agc", *name = "AGC", *example = "AGC()";
    static constexpr const char *create_name = "agc_create";
    static constexpr size_t kStateSizes[] = {QV_AGC_STATE_BYTES, QV_AGC_STATE_BYTES_PENDING, QV_AGC_STATE_BYTES_ONSET};
    static constexpr auto destroy = agc_destroy;
    static constexpr auto state_bytes = agc_state_bytes;
    static constexpr auto get_state = agc_get_state;
    static constexpr auto set_state = agc_set_state;

    using Args = qv::agc::LoopArgs;
    static bool parse(PyObject *args, PyObject *kw, Args &a) {
        static const char *_kwlist[] = {"ref_db", "loop_bw", "alpha", nullptr};
        return PyArg_ParseTupleAndKeywords(args, kw, "|ddd", const_cast<char **>(_kwlist), &a.ref_db,
                                           &a.loop_bw, &a.alpha);
    }
    static Core *create(Args &a) { return agc_create(a.ref_db, a.loop_bw, a.alpha); }
};

using Life = qv::Lifecycle<AgcType>;

// How the parameters' properties reach the record (see agc_binding.h).
struct AgcAccess {
    static bool live(PyObject *self) { return Life::live(self); }
    template <class F>
    static PyObject *view(PyObject *self, F &&f) {
        const agc_t *core = Life::live(self);
        return core ? f(*core) : nullptr;
    }
    template <class F>
    static bool change(PyObject *self, F &&f) {
        agc_t *core = Life::live(self);
        if (core) f(*core);
        return core;
    }
};

PyDoc_STRVAR(AGC_doc,
"AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05)\n--\n\n"
"Construct a log-domain feedback AGC and return its heap state.\n\n"
"Each complex64 sample is multiplied by a linear gain derived from a gain\n"
"command held in dB; the power of the gained output is smoothed by a\n"
"moving-average detector, converted to dB, and the error ``ref_db - level``\n"
"is integrated into the command. The output is square-clipped at\n"
"``clip_db`` only after the detector has seen it. A new AGC has ``decim`` 8,\n"
"``clip_db`` 120.0, ``gain_update_period`` 1 and ``acquire`` off; change\n"
"them through the properties. Nothing is range-checked.\n\n"
"After every loop update the command is held within ``ref_db - 780`` and\n"
"``ref_db + 300`` dB and at most 760 dB, so silence cannot wind it up\n"
"without bound: exact zeros in give exact zeros out, and a signal that\n"
"returns after silence starts from at most ``ref_db + 300`` dB. Three\n"
"settings for bursts, each off by default, act at the loop updates: a gain\n"
"ceiling (``max_gain_db``), a gate that holds the loop below an input level\n"
"(``gate_db``) and a fast attack that corrects a loud onset in one update\n"
"(``attack_db``). ``PRESETS['burst']`` holds settings for bursts that\n"
"arrive out of silence or noise at any level; ``AGC.from_preset('burst')``\n"
"returns an AGC set up with them.\n\n"
"``steps`` runs a block on its own chunk grid; ``stream`` runs the blocks of\n"
"one stream on one grid, so that the result does not depend on where the\n"
"stream is cut. ``get_state`` saves parameters and loop state as a 120-byte\n"
"blob, or, while ``stream`` has a chunk pending, a 152-byte blob (version 4:\n"
"the 120 bytes, then the chunk: samples done and its length as uint64 at\n"
"offsets 120 and 128, its four float32 partial sums at 136); with a setting\n"
"for bursts on, a 176-byte blob (version 5: the 152 bytes, the chunk's\n"
"fields 0 when none is pending, then ``max_gain_db``, ``gate_db`` and\n"
"``attack_db`` as doubles at 152, 160 and 168). ``set_state`` takes all\n"
"three; a blob of 120 or 152 bytes switches the settings for bursts off.\n\n"
"Parameters\n----------\n"
"ref_db : float, optional\n"
"    Target output power in dB; 0 dB is unit power (``|y|**2 == 1``).\n"
"loop_bw : float, optional\n"
"    Loop noise bandwidth in cycles per sample. The loop filter's time\n"
"    constant is ``1 / (4 * loop_bw)`` samples: a floor on settling, not an\n"
"    estimate of it (the detector sits inside the loop; ask\n"
"    ``settling_samples`` for the real figure). For ``steps`` keep\n"
"    ``4 * decim * loop_bw <= 0.05`` (the defaults give 0.08), or switch\n"
"    ``acquire`` on.\n"
"alpha : float, optional\n"
"    Per-sample coefficient of the power detector's moving average, in (0, 1].\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC\n"
">>> agc = AGC()\n"
">>> agc.ref_db, agc.loop_bw, agc.alpha, agc.decim\n"
"(0.0, 0.0025, 0.05, 8)\n"
">>> y = agc.steps(np.full(1000, 4 + 0j, np.complex64))\n"
">>> round(agc.gain_db, 1)\n"
"-12.0\n");

PyDoc_STRVAR(AGCObj_reset_doc,
"reset($self, /)\n--\n\n"
"Return the loop to its freshly constructed condition.\n\n"
"Sets ``gain_db`` back to 0 dB and the applied gain back to unity, re-seeds\n"
"the detector at the power of the current ``ref_db`` (so a signal already on\n"
"target sees no transient), refreshes the clip level from ``clip_db`` and\n"
"drops a chunk that ``stream`` left pending.\n"
"The configuration (``ref_db``, ``loop_bw``, ``alpha``, ``decim``, ``clip_db``,\n"
"``gain_update_period``, ``acquire``, ``max_gain_db``, ``gate_db``,\n"
"``attack_db``) and a telemetry attachment are left untouched.\n\n"
"Returns\n-------\nNone\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC\n"
">>> agc = AGC()\n"
">>> y = agc.steps(np.full(1000, 4 + 0j, np.complex64))\n"
">>> agc.reset()\n"
">>> agc.gain_db, agc.applied_gain_db, agc.decim\n"
"(0.0, 0.0, 8)\n");

PyObject *AGCObj_reset(PyObject *self, PyObject *) {
    agc_t *core = Life::live(self);
    if (!core) return nullptr;
    agc_reset(core);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(AGC_step_doc,
"step(x) -> float _Complex\n\n"
"Run one sample through the exact per-sample loop.\n\n"
"In order: the sample is multiplied by the linear gain, the detector takes\n"
"its power, the loop filter updates the gain command, and the output is\n"
"clipped. With ``gain_update_period`` P > 1 the loop filter and its dB\n"
"conversions run once per P samples and the gain is held in between (a\n"
"zero-order hold). Neither the held path nor the block path ``steps`` is\n"
"bit-identical to the P = 1 loop, but all converge to the same steady state.\n"
"It drops a chunk that ``stream`` left pending.\n\n"
"Parameters\n----------\n"
"x : complex\n"
"    Any number convertible to complex; each part is rounded to float32.\n\n"
"Returns\n-------\ncomplex\n    The gained, clipped complex64 sample, widened to complex.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import AGC\n"
">>> agc = AGC()\n"
">>> agc.step(4 + 0j)          # the first sample sees unity gain\n"
"(4+0j)\n"
">>> round(agc.gain_db, 6)\n"
"-0.024276\n");

PyDoc_STRVAR(AGC_set_telemetry_doc,
"set_telemetry(tlm, prefix, decim) -> None\n\n"
"Attach (or detach) a telemetry context and register the AGC's probes.\n\n"
"Registers two probes on the context and from then on emits, at every loop\n"
"update of ``step``, ``steps`` and ``stream``:\n\n"
"- ``<prefix>.gain_db``: the gain command after the update, in dB;\n"
"- ``<prefix>.level_db``: the level the detector measured for that update,\n"
"  in dB (the loop's input: a settled loop shows ``ref_db`` whatever the\n"
"  input level, while ``gain_db`` settles to an offset).\n\n"
"Gain comes before level in the ring. ``tlm=None`` detaches and returns the\n"
"probe sites to their one-test disabled cost. Re-attaching with the same\n"
"prefix is idempotent (same names, same probe ids) but sets both probes'\n"
"thinning to the new ``decim`` and restarts it. Attaching is a setup step: do\n"
"it before the thread that steps the AGC starts, and step every AGC attached\n"
"to one context from one thread. The context is borrowed, and the AGC holds\n"
"it while attached: its owner may close it first, and its memory then goes\n"
"when the AGC is detached or destroyed (nobody reads those records).\n\n"
"Parameters\n----------\n"
"tlm : Telemetry, capsule or None\n"
"    A capsule named ``quorvel.telemetry.qv_tlm``, or an object carrying one\n"
"    in its ``_capsule`` attribute; None detaches.\n"
"prefix : str\n"
"    Probe name prefix; names are cut to 31 bytes, and a prefix that would\n"
"    make both names the same is refused.\n"
"decim : int, optional\n"
"    Telemetry thinning: keep one value in ``decim`` per probe (unrelated to\n"
"    the AGC's own ``decim`` property).\n\n"
"Returns\n-------\nNone\n\n"
"Raises\n------\n"
"ValueError\n"
"    ``set_telemetry failed (rc=-4)``: ``decim`` 0, a full probe table or a\n"
"    prefix that is too long; an earlier attachment stays in force.\n\n"
"Examples\n--------\n"
"4096 samples make 512 loop updates at ``decim`` 8, so 512 records per probe:\n\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC\n"
">>> from quorvel.telemetry import Telemetry\n"
">>> tlm = Telemetry(4096)\n"
">>> agc = AGC()\n"
">>> agc.set_telemetry(tlm, \"agc\", 1)\n"
">>> tlm.probe_names\n"
"('agc.gain_db', 'agc.level_db')\n"
">>> _ = agc.steps(np.full(4096, 0.5 + 0j, np.complex64))\n"
">>> probes = tlm.demux(tlm.read())\n"
">>> len(probes['agc.gain_db']), len(probes['agc.level_db'])\n"
"(512, 512)\n"
">>> round(float(probes['agc.gain_db'][-1]), 1), round(float(probes['agc.level_db'][-1]), 1)\n"
"(6.0, 0.0)\n"
">>> agc.set_telemetry(None, \"agc\")\n"
">>> tlm.close()\n");

PyObject *AGC_set_telemetry(PyObject *self, PyObject *args, PyObject *kw) {
    qv::agc::TelemetryArgs t;
    if (!Life::live(self) || !t.parse(args, kw)) return nullptr;
    agc_t *core = Life::live(self);  // again: converting may have run destroy()
    if (!core) return nullptr;
    const int rc = agc_set_telemetry(core, t.context.get(), t.prefix, t.decim);
    if (rc != 0) return qv::agc::telemetry_refused(rc);
    Py_RETURN_NONE;
}

// The exact per-sample loop, inlined here from agc_loop.h and compiled with
// the baseline instruction set; the block path goes through agc_steps.
PyObject *AGC_step(PyObject *self, PyObject *args) {
    Py_complex x;
    if (!Life::live(self) || !PyArg_ParseTuple(args, "D", &x)) return nullptr;
    agc_t *core = Life::live(self);  // again: converting may have run destroy()
    if (!core) return nullptr;
    const qv_cf32 y = qv::agc::agc_step(core, qv::make_cf32(float(x.real), float(x.imag)));
    return PyComplex_FromDoubles(y.real(), y.imag());
}

PyDoc_STRVAR(AGC_steps_doc,
"steps(x[, out]) -> ndarray\n\n"
"Run a block of samples through the decimated loop.\n\n"
"The block is cut into chunks of ``decim`` samples, starting afresh at the\n"
"first sample of every call. Per chunk the linear gain ramps from the\n"
"previous chunk's value to the new command (a first-order hold, no\n"
"staircase), the chunk's mean power feeds the detector and the loop filter\n"
"updates once, with both coefficients compounded so that the time constants\n"
"do not depend on ``decim``. A last chunk shorter than ``decim`` makes a full\n"
"update of its own, so a stream split into calls gives the same output as\n"
"one call only when every call but the last is a multiple of ``decim`` long;\n"
"``stream`` gives it for any split. A chunk that ``stream`` left pending is\n"
"dropped.\n\n"
"Parameters\n----------\n"
"x : array_like\n"
"    Samples, converted to complex64 without forced casting (complex128 is\n"
"    refused); any shape is taken flat.\n"
"out : ndarray, optional\n"
"    Writeable complex64 array of exactly ``x.size`` elements that receives\n"
"    the output and is returned; it may be ``x`` itself (in place). Any\n"
"    layout works; a buffer that overlaps ``x`` otherwise gives the same\n"
"    result as separate buffers.\n\n"
"Returns\n-------\nndarray\n    complex64 output, ``out`` when given.\n\n"
"Raises\n------\n"
"TypeError\n    ``out`` is not a writable complex64 ndarray.\n"
"ValueError\n    ``out`` has another number of elements.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC\n"
">>> agc = AGC()\n"
">>> x = np.full(1000, 4 + 0j, np.complex64)\n"
">>> y = agc.steps(x, out=x)   # in place\n"
">>> y is x\n"
"True\n"
">>> np.round(np.abs(agc.steps(np.full(8, 4 + 0j, np.complex64))) ** 2, 2)\n"
"array([1., 1., 1., 1., 1., 1., 1., 1.], dtype=float32)\n");

// steps and stream: x taken flat, into a new vector or the exact-length out=.
template <auto run>
PyObject *block_call(PyObject *self, PyObject *args, PyObject *kw) {
    qv::agc::BlockCall call;
    if (!Life::live(self) || !call.parse(args, kw) || !call.make_output(qv::agc::BlockCall::Fresh::flat))
        return nullptr;
    agc_t *core = Life::live(self);  // again: converting may have run destroy()
    if (!core) return nullptr;
    run(core, call.in(), call.out(), size_t(call.x().size));
    return call.result();
}

constexpr auto AGC_steps = block_call<agc_steps>;

PyDoc_STRVAR(AGC_stream_doc,
"stream(x[, out]) -> ndarray\n\n"
"Run the next block of one continuous stream through the decimated loop.\n\n"
"The loop of ``steps``, with its chunk grid carried from call to call: the\n"
"output of any sequence of calls, joined, equals one ``steps`` call over\n"
"the joined input on every sample of every complete chunk, and when the\n"
"total length is a multiple of ``decim`` the loop state matches too. Every\n"
"sample comes out in the call that brings it. Samples of a chunk that is\n"
"not complete yet are ramped as in a full chunk; the chunk's loop update\n"
"(and its telemetry record) follows on the call that completes it. So the\n"
"result does not depend on how a stream is cut, as a scheduler or a driver\n"
"cuts it.\n\n"
"A pending chunk keeps the ``decim`` it started with; a new ``decim`` applies\n"
"from the next chunk. Its update uses ``ref_db``, ``loop_bw``, ``alpha`` and\n"
"``acquire`` as the completing call finds them, and each call clips its own\n"
"samples at ``clip_db`` as it finds it. ``steps``, ``step`` and ``reset`` drop\n"
"a pending chunk (its samples are out, the loop never measures them), and\n"
"``steps`` starts its own grid as always. While a chunk is pending,\n"
"``get_state`` returns a 152-byte blob (version 4; the 176 bytes of version\n"
"5 with a setting for bursts on) that carries it, and ``applied_gain_db`` is\n"
"the ramp's gain at the latest sample.\n\n"
"Parameters\n----------\n"
"x : array_like\n"
"    Samples, converted to complex64 without forced casting (complex128 is\n"
"    refused); any shape is taken flat.\n"
"out : ndarray, optional\n"
"    As for ``steps``: a writeable complex64 array of exactly ``x.size``\n"
"    elements, which may be ``x`` itself.\n\n"
"Returns\n-------\nndarray\n    complex64 output, ``out`` when given.\n\n"
"Raises\n------\n"
"TypeError\n    ``out`` is not a writable complex64 ndarray.\n"
"ValueError\n    ``out`` has another number of elements.\n\n"
"Examples\n--------\n"
"Cut anywhere, the stream gives the bits of one call:\n\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC\n"
">>> x = (np.arange(1000) % 7 + 1j).astype(np.complex64)\n"
">>> whole = AGC().steps(x)\n"
">>> agc = AGC()\n"
">>> parts = [agc.stream(x[i:j]) for i, j in [(0, 3), (3, 500), (500, 501), (501, 1000)]]\n"
">>> np.array_equal(np.concatenate(parts), whole)\n"
"True\n"
">>> agc.state_bytes()                  # 1000 = 125 chunks of 8: nothing pending\n"
"120\n"
">>> _ = agc.stream(x[:3])\n"
">>> agc.state_bytes()                  # a chunk is pending\n"
"152\n");

constexpr auto AGC_stream = block_call<agc_stream>;

PyObject *AGC_getprop_gain_db(PyObject *self, void *) {
    const agc_t *core = Life::live(self);
    return core ? PyFloat_FromDouble(core->gain_db) : nullptr;
}

PyObject *AGC_getprop_applied_gain_db(PyObject *self, void *) {
    agc_t *core = Life::live(self);
    if (!core) return nullptr;
    return PyFloat_FromDouble(agc_get_applied_gain_db(core));
}

PyDoc_STRVAR(AGC_applied_gain_db_doc,
"Return the gain (in dB) actually applied to the most recent sample.\n\n"
"``20*log10(g)`` of the linear gain the last sample saw (held between the\n"
"smallest normal and the largest finite double). On the per-sample path it\n"
"is one loop update behind ``gain_db``; at convergence the two are equal,\n"
"and both are 0.0 after construction and ``reset``. While ``stream`` has a\n"
"chunk pending, it is the chunk's ramp at its latest sample; after a fast\n"
"attack (``attack_db``) that ends a block call, the new gain the next\n"
"sample gets.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import AGC\n"
">>> agc = AGC()\n"
">>> agc.applied_gain_db\n"
"0.0\n"
">>> _ = agc.step(4 + 0j)\n"
">>> agc.applied_gain_db, round(agc.gain_db, 6)\n"
"(0.0, -0.024276)\n");

PyDoc_STRVAR(AGC_decim_doc,
"Chunk length of ``steps``, in samples (0 acts as 1).\n\n"
"The detector and loop filter run once per chunk on its mean power, so the\n"
"control loop costs n/decim updates per block; the linear gain ramps across\n"
"each chunk. Keep ``4 * decim * loop_bw <= 0.05`` (or switch ``acquire`` on).\n"
"Read at the start of each ``steps`` call, and by ``stream`` when a chunk\n"
"starts (a pending chunk keeps its length); an int taken modulo 2**64.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import AGC\n"
">>> agc = AGC()\n"
">>> agc.decim = 16\n"
">>> agc.decim\n"
"16\n"
">>> agc.decim = -1\n"
">>> agc.decim\n"
"18446744073709551615\n");

PyDoc_STRVAR(AGC_acquire_doc,
"The acquisition mode: False (the default) or True.\n\n"
"The detector averages the output power over time, so after a loud onset\n"
"it remembers the power the old gain made and keeps pulling the gain down\n"
"long after the output is on target: a dip far below ``ref_db`` before the\n"
"loop recovers. In the acquisition mode the detector follows the gain the\n"
"loop applies: after every update its state is scaled by the square of the\n"
"ratio of the new linear gain to the one its samples saw (on ``steps``, a\n"
"chunk's mean is first referred from its gain ramp to the gain the chunk\n"
"ended on). The dip goes, the level stays as exact and the gain jitter\n"
"falls; a quiet onset takes longer, as the detector forgets the old power\n"
"at its own rate. ``settling_samples(..., acquire=True)`` answers for it.\n\n"
"Switching is safe at any point. ``steps`` reads it when a call starts,\n"
"``stream`` when a call completes a chunk, ``step`` at every loop update.\n"
"It is kept in the state blob (bit 0 of the four bytes at offset 100), so\n"
"``get_state`` and ``set_state`` carry it.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC\n"
">>> burst = np.concatenate([np.full(64, 1e-3 + 0j), np.full(600, 10 + 0j)]).astype(np.complex64)\n"
">>> def lowest_db(acquire):  # the lowest 64-sample mean output power after the 20 dB onset\n"
"...     agc = AGC(loop_bw=0.02)\n"
"...     agc.acquire = acquire\n"
"...     power = np.abs(agc.steps(burst).astype(np.complex128)[64:]) ** 2\n"
"...     return round(float(10 * np.log10(np.convolve(power, np.ones(64) / 64, 'valid').min())), 1)\n"
">>> lowest_db(False), lowest_db(True)\n"
"(-254.8, 0.0)\n");

PyDoc_STRVAR(AGC_max_gain_db_doc,
"The gain ceiling: the highest gain command the loop may reach, in dB.\n\n"
"``inf`` (the default) is none beyond the command's own bounds. After every\n"
"loop update of ``step``, ``steps`` and ``stream`` the command is held at\n"
"or below it, together with those bounds (at most ``ref_db + 300`` and 760,\n"
"at least ``ref_db - 780``: a ceiling below that acts as that bound). So\n"
"silence or a noise floor winds the gain up to the ceiling at most, and a\n"
"burst after it comes out at most ``max_gain_db`` above its input level. A\n"
"NaN ceiling is none, as ``inf``: it never opens the other bounds.\n\n"
"``steps`` and ``stream`` read it when a call starts (a chunk ``stream``\n"
"completes: as the completing call finds it), ``step`` at every update.\n"
"With it, ``gate_db`` or ``attack_db`` on, ``get_state`` writes a 176-byte\n"
"blob (version 5) that carries all three.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC\n"
">>> agc = AGC()\n"
">>> agc.max_gain_db = 40.0\n"
">>> _ = agc.steps(np.zeros(4000, np.complex64))    # silence: up to the ceiling, no further\n"
">>> agc.gain_db, agc.state_bytes()\n"
"(40.0, 176)\n");

PyDoc_STRVAR(AGC_gate_db_doc,
"The gate: an input power in dB below which a loop update holds the gain.\n\n"
"``-inf`` (the default) is no gate. An update whose input lies below\n"
"``gate_db`` leaves both the gain command and the detector as they are, so\n"
"silence and a noise floor below the gate leave the gain where the last\n"
"signal put it, and the burst that follows is measured from the state the\n"
"last burst left, not from the noise. The bounds still apply, and the\n"
"update still runs the telemetry hook: it records the held command and the\n"
"level of the held detector, one record per update as always.\n\n"
"The input power is what the samples measured at the loop's output stand\n"
"for before the gain: on ``steps`` and ``stream``, a chunk's mean output\n"
"power over the mean square of the gains of its ramp (the power the loop\n"
"sums anyway: no second sum per sample); on ``step``, each sample's power\n"
"over its gain squared. There a sample below the gate leaves the detector\n"
"as it is, and the update that such a sample completes holds. The level\n"
"is compared as a power, ``db_to_amp(gate_db) ** 2`` with the loop's own\n"
"conversion (``inf`` closes the gate for every input but one at zero gain;\n"
"NaN is no gate). Read as ``max_gain_db`` is.\n\n"
"A burst quieter than the last one then starts from the last one's gain and\n"
"climbs at the loop's speed; ``PRESETS['burst']`` leaves the gate off for\n"
"bursts whose levels vary.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC\n"
">>> agc = AGC(loop_bw=0.01)\n"
">>> agc.gate_db = -60.0\n"
">>> _ = agc.steps(np.full(2000, 0.1, np.complex64))      # -20 dB: levelled\n"
">>> round(agc.gain_db, 1)\n"
"20.0\n"
">>> _ = agc.steps(np.zeros(2000, np.complex64))           # silence, then -80 dB: held\n"
">>> _ = agc.steps(np.full(800, 1e-4, np.complex64))\n"
">>> round(agc.gain_db, 1)\n"
"20.0\n");

PyDoc_STRVAR(AGC_attack_db_doc,
"The fast attack: how far above ``ref_db`` an update's own level must be,\n"
"in dB, for the update to correct the whole excess at once.\n\n"
"``inf`` (the default) is never. An update's own level is that of its own\n"
"samples, not the detector's average: on ``steps`` and ``stream`` a chunk's\n"
"mean output power referred from its gain ramp to the gain it ended on; on\n"
"``step`` the power of the sample that completes the update. When it\n"
"exceeds ``ref_db`` by more than ``attack_db``, the command drops by the\n"
"whole excess (then the bounds apply), the detector restarts from that\n"
"power re-referred to the new gain, so that the loop goes on from on\n"
"target, and the telemetry records that level. On ``steps`` and ``stream``\n"
"the next chunk is gained by the new gain from its first sample rather\n"
"than ramping to it: of a loud onset only the chunk it arrives in comes out\n"
"too loud, and the next one too when the onset filled so little of its\n"
"chunk that the correction fell short by more than ``attack_db`` (small\n"
"``decim`` keeps that short). After a fast attack that ends a call,\n"
"``applied_gain_db`` is that new gain, which the next sample gets.\n\n"
"Quiet steps keep the loop's normal speed, and an update the gate holds\n"
"never attacks. Keep ``attack_db`` above what the signal's own peaks reach\n"
"over a chunk, or they trigger it: ``PRESETS['burst']`` uses 6 dB at\n"
"``decim`` 4. NaN is never. Read as ``max_gain_db`` is.\n\n"
"Examples\n--------\n"
"A burst at -40 dB after silence, with the gain at a 60 dB ceiling: the\n"
"first chunk comes out 20 dB too loud, then on target at once:\n\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC\n"
">>> x = np.concatenate([np.zeros(4000), np.full(64, 0.01)]).astype(np.complex64)\n"
">>> agc = AGC(loop_bw=0.02)\n"
">>> agc.max_gain_db, agc.attack_db = 60.0, 6.0\n"
">>> y = agc.steps(x)[4000:]\n"
">>> np.round(20 * np.log10(np.abs(y[[0, 7, 8, 63]])), 1)\n"
"array([20., 20.,  0.,  0.], dtype=float32)\n");

// The AGC's words for its parameters, beside those it shares with AGCBank.
struct AgcDocs : qv::agc::ParameterDocs {
    static constexpr const char *decim = AGC_decim_doc;
    static constexpr const char *max_gain_db = AGC_max_gain_db_doc;
    static constexpr const char *gate_db = AGC_gate_db_doc;
    static constexpr const char *attack_db = AGC_attack_db_doc;
};

#define AGC_PARAMETER_(name, scope) QV_AGC_PROPERTY(AgcAccess, AgcDocs, name)
PyGetSetDef AGC_getset[] = {
    {"gain_db", AGC_getprop_gain_db, nullptr, "Gain db.\n", nullptr},
    {"applied_gain_db", AGC_getprop_applied_gain_db, nullptr, AGC_applied_gain_db_doc, nullptr},
    QV_AGC_PARAMETERS(AGC_PARAMETER_)
    {"acquire", qv::agc::get_acquire<AgcAccess>, qv::agc::set_acquire<AgcAccess>, AGC_acquire_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef AGC_PARAMETER_

PyDoc_STRVAR(AGC_from_preset_doc,
"from_preset($type, name, /, **overrides)\n--\n\n"
"Return an AGC set up for a use: ``PRESETS[name]`` with ``overrides`` over it.\n\n"
"``ref_db``, ``loop_bw`` and ``alpha`` go to the constructor (which seeds the\n"
"detector from ``ref_db``), every other value is set as the property of its\n"
"name; settings neither the preset nor ``overrides`` give keep the defaults\n"
"of ``AGC()``. So ``AGC.from_preset('burst', ref_db=-6)`` is\n"
"``AGC(ref_db=-6, loop_bw=...)`` with the preset's other properties set, bit\n"
"for bit, and the command, ``level_file``, ``level_files`` and the GNU Radio\n"
"block give the same with ``preset='burst'``.\n\n"
"Parameters\n----------\n"
"name : str\n    A key of ``PRESETS``.\n"
"**overrides\n"
"    Settable properties (``ref_db``, ``decim``, ``max_gain_db``...) whose\n"
"    values replace the preset's.\n\n"
"Returns\n-------\nAGC\n\n"
"Raises\n------\n"
"ValueError\n    No preset of that name; the message lists the presets.\n"
"TypeError\n    An override that is not a settable property of ``AGC``.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import AGC, PRESETS\n"
">>> agc = AGC.from_preset('burst', ref_db=-6.0)\n"
">>> agc.ref_db, agc.decim == PRESETS['burst']['decim'], agc.acquire\n"
"(-6.0, True, True)\n"
">>> AGC.from_preset('bursts')\n"
"Traceback (most recent call last):\n    ...\n"
"ValueError: no preset named 'bursts'; the presets are 'burst'\n");

PyObject *AGC_from_preset(PyObject *cls, PyObject *args, PyObject *kw) {
    PyObject *name;
    if (!PyArg_ParseTuple(args, "O", &name)) return nullptr;
    qv::PyRef none = qv::PyRef::steal(PyTuple_New(0));
    if (!none) return nullptr;
    return qv::agc::from_preset(cls, none.get(), name, kw, qv::agc::parameter_names<false>(), "AGC");
}

PyMethodDef AGC_methods[] = {
    {"from_preset", qv::with_keywords(AGC_from_preset), METH_VARARGS | METH_KEYWORDS | METH_CLASS, AGC_from_preset_doc},
    {"reset", AGCObj_reset, METH_NOARGS, AGCObj_reset_doc},
    {"step", AGC_step, METH_VARARGS, AGC_step_doc},
    {"steps", qv::with_keywords(AGC_steps), METH_VARARGS | METH_KEYWORDS, AGC_steps_doc},
    {"stream", qv::with_keywords(AGC_stream), METH_VARARGS | METH_KEYWORDS, AGC_stream_doc},
    {"set_telemetry", qv::with_keywords(AGC_set_telemetry), METH_VARARGS | METH_KEYWORDS, AGC_set_telemetry_doc},
    Life::state_bytes_def(),
    Life::get_state_def(),
    Life::set_state_def(),
    Life::destroy_def(),
    Life::enter_def(),
    Life::exit_def(),
    {nullptr, nullptr, 0, nullptr},
};

// The text signature's defaults must be literals: 1e999 is how it writes inf.
PyDoc_STRVAR(settling_samples_doc,
"settling_samples(loop_bw, alpha, gain_err_db, tol_db, *, acquire=False, max_gain_db=1e999, gate_db=-1e999, "
"attack_db=1e999)\n--\n\n"
"How many samples this loop needs to settle -- the design query a caller "
"sizing a warm-up budget, a burst preamble or an acquisition guard has to answer.\n\n"
"The loop filter's time constant ``1 / (4 * loop_bw)`` is only a floor: the\n"
"detector sits inside the loop and measures power, so the object settles\n"
"more slowly. The query therefore runs the real per-sample loop (reference\n"
"0 dB, gain update every sample) against a constant input ``gain_err_db``\n"
"below the reference and counts the samples after which the gain command\n"
"stays within ``tol_db`` of ``gain_err_db`` to the end of the run: a gain\n"
"that overshoots and swings back through the band has not settled yet. No\n"
"fitted formula is involved. A positive ``gain_err_db`` (a quiet input) is\n"
"the slow direction, except that an input far above the reference makes the\n"
"gain overshoot, which ``acquire`` prevents.\n\n"
"It returns 0, never an estimate, for invalid arguments (``alpha`` outside\n"
"(0, 1] or NaN, ``loop_bw`` or ``tol_db`` not positive, ``gain_err_db`` NaN or\n"
"infinite) and when the gain is outside the band at the end of the run of\n"
"``16 / loop_bw`` + 1 samples (64 time constants). The run stops sooner only\n"
"when the loop comes to rest exactly (a step that changes nothing). It\n"
"allocates and iterates about ``16 / loop_bw`` loop steps at most, with the\n"
"interpreter lock held (a ``loop_bw`` of 1e-15 means about 1.6e16 steps): a\n"
"design-time query, not for a processing loop.\n\n"
"Parameters\n----------\n"
"loop_bw : float\n    Loop noise bandwidth, cycles per sample; > 0.\n"
"alpha : float\n    Detector coefficient, in (0, 1].\n"
"gain_err_db : float\n    Initial gain error in dB (input below the reference).\n"
"tol_db : float\n    How close the gain must come and stay, in dB; > 0.\n"
"acquire : bool, optional\n    Ask about the loop with ``AGC.acquire`` on (keyword only).\n"
"max_gain_db, gate_db, attack_db : float, optional\n"
"    Ask about the loop with these settings (keyword only; off by default,\n"
"    as on a new AGC). The input's power is ``-gain_err_db`` dB: below\n"
"    ``gate_db`` the loop holds and never settles (0), and a loud input\n"
"    settles at the first sample once ``attack_db`` is below its excess.\n\n"
"Returns\n-------\nint\n    Samples to settle, between 1 and ``16 / loop_bw`` + 1, or 0.\n\n"
"Examples\n--------\n"
">>> from quorvel.agc import settling_samples\n"
">>> settling_samples(0.0025, 0.05, 12.0, 0.5), settling_samples(0.0025, 0.05, -12.0, 0.5)\n"
"(288, 246)\n"
"\n"
"A loud input 60 dB above the reference: the gain overshoots to about -77 dB\n"
"before it settles, unless the detector follows the gain:\n\n"
">>> settling_samples(0.0025, 0.05, -60.0, 1.0), settling_samples(0.0025, 0.05, -60.0, 1.0, acquire=True)\n"
"(537, 411)\n"
">>> settling_samples(0.0025, 1.5, 12.0, 0.5)    # alpha outside (0, 1]\n"
"0\n"
">>> settling_samples(0.0025, 0.05, -60.0, 1.0, attack_db=6.0)    # corrected at the first sample\n"
"1\n");

PyObject *_bind_settling_samples(PyObject *, PyObject *args, PyObject *kw) {
    static const char *_kwlist[] = {"loop_bw", "alpha", "gain_err_db", "tol_db", "acquire", "max_gain_db", "gate_db",
                                    "attack_db", nullptr};
    agc_t like{};
    double gain_err_db, tol_db;
    int acquire = 0;
    like.max_gain_db = QV_AGC_MAX_GAIN_OFF, like.gate_db = QV_AGC_GATE_OFF, like.attack_db = QV_AGC_ATTACK_OFF;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "dddd|$pddd", const_cast<char **>(_kwlist), &like.loop_bw,
                                     &like.alpha, &gain_err_db, &tol_db, &acquire, &like.max_gain_db, &like.gate_db,
                                     &like.attack_db))
        return nullptr;
    like.flags = acquire ? QV_AGC_ACQUIRE : 0;
    return PyLong_FromUnsignedLongLong(agc_settling_samples_like(&like, gain_err_db, tol_db));
}

PyMethodDef agc_module_methods[] = {
    QV_KW_FUNCTION(settling_samples),
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(agc_doc,
"Automatic gain control: a log-domain feedback AGC (AGC) that drives signal "
"power toward a reference level, and a bank of them (AGCBank).\n\n"
"``AGC.step`` runs the exact per-sample loop; ``AGC.steps`` runs blocks\n"
"through a decimated loop with a first-order gain hold, in place or into an\n"
"``out`` buffer, and ``AGC.stream`` the blocks of one stream cut anywhere;\n"
"``settling_samples`` answers how long the loop takes to settle. ``AGCBank``\n"
"runs many channels, each bit for bit an AGC of its own, several times\n"
"faster than one after another. Results are bit-exact and NaN or infinite\n"
"samples never stop the loop.\n\n"
"``PRESETS`` maps a use to settings: ``PRESETS['burst']``, for bursts that\n"
"arrive out of silence or noise at any level, gives ``loop_bw``, ``alpha``,\n"
"``decim``, ``acquire`` and the settings for bursts; ``AGC.from_preset`` and\n"
"``AGCBank.from_preset`` return objects set up by a preset.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.agc import AGC, PRESETS\n"
">>> agc = AGC(loop_bw=0.05)\n"
">>> y = agc.steps(np.full(200, 0.1, np.complex64))\n"
">>> bool(abs(y[-1]) > abs(y[0]))\n"
"True\n"
">>> PRESETS['burst']\n"
"{'loop_bw': 0.03, 'alpha': 0.08, 'decim': 4, 'acquire': True, 'max_gain_db': 80.0, 'gate_db': -inf, "
"'attack_db': 6.0}\n"
">>> agc = AGC.from_preset('burst', ref_db=-6.0)\n"
">>> agc.decim, agc.max_gain_db\n"
"(4, 80.0)\n");

PyModuleDef agc_module = {
    PyModuleDef_HEAD_INIT, "agc", agc_doc, -1, agc_module_methods, nullptr, nullptr, nullptr, nullptr,
};

// A preset's value as the property holds it.
PyObject *preset_value(double value) { return PyFloat_FromDouble(value); }
PyObject *preset_value(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject *preset_value(bool value) { return PyBool_FromLong(value); }

// PRESETS: {name: {property: value}}, plain values of the AGC's properties, from agc_presets.h.
bool add_presets(PyObject *module) {
    qv::PyRef presets = qv::PyRef::steal(PyDict_New());
    if (!presets) return false;
    for (const qv::agc::Preset &p : qv::agc::kPresets) {
        qv::PyRef settings = qv::PyRef::steal(PyDict_New());
        if (!settings) return false;
#define QV_PRESET_ITEM_(type, setting)                                                         \
    if (qv::PyRef value = qv::PyRef::steal(preset_value(p.setting));                           \
        !value || PyDict_SetItemString(settings.get(), #setting, value.get()) < 0)             \
        return false;
        QV_AGC_PRESET_SETTINGS(QV_PRESET_ITEM_)
#undef QV_PRESET_ITEM_
        if (PyDict_SetItemString(presets.get(), p.name, settings.get()) < 0) return false;
    }
    if (PyModule_AddObject(module, "PRESETS", presets.get()) < 0) return false;
    qv::agc::presets() = presets.release();  // the module holds it now, for good
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_agc(void) {
    qv::PyRef module = qv::PyRef::steal(
        qv::init_module(agc_module, {Life::init_type(AGC_doc, AGC_methods, AGC_getset), agc_bank_type()},
                        qv::agc::active_isa()));
    if (!module || !add_presets(module.get())) return nullptr;
    return module.release();
}
