// The life of every quorvel object, written once: new/init/dealloc, destroy,
// the context manager, the destroyed guard and the state-blob methods.
//
// A type describes itself with a traits struct:
//   using Core = ...;                          the C core record
//   static constexpr const char *module, *name, *create_name, *example;
//   struct Args;                               parsed constructor arguments
//   static bool parse(PyObject *args, PyObject *kw, Args &);
//   static Core *create(Args &);
//   static void destroy(Core *);               accepts null
// and, for a state blob, state_bytes/get_state/set_state plus either
// kStateBytes (the core's blob size, for the docstrings) or, for a blob that
// comes in several sizes, kStateSizes (every size set_state accepts, the one
// of a fresh object first; state_bytes then gives the size of get_state now).
#pragma once

#include <algorithm>
#include <iterator>
#include <string>

#include "common/pyref.h"
#include "common/python.h"
#include "common/state_blob.h"

namespace qv {

template <class T>
struct Object {
    PyObject_HEAD
    typename T::Core *core;  // owned; null when unbound or released
};

template <class T>
struct Lifecycle {
    using Core = typename T::Core;
    using Obj = Object<T>;

    static Obj *self(PyObject *o) { return reinterpret_cast<Obj *>(o); }

    // The destroyed guard: the core, or null with RuntimeError("destroyed").
    // A call asks before converting its arguments, so that a destroyed object
    // says so first, and again after: a conversion may run Python code, and
    // destroy() among it.
    static Core *live(PyObject *o) {
        Core *core = self(o)->core;
        if (!core) PyErr_SetString(PyExc_RuntimeError, "destroyed");
        return core;
    }

    // Clears `core` before destroying it, so no path can see a freed record.
    static void release(PyObject *o) {
        Core *core = self(o)->core;
        self(o)->core = nullptr;
        T::destroy(core);
    }

    static PyObject *tp_new(PyTypeObject *type, PyObject *, PyObject *) {
        PyObject *o = type->tp_alloc(type, 0);
        if (o) self(o)->core = nullptr;
        return o;
    }

    static int tp_init(PyObject *o, PyObject *args, PyObject *kw) {
        typename T::Args parsed{};
        if (!T::parse(args, kw, parsed)) return -1;
        Core *core = T::create(parsed);
        release(o);  // a second __init__ must not leak the core it replaces
        self(o)->core = core;
        if (!core) {
            PyErr_Format(PyExc_MemoryError, "%s returned NULL", T::create_name);
            return -1;
        }
        return 0;
    }

    static void tp_dealloc(PyObject *o) {
        release(o);
        Py_TYPE(o)->tp_free(o);
    }

    static PyObject *destroy(PyObject *o, PyObject *) {
        release(o);
        Py_RETURN_NONE;
    }

    static PyObject *enter(PyObject *o, PyObject *) {
        Py_INCREF(o);
        return o;
    }

    static PyObject *exit(PyObject *o, PyObject *) {
        release(o);
        Py_RETURN_NONE;
    }

    static PyObject *state_bytes(PyObject *o, PyObject *) {
        Core *core = live(o);
        if (!core) return nullptr;
        return PyLong_FromSize_t(T::state_bytes(core));
    }

    static PyObject *get_state(PyObject *o, PyObject *) {
        Core *core = live(o);
        if (!core) return nullptr;
        PyRef blob = PyRef::steal(
            PyBytes_FromStringAndSize(nullptr, Py_ssize_t(T::state_bytes(core))));
        if (!blob) return nullptr;
        T::get_state(core, PyBytes_AS_STRING(blob.get()));
        return blob.release();
    }

    static PyObject *set_state(PyObject *o, PyObject *blob) {
        Core *core = live(o);
        if (!core) return nullptr;
        const char *bytes = blob_bytes(core, blob);
        if (!bytes) return nullptr;
        if (T::set_state(core, bytes) != 0) return rejected();
        Py_RETURN_NONE;
    }

