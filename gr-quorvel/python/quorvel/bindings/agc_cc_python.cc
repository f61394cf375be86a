#include <gnuradio/quorvel/agc_cc.h>

#include "agc_settings_python.h"

namespace gr {
namespace quorvel {
namespace python {

namespace {

const std::string agc_cc_doc =
    "agc_cc(" + settings_signature() + ")\n\n"
    "Automatic gain control block (native): complex in, complex out, one sample out per sample in,\n"
    "no latency.\n\n"
    "The loop is quorvel.agc.AGC's over one stream: the output equals one AGC.steps call over the\n"
    "whole stream on every sample of every complete chunk of decim samples, whatever lengths the\n"
    "scheduler hands to work() (AGC.stream).\n\n"
    "Output 1, when connected, is the gain command in dB after each sample: it changes on the last\n"
    "sample of each chunk, to the value that chunk's loop update set. With tag_every N, a work()\n"
    "call that completes a chunk at least N samples after the last tagged one tags the last sample of\n"
    "the last chunk it completed with key \"gain_db\" and that chunk's gain (a PMT double). At a tag\n"
    "with key reset_tag the loop starts afresh: from the tagged sample on, the output is that of a\n"
    "new block fed the stream from that sample (the chunk the tag cuts short makes no update).\n"
    "Input tags go to every output.\n\n"
    "Every setting has a setter, which acts from the next work() call (from any thread), and a\n"
    "getter.\n\n"
    "Parameters\n----------\n" +
    settings_parameters_doc();

} // namespace

void bind_agc_cc(py::module& m)
{
    py::class_<agc_cc, gr::sync_block, gr::block, gr::basic_block, std::shared_ptr<agc_cc>> cls(
        m, "agc_cc", agc_cc_doc.c_str());
    cls.def(py::init(&agc_cc::make), QUORVEL_AGC_PY_ARGS py::arg("preset") = "");
    bind_settings<agc_cc>(cls);
    cls.def("gain_db",
            &agc_cc::gain_db,
            py::call_guard<py::gil_scoped_release>(),
            "The loop's gain command in dB after the last completed chunk.");
    cls.def(
        "state",
        [](const agc_cc& block) { return to_bytes(block.state()); },
        "The loop's state blob, as quorvel.agc.AGC.get_state gives it (AGC.set_state takes it).");
}

} // namespace python
} // namespace quorvel
} // namespace gr
