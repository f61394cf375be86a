#include <gnuradio/io_signature.h>
#include <gnuradio/quorvel/agc_cc.h>

#include "agc_block_impl.h"

namespace gr {
namespace quorvel {

namespace {

// In: the signal. Out: the levelled signal, then (optional) its gain in dB.
class agc_cc_impl final : public agc_block_impl<agc_cc>
{
public:
    agc_cc_impl(const agc_settings& settings, const std::string& preset)
        : gr::sync_block("quorvel_agc_cc",
                         io_signature::make(1, 1, sizeof(gr_complex)),
                         io_signature::makev(1, 2, { sizeof(gr_complex), sizeof(float) })),
          agc_block_impl<agc_cc>(1, settings, preset)
    {
    }

    double gain_db() const override { return channel_gain_db(0); }
    std::vector<uint8_t> state() const override { return channel_state(0); }
};

} // namespace

agc_cc::sptr agc_cc::make(QUORVEL_AGC_PARAMETERS const std::string& preset)
{
    return gnuradio::make_block_sptr<agc_cc_impl>(QUORVEL_AGC_MADE_SETTINGS, preset);
}

} // namespace quorvel
} // namespace gr