    // The bytes of a blob that set_state may hand to the core, or null with
    // TypeError (not bytes) or ValueError (a size the type never takes; for
    // several sizes, one that the blob's header does not state).
    static const char *blob_bytes(Core *core, PyObject *blob) {
        if (!PyBytes_Check(blob)) {
            PyErr_SetString(PyExc_TypeError, "set_state expects bytes");
            return nullptr;
        }
        const size_t size = size_t(PyBytes_GET_SIZE(blob));
        if (!size_accepted(core, size)) {
            PyErr_SetString(PyExc_ValueError, "state blob size mismatch");
            return nullptr;
        }
        // A core whose blob has several sizes reads as many bytes as the
        // header states: it must state this blob's length.
        if (several_sizes && blob_stated_size(PyBytes_AS_STRING(blob)) != size) {
            rejected();
            return nullptr;
        }
        return PyBytes_AS_STRING(blob);
    }

    // The error of a blob the core refuses (a ValueError).
    static constexpr const char *kRejected = "set_state rejected the blob";
    static PyObject *rejected() {
        PyErr_SetString(PyExc_ValueError, kRejected);
        return nullptr;
    }

    // Method-table entries; their docstrings are the same text in every type
    // with the type's name put in.
    static PyMethodDef destroy_def() { return {"destroy", destroy, METH_NOARGS, doc(kDocDestroy)}; }
    static PyMethodDef enter_def() { return {"__enter__", enter, METH_NOARGS, doc(kDocEnter)}; }
    static PyMethodDef exit_def() { return {"__exit__", exit, METH_VARARGS, doc(kDocExit)}; }
    static PyMethodDef state_bytes_def() {
        return {"state_bytes", state_bytes, METH_NOARGS, doc(kDocStateBytes)};
    }
    static PyMethodDef get_state_def() { return {"get_state", get_state, METH_NOARGS, doc(kDocGetState)}; }
    static PyMethodDef set_state_def() { return {"set_state", set_state, METH_O, doc(kDocSetState)}; }

    // Fills the type object and returns it, for the module to ready and add:
    // named "<module>.<name>" from the traits, default flags only (no
    // subclassing, no __dict__, no weak references), one pointer after the
    // object header.
    static PyTypeObject *init_type(const char *doc, PyMethodDef *methods, PyGetSetDef *getset = nullptr) {
        static const std::string qualified = std::string(T::module) + "." + T::name;
        type.tp_name = qualified.c_str();
        type.tp_basicsize = sizeof(Obj);
        type.tp_flags = Py_TPFLAGS_DEFAULT;
        type.tp_doc = doc;
        type.tp_methods = methods;
        type.tp_getset = getset;
        type.tp_new = tp_new;
        type.tp_init = tp_init;
        type.tp_dealloc = tp_dealloc;
        return &type;
    }

private:
    // A static type object is the C API's way to a type that lives as long as
    // the process. Its initialiser names the object header alone and leaves
    // the other slots zero for init_type to fill: the one place where the
    // missing-field-initializers warning is expected, so it is silenced here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    static inline PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

    enum Doc { kDocDestroy, kDocEnter, kDocExit, kDocStateBytes, kDocGetState, kDocSetState, kDocCount };

    static const char *doc(Doc which) {
        static const std::string docs[kDocCount] = {
            make_doc(kDocDestroy), make_doc(kDocEnter), make_doc(kDocExit),
            make_doc(kDocStateBytes), make_doc(kDocGetState), make_doc(kDocSetState)};
        return docs[which].c_str();
    }

    static constexpr bool several_sizes = requires { T::kStateSizes; };

    static bool size_accepted(Core *core, size_t size) {
        if constexpr (several_sizes)
            return std::find(std::begin(T::kStateSizes), std::end(T::kStateSizes), size) != std::end(T::kStateSizes);
        else
            return size == T::state_bytes(core);
    }

    // The blob sizes for the docstrings ("120", "120 or 152"), and that of a fresh object.
    static std::string state_size() {
        if constexpr (several_sizes) {
            std::string sizes;
            for (size_t size : T::kStateSizes) sizes += (sizes.empty() ? "" : " or ") + std::to_string(size);
            return sizes;
        } else if constexpr (requires { T::kStateBytes; }) {
            return std::to_string(T::kStateBytes);
        } else {
            return {};
        }
    }

