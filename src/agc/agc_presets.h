// The named presets: settings of the AGC for common uses. quorvel.agc.PRESETS
// and the GNU Radio blocks' `preset` (gr-quorvel) both read this table. C++.
#pragma once

#include <cstdint>

namespace qv::agc {

// A preset gives these settings; the others stay as they are.
struct Preset {
    const char *name;
    double loop_bw, alpha;
    uint64_t decim;
    bool acquire;
};

inline constexpr Preset kPresets[] = {
    // Bursts that arrive out of noise at any level (README: the burst preset).
    {"burst", 0.02, 0.05, 8, true},
};

}  // namespace qv::agc
