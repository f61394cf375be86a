// agc_bank_cc: a bank of quorvel AGC loops as a GNU Radio block, one channel
// per input and output.
#ifndef INCLUDED_QUORVEL_AGC_BANK_CC_H
#define INCLUDED_QUORVEL_AGC_BANK_CC_H

#include <gnuradio/quorvel/agc_settings.h>
#include <gnuradio/quorvel/api.h>
#include <gnuradio/sync_block.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gr {
namespace quorvel {

/*!
 * \brief A bank of log-domain feedback AGCs: input c through channel c to
 * output c, complex; the channels share their settings.
 * \ingroup quorvel
 *
 * Channel c is bit for bit an agc_cc of its own (quorvel.agc.AGCBank's channel
 * c), and the bank runs the channels' loops side by side. Outputs channels + c
 * (optional, those of the first k channels) carry channel c's gain in dB; see
 * help(gnuradio.quorvel.agc_bank_cc).
 */
class QUORVEL_API agc_bank_cc : virtual public gr::sync_block
{
public:
    typedef std::shared_ptr<agc_bank_cc> sptr;

    //! The most channels a bank takes: far more than a flowgraph runs (each port has its buffers).
    static constexpr size_t max_channels = 1024;

    /*!
     * \param channels  inputs and outputs, one loop each (1 to max_channels)
     * \param ref_db ... reset_tag  the settings every channel takes (agc_settings.h)
     * \param preset  a preset's name ("burst"), whose settings replace these; "" for none
     */
    static sptr make(size_t channels, QUORVEL_AGC_MAKE_PARAMETERS const std::string& preset = "");

    QUORVEL_AGC_SETTING_METHODS

    //! Applies a preset's settings ("" changes nothing); std::invalid_argument for an unknown name.
    virtual void set_preset(const std::string& preset) = 0;
    //! The preset last applied, or "".
    virtual std::string preset() const = 0;
    //! The number of channels.
    virtual size_t channels() const = 0;
    //! Channel c's gain command in dB after its last completed chunk; std::out_of_range past the last.
    virtual double gain_db(size_t channel) const = 0;
    //! Channel c's state blob, as quorvel.agc.AGC.get_state gives it.
    virtual std::vector<uint8_t> state(size_t channel) const = 0;
};

} // namespace quorvel
} // namespace gr

#endif /* INCLUDED_QUORVEL_AGC_BANK_CC_H */