    static std::string fresh_state_size() {
        if constexpr (several_sizes)
            return std::to_string(T::kStateSizes[0]);
        else
            return state_size();
    }

    static std::string make_doc(Doc which) {
        const std::string name = T::name;
        const std::string import = ">>> from quorvel." + std::string(T::module) + " import " + name + "\n";
        const std::string make = ">>> obj = " + std::string(T::example) + "\n";
        const std::string destroyed =
            "Traceback (most recent call last):\n    ...\nRuntimeError: destroyed\n";
        switch (which) {
        case kDocDestroy:
            return "destroy($self, /)\n--\n\n"
                   "Release the underlying C resources immediately.\n\n"
                   "Afterwards every method and property except ``destroy``, ``__enter__``\n"
                   "and ``__exit__`` raises ``RuntimeError(\"destroyed\")``. Calling it\n"
                   "again does nothing. Garbage collection releases the resources too;\n"
                   "this makes the moment explicit.\n\n"
                   "Returns\n-------\nNone\n\n"
                   "Examples\n--------\n" + import + make +
                   ">>> obj.destroy()\n>>> obj.destroy()\n>>> obj.reset()\n" + destroyed;
        case kDocEnter:
            return "__enter__($self, /)\n--\n\n"
                   "Enter a context manager, returning this object.\n\n"
                   "The ``with`` block binds the object itself; leaving the block\n"
                   "releases it, also when the block raises.\n\n"
                   "Returns\n-------\n" + name + "\n    This object.\n\n"
                   "Examples\n--------\n" + import + make +
                   ">>> with obj as same:\n...     same is obj\nTrue\n>>> obj.reset()\n" + destroyed;
        case kDocExit:
            return "__exit__($self, /, *args)\n--\n\n"
                   "Exit a context manager, releasing the " + name + ".\n\n"
                   "Any positional arguments are accepted and ignored, so an exception\n"
                   "raised in the ``with`` block propagates.\n\n"
                   "Returns\n-------\nNone\n\n"
                   "Examples\n--------\n" + import + make +
                   ">>> obj.__exit__(None, None, None)\n>>> obj.reset()\n" + destroyed;
        case kDocStateBytes:
            return "state_bytes($self, /)\n--\n\n"
                   "Size in bytes of this object's serialized state.\n\n"
                   "Returns\n-------\nint\n    " +
                   std::string(several_sizes ? "The length of the blob ``get_state()`` returns now: "
                                             : "The length of every ``get_state()`` blob: ") +
                   state_size() + ".\n\n"
                   "Examples\n--------\n" + import + make + ">>> obj.state_bytes()\n" +
                   fresh_state_size() + "\n";
        case kDocGetState:
            return "get_state($self, /)\n--\n\n"
                   "Serialize this object's mutable state to bytes.\n\n"
                   "The blob opens with a 16-byte header (magic, version, format, size)\n"
                   "and can be handed to ``set_state`` of any " + name + ".\n\n"
                   "Returns\n-------\nbytes\n    ``state_bytes()`` bytes.\n\n"
                   "Examples\n--------\n" + import + make +
                   ">>> blob = obj.get_state()\n>>> len(blob) == obj.state_bytes()\nTrue\n";
        case kDocSetState:
            return "set_state($self, blob, /)\n--\n\n"
                   "Restore mutable state from a `get_state()` blob.\n\n"
                   "Parameters\n----------\nblob : bytes\n"
                   "    " +
                   (several_sizes ? state_size() + " bytes with this type's header, as\n"
                                                   "    ``get_state()`` returns them.\n\n"
                                  : std::string("Exactly ``state_bytes()`` bytes with this type's header.\n\n")) +
                   "Returns\n-------\nNone\n\n"
                   "Raises\n------\nTypeError\n    ``blob`` is not bytes.\n"
                   "ValueError\n    Wrong length, or a header of another type or version;\n"
                   "    the object keeps its state.\n\n"
                   "Examples\n--------\n" + import + make +
                   ">>> obj.set_state(obj.get_state())\n>>> obj.set_state(b'')\n"
                   "Traceback (most recent call last):\n    ...\n"
                   "ValueError: state blob size mismatch\n";
        default:
            return {};
        }
    }
};

}  // namespace qv
