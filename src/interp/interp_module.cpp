// quorvel.interp: the InterpolatedTable type.
#include <cstring>
#include <iterator>

#include "common/arrays.h"
#include "common/lifecycle.h"
#include "common/module.h"
#include "interp/interp_core.h"
#include "interp/interp_variants.h"

namespace {

using qv::Array;

struct TableType {
    using Core = interp_table_t;
    static constexpr const char *module = "interp", *name = "InterpolatedTable";
    static constexpr const char *example = "InterpolatedTable([0, 1, 2])";
    static constexpr const char *create_name = "interp_table_create";
    static constexpr auto destroy = interp_table_destroy;

    struct Args {
        Array table;
        int method = QV_INTERP_LINEAR;
    };

    static bool parse(PyObject *args, PyObject *kw, Args &a) {
        static const char *_kwlist[] = {"table", "method", nullptr};
        PyObject *table;
        const char *method = "linear";
        if (!PyArg_ParseTupleAndKeywords(args, kw, "O|s", const_cast<char **>(_kwlist), &table,
                                         &method))
            return false;
        // The method is checked before the table is looked at.
        static const char *const names[] = {"floor", "nearest", "linear"};  // indexed by QV_INTERP_*
        static_assert(QV_INTERP_FLOOR == 0 && QV_INTERP_NEAREST == 1 && QV_INTERP_LINEAR == 2);
        a.method = -1;
        for (int m = 0; m < int(std::size(names)); ++m)
            if (std::strcmp(method, names[m]) == 0) a.method = m;
        if (a.method < 0) {
            PyErr_Format(PyExc_ValueError, "method must be one of \"floor\", \"nearest\", \"linear\", got '%s'",
                         method);
            return false;
        }
        return qv::to_array(table, NPY_CDOUBLE, a.table);
    }

