// What the bindings of both blocks share: make()'s keywords, the setter and
// getter of every setting and the preset, and the docstrings of the settings.
#ifndef INCLUDED_QUORVEL_AGC_SETTINGS_PYTHON_H
#define INCLUDED_QUORVEL_AGC_SETTINGS_PYTHON_H

#include <gnuradio/quorvel/agc_settings.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <string>
#include <vector>

namespace gr {
namespace quorvel {
namespace python {

namespace py = pybind11;

// make()'s keywords, one per setting with its default, each followed by a comma.
#define QUORVEL_AGC_PY_ARG_(type, name, value, ...) py::arg(#name) = type(value),
#define QUORVEL_AGC_PY_ARGS QUORVEL_AGC_SETTINGS(QUORVEL_AGC_PY_ARG_)

template <class T>
const char* python_type();
template <>
inline const char* python_type<double>() { return "float"; }
template <>
inline const char* python_type<int64_t>() { return "int"; }
template <>
inline const char* python_type<bool>() { return "bool"; }
template <>
inline const char* python_type<std::string>() { return "str"; }

// A default as Python writes it: the C++ literal, but for bool and the infinities.
template <class T>
std::string python_default(const char* literal, const T&)
{
    return literal;
}
inline std::string python_default(const char*, bool value) { return value ? "True" : "False"; }
inline std::string python_default(const char* literal, double value)
{
    return std::isinf(value) ? (value > 0 ? "inf" : "-inf") : literal;
}

// The signature's keywords, "ref_db=0.0, ..., preset=\"\"".
inline std::string settings_signature()
{
    std::string signature;
#define QUORVEL_AGC_SETTING_KEYWORD_(type, name, value, ...) \
    signature += #name "=" + python_default(#value, type(value)) + ", ";
    QUORVEL_AGC_SETTINGS(QUORVEL_AGC_SETTING_KEYWORD_)
#undef QUORVEL_AGC_SETTING_KEYWORD_
    return signature + "preset=\"\"";
}

// The docstring's Parameters entries of the settings and the preset.
inline std::string settings_parameters_doc()
{
    std::string doc;
#define QUORVEL_AGC_SETTING_DOC_(type, name, value, label, what)                                   \
    doc += std::string(#name " : ") + python_type<type>() + ", default " + python_default(#value, type(value)) + \
           "\n    " what "\n";
    QUORVEL_AGC_SETTINGS(QUORVEL_AGC_SETTING_DOC_)
#undef QUORVEL_AGC_SETTING_DOC_
    return doc + "preset : str, default \"\"\n    A preset's name (\"burst\"), whose settings replace "
                 "those above; \"\" for none.\n";
}

inline py::bytes to_bytes(const std::vector<uint8_t>& blob)
{
    return py::bytes(reinterpret_cast<const char*>(blob.data()), blob.size());
}

// set_<name>(value) and <name>() of every setting, set_preset and preset. A
// setter may wait for a work() call to end: it lets go of the interpreter.
template <class Block, class Class>
void bind_settings(Class& cls)
{
    using release = py::call_guard<py::gil_scoped_release>;
#define QUORVEL_AGC_SETTING_BIND_(type, name, value, label, what)                      \
    cls.def("set_" #name, &Block::set_##name, py::arg(#name), release(),              \
            "set_" #name "(" #name ")\n\n" what " From the next work() call.");       \
    cls.def(#name, &Block::name, release(), "The " #name " the next work() call uses.");
    QUORVEL_AGC_SETTINGS(QUORVEL_AGC_SETTING_BIND_)
#undef QUORVEL_AGC_SETTING_BIND_
    cls.def("set_preset", &Block::set_preset, py::arg("preset"), release(),
            "set_preset(preset)\n\nA preset's settings (\"burst\"), from the next work() call; \"\" "
            "changes nothing. ValueError for an unknown name.");
    cls.def("preset", &Block::preset, release(), "The preset last applied, or \"\".");
}

} // namespace python
} // namespace quorvel
} // namespace gr

#endif /* INCLUDED_QUORVEL_AGC_SETTINGS_PYTHON_H */
