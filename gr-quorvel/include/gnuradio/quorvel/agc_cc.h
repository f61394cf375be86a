// agc_cc: quorvel's AGC as a GNU Radio block, complex in and out.
#ifndef INCLUDED_QUORVEL_AGC_CC_H
#define INCLUDED_QUORVEL_AGC_CC_H

#include <gnuradio/quorvel/agc_settings.h>
#include <gnuradio/quorvel/api.h>
#include <gnuradio/sync_block.h>

#include <cstdint>
#include <string>
#include <vector>

namespace gr {
namespace quorvel {

/*!
 * \brief Log-domain feedback AGC: complex in, complex out, one sample out per
 * sample in, no latency.
 * \ingroup quorvel
 *
 * Bit for bit quorvel.agc.AGC.stream over the whole stream, however the
 * scheduler cuts it. Output 1 (optional) carries the gain command in dB after
 * each sample; gain tags, reset tags and the settings are described in the
 * Python docstring (help(gnuradio.quorvel.agc_cc)) and in agc_settings.h.
 */
class QUORVEL_API agc_cc : virtual public gr::sync_block
{
public:
    typedef std::shared_ptr<agc_cc> sptr;

    /*!
     * \param ref_db ... reset_tag  the settings (agc_settings.h)
     * \param preset  a preset's name ("burst"), whose settings replace these; "" for none
     */
    static sptr make(QUORVEL_AGC_MAKE_PARAMETERS const std::string& preset = "");

    QUORVEL_AGC_SETTING_METHODS

    //! Applies a preset's settings ("" changes nothing); std::invalid_argument for an unknown name.
    virtual void set_preset(const std::string& preset) = 0;
    //! The preset last applied, or "".
    virtual std::string preset() const = 0;
    //! The loop's gain command in dB after the last completed chunk.
    virtual double gain_db() const = 0;
    //! The loop's state blob, as quorvel.agc.AGC.get_state gives it.
    virtual std::vector<uint8_t> state() const = 0;
};

} // namespace quorvel
} // namespace gr

#endif /* INCLUDED_QUORVEL_AGC_CC_H */
