/* The public headers from a C11 program: a telemetry context fed through the
   inline emit and by an attached AGC, read back; the arithmetic, util and
   interpolation entry points called with C's own integer and complex types. */
#include <complex.h>
#include <stdio.h>
#include <string.h>

#include "agc/agc_core.h"
#include "arith/acc_core.h"
#include "arith/arith_kernels.h"
#include "interp/interp_core.h"
#include "qv_tlm/qv_tlm_core.h"
#include "util/util_core.h"

static int failures = 0;
#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            printf("%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond);      \
            ++failures;                                                          \
        }                                                                        \
    } while (0)

/* Ten calls of the inline emit on a probe kept one call in two. */
static void inline_emit(void) {
    qv_tlm *t = qv_tlm_create(1024);
    CHECK(t != NULL);
    const int id = qv_tlm_probe(t, "c.value", 2);
    CHECK(id == 0 && qv_tlm_probe(t, "", 0) == QV_REJECTED);
    for (int k = 0; k < 10; ++k) {
        qv_tlm_set_stamp(t, (uint64_t)k);
        qv_tlm_emit(t, (uint32_t)id, 0.25 * k);
    }
    qv_tlm_rec out[8];
    const size_t n = qv_tlm_read(t, 0, out, 8);
    CHECK(n == 5);
    for (size_t k = 0; k < n; ++k)
        CHECK(out[k].stamp == 2 * k && out[k].value == 0.5f * (float)k && out[k].probe == id && out[k].reserved == 0);
    const qv_tlm_stats_t stats = qv_tlm_stats(t);
    CHECK(stats.emitted == 5 && stats.dropped == 0 && stats.probe_count == 1);
    qv_tlm_destroy(t);
}

/* A default AGC attached with thinning 1, 4096 samples of 0.5: 512 loop
   updates, each a gain record then a level record. */
static void attached_agc(void) {
    static qv_cf32 x[4096];
    for (size_t k = 0; k < 4096; ++k) x[k] = 0.5f;
    qv_tlm *t = qv_tlm_create(4096);
    agc_t *a = agc_create(0.0, 0.0025, 0.05);
    CHECK(t != NULL && a != NULL);
    CHECK(agc_set_telemetry(a, t, "agc", 1) == 0);
    agc_steps(a, x, x, 4096);
    static qv_tlm_rec records[4096];
    const size_t n = qv_tlm_read(t, 0, records, 4096);
    size_t counts[2];
    qv_tlm_demux_counts(records, n, counts, 2);
    CHECK(n == 1024 && counts[0] == 512 && counts[1] == 512);
    CHECK(records[n - 2].probe == qv_tlm_probe_id(t, "agc.gain_db") && records[n - 1].probe == 1);
    CHECK(records[n - 2].value > 5.95f && records[n - 2].value < 6.05f);   /* gain, 6.0 dB */
    CHECK(records[n - 1].value > -0.05f && records[n - 1].value < 0.05f);  /* level, 0.0 dB */
    agc_destroy(a);
    qv_tlm_destroy(t);
}

/* The acquisition mode from C: a flag of the record, and of the settling query. */
static void acquisition_mode(void) {
    agc_t *a = agc_create(0.0, 0.02, 0.05);
    CHECK(a != NULL && (a->flags & QV_AGC_ACQUIRE) == 0);
    a->flags |= QV_AGC_ACQUIRE;
    unsigned char blob[QV_AGC_STATE_BYTES];
    agc_get_state(a, blob);
    CHECK(blob[100] == 1);
    agc_destroy(a);
    CHECK(agc_settling_samples_flags(0.0025, 0.05, -60.0, 1.0, 0) == agc_settling_samples(0.0025, 0.05, -60.0, 1.0));
    CHECK(agc_settling_samples(0.0025, 0.05, -60.0, 1.0) == 537);
    CHECK(agc_settling_samples_flags(0.0025, 0.05, -60.0, 1.0, QV_AGC_ACQUIRE) == 411);
}

/* The burst settings from C: fields of the record, off as agc_create makes
   them; a version 5 blob once one is on; the settling query on a record. */
