// What the bindings of AGC (agc_module.cpp) and AGCBank (agc_bank_module.cpp)
// share: the constructor's defaults, the arguments of the block calls and of
// set_telemetry, the telemetry context a call holds, and the properties of
// the loop's parameters. Internal
// to the agc module. Converting arguments may run Python code: callers take
// their record after it (Lifecycle::live).
#pragma once

#include <type_traits>

#include "agc/agc_core.h"
#include "common/arrays.h"
#include "common/pyref.h"
#include "common/python.h"
#include "qv_tlm/qv_tlm_core.h"
#include "qv_tlm/qv_tlm_holders.h"

namespace qv::agc {

// A hold on the named context for the length of one set_telemetry call. An
// AGCBank call may wait for its bank with the interpreter lock released; a
// close() that runs meanwhile then only lets go of the owner's hold, and the
// context stays alive until the attachment holds it or the call lets go.
class ContextHold {
public:
    ContextHold() = default;
    ContextHold(const ContextHold &) = delete;
    ContextHold &operator=(const ContextHold &) = delete;
    ~ContextHold() {
        if (context_) qv_tlm_release(context_);
    }
    qv_tlm *get() const { return context_; }

    // None: no context (detach). Else a capsule named
    // "quorvel.telemetry.qv_tlm", or an object carrying one in `_capsule`.
    // False with the error set when it is neither.
    bool take(PyObject *tlm) {
        if (tlm == Py_None) return true;
        PyRef capsule = PyCapsule_CheckExact(tlm) ? PyRef::borrow(tlm)
                                                   : PyRef::steal(PyObject_GetAttrString(tlm, "_capsule"));
        if (!capsule) return false;
        auto *context = static_cast<qv_tlm *>(PyCapsule_GetPointer(capsule.get(), "quorvel.telemetry.qv_tlm"));
        if (!context) return false;
        // Still under the interpreter lock, which the owner's close() keeps.
        qv_tlm_retain(context);
        context_ = context;
        return true;
    }

private:
    qv_tlm *context_ = nullptr;
};

// The loop's constructor arguments and their defaults, for AGC and AGCBank.
struct LoopArgs {
    double ref_db = 0.0, loop_bw = 0.0025, alpha = 0.05;
};

// set_telemetry(tlm, prefix, decim=1): the context held for the call, the
// prefix, and decim taken modulo 2**32 as the core's int.
struct TelemetryArgs {
    ContextHold context;
    const char *prefix = nullptr;
    int decim = 1;

    // False with the error set.
    bool parse(PyObject *args, PyObject *kw) {
        static const char *_kwlist[] = {"tlm", "prefix", "decim", nullptr};
        PyObject *tlm;
        unsigned long thinning = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kw, "Os|k", const_cast<char **>(_kwlist), &tlm, &prefix, &thinning) ||
            !context.take(tlm))
            return false;
        decim = int(uint32_t(thinning));
        return true;
    }
};

// A set_telemetry the core refused with a code its binding has no words for
// (a ValueError; printf's format of the code).
constexpr const char *kTelemetryRefused = "set_telemetry failed (rc=%d)";
inline PyObject *telemetry_refused(int rc) { return PyErr_Format(PyExc_ValueError, kTelemetryRefused, rc); }

// steps(x, out=None) and stream(x, out=None): x converted to complex64, then
// the output, a new array or out= of exactly x.size elements (x copied first
// when out overlaps it other than exactly).
class BlockCall {
public:
    enum class Fresh { flat, like_x };  // the shape of a new output

    // Parses the arguments and converts x; false with the error set. With
    // `layout`, the call also takes the keyword-only layout=, a str.
    bool parse(PyObject *args, PyObject *kw, const char **layout = nullptr) {
        static const char *_kwlist[] = {"x", "out", nullptr};
        static const char *_kwlist_layout[] = {"x", "out", "layout", nullptr};
        PyObject *x;
        const bool parsed =
            layout ? PyArg_ParseTupleAndKeywords(args, kw, "O|O$s", const_cast<char **>(_kwlist_layout), &x, &out_obj_,
                                                 layout)
                   : PyArg_ParseTupleAndKeywords(args, kw, "O|O", const_cast<char **>(_kwlist), &x, &out_obj_);
        return parsed && to_array(x, NPY_CFLOAT, x_);
    }

    const Array &x() const { return x_; }

