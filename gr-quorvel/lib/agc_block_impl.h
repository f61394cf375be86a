// A block's interface (agc_cc, agc_bank_cc) over agc_loops_block: the setter
// and getter of every setting, and the preset.
#ifndef INCLUDED_QUORVEL_AGC_BLOCK_IMPL_H
#define INCLUDED_QUORVEL_AGC_BLOCK_IMPL_H

#include <string>
#include <utility>

#include "agc_loops_block.h"

namespace gr {
namespace quorvel {

template <class Interface>
class agc_block_impl : public Interface, public agc_loops_block
{
public:
#define QUORVEL_AGC_SETTING_IMPL_(type, name, ...)                           \
    void set_##name(type value) override                                     \
    {                                                                        \
        change([&](agc_settings& s) { s.name = std::move(value); });         \
    }                                                                        \
    type name() const override { return settings().name; }
    QUORVEL_AGC_SETTINGS(QUORVEL_AGC_SETTING_IMPL_)
#undef QUORVEL_AGC_SETTING_IMPL_

    void set_preset(const std::string& preset) override { set_preset_name(preset); }
    std::string preset() const override { return preset_name(); }

protected:
    agc_block_impl(size_t channels, const agc_settings& settings, const std::string& preset)
        : agc_loops_block(channels, settings, preset)
    {
    }
};

} // namespace quorvel
} // namespace gr

#endif /* INCLUDED_QUORVEL_AGC_BLOCK_IMPL_H */
