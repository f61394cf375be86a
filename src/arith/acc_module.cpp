// AccQ15 and AccQ8: one binding template over the two accumulator cores.
#include "arith/acc_module.h"

#include <algorithm>
#include <list>
#include <string>

#include "arith/acc_core.h"
#include "common/arrays.h"
#include "common/lifecycle.h"

namespace {

using qv::Array;

struct Q15Binding {
    using Core = acc_q15_t;
    using Sample = int16_t;
    using Parsed = long long;  // "L"
    static constexpr const char *module = "arith", *name = "AccQ15";
    static constexpr const char *example = "AccQ15()";
    static constexpr const char *create_name = "acc_q15_create";
    static constexpr const char *init_format = "|L", *set_format = "L";
    static constexpr int kTypenum = NPY_INT16;
    static constexpr size_t kStateBytes = QV_ACC_Q15_STATE_BYTES;
    // Documentation facts: sample dtype, register width, a wrapping step.
    static constexpr const char *dtype = "int16", *bits = "64", *step_in = "40000", *step_out = "-25536";
    static constexpr const char *set_in = "2**40", *set_out = "1099511627776";
    static constexpr auto core_create = acc_q15_create;
    static constexpr auto destroy = acc_q15_destroy;
    static constexpr auto core_reset = acc_q15_reset;
    static constexpr auto state_bytes = acc_q15_state_bytes;
    static constexpr auto get_state = acc_q15_get_state;
    static constexpr auto set_state = acc_q15_set_state;
    static constexpr auto core_steps = acc_q15_steps;
    static constexpr auto core_get_acc = acc_q15_get_acc;
    static constexpr auto core_set_acc = acc_q15_set_acc;
    static constexpr auto core_get = acc_q15_get;
    static constexpr auto core_dump = acc_q15_dump;
    static constexpr auto core_madd = acc_q15_madd;
};

struct Q8Binding {
    using Core = acc_q8_t;
    using Sample = int8_t;
    using Parsed = long;  // "l": its low 32 bits become the register
    static constexpr const char *module = "arith", *name = "AccQ8";
    static constexpr const char *example = "AccQ8()";
    static constexpr const char *create_name = "acc_q8_create";
    static constexpr const char *init_format = "|l", *set_format = "l";
    static constexpr int kTypenum = NPY_INT8;
    static constexpr size_t kStateBytes = QV_ACC_Q8_STATE_BYTES;
    static constexpr const char *dtype = "int8", *bits = "32", *step_in = "200", *step_out = "-56";
    static constexpr const char *set_in = "2**32 + 5", *set_out = "5";
    static constexpr auto core_create = acc_q8_create;
    static constexpr auto destroy = acc_q8_destroy;
    static constexpr auto core_reset = acc_q8_reset;
    static constexpr auto state_bytes = acc_q8_state_bytes;
    static constexpr auto get_state = acc_q8_get_state;
    static constexpr auto set_state = acc_q8_set_state;
    static constexpr auto core_steps = acc_q8_steps;
    static constexpr auto core_get_acc = acc_q8_get_acc;
    static constexpr auto core_set_acc = acc_q8_set_acc;
    static constexpr auto core_get = acc_q8_get;
    static constexpr auto core_dump = acc_q8_dump;
    static constexpr auto core_madd = acc_q8_madd;
};

template <class B>
struct AccType : B {
    using Life = qv::Lifecycle<AccType>;
    using Core = typename B::Core;
    using Sample = typename B::Sample;

    struct Args {
        typename B::Parsed acc = 0;
    };
    static bool parse(PyObject *args, PyObject *kw, Args &a) {
        static const char *_kwlist[] = {"acc", nullptr};
        return PyArg_ParseTupleAndKeywords(args, kw, B::init_format, const_cast<char **>(_kwlist), &a.acc);
    }
    static Core *create(Args &a) { return B::core_create(a.acc); }  // Q8: low 32 bits

    static PyObject *reset(PyObject *self, PyObject *) {
        Core *core = Life::live(self);
        if (!core) return nullptr;
        B::core_reset(core);
        Py_RETURN_NONE;
    }

    // One sample: the low bits of the C int x, sign-extended into the register.
    static PyObject *step(PyObject *self, PyObject *args) {
        int x;
        if (!Life::live(self) || !PyArg_ParseTuple(args, "i", &x)) return nullptr;
        Core *core = Life::live(self);  // again: converting may have run destroy()
        if (!core) return nullptr;
        const Sample sample = Sample(x);
        B::core_steps(core, &sample, 1);
        Py_RETURN_NONE;
    }

