#include <gnuradio/io_signature.h>
#include <gnuradio/quorvel/agc_bank_cc.h>

#include <stdexcept>

#include "agc_block_impl.h"

namespace gr {
namespace quorvel {

namespace {

// Items of each output buffer the bank asks for, twice GNU Radio's default for
// complex samples: a work() call may then write half of it, 8,192 samples per
// channel, all that an upstream buffer of the default size holds, where it
// could write 4,096. That halves the bank's calls and its hand-offs to its
// readers, which bound it in a flowgraph. The cost: up to 4,096 samples more
// per output may wait for a reader slower than the bank, and twice the
// buffers' memory (128 KiB per complex output).
constexpr long kOutputBufferItems = 16384;

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
        for (int port = 0; port < 2 * port_count(channels); ++port) // port by port: no log line
            set_min_output_buffer(port, kOutputBufferItems);
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
