// GNU Radio's agc_cc loop: the kernel class behind the agc_cc block, whose
// work() is one scaleN over the buffer. Header-only.
#include <gnuradio/analog/agc.h>

#include "harness.h"

int main(int argc, char **argv) {
    gr::analog::kernel::agc_cc agc(1e-4f, 1.0f, 1.0f, 65536.0f);  // rate, reference, gain, max gain
    return bench::time_block(argc, argv, [&](const bench::cf *in, bench::cf *out, unsigned n) {
        agc.scaleN(out, in, n);
    });
}
