#include "agc/agc_bank.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agc/agc_variants.h"

using namespace qv::agc;

namespace {

// The parameters a bank shares, compared bit for bit (a NaN parameter is
// the bank's when its bits are).
bool same_parameters(const agc_t &a, const agc_t &b) {
    auto same = [](auto x, auto y) { return std::memcmp(&x, &y, sizeof x) == 0; };
    bool equal = (a.flags & QV_AGC_ACQUIRE) == (b.flags & QV_AGC_ACQUIRE);
#define QV_SAME_(name, scope) QV_AGC_IF_SHARED(scope, equal = equal && same(a.name, b.name);)
    QV_AGC_PARAMETERS(QV_SAME_)
#undef QV_SAME_
    return equal;
}

void copy_parameters(agc_t &to, const agc_t &from) {
#define QV_COPY_(name, scope) QV_AGC_IF_SHARED(scope, to.name = from.name;)
    QV_AGC_PARAMETERS(QV_COPY_)
#undef QV_COPY_
    to.flags = (to.flags & ~uint32_t(QV_AGC_ACQUIRE)) | (from.flags & QV_AGC_ACQUIRE);
}

// A probe name cut as the context cuts names (the cut is intended).
void cut_name(char (&name)[QV_TLM_NAME_BYTES], const char *prefix, size_t c, const char *tail) {
    if (std::snprintf(name, sizeof name, "%s.%zu%s", prefix, c, tail) < 0) name[0] = '\0';
}

// Channel c's probe names, "<prefix>.<c>.gain_db" and ".level_db".
struct ProbeNames {
    char gain[QV_TLM_NAME_BYTES], level[QV_TLM_NAME_BYTES];
    ProbeNames(const char *prefix, size_t c) {
        cut_name(gain, prefix, c, ".gain_db");
        cut_name(level, prefix, c, ".level_db");
    }
};

// Whether the names of channels 0 .. channels - 1 are all different, and
// how many of them the context does not hold yet.
bool distinct_names(const char *prefix, size_t channels) {
    for (size_t c = 0; c < channels; ++c) {
        const ProbeNames mine(prefix, c);
        if (std::strcmp(mine.gain, mine.level) == 0) return false;
        for (size_t k = 0; k < c; ++k) {
            const ProbeNames other(prefix, k);
            for (const char *a : {mine.gain, mine.level})
                for (const char *b : {other.gain, other.level})
                    if (std::strcmp(a, b) == 0) return false;
        }
    }
    return true;
}

size_t unregistered(qv_tlm *tlm, const char *prefix, size_t channels) {
    size_t missing = 0;
    for (size_t c = 0; c < channels; ++c) {
        const ProbeNames names(prefix, c);
        missing += (qv_tlm_probe_id(tlm, names.gain) < 0) + (qv_tlm_probe_id(tlm, names.level) < 0);
    }
    return missing;
}

}  // namespace

agc_bank_t *agc_bank_create(size_t channels, double ref_db, double loop_bw, double alpha) {
    if (channels == 0) return nullptr;
    auto *b = static_cast<agc_bank_t *>(std::calloc(1, sizeof(agc_bank_t)));
    if (!b) return nullptr;
    b->channels = channels;
    b->chan = static_cast<agc_t *>(std::calloc(channels, sizeof(agc_t)));  // calloc refuses an overflowing size
    agc_t *first = agc_create(ref_db, loop_bw, alpha);
    if (!b->chan || !first) {
        agc_destroy(first);
        std::free(b->chan);
        std::free(b);
        return nullptr;
    }
    for (size_t c = 0; c < channels; ++c) b->chan[c] = *first;
    agc_destroy(first);
    return b;
}

void agc_bank_destroy(agc_bank_t *b) {
    if (!b) return;
    for (size_t c = 0; c < b->channels; ++c) agc_set_telemetry(b->chan + c, nullptr, nullptr, 0);
    std::free(b->chan);
    std::free(b);
}

void agc_bank_reset(agc_bank_t *b) {
    for (size_t c = 0; c < b->channels; ++c) agc_reset(b->chan + c);
}

void agc_bank_configure(agc_bank_t *b, const agc_t *like) {
    const agc_t from = *like;  // `like` may be one of the channels
    for (size_t c = 0; c < b->channels; ++c) copy_parameters(b->chan[c], from);
}

int agc_bank_set_state(agc_bank_t *b, size_t c, const void *blob) {
    if (c >= b->channels) return QV_REJECTED;
    agc_t restored = b->chan[c];
    if (agc_set_state(&restored, blob) != 0) return QV_REJECTED;
    if (!same_parameters(restored, b->chan[0])) return QV_AGC_BANK_OTHER_PARAMETERS;
    b->chan[c] = restored;
    return 0;
}

void agc_bank_steps(agc_bank_t *b, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    active->bank_steps(b->chan, b->channels, in, out, n);
}

void agc_bank_stream(agc_bank_t *b, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    active->bank_stream(b->chan, b->channels, in, out, n);
}

void agc_bank_steps_interleaved(agc_bank_t *b, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    active->bank_steps_interleaved(b->chan, b->channels, in, out, n);
}

void agc_bank_stream_rows(agc_bank_t *b, const qv_cf32 *const *in, qv_cf32 *const *out, size_t n) {
    active->bank_stream_rows(b->chan, b->channels, in, out, n);
}

int agc_bank_set_telemetry(agc_bank_t *b, qv_tlm *tlm, const char *prefix, int decim) {
    if (!tlm) {
        for (size_t c = 0; c < b->channels; ++c) agc_set_telemetry(b->chan + c, nullptr, nullptr, 0);
        return 0;
    }
    if (!prefix) prefix = "agc";
    if (b->channels > QV_AGC_BANK_MAX_WATCHED) return QV_AGC_BANK_TOO_MANY_CHANNELS;
    if (decim == 0 || !distinct_names(prefix, b->channels)) return QV_REJECTED;
    if (qv_tlm_probe_count(tlm) + unregistered(tlm, prefix, b->channels) > QV_TLM_MAX_PROBES)
        return QV_AGC_BANK_NO_ROOM;
    for (size_t c = 0; c < b->channels; ++c) {
        char channel_prefix[QV_TLM_NAME_BYTES];
        cut_name(channel_prefix, prefix, c, "");
        // Cannot fail now: the names fit and are distinct, and there is room.
        agc_set_telemetry(b->chan + c, tlm, channel_prefix, decim);
    }
    return 0;
}