    static Core *create(Args &a) {
        return interp_table_create(a.table.data<qv_cf64>(), size_t(a.table.size), a.method);
    }
};

using Life = qv::Lifecycle<TableType>;

PyDoc_STRVAR(InterpolatedTable_doc,
"InterpolatedTable(table, method='linear')\n--\n\n"
"Evaluate one period of a complex table at arbitrary real points.\n\n"
"Every point p is wrapped into the table's period, whatever its size or\n"
"sign: with f = floor(p) the index is f modulo n (n the table length) and\n"
"t = p - f the fraction. ``floor`` returns table[i]; ``nearest`` returns\n"
"the next entry when t > 0.5, else table[i] (a tie keeps i); ``linear``\n"
"fits a line from table[i] to the next entry with one fused multiply-add\n"
"per part, the last entry's successor being the first. A NaN or infinite\n"
"point gives table[0] for floor and nearest, and NaN for linear.\n\n"
"Parameters\n----------\n"
"table : array_like\n"
"    One period, converted to complex128; any shape is taken flat. It is\n"
"    copied, so later changes to it have no effect.\n"
"method : {'linear', 'floor', 'nearest'}, optional\n"
"    Interpolation rule, matched exactly (case-sensitive).\n\n"
"Raises\n------\n"
"ValueError\n    Unknown method.\n"
"MemoryError\n    Empty table (``interp_table_create returned NULL``).\n\n"
"Examples\n--------\n"
">>> from quorvel.interp import InterpolatedTable\n"
">>> table = InterpolatedTable([0, 1, 2])\n"
">>> table.execute([0.5, 2.5, -0.5])\n"
"array([0.5+0.j, 1. +0.j, 1. +0.j])\n"
">>> InterpolatedTable([0, 1, 2], method='nearest').execute([1.5, 1.75])\n"
"array([1.+0.j, 2.+0.j])\n");

PyDoc_STRVAR(InterpolatedTableObj_reset_doc,
"reset($self, /)\n--\n\n"
"Do nothing: the table has no running state.\n\n"
"Present so that every quorvel object can be reset alike; outputs before\n"
"and after are identical.\n\n"
"Returns\n-------\nNone\n\n"
"Examples\n--------\n"
">>> from quorvel.interp import InterpolatedTable\n"
">>> table = InterpolatedTable([0, 1, 2])\n"
">>> table.reset()\n"
">>> table.execute([1.25])\n"
"array([1.25+0.j])\n");

PyObject *InterpolatedTableObj_reset(PyObject *self, PyObject *) {
    interp_table_t *core = Life::live(self);
    if (!core) return nullptr;
    interp_table_reset(core);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(InterpolatedTableObj_execute_doc,
"execute($self, /, x, out=None)\n--\n\n"
"Evaluate the table at every point of x.\n\n"
"Parameters\n----------\n"
"x : array_like\n    Points, converted to float64; any shape is taken flat.\n"
"out : ndarray, optional\n"
"    A writeable, C-contiguous complex128 array of at least ``x.size``\n"
"    elements. Its first ``x.size`` elements receive the result and the rest\n"
"    are left untouched.\n\n"
"Returns\n-------\nndarray\n"
"    One-dimensional complex128 array of ``x.size`` values; with ``out`` a\n"
"    view of its first elements (its base is ``out``).\n\n"
"Raises\n------\n"
"TypeError\n    ``out`` is not a writable, C-contiguous complex128 ndarray.\n"
"ValueError\n    ``out`` is too short.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.interp import InterpolatedTable\n"
">>> table = InterpolatedTable(np.arange(4, dtype=np.complex128))\n"
">>> out = np.zeros(6, dtype=np.complex128)\n"
">>> view = table.execute([1.5, 3.5], out=out)\n"
">>> view\n"
"array([1.5+0.j, 1.5+0.j])\n"
">>> view.base is out\n"
"True\n");

PyObject *InterpolatedTableObj_execute(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *_kwlist[] = {"x", "out", nullptr};
    PyObject *x_obj, *out_obj = Py_None;
    Array x, out;
    if (!Life::live(self) ||
        !PyArg_ParseTupleAndKeywords(args, kw, "O|O", const_cast<char **>(_kwlist), &x_obj, &out_obj) ||
        !qv::to_array(x_obj, NPY_DOUBLE, x))
        return nullptr;
    interp_table_t *core = Life::live(self);  // again: converting may have run destroy()
    if (!core) return nullptr;
    if (out_obj == Py_None) {
        if (!qv::new_vector(NPY_CDOUBLE, x.size, out)) return nullptr;
        interp_table_execute(core, x.data<double>(), size_t(x.size), out.data<qv_cf64>(), size_t(x.size));
        return out.ref.release();
    }
    const npy_intp need = std::max(x.size, npy_intp(interp_table_execute_max_out(core)));
    if (!qv::out_at_least(out_obj, NPY_CDOUBLE,  need,
                          "out must be a writable, C-contiguous ndarray of the output dtype", out))
        return nullptr;
    // Points that share memory with out would be overwritten before they are read.
    if (qv::shares_memory(x, out) && !qv::copy_array(x)) return nullptr;
    const size_t produced =
        interp_table_execute(core, x.data<double>(), size_t(x.size), out.data<qv_cf64>(), size_t(out.size));
    return qv::leading_view(out, npy_intp(produced));
}

PyDoc_STRVAR(InterpolatedTableObj_execute_max_out_doc,
"execute_max_out($self, /)\n--\n\n"
"Cap on the number of outputs of one ``execute`` call.\n\n"
"Returns\n-------\nint\n    0: there is no fixed cap, one output per point.\n\n"
"Examples\n--------\n"
">>> from quorvel.interp import InterpolatedTable\n"
">>> InterpolatedTable([1j]).execute_max_out()\n"
"0\n");

PyObject *InterpolatedTableObj_execute_max_out(PyObject *self, PyObject *) {
    interp_table_t *core = Life::live(self);
    if (!core) return nullptr;
    return PyLong_FromSize_t(interp_table_execute_max_out(core));
}

PyDoc_STRVAR(InterpolatedTable_n_doc,
"Table length (read-only).\n\n"
"Examples\n--------\n"
">>> from quorvel.interp import InterpolatedTable\n"
">>> InterpolatedTable([[1, 2, 3], [4, 5, 6]]).n\n"
"6\n");

PyObject *InterpolatedTable_getprop_n(PyObject *self, void *) {
    interp_table_t *core = Life::live(self);
    if (!core) return nullptr;
    return PyLong_FromSize_t(core->n);
}

PyMethodDef InterpolatedTableObj_methods[] = {
    {"reset", InterpolatedTableObj_reset, METH_NOARGS, InterpolatedTableObj_reset_doc},
    {"execute", qv::with_keywords(InterpolatedTableObj_execute), METH_VARARGS | METH_KEYWORDS,
     InterpolatedTableObj_execute_doc},
    {"execute_max_out", InterpolatedTableObj_execute_max_out, METH_NOARGS,
     InterpolatedTableObj_execute_max_out_doc},
    Life::destroy_def(),
    Life::enter_def(),
    Life::exit_def(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef InterpolatedTable_getset[] = {
    {"n", InterpolatedTable_getprop_n, nullptr, InterpolatedTable_n_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(interp_doc,
"Interpolation: a table-driven resampling interpolator (InterpolatedTable) for "
"fractional-delay and rate-change lookups.\n\n"
"The table is built once; each ``execute`` call wraps every point into the\n"
"table's period and interpolates by floor, nearest or linear rule.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.interp import InterpolatedTable\n"
">>> n = 8\n"
">>> tone = InterpolatedTable(np.exp(2j * np.pi * np.arange(n) / n))\n"
">>> np.round(tone.execute([2.0, 10.0, -6.0]), 12)\n"
"array([0.+1.j, 0.+1.j, 0.+1.j])\n");

PyModuleDef interp_module = {
    PyModuleDef_HEAD_INIT, "interp", interp_doc, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_interp(void) {
    return qv::init_module(interp_module,
                           {Life::init_type(InterpolatedTable_doc, InterpolatedTableObj_methods,
                                            InterpolatedTable_getset)},
                           qv::interp::active_isa());
}