    // The output: a new array, or out= checked, then by `fits` (a type's own
    // rule, which sets the error when it fails). False with the error set.
    template <class Fits>
    bool make_output(Fresh shape, Fits &&fits) {
        if (out_obj_ == Py_None) {
            if (!(shape == Fresh::flat ? new_vector(NPY_CFLOAT, x_.size, fresh_)
                                       : new_array_like(x_, NPY_CFLOAT, fresh_)))
                return false;
            to_ = fresh_.data<qv_cf32>();
            return true;
        }
        if (!out_exact(out_obj_, NPY_CFLOAT, x_.size, "out must be a writable ndarray of the output dtype", out_) ||
            !fits(out_.buf) || (must_copy_input(x_, out_.buf) && !copy_array(x_)))
            return false;
        to_ = out_.buf.data<qv_cf32>();
        return true;
    }
    bool make_output(Fresh shape) {
        return make_output(shape, [](const Array &) { return true; });
    }

    const qv_cf32 *in() const { return x_.data<qv_cf32>(); }
    qv_cf32 *out() const { return to_; }

    // The call's result: the new array, or out= with the output in it.
    PyObject *result() { return out_obj_ == Py_None ? fresh_.ref.release() : finish_out(out_, out_obj_); }

private:
    PyObject *out_obj_ = Py_None;
    Array x_, fresh_;
    OutBuffer out_;
    qv_cf32 *to_ = nullptr;
};

// The properties of the parameters (QV_AGC_PARAMETERS and the acquisition
// bit), over a type's Access: live(self), the destroyed guard before
// conversion; view(self, f), f of a record holding the parameters, or null
// with the error set; change(self, f), f on such a record, the change then
// made the object's, or false with the error set.

// A double parameter is a float, an integer one an int.
template <class T>
PyObject *parameter_object(T value) {
    static_assert(std::is_same_v<T, double> || std::is_same_v<T, uint64_t>);
    if constexpr (std::is_same_v<T, double>)
        return PyFloat_FromDouble(value);
    else
        return PyLong_FromUnsignedLongLong(value);
}

// "d" takes anything convertible to float; "K" an int modulo 2**64. Nothing
// is validated. Deleting gives the parser's TypeError (it receives no value).
template <class T>
bool parse_parameter(PyObject *value, T &out) {
    if constexpr (std::is_same_v<T, double>) {
        return PyArg_Parse(value, "d", &out);
    } else {
        unsigned long long parsed;
        if (!PyArg_Parse(value, "K", &parsed)) return false;
        out = parsed;
        return true;
    }
}

template <class Access, auto Field>
PyObject *get_parameter(PyObject *self, void *) {
    return Access::view(self, [](const agc_t &p) { return parameter_object(p.*Field); });
}

template <class Access, auto Field>
int set_parameter(PyObject *self, PyObject *value, void *) {
    std::remove_cvref_t<decltype(agc_t{}.*Field)> v;
    if (!Access::live(self) || !parse_parameter(value, v)) return -1;
    return Access::change(self, [&](agc_t &p) { p.*Field = v; }) ? 0 : -1;
}

// acquire is bit 0 of flags; the other bits are left as they are.
template <class Access>
PyObject *get_acquire(PyObject *self, void *) {
    return Access::view(self, [](const agc_t &p) { return PyBool_FromLong(p.flags & QV_AGC_ACQUIRE); });
}

// Any object, by its truth value; deleting gives the parser's TypeError.
template <class Access>
int set_acquire(PyObject *self, PyObject *value, void *) {
    int on;
    if (!Access::live(self) || !PyArg_Parse(value, "p", &on)) return -1;
    return Access::change(self, [&](agc_t &p) {
        p.flags = on ? p.flags | QV_AGC_ACQUIRE : p.flags & ~uint32_t(QV_AGC_ACQUIRE);
    }) ? 0 : -1;
}

// The names of the settable properties of the parameters, null-terminated:
// every one of QV_AGC_PARAMETERS (only the shared ones for a bank), then
// acquire.
template <bool bank>
inline const char *const *parameter_names() {
#define QV_NAME_(name, scope) QV_AGC_IF_SHARED(scope, #name, )
#define QV_OWN_NAME_(name, scope) #name,
    static const char *const names[] = {
        QV_AGC_PARAMETERS(QV_NAME_) "acquire", nullptr};
    static const char *const all[] = {
        QV_AGC_PARAMETERS(QV_OWN_NAME_) "acquire", nullptr};
#undef QV_NAME_
#undef QV_OWN_NAME_
    return bank ? names : all;
}

