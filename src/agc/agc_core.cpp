#include "agc/agc_core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "agc/agc_loop.h"
#include "agc/agc_drivers.h"
#include "agc/agc_variants.h"
#include "common/state_blob.h"
#include "qv_tlm/qv_tlm_holders.h"

namespace qv::agc {

QV_DEFINE_ACTIVE_VARIANT({
    .steps = steps_scalar,
    .stream = stream_scalar,
    .span = span_scalar,
    .bank_steps = bank_steps_scalar,
    .bank_stream = bank_stream_scalar,
    .bank_stream_rows = bank_stream_rows_scalar,
    .settle = settle,
    .bank_steps_interleaved = bank_steps_interleaved_scalar,
})

}  // namespace qv::agc

using namespace qv::agc;

namespace {

constexpr qv::BlobKind kBlob{qv::fourcc("AGC "), 3, QV_AGC_STATE_BYTES};
constexpr qv::BlobKind kPendingBlob{qv::fourcc("AGC "), 4, QV_AGC_STATE_BYTES_PENDING};
constexpr qv::BlobKind kOnsetBlob{qv::fourcc("AGC "), 5, QV_AGC_STATE_BYTES_ONSET};
constexpr size_t kStateOffset = 16;                       // parameters and loop state follow the header
constexpr size_t kStateLength = offsetof(agc_t, tlm);     // ref_db .. flags: 88 bytes
constexpr size_t kBurstLength = 3 * sizeof(double);       // max_gain_db, gate_db, attack_db
static_assert(kStateOffset + kStateLength + 16 == kBlob.size);  // 16 zero bytes close the blob
static_assert(kBlob.size + sizeof(agc_pending_t) == kPendingBlob.size);  // version 4: then the pending chunk
static_assert(kPendingBlob.size + kBurstLength == kOnsetBlob.size);     // version 5: then the burst parameters

// The burst parameters all off, bit for bit: the blobs of versions 3 and 4 then say everything.
bool burst_off(const agc_t *a) {
    const double off[] = {QV_AGC_MAX_GAIN_OFF, QV_AGC_GATE_OFF, QV_AGC_ATTACK_OFF};
    return std::memcmp(&a->max_gain_db, off, kBurstLength) == 0;
}

void switch_burst_off(agc_t *a) {
    a->max_gain_db = QV_AGC_MAX_GAIN_OFF;
    a->gate_db = QV_AGC_GATE_OFF;
    a->attack_db = QV_AGC_ATTACK_OFF;
}

// The loop state of a fresh or reset record under its current parameters.
void seed(agc_t *a) {
    a->gain_db = 0.0;
    a->g_last = 1.0;
    a->hold_count = 0;
    a->clip_lin = float(db_to_amp(a->clip_db));
    a->p_avg = exp10(a->ref_db * 0.1);  // the detector starts on target: no transient
    a->pending = agc_pending_t{};
}

// Moves the AGC's hold from its current context (if any) to `tlm` (or none).
void attach(agc_t *a, qv_tlm *tlm) {
    if (tlm) qv_tlm_retain(tlm);
    qv_tlm *previous = a->tlm;
    a->tlm = tlm;
    if (previous) qv_tlm_release(previous);
}

}  // namespace

agc_t *agc_create(double ref_db, double loop_bw, double alpha) {
    auto *a = static_cast<agc_t *>(std::calloc(1, sizeof(agc_t)));
    if (!a) return nullptr;
    a->ref_db = ref_db;
    a->loop_bw = loop_bw;
    a->alpha = alpha;
    a->decim = 8;
    a->clip_db = 120.0;
    a->gain_update_period = 1;
    switch_burst_off(a);
    seed(a);
    return a;
}

void agc_destroy(agc_t *a) {
    if (a && a->tlm) qv_tlm_release(a->tlm);
    std::free(a);
}

void agc_reset(agc_t *a) { seed(a); }

// Mid-chunk of agc_stream, the gain of the chunk's ramp at its last sample so far.
double agc_get_applied_gain_db(const agc_t *a) {
    using limits = std::numeric_limits<double>;  // the smallest normal and the largest finite double
    double g = a->g_last;
    if (a->pending.done) {
        const Ramp r = ramp_for(a, a->pending.len);
        g = std::fma(r.step, double(a->pending.done), r.g_prev);
    }
    return 20.0 * std::log10(qv::saturate(g, limits::min(), limits::max(), limits::min()));
}

size_t agc_state_bytes(agc_t *a) {
    if (!burst_off(a)) return kOnsetBlob.size;
    return a->pending.done ? kPendingBlob.size : kBlob.size;
}

void agc_get_state(const agc_t *a, void *blob) {
    auto *bytes = static_cast<unsigned char *>(blob);
    const bool burst = !burst_off(a), pending = burst || a->pending.done != 0;
    qv::write_blob_header(bytes, burst ? kOnsetBlob : pending ? kPendingBlob : kBlob);
    std::memcpy(bytes + kStateOffset, a, kStateLength);
    std::memset(bytes + kStateOffset + kStateLength, 0, kBlob.size - kStateOffset - kStateLength);
    if (pending) std::memcpy(bytes + kBlob.size, &a->pending, sizeof a->pending);
    if (burst) std::memcpy(bytes + kPendingBlob.size, &a->max_gain_db, kBurstLength);
}

