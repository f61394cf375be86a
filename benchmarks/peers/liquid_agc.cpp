// liquid-dsp's agc_crcf_execute_block over the buffer.
#include <complex>  // before liquid.h: its complex type becomes std::complex<float>

#include <liquid/liquid.h>

#include "harness.h"

int main(int argc, char **argv) {
    agc_crcf agc = agc_crcf_create();
    agc_crcf_set_bandwidth(agc, 1e-4f);
    const int rc = bench::time_block(argc, argv, [&](const bench::cf *in, bench::cf *out, unsigned n) {
        agc_crcf_execute_block(agc, const_cast<bench::cf *>(in), n, out);
    });
    agc_crcf_destroy(agc);
    return rc;
}
