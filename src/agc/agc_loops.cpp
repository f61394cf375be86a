// The AGC's sample loops, compiled once per instruction set (QV_ISA).
#include <algorithm>

#include "agc/agc_dispatch.h"

namespace qv::agc::QV_ISA {
namespace {

// Detector coefficient and loop gain for a chunk of `len` samples, compounded
// so that updating once per chunk keeps the per-sample time constants.
struct ChunkCoeffs {
    double detector;
    double loop;
};

ChunkCoeffs coeffs_for(const agc_t *a, uint64_t len) {
    return {qv::ema_alpha_decim(a->alpha, len), qv::ema_alpha_decim(4.0 * a->loop_bw, len)};
}

// The per-chunk loop update from the chunk's summed power S over `r` = 1/len.
void update(agc_t *a, float power_sum, double r, const ChunkCoeffs &k) {
    const double mean = qv::saturate(r * double(power_sum), 0.0, kPowerCeiling, kPowerCeiling);
    a->p_avg = qv::ema_step(a->p_avg, mean, k.detector);
    const double level = level_db(a->p_avg);
    a->gain_db = std::fma(a->ref_db - level, k.loop, a->gain_db);
    telemetry_hook(a, level);
}

// One chunk, sample by sample: ramp, products, the power sum in its fixed
// order (four partial sums over the components, then the odd sample), clip.
float chunk_scalar(const qv_cf32 *in, qv_cf32 *out, size_t len, double g_prev, double step, float clip) {
    float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    float last_r = 0.0f, last_i = 0.0f;
    for (size_t i = 0; i < len; ++i) {
        const float g = float(std::fma(step, double(i + 1), g_prev));
        const qv_cf32 x = in[i];  // read before out[i] is written (in place)
        const float yr = x.real() * g, yi = x.imag() * g;
        if (i + 1 < len || !(len & 1)) {
            const size_t lane = 2 * (i & 1);  // component k goes to partial sum k mod 4
            s[lane] = std::fma(yr, yr, s[lane]);
            s[lane + 1] = std::fma(yi, yi, s[lane + 1]);
        } else {
            last_r = yr, last_i = yi;
        }
        out[i] = qv::square_clip({yr, yi}, clip);
    }
    float sum = (s[0] + s[1]) + (s[2] + s[3]);
    if (len & 1) sum = std::fma(last_i, last_i, std::fma(last_r, last_r, sum));
    return sum;
}

template <class Chunk>
void run_blocks(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n, Chunk chunk) {
    const uint64_t d = a->decim ? a->decim : 1;
    const ChunkCoeffs full = coeffs_for(a, d);
    const float clip = float(db_to_amp(a->clip_db));
    if (n == 0) return;
    double g_prev = a->g_last;
    for (size_t offset = 0; offset < n;) {
        const size_t len = size_t(std::min<uint64_t>(d, n - offset));
        const ChunkCoeffs k = len == d ? full : coeffs_for(a, len);
        const double g_new = db_to_amp(a->gain_db);
        const double r = 1.0 / double(len);
        const double step = (g_new - g_prev) * r;
        const float power_sum = chunk(in + offset, out + offset, len, g_prev, step, clip);
        update(a, power_sum, r, k);
        g_prev = g_new;
        offset += len;
    }
    a->g_last = g_prev;
}

}  // namespace

void steps_scalar(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { run_blocks(a, in, out, n, chunk_scalar); }

void steps(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { run_blocks(a, in, out, n, chunk_scalar); }

// Per-sample loop against the constant input amplitude*(0.6 + 0.8j): the
// first sample count k whose gain command lies within tol_db of target_db.
uint64_t settle(agc_t *a, float amplitude, double target_db, double tol_db, uint64_t budget) {
    for (uint64_t k = 1; k <= budget; ++k) {
        const float ga = sample_gain(a) * amplitude;
        measure_sample(a, ga * 0.6f, ga * 0.8f);
        if (std::fabs(a->gain_db - target_db) <= tol_db) return k;
    }
    return 0;
}

}  // namespace qv::agc::QV_ISA
