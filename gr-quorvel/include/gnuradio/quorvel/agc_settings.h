// The settings of the AGC blocks, one line each:
//   X(type, name, default, "label", "what it sets")
// A line gives the blocks' make() parameter, their setter set_<name>() and
// getter <name>(), the Python binding of all three and the GNU Radio Companion
// parameter with its callback (grc/write_blocks.py reads this list: keep one
// entry per line in this form, an infinite default as INFINITY or -INFINITY).
// Every setting can change while a flowgraph runs; a change acts from the
// next work() call, a loop setting from the first loop update that call makes.
//
// The loop's settings come first: the parameters an AGC bank's channels
// share (QV_AGC_PARAMETERS in src/agc/agc_core.h, in its order, the
// acquisition mode after decim), each under the core's name and passed to
// the loops by that list, so that the library does not build while one of
// them lacks its line here. Then the blocks' own.
#ifndef INCLUDED_QUORVEL_AGC_SETTINGS_H
#define INCLUDED_QUORVEL_AGC_SETTINGS_H

#include <cmath>
#include <cstdint>
#include <string>

// clang-format off
#define QUORVEL_AGC_SETTINGS(X)                                                                                     \
    X(double, ref_db, 0.0, "Reference (dB)", "Target output power in dB; 0 dB is unit power.")                     \
    X(double, loop_bw, 0.0025, "Loop bandwidth", "Loop noise bandwidth in cycles per sample.")                     \
    X(double, alpha, 0.05, "Detector smoothing", "Per-sample coefficient of the power detector, in (0, 1].")       \
    X(int64_t, decim, 8, "Samples per update", "Samples per loop update (0 acts as 1); a new value applies from the next chunk.") \
    X(bool, acquire, false, "Acquisition mode", "The detector follows the gain the loop applies (AGC.acquire).")    \
    X(double, clip_db, 120.0, "Clip level (dB)", "Output clip level in dB, per component.")                        \
    X(double, max_gain_db, INFINITY, "Gain ceiling (dB)", "The highest gain command the loop may reach, in dB; inf: none.") \
    X(double, gate_db, -INFINITY, "Gate (dB)", "Input power in dB below which a loop update holds the gain and the detector; -inf: none.") \
    X(double, attack_db, INFINITY, "Fast attack (dB)", "How far in dB a chunk's own level must exceed the reference to be corrected at once; inf: never.") \
    X(double, initial_gain_db, 0.0, "Initial gain (dB)", "The gain the loop starts from, and takes again at a reset tag (within the loop's bounds: at most the ceiling).") \
    X(int64_t, tag_every, 0, "Gain tag spacing", "0: no gain tags; else a gain_db tag at least this many samples after the last.") \
    X(std::string, reset_tag, "", "Reset tag key", "Key of the stream tags at which the loop starts afresh; empty: none.")
// clang-format on

namespace gr {
namespace quorvel {

// One value of each setting.
struct agc_settings {
#define QUORVEL_AGC_SETTING_FIELD_(type, name, value, ...) type name = value;
    QUORVEL_AGC_SETTINGS(QUORVEL_AGC_SETTING_FIELD_)
#undef QUORVEL_AGC_SETTING_FIELD_
};

} // namespace quorvel
} // namespace gr

// make()'s parameters, one per setting, each followed by a comma: with their
// defaults where make() is declared, without where it is defined.
#define QUORVEL_AGC_MAKE_PARAMETER_(type, name, value, ...) type name = value,
#define QUORVEL_AGC_MAKE_PARAMETERS QUORVEL_AGC_SETTINGS(QUORVEL_AGC_MAKE_PARAMETER_)
#define QUORVEL_AGC_PARAMETER_(type, name, ...) type name,
#define QUORVEL_AGC_PARAMETERS QUORVEL_AGC_SETTINGS(QUORVEL_AGC_PARAMETER_)

// The parameters of make() gathered into agc_settings, in make()'s body.
#define QUORVEL_AGC_SETTING_NAME_(type, name, ...) name,
#define QUORVEL_AGC_MADE_SETTINGS ::gr::quorvel::agc_settings{QUORVEL_AGC_SETTINGS(QUORVEL_AGC_SETTING_NAME_)}

// The setter and getter of every setting, declared in a block's interface.
#define QUORVEL_AGC_SETTING_METHODS_(type, name, ...) \
    virtual void set_##name(type name) = 0;            \
    virtual type name() const = 0;
#define QUORVEL_AGC_SETTING_METHODS QUORVEL_AGC_SETTINGS(QUORVEL_AGC_SETTING_METHODS_)

#endif /* INCLUDED_QUORVEL_AGC_SETTINGS_H */
