#include <gnuradio/io_signature.h>
#include <gnuradio/quorvel/agc_bank_cc.h>

#include <stdexcept>

#include "agc_block_impl.h"

namespace gr {
namespace quorvel {

namespace {

int port_count(size_t channels)
{
    if (channels == 0 || channels > agc_bank_cc::max_channels)
        throw std::invalid_argument("channels must be between 1 and " + std::to_string(agc_bank_cc::max_channels) +
                                    ", got " + std::to_string(channels));
    return int(channels);
}

// Sizes of the outputs: the levelled signals, then their gains in dB.
std::vector<int> output_sizes(size_t channels)
{
    std::vector<int> sizes(size_t(port_count(channels)), sizeof(gr_complex));
    sizes.resize(2 * channels, sizeof(float));
    return sizes;
}

class agc_bank_cc_impl final : public agc_block_impl<agc_bank_cc>
{
public:
    agc_bank_cc_impl(size_t channels, const agc_settings& settings, const std::string& preset)
        : gr::sync_block("quorvel_agc_bank_cc",
                         io_signature::make(port_count(channels), port_count(channels), sizeof(gr_complex)),
                         io_signature::makev(port_count(channels), 2 * port_count(channels), output_sizes(channels))),
          agc_block_impl<agc_bank_cc>(channels, settings, preset)
    {
    }

    size_t channels() const override { return channel_count(); }
    double gain_db(size_t channel) const override { return channel_gain_db(channel); }
    std::vector<uint8_t> state(size_t channel) const override { return channel_state(channel); }
};

} // namespace

agc_bank_cc::sptr agc_bank_cc::make(size_t channels, QUORVEL_AGC_PARAMETERS const std::string& preset)
{
    return gnuradio::make_block_sptr<agc_bank_cc_impl>(channels, QUORVEL_AGC_MADE_SETTINGS, preset);
}

} // namespace quorvel
} // namespace gr
