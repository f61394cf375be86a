// The named presets: settings of the AGC for common uses. quorvel.agc.PRESETS
// and the GNU Radio blocks' `preset` (gr-quorvel) both read this table. C++.
#pragma once

#include <cstdint>

#include "agc/agc_core.h"

// The settings a preset gives, X(type, name): parameters of QV_AGC_PARAMETERS
// and `acquire`, the acquisition bit of flags; the others stay as they are.
// Every reader of the table takes them from this list.
#define QV_AGC_PRESET_SETTINGS(X) \
    X(double, loop_bw)            \
    X(double, alpha)              \
    X(uint64_t, decim)            \
    X(bool, acquire)              \
    X(double, max_gain_db)        \
    X(double, gate_db)            \
    X(double, attack_db)

namespace qv::agc {

// A preset's name and its settings, in the order of the list (off: QV_AGC_*_OFF).
struct Preset {
    const char *name;
#define QV_AGC_PRESET_FIELD_(type, setting) type setting;
    QV_AGC_PRESET_SETTINGS(QV_AGC_PRESET_FIELD_)
#undef QV_AGC_PRESET_FIELD_
};

inline constexpr Preset kPresets[] = {
    // Bursts that arrive out of silence or noise at any level: measured on TDMA
    // bursts at -70 to 0 dB (examples/agc_dynamics.py --onsets; README: the burst preset).
    {"burst", 0.03, 0.08, 4, true, 80.0, QV_AGC_GATE_OFF, 6.0},
};

}  // namespace qv::agc