    static PyObject *steps(PyObject *self, PyObject *args) {
        PyObject *x_obj;
        Array x;
        if (!Life::live(self) || !PyArg_ParseTuple(args, "O", &x_obj) || !qv::to_array(x_obj, B::kTypenum, x))
            return nullptr;
        Core *core = Life::live(self);  // again: converting may have run destroy()
        if (!core) return nullptr;
        B::core_steps(core, x.data<Sample>(), size_t(x.size));
        Py_RETURN_NONE;
    }

    template <auto Read>
    static PyObject *read(PyObject *self, PyObject *) {
        Core *core = Life::live(self);
        if (!core) return nullptr;
        return PyLong_FromLongLong(Read(core));
    }

    static PyObject *set_acc(PyObject *self, PyObject *args) {
        typename B::Parsed value;
        if (!Life::live(self) || !PyArg_ParseTuple(args, B::set_format, &value)) return nullptr;
        Core *core = Life::live(self);  // again: converting may have run destroy()
        if (!core) return nullptr;
        B::core_set_acc(core, value);
        Py_RETURN_NONE;
    }

    static PyObject *madd(PyObject *self, PyObject *args) {
        PyObject *a_obj, *b_obj;
        Array a, b;
        if (!Life::live(self) || !PyArg_ParseTuple(args, "OO", &a_obj, &b_obj) ||
            !qv::to_array(a_obj, B::kTypenum, a) || !qv::to_array(b_obj, B::kTypenum, b))
            return nullptr;
        Core *core = Life::live(self);  // again: converting may have run destroy()
        if (!core) return nullptr;
        B::core_madd(core, a.data<Sample>(), size_t(a.size), b.data<Sample>(), size_t(b.size));
        Py_RETURN_NONE;
    }

    // Docstrings: one text per method with this type's facts put in.
    static std::string fill(std::string text) {
        const std::pair<const char *, const char *> keys[] = {
            {"{T}", B::name},       {"{dtype}", B::dtype},     {"{bits}", B::bits},
            {"{step_in}", B::step_in}, {"{step_out}", B::step_out},
            {"{set_in}", B::set_in},   {"{set_out}", B::set_out}};
        for (const auto &[key, value] : keys)
            for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, std::string(key).size(), value);
        return text;
    }

    // The filled texts live as long as the type (for the life of the process).
    static const char *doc(const char *text) {
        static std::list<std::string> storage;
        return storage.emplace_back(fill(text)).c_str();
    }

    static PyMethodDef methods[15];
    static PyTypeObject *init();
};

const char *const kTypeDoc =
    "{T}(acc=0)\n--\n\n"
    "Allocate and initialise an {T} accumulator.\n\n"
    "An exact running sum of {dtype} samples in a {bits}-bit signed register,\n"
    "fed sample by sample (``step``), in blocks (``steps``) or by\n"
    "multiply-accumulate of two arrays (``madd``). Additions wrap modulo\n"
    "2**{bits} (two's complement).\n\n"
    "Parameters\n----------\nacc : int, optional\n"
    "    Initial register value (default 0). ``reset`` returns to 0, not to it.\n\n"
    "Examples\n--------\n"
    ">>> from quorvel.arith import {T}\n"
    ">>> acc = {T}(100)\n>>> acc.step(-1)\n>>> acc.get()\n99\n";

const char *const kResetDoc =
    "reset($self, /)\n--\n\nSet the register to zero.\n\n"
    "The constructor's initial value is not kept: reset always gives 0.\n\n"
    "Returns\n-------\nNone\n\n"
    "Examples\n--------\n>>> from quorvel.arith import {T}\n"
    ">>> acc = {T}(100)\n>>> acc.reset()\n>>> acc.get_acc()\n0\n";

const char *const kStepDoc =
    "step($self, x, /)\n--\n\nAdd one sample to the register.\n\n"
    "Parameters\n----------\nx : int\n"
    "    A C int; its low bits taken as a signed {dtype} sample.\n\n"
    "Returns\n-------\nNone\n\n"
    "Examples\n--------\n>>> from quorvel.arith import {T}\n"
    ">>> acc = {T}()\n>>> acc.step({step_in})\n>>> acc.get()\n{step_out}\n";

