// gnuradio.quorvel.quorvel_python: the blocks for Python and GNU Radio Companion.
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace gr {
namespace quorvel {
namespace python {
void bind_agc_cc(py::module& m);
void bind_agc_bank_cc(py::module& m);
} // namespace python
} // namespace quorvel
} // namespace gr

PYBIND11_MODULE(quorvel_python, m)
{
    py::module::import("gnuradio.gr"); // the blocks' base classes
    gr::quorvel::python::bind_agc_cc(m);
    gr::quorvel::python::bind_agc_bank_cc(m);
}
