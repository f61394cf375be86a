// quorvel.util: the shared numeric primitives as module functions.
#include "common/module.h"
#include "common/python.h"
#include "util/util_core.h"

namespace {

PyDoc_STRVAR(square_clip_doc,
"square_clip(y, lin)\n--\n\n"
"Clip both parts of a complex sample independently into [-lin, lin].\n\n"
"The clip region is a square in the IQ plane. The sample is first narrowed\n"
"to complex64 and ``lin`` to float32; the result is the complex64 value\n"
"widened exactly to a Python complex. A NaN part becomes ``-lin``, values on\n"
"the boundary come back unchanged, a negative ``lin`` turns both parts into\n"
"``lin`` and a NaN ``lin`` passes both parts through. The real part is formed\n"
"as ``re + im*0`` in one rounding, so an infinite or NaN imaginary part makes\n"
"it NaN (and then ``-lin``), and a real part of -0 next to a non-negative\n"
"imaginary part becomes +0.\n\n"
"Parameters\n----------\n"
"y : complex\n    Any number convertible to complex.\n"
"lin : float\n    Clip amplitude per component.\n\n"
"Returns\n-------\ncomplex\n    The clipped sample.\n\n"
"Examples\n--------\n"
">>> from quorvel.util import square_clip\n"
">>> square_clip(3.0 - 4.0j, 1.0)\n"
"(1-1j)\n"
">>> square_clip(complex(float('nan'), 0.5), 1.0)\n"
"(-1+0.5j)\n");

PyObject *_bind_square_clip(PyObject *, PyObject *args, PyObject *kw) {
    static const char *_kwlist[] = {"y", "lin", nullptr};
    Py_complex y;
    float lin;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "Df", const_cast<char **>(_kwlist), &y, &lin))
        return nullptr;
    const qv_cf32 narrowed = qv::make_cf32(float(y.real), float(y.imag));
    const qv_cf32 r = square_clip(narrowed, lin);
    return PyComplex_FromDoubles(r.real(), r.imag());
}

PyDoc_STRVAR(next_pow_two_doc,
"next_pow_two(n)\n--\n\n"
"Smallest power of two that is at least n.\n\n"
"0 and 1 both give 1. Above 2**63 the answer would not fit in 64 bits and\n"
"the result is 0. ``n`` is taken modulo 2**64, so -1 means 2**64 - 1.\n\n"
"Parameters\n----------\nn : int\n    Size to round up.\n\n"
"Returns\n-------\nint\n    The power of two, or 0.\n\n"
"Examples\n--------\n"
">>> from quorvel.util import next_pow_two\n"
">>> next_pow_two(1000)\n1024\n"
">>> next_pow_two(2**63 + 1)\n0\n");

PyObject *_bind_next_pow_two(PyObject *, PyObject *args, PyObject *kw) {
    static const char *_kwlist[] = {"n", nullptr};
    unsigned long long n;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "K", const_cast<char **>(_kwlist), &n))
        return nullptr;
    return PyLong_FromSize_t(next_pow_two(size_t(n)));
}

PyDoc_STRVAR(saturate_doc,
"saturate(v, lo, hi, nan_to)\n--\n\n"
"Saturate v into [lo, hi], sending NaN to a chosen value.\n\n"
"The tests run in order: ``lo <= v <= hi`` returns v, ``v < lo`` returns lo,\n"
"``v > hi`` returns hi, and anything left (v is NaN, or a NaN bound made\n"
"every test false) returns ``nan_to``. So +inf gives hi and -inf gives lo.\n\n"
"Parameters\n----------\n"
"v : float\n    Value to saturate.\n"
"lo, hi : float\n    Bounds.\n"
"nan_to : float\n    Result for NaN.\n\n"
"Returns\n-------\nfloat\n\n"
"Examples\n--------\n"
">>> from quorvel.util import saturate\n"
">>> saturate(2.0, 0.0, 1.0, 1.0)\n1.0\n"
">>> saturate(float('nan'), 0.0, 1.0, 0.0)\n0.0\n");

PyObject *_bind_saturate(PyObject *, PyObject *args, PyObject *kw) {
    static const char *_kwlist[] = {"v", "lo", "hi", "nan_to", nullptr};
    double v, lo, hi, nan_to;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "dddd", const_cast<char **>(_kwlist), &v, &lo, &hi,
                                     &nan_to))
        return nullptr;
    return PyFloat_FromDouble(saturate(v, lo, hi, nan_to));
}