const char *const kStepsDoc =
    "steps($self, x, /)\n--\n\nAdd every sample of an array to the register.\n\n"
    "Parameters\n----------\nx : array_like\n"
    "    Converted to {dtype} by NumPy's safe casting; any shape, taken flat.\n\n"
    "Returns\n-------\nNone\n\n"
    "Examples\n--------\n"
    ">>> import numpy as np\n>>> from quorvel.arith import {T}\n"
    ">>> acc = {T}()\n>>> acc.steps(np.array([1, 2, 3, 4, 5], dtype=np.{dtype}))\n"
    ">>> acc.get()\n15\n";

const char *const kGetAccDoc =
    "get_acc($self, /)\n--\n\nRead the register.\n\n"
    "Returns\n-------\nint\n    The signed {bits}-bit register value.\n\n"
    "Examples\n--------\n>>> from quorvel.arith import {T}\n>>> {T}(100).get_acc()\n100\n";

const char *const kSetAccDoc =
    "set_acc($self, value, /)\n--\n\nOverwrite the register.\n\n"
    "Parameters\n----------\nvalue : int\n    New value; for a 32-bit register its low 32 bits.\n\n"
    "Returns\n-------\nNone\n\n"
    "Examples\n--------\n>>> from quorvel.arith import {T}\n"
    ">>> acc = {T}()\n>>> acc.set_acc({set_in})\n>>> acc.get()\n{set_out}\n";

const char *const kGetDoc =
    "get($self, /)\n--\n\nRead the register (the same value as ``get_acc``).\n\n"
    "Returns\n-------\nint\n    The signed {bits}-bit register value.\n\n"
    "Examples\n--------\n>>> from quorvel.arith import {T}\n>>> {T}(7).get()\n7\n";

const char *const kDumpDoc =
    "dump($self, /)\n--\n\nRead the register and clear it.\n\n"
    "Returns\n-------\nint\n    The value before clearing.\n\n"
    "Examples\n--------\n>>> from quorvel.arith import {T}\n"
    ">>> acc = {T}(15)\n>>> acc.dump()\n15\n>>> acc.get()\n0\n";

const char *const kMaddDoc =
    "madd($self, a, b, /)\n--\n\nMultiply-accumulate: add the sum of a[i]*b[i] to the register.\n\n"
    "Each product is exact; the shorter array decides how many are added.\n\n"
    "Parameters\n----------\na, b : array_like\n"
    "    Converted to {dtype} by NumPy's safe casting; any shape, taken flat.\n\n"
    "Returns\n-------\nNone\n\n"
    "Examples\n--------\n>>> from quorvel.arith import {T}\n"
    ">>> acc = {T}()\n>>> acc.madd([10, 20, 30], [1, 2, 3])\n>>> acc.get()\n140\n";

template <class B>
PyMethodDef AccType<B>::methods[15];

template <class B>
PyTypeObject *AccType<B>::init() {
    using A = AccType<B>;
    PyMethodDef table[] = {
        {"reset", reset, METH_NOARGS, doc(kResetDoc)},
        {"step", step, METH_VARARGS, doc(kStepDoc)},
        {"steps", steps, METH_VARARGS, doc(kStepsDoc)},
        {"get_acc", read<B::core_get_acc>, METH_NOARGS, doc(kGetAccDoc)},
        {"set_acc", set_acc, METH_VARARGS, doc(kSetAccDoc)},
        {"get", read<B::core_get>, METH_NOARGS, doc(kGetDoc)},
        {"dump", read<B::core_dump>, METH_NOARGS, doc(kDumpDoc)},
        {"madd", madd, METH_VARARGS, doc(kMaddDoc)},
        A::Life::destroy_def(),
        A::Life::enter_def(),
        A::Life::exit_def(),
        A::Life::state_bytes_def(),
        A::Life::get_state_def(),
        A::Life::set_state_def(),
        {nullptr, nullptr, 0, nullptr},
    };
    static_assert(sizeof table / sizeof table[0] == 15);
    std::copy(std::begin(table), std::end(table), methods);
    return A::Life::init_type(doc(kTypeDoc), methods);
}

}  // namespace

PyTypeObject *acc_q15_type() { return AccType<Q15Binding>::init(); }
PyTypeObject *acc_q8_type() { return AccType<Q8Binding>::init(); }
