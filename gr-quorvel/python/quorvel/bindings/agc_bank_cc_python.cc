#include <gnuradio/quorvel/agc_bank_cc.h>

#include "agc_settings_python.h"

namespace gr {
namespace quorvel {
namespace python {

namespace {

const std::string agc_bank_cc_doc =
    "agc_bank_cc(channels, " + settings_signature() + ")\n\n"
    "A bank of AGCs (native): input c through channel c to output c, complex; the channels share\n"
    "their settings.\n\n"
    "Channel c is quorvel.agc.AGCBank's channel c over stream c, bit for bit an agc_cc of its own,\n"
    "and the bank runs the channels' loops side by side, several times faster than as many agc_cc\n"
    "blocks. Outputs channels + c, when connected (those of the first k channels), carry channel\n"
    "c's gain command in dB as agc_cc's output 1 does; the tags of input c go to outputs c and\n"
    "channels + c. Gain tags go on output c, and a reset tag on input c restarts channel c alone (a\n"
    "channel whose chunks no longer line up with the others' then runs on its own, at an agc_cc's\n"
    "speed).\n\n"
    "Parameters\n----------\n"
    "channels : int\n    Inputs and outputs, one loop each (1 to " + std::to_string(agc_bank_cc::max_channels) +
    ").\n" +
    settings_parameters_doc();

} // namespace

void bind_agc_bank_cc(py::module& m)
{
    py::class_<agc_bank_cc, gr::sync_block, gr::block, gr::basic_block, std::shared_ptr<agc_bank_cc>>
        cls(m, "agc_bank_cc", agc_bank_cc_doc.c_str());
    cls.def(py::init(&agc_bank_cc::make),
            py::arg("channels"),
            QUORVEL_AGC_PY_ARGS py::arg("preset") = "");
    bind_settings<agc_bank_cc>(cls);
    cls.def("channels", &agc_bank_cc::channels, "The number of channels.");
    cls.def("gain_db",
            &agc_bank_cc::gain_db,
            py::arg("channel"),
            py::call_guard<py::gil_scoped_release>(),
            "Channel c's gain command in dB after its last completed chunk; IndexError past the last.");
    cls.def(
        "state",
        [](const agc_bank_cc& block, size_t channel) { return to_bytes(block.state(channel)); },
        py::arg("channel"),
        "Channel c's state blob, as quorvel.agc.AGC.get_state gives it.");
}

} // namespace python
} // namespace quorvel
} // namespace gr