// Restores parameters and loop state together, the pending chunk (none from
// version 3) and the burst parameters (off from versions 3 and 4); the
// telemetry attachment stays. A blob of version 4 or 5 reads as many bytes
// as its header states.
int agc_set_state(agc_t *a, const void *blob) {
    const auto *bytes = static_cast<const unsigned char *>(blob);
    agc_pending_t pending{};
    const bool burst = qv::blob_header_ok(blob, kOnsetBlob);
    if (burst || qv::blob_header_ok(blob, kPendingBlob)) {
        std::memcpy(&pending, bytes + kBlob.size, sizeof pending);
        const bool none = burst && pending.done == 0 && pending.len == 0;  // version 5: nothing pending
        if (!none && !(pending.done > 0 && pending.done < pending.len)) return QV_REJECTED;
        if (none) pending = agc_pending_t{};
    } else if (!qv::blob_header_ok(blob, kBlob)) {
        return QV_REJECTED;
    }
    std::memcpy(a, bytes + kStateOffset, kStateLength);
    a->pending = pending;
    if (burst)
        std::memcpy(&a->max_gain_db, bytes + kPendingBlob.size, kBurstLength);
    else
        switch_burst_off(a);
    return 0;
}

void agc_steps(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { active->steps(a, in, out, n); }

void agc_stream(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { active->stream(a, in, out, n); }

// Registers "<prefix>.gain_db" and "<prefix>.level_db" (null prefix: "agc")
// and attaches; a null context detaches. A failure leaves the attachment as it
// was, though a probe registered before the failure stays in the context.
// While attached the AGC holds the context, so its owner may destroy it first.
int agc_set_telemetry(agc_t *a, qv_tlm *tlm, const char *prefix, int decim) {
    if (!tlm) {
        attach(a, nullptr);
        return 0;
    }
    if (!prefix) prefix = "agc";
    char gain_name[QV_TLM_NAME_BYTES], level_name[QV_TLM_NAME_BYTES];
    std::snprintf(gain_name, sizeof gain_name, "%s.gain_db", prefix);
    std::snprintf(level_name, sizeof level_name, "%s.level_db", prefix);
    // A prefix so long that both names are cut to the same text would mix the
    // two quantities in one probe: refuse it before registering anything.
    if (std::strcmp(gain_name, level_name) == 0) return QV_REJECTED;
    const int gain = qv_tlm_probe(tlm, gain_name, uint32_t(decim));
    const int level = qv_tlm_probe(tlm, level_name, uint32_t(decim));
    if (gain < 0 || level < 0) return QV_REJECTED;
    a->gain_probe = uint32_t(gain);
    a->level_probe = uint32_t(level);
    attach(a, tlm);
    return 0;
}

uint64_t agc_settling_samples_like(const agc_t *like, double gain_err_db, double tol_db) {
    const double loop_bw = like->loop_bw, alpha = like->alpha;
    if (alpha > 1.0 || alpha != alpha) return 0;
    if (!(loop_bw > 0.0)) return 0;
    if (alpha <= 0.0) return 0;
    if (!(tol_db > 0.0)) return 0;
    if (gain_err_db != gain_err_db || std::isinf(gain_err_db)) return 0;
    if (std::fabs(gain_err_db) <= tol_db) return 1;
    // The sample budget: 64 filter time constants, n + 1 samples at most.
    const double budget = 16.0 / loop_bw;
    if (!(budget < 0x1p64)) return 0;  // n would saturate, n + 1 would wrap
    agc_t *a = agc_create(0.0, loop_bw, alpha);
    if (!a) return 0;
    a->flags = like->flags;
    a->max_gain_db = like->max_gain_db;
    a->gate_db = like->gate_db;
    a->attack_db = like->attack_db;
    const float amplitude = float(exp10(-gain_err_db / 20.0));
    const uint64_t k = active->settle(a, amplitude, gain_err_db, tol_db, uint64_t(budget) + 1);
    agc_destroy(a);
    return k;
}

uint64_t agc_settling_samples_flags(double loop_bw, double alpha, double gain_err_db, double tol_db, uint32_t flags) {
    agc_t like{};
    like.loop_bw = loop_bw;
    like.alpha = alpha;
    like.flags = flags;
    switch_burst_off(&like);
    return agc_settling_samples_like(&like, gain_err_db, tol_db);
}

uint64_t agc_settling_samples(double loop_bw, double alpha, double gain_err_db, double tol_db) {
    return agc_settling_samples_flags(loop_bw, alpha, gain_err_db, tol_db, 0);
}

uint64_t settling_samples(double loop_bw, double alpha, double gain_err_db, double tol_db) {
    return agc_settling_samples(loop_bw, alpha, gain_err_db, tol_db);
}