// PRESETS, the module's dict of named settings; set once at import.
inline PyObject *&presets() {
    static PyObject *dict = nullptr;  // borrowed: the module holds it for good
    return dict;
}

// from_preset(*leading, name, **overrides) of `cls` (AGC: no leading
// arguments; AGCBank: the channels): the values of PRESETS[name] with the
// overrides put over them; ref_db, loop_bw and alpha go to the constructor,
// which seeds the loop from them, the others are set as properties in the
// order of `names`. A name that is not among them raises TypeError naming
// it and `type`, an unknown preset ValueError listing the presets. The new
// object, or null with the error set.
inline PyObject *from_preset(PyObject *cls, PyObject *leading, PyObject *name, PyObject *overrides,
                             const char *const *names, const char *type) {
    PyObject *all = presets();
    if (!all) return PyErr_Format(PyExc_RuntimeError, "from_preset: %s has no PRESETS", type);
    PyRef values = PyRef::steal(PyDict_New());
    if (!values) return nullptr;
    {
        PyRef preset = PyRef::steal(PyObject_GetItem(all, name));
        if (!preset) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
            PyErr_Clear();
            PyRef keys = PyRef::steal(PySequence_List(all));
            if (!keys || PyList_Sort(keys.get()) < 0) return nullptr;
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.get()); ++k) {
                PyObject *quoted = PyObject_Repr(PyList_GET_ITEM(keys.get(), k));
                if (!quoted) return nullptr;
                PyList_SetItem(keys.get(), k, quoted);  // steals quoted, drops the key
            }
            PyRef comma = PyRef::steal(PyUnicode_FromString(", "));
            PyRef listed = PyRef::steal(comma ? PyUnicode_Join(comma.get(), keys.get()) : nullptr);
            if (!listed) return nullptr;
            return PyErr_Format(PyExc_ValueError, "no preset named %R; the presets are %U", name, listed.get());
        }
        if (PyDict_Update(values.get(), preset.get()) < 0) return nullptr;
    }
    if (overrides && PyDict_Update(values.get(), overrides) < 0) return nullptr;
    PyObject *key;
    PyObject *value;
    for (Py_ssize_t at = 0; PyDict_Next(values.get(), &at, &key, &value);) {
        bool known = false;
        for (const char *const *n = names; *n && !known; ++n)
            known = PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, *n) == 0;
        if (!known) return PyErr_Format(PyExc_TypeError, "%R is not a setting of %s", key, type);
    }
    PyRef seeds = PyRef::steal(PyDict_New());
    if (!seeds) return nullptr;
    static const char *const kSeeds[] = {"ref_db", "loop_bw", "alpha"};  // LoopArgs
    for (const char *seed : kSeeds) {
        PyObject *given = PyDict_GetItemString(values.get(), seed);
        if (given && (PyDict_SetItemString(seeds.get(), seed, given) < 0 || PyDict_DelItemString(values.get(), seed) < 0))
            return nullptr;
    }
    PyRef made = PyRef::steal(PyObject_Call(cls, leading, seeds.get()));
    if (!made) return nullptr;
    for (const char *const *n = names; *n; ++n) {
        PyObject *given = PyDict_GetItemString(values.get(), *n);
        if (given && PyObject_SetAttrString(made.get(), *n, given) < 0) return nullptr;
    }
    return made.release();
}

// The docstrings of the parameters' properties, by parameter name: the ones
// both types show. A type's own Docs derives from it and adds (or hides with
// its own) those it words itself.
struct ParameterDocs {
    static constexpr const char *ref_db = "Ref db.\n";
    static constexpr const char *loop_bw = "Loop bw.\n";
    static constexpr const char *alpha = "Alpha.\n";
    static constexpr const char *clip_db = "Clip db.\n";
    static constexpr const char *gain_update_period = "Gain update period.\n";
};

}  // namespace qv::agc

// The getset entry, with its comma, of parameter `name` of a type through
// its Access and Docs.
#define QV_AGC_PROPERTY(Access, Docs, name)                                                                 \
    {#name, ::qv::agc::get_parameter<Access, &agc_t::name>, ::qv::agc::set_parameter<Access, &agc_t::name>, \
     Docs::name, nullptr},