PyDoc_STRVAR(ema_step_doc,
"ema_step(state, x, alpha)\n--\n\n"
"One step of a first-order exponential moving average.\n\n"
"Returns ``state + alpha * (x - state)``, computed as one fused multiply-add\n"
"of the rounded difference. ``alpha >= 1`` returns x itself (a larger alpha\n"
"saturates to pass-through instead of overshooting); a negative alpha is not\n"
"clamped. An infinite or NaN x gives a non-finite result.\n\n"
"Parameters\n----------\n"
"state : float\n    Current average.\n"
"x : float\n    New input.\n"
"alpha : float\n    Smoothing coefficient, normally in (0, 1].\n\n"
"Returns\n-------\nfloat\n    The new average.\n\n"
"Examples\n--------\n"
">>> from quorvel.util import ema_step\n"
">>> ema_step(0.0, 1.0, 0.5)\n0.5\n"
">>> ema_step(1.0, 7.0, 2.0)\n7.0\n");

PyObject *_bind_ema_step(PyObject *, PyObject *args, PyObject *kw) {
    static const char *_kwlist[] = {"state", "x", "alpha", nullptr};
    double state, x, alpha;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "ddd", const_cast<char **>(_kwlist), &state, &x, &alpha))
        return nullptr;
    return PyFloat_FromDouble(ema_step(state, x, alpha));
}

PyDoc_STRVAR(ema_alpha_decim_doc,
"ema_alpha_decim(alpha, d)\n--\n\n"
"Coefficient of an average advanced once per chunk of d samples.\n\n"
"Returns ``1 - (1 - alpha)**d``, computed as ``-expm1(d * log1p(-alpha))`` to\n"
"avoid cancellation for small alpha, so that updating once per chunk keeps\n"
"the per-sample time constant. d of 0 or 1 returns alpha unchanged; otherwise\n"
"alpha <= 0 gives 0.0 and alpha >= 1 gives 1.0. ``d`` is taken modulo 2**64.\n\n"
"Parameters\n----------\n"
"alpha : float\n    Per-sample coefficient.\n"
"d : int\n    Chunk length in samples.\n\n"
"Returns\n-------\nfloat\n    Per-chunk coefficient.\n\n"
"Examples\n--------\n"
">>> from quorvel.util import ema_alpha_decim\n"
">>> round(ema_alpha_decim(0.05, 8), 12)\n0.336579568711\n"
">>> ema_alpha_decim(0.05, 1)\n0.05\n");

PyObject *_bind_ema_alpha_decim(PyObject *, PyObject *args, PyObject *kw) {
    static const char *_kwlist[] = {"alpha", "d", nullptr};
    double alpha;
    unsigned long long d;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "dK", const_cast<char **>(_kwlist), &alpha, &d))
        return nullptr;
    return PyFloat_FromDouble(ema_alpha_decim(alpha, size_t(d)));
}

PyMethodDef util_module_methods[] = {
    QV_KW_FUNCTION(square_clip),
    QV_KW_FUNCTION(next_pow_two),
    QV_KW_FUNCTION(saturate),
    QV_KW_FUNCTION(ema_step),
    QV_KW_FUNCTION(ema_alpha_decim),
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(util_doc,
"Shared numeric utilities used across the quorvel modules.\n\n"
"Five pure functions, each defined once for the package and applied inline\n"
"by the AGC, so both give identical bits: ``square_clip``, ``next_pow_two``,\n"
"``saturate``, ``ema_step`` and ``ema_alpha_decim``.\n\n"
"Examples\n--------\n"
">>> from quorvel.util import ema_alpha_decim, ema_step, saturate\n"
">>> state = 0.0\n"
">>> for x in (1.0, 1.0):\n"
"...     state = ema_step(state, x, 0.5)\n"
">>> state\n0.75\n"
">>> ema_step(0.0, 1.0, ema_alpha_decim(0.5, 2))\n0.75\n"
">>> saturate(float('inf'), -1.0, 1.0, 0.0)\n1.0\n");

PyModuleDef util_module = {
    PyModuleDef_HEAD_INIT, "util", util_doc, -1, util_module_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_util(void) { return qv::init_module(util_module, {}); }