static void burst_settings(void) {
    agc_t *a = agc_create(0.0, 0.02, 0.05);
    CHECK(a != NULL && a->max_gain_db == QV_AGC_MAX_GAIN_OFF && a->gate_db == QV_AGC_GATE_OFF &&
          a->attack_db == QV_AGC_ATTACK_OFF && agc_state_bytes(a) == QV_AGC_STATE_BYTES);
    a->attack_db = 6.0;
    unsigned char blob[QV_AGC_STATE_BYTES_ONSET];
    CHECK(agc_state_bytes(a) == QV_AGC_STATE_BYTES_ONSET);
    agc_get_state(a, blob);
    CHECK(blob[4] == 5);
    CHECK(agc_settling_samples_like(a, -60.0, 1.0) == 1);
    a->attack_db = QV_AGC_ATTACK_OFF;
    CHECK(agc_settling_samples_like(a, -60.0, 1.0) == agc_settling_samples(0.02, 0.05, -60.0, 1.0));
    agc_destroy(a);
}

/* The stream from C: cut into 1001-sample calls, the output of one agc_steps
   call on the 512 complete chunks; 3 samples pending, in a version 4 blob. */
static void stream_from_c(void) {
    static qv_cf32 x[4099], y[4099], z[4096];
    for (size_t k = 0; k < 4099; ++k) x[k] = (float)(k % 7) + 0.5f * I;
    agc_t *a = agc_create(0.0, 0.0025, 0.05), *b = agc_create(0.0, 0.0025, 0.05);
    CHECK(a != NULL && b != NULL);
    for (size_t k = 0; k < 4099; k += 1001) agc_stream(a, x + k, y + k, k + 1001 < 4099 ? 1001 : 4099 - k);
    agc_steps(b, x, z, 4096);
    CHECK(memcmp(y, z, sizeof z) == 0 && a->gain_db == b->gain_db);
    CHECK(a->pending.done == 3 && a->pending.len == 8 && agc_state_bytes(a) == QV_AGC_STATE_BYTES_PENDING);
    unsigned char blob[QV_AGC_STATE_BYTES_PENDING];
    agc_get_state(a, blob);
    CHECK(blob[4] == 4 && agc_set_state(b, blob) == 0 && b->pending.done == 3);
    agc_destroy(a);
    agc_destroy(b);
}

static void cores_with_c_types(void) {
    const int16_t a[3] = {100, 20000, -20000}, b[3] = {50, 20000, -20000};
    int16_t sum[3];
    add_q15(a, 3, b, 3, sum);
    CHECK(sum[0] == 150 && sum[1] == 32767 && sum[2] == -32768);
    CHECK(dot_q15(a, 3, b, 3) == 100 * 50 + 2 * 20000 * 20000);

    const int8_t p[3] = {10, 20, 30}, q[3] = {1, 2, 3};
    acc_q8_t *acc = acc_q8_create(0);
    acc_q8_madd(acc, p, 3, q, 3);
    CHECK(acc_q8_get(acc) == 140);
    acc_q8_destroy(acc);

    const qv_cf32 clipped = square_clip(3.0f - 4.0f * I, 1.0f);  /* complex by value both ways */
    CHECK(crealf(clipped) == 1.0f && cimagf(clipped) == -1.0f);

    const qv_cf64 table[3] = {0.0, 1.0 + 2.0 * I, 2.0};
    interp_table_t *t = interp_table_create(table, 3, QV_INTERP_LINEAR);
    const double x[3] = {0.5, 2.5, -0.5};
    qv_cf64 y[3];
    CHECK(interp_table_execute(t, x, 3, y, 3) == 3);
    CHECK(creal(y[0]) == 0.5 && cimag(y[0]) == 1.0 && creal(y[1]) == 1.0 && creal(y[2]) == 1.0);
    interp_table_destroy(t);
}

int main(void) {
    inline_emit();
    attached_agc();
    acquisition_mode();
    burst_settings();
    stream_from_c();
    cores_with_c_types();
    printf("%d failures\n", failures);
    return failures != 0;
}
