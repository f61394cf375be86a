// The named presets: settings of the AGC for common uses. quorvel.agc.PRESETS
// and the GNU Radio blocks' `preset` (gr-quorvel) both read this table. C++.
#pragma once

#include <cstdint>

#include "agc/agc_core.h"

namespace qv::agc {

// A preset gives these settings; the others stay as they are.
struct Preset {
    const char *name;
    double loop_bw, alpha;
    uint64_t decim;
    bool acquire;
    double max_gain_db, gate_db, attack_db;  // QV_AGC_*_OFF: off
};

inline constexpr Preset kPresets[] = {
    // Bursts that arrive out of silence or noise at any level: measured on TDMA
    // bursts at -70 to 0 dB (examples/agc_dynamics.py --onsets; README: the burst preset).
    {"burst", 0.03, 0.08, 4, true, 80.0, QV_AGC_GATE_OFF, 6.0},
};

}  // namespace qv::agc
