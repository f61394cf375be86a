// GNU Radio's agc3_cc: its work() called directly on the buffer, without a
// flowgraph or scheduler. Option: iir_update_decim (default 1).
#include <gnuradio/analog/agc3_cc.h>

#include "harness.h"

int main(int argc, char **argv) {
    const int decim = argc > 3 ? std::atoi(argv[3]) : 1;
    auto agc = gr::analog::agc3_cc::make(1e-1f, 1e-2f, 1.0f, 1.0f, decim);  // attack, decay, reference, gain
    gr_vector_const_void_star in(1);
    gr_vector_void_star out(1);
    return bench::time_block(argc, argv, [&](const bench::cf *x, bench::cf *y, unsigned n) {
        in[0] = x;
        out[0] = y;
        agc->work(int(n), in, out);
    });
}
