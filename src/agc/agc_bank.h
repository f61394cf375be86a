// A bank of AGC channels: independent loops that share their parameters,
// run together over the rows of a (channels, n) block. Row c goes through
// channel c exactly as agc_steps or agc_stream would take it through an AGC
// of its own, bit for bit; the bank runs several channels' loop updates at
// once (in the lanes of a vector), which one stream cannot, as each of its
// chunks waits for the previous chunk's gain. C and C++.
#pragma once

#include "agc/agc_core.h"

// Each channel is an agc_t holding the bank's parameters (the shared ones of
// QV_AGC_PARAMETERS and the acquisition bit of flags): read a channel with
// the AGC's functions (agc_state_bytes, agc_get_state, the fields), change
// it through the bank's, which keep the parameters the same in all.
typedef struct agc_bank_t {
    size_t channels;  // >= 1
    agc_t *chan;      // channel c's loop at chan[c]
} agc_bank_t;

// What agc_bank_set_state and agc_bank_set_telemetry refuse, beside QV_REJECTED.
enum {
    QV_AGC_BANK_OTHER_PARAMETERS = -5,  // the blob holds parameters other than the bank's
    QV_AGC_BANK_TOO_MANY_CHANNELS = -6, // a context has probes for QV_AGC_BANK_MAX_WATCHED channels
    QV_AGC_BANK_NO_ROOM = -7,           // the context lacks room for the probes still to register
};
// Two probes per channel on a context of QV_TLM_MAX_PROBES.
enum { QV_AGC_BANK_MAX_WATCHED = QV_TLM_MAX_PROBES / 2 };

// channels >= 1 loops as agc_create makes them; null for 0 or without memory.
QV_API agc_bank_t *agc_bank_create(size_t channels, double ref_db, double loop_bw, double alpha);
QV_API void agc_bank_destroy(agc_bank_t *b);
// agc_reset of every channel.
QV_API void agc_bank_reset(agc_bank_t *b);
// The parameters of `like` that a bank shares (QV_AGC_PARAMETERS, the
// acquisition bit) into every channel; nothing else changes.
QV_API void agc_bank_configure(agc_bank_t *b, const agc_t *like);
// agc_set_state of channel c, for a blob whose parameters are the bank's
// (bit for bit); QV_AGC_BANK_OTHER_PARAMETERS otherwise, QV_REJECTED for a
// blob agc_set_state refuses or c out of range. The channel is unchanged
// unless it returns 0.
QV_API int agc_bank_set_state(agc_bank_t *b, size_t c, const void *blob);
// agc_steps, and agc_stream, of row c (n samples at in + c n, out + c n)
// through channel c, for every c. out is in itself or apart from it.
QV_API void agc_bank_steps(agc_bank_t *b, const qv_cf32 *in, qv_cf32 *out, size_t n);
QV_API void agc_bank_stream(agc_bank_t *b, const qv_cf32 *in, qv_cf32 *out, size_t n);
// agc_bank_steps over an interleaved block of n samples of every channel, as
// a recording stores them: sample i of channel c at in[i channels + c] and
// out[i channels + c], the same bits as agc_bank_steps over the block's
// transpose. out is in itself or apart from it.
QV_API void agc_bank_steps_interleaved(agc_bank_t *b, const qv_cf32 *in, qv_cf32 *out, size_t n);
// agc_bank_stream over rows that are not one block: row c, n samples from
// in[c] to out[c] (arrays of `channels` pointers), the same bits. Each out[c]
// is either in[c] itself, which no other row then shares, or apart from
// every row, in and out; input rows may be the same samples (one stream
// fanned out to several channels).
QV_API void agc_bank_stream_rows(agc_bank_t *b, const qv_cf32 *const *in, qv_cf32 *const *out, size_t n);
// agc_set_telemetry of every channel c with the prefix "<prefix>.<c>" (null
// prefix: "agc"), all or nothing: refused before anything registers for
// more than QV_AGC_BANK_MAX_WATCHED channels, a context without room for the
// names not registered yet, names that the 31-byte cut would make the same,
// or decim 0. A null context detaches every channel.
QV_API int agc_bank_set_telemetry(agc_bank_t *b, qv_tlm *tlm, const char *prefix, int decim);
