#include "agc_loops_block.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "agc/agc_loop.h"
#include "agc/agc_presets.h"

namespace gr {
namespace quorvel {

namespace {

// Records of one telemetry ring, of a gain output's context: pieces are cut
// so that their updates fit, even at decim 1.
constexpr size_t kRingRecords = size_t(1) << 16;
constexpr size_t kChannelsPerContext = QV_AGC_BANK_MAX_WATCHED;
constexpr uint32_t kNever = UINT32_MAX; // the thinning that keeps no level record

const qv::agc::Preset* find_preset(const std::string& name)
{
    for (const qv::agc::Preset& p : qv::agc::kPresets)
        if (name == p.name)
            return &p;
    return nullptr;
}

std::string preset_names()
{
    std::string names;
    for (const qv::agc::Preset& p : qv::agc::kPresets)
        names += (names.empty() ? "" : ", ") + std::string(p.name);
    return names;
}

} // namespace

agc_loops_block::agc_loops_block(size_t channels,
                                 const agc_settings& settings,
                                 const std::string& preset)
    : d_bank(agc_bank_create(channels, 0.0, 0.0, 0.0), agc_bank_destroy),
      d_in_rows(channels),
      d_out_rows(channels),
      d_tags(channels),
      d_next_tag(channels),
      d_chunk_end(channels),
      d_last_tag(channels),
      d_chunk_gain(channels),
      d_gain_key(pmt::intern("gain_db")),
      d_srcid(pmt::PMT_F)
{
    if (!d_bank)
        throw std::bad_alloc();
    take(settings);
    set_preset_name(preset);
    watch_gains(0);
    apply();
    // Tags of input c go to outputs c and channels + c, from work().
    set_tag_propagation_policy(TPP_DONT);
}

agc_loops_block::~agc_loops_block() { unwatch_gains(); }

// The rules a block's settings obey beyond the AGC's own (which takes any
// value): counts are not negative, and the initial gain is a number.
void agc_loops_block::check(const agc_settings& s)
{
    auto count = [](const char* name, int64_t value) {
        if (value < 0)
            throw std::invalid_argument(std::string(name) + " must be 0 or more, got " +
                                        std::to_string(value));
    };
    count("decim", s.decim);
    count("tag_every", s.tag_every);
    if (!std::isfinite(s.initial_gain_db))
        throw std::invalid_argument("initial_gain_db must be finite");
}

void agc_loops_block::take(agc_settings next)
{
    check(next);
    if (next.reset_tag != d_next.reset_tag || !d_next_reset_key)
        d_next_reset_key = next.reset_tag.empty() ? pmt::pmt_t() : pmt::intern(next.reset_tag);
    d_next = std::move(next);
    d_dirty = true;
    if (d_fresh) // nothing runs yet: the loops take them now, and state() shows them
        apply();
}

agc_settings agc_loops_block::settings() const
{
    std::lock_guard<std::mutex> lock(d_mutex);
    return d_next;
}

// A preset writes the settings its row gives over the next ones; "" writes nothing.
void agc_loops_block::set_preset_name(const std::string& name)
{
    std::lock_guard<std::mutex> lock(d_mutex);
    if (name.empty()) {
        d_preset.clear();
        return;
    }
    const qv::agc::Preset* p = find_preset(name);
    if (!p)
        throw std::invalid_argument("unknown preset '" + name + "'; the presets: " +
                                    preset_names());
    agc_settings next = d_next;
#define QUORVEL_PRESET_SETTING_(type, name) next.name = decltype(next.name)(p->name);
    QV_AGC_PRESET_SETTINGS(QUORVEL_PRESET_SETTING_)
#undef QUORVEL_PRESET_SETTING_
    take(std::move(next));
    d_preset = name;
}

std::string agc_loops_block::preset_name() const
{
    std::lock_guard<std::mutex> lock(d_mutex);
    return d_preset;
}

size_t agc_loops_block::channel_or_throw(size_t channel) const
{
    if (channel >= d_bank->channels)
        throw std::out_of_range("channel " + std::to_string(channel) + " of a bank of " +
                                std::to_string(d_bank->channels));
    return channel;
}

double agc_loops_block::channel_gain_db(size_t channel) const
{
    std::lock_guard<std::mutex> lock(d_mutex);
    return d_bank->chan[channel_or_throw(channel)].gain_db;
}

std::vector<uint8_t> agc_loops_block::channel_state(size_t channel) const
{
    std::lock_guard<std::mutex> lock(d_mutex);
    agc_t* a = d_bank->chan + channel_or_throw(channel);
    std::vector<uint8_t> blob(agc_state_bytes(a));
    agc_get_state(a, blob.data());
    return blob;
}

// The loop settings into every channel (each parameter a bank shares, by the
// core's list, and the acquisition mode), the block's own into the work
// side; before the first sample, the loops start afresh under them.
void agc_loops_block::apply()
{
    agc_t like = d_bank->chan[0];
#define QUORVEL_LOOP_SETTING_(name, scope) QV_AGC_IF_SHARED(scope, like.name = decltype(like.name)(d_next.name);)
    QV_AGC_PARAMETERS(QUORVEL_LOOP_SETTING_)
#undef QUORVEL_LOOP_SETTING_
    like.flags = d_next.acquire ? like.flags | QV_AGC_ACQUIRE : like.flags & ~uint32_t(QV_AGC_ACQUIRE);
    agc_bank_configure(d_bank.get(), &like);
    d_tag_every = uint64_t(d_next.tag_every);
    d_initial_gain_db = d_next.initial_gain_db;
    d_reset_key = d_next_reset_key;
    if (d_fresh)
        for (size_t c = 0; c < d_bank->channels; ++c)
            restart(c);
    d_dirty = false;
}

// As a new loop, but at the initial gain (held within the loop's bounds, the
// ceiling among them).
void agc_loops_block::restart(size_t channel)
{
    agc_t* a = d_bank->chan + channel;
    agc_reset(a);
    a->gain_db = qv::agc::clamp_gain(d_initial_gain_db, qv::agc::gain_bounds(a));
    a->g_last = qv::agc::db_to_amp(a->gain_db);
}

bool agc_loops_block::start()
{
    std::lock_guard<std::mutex> lock(d_mutex);
    d_srcid = pmt::intern(alias());
    std::fill(d_last_tag.begin(), d_last_tag.end(), 0); // a new run counts from 0
    return true;
}

bool agc_loops_block::check_topology(int, int noutputs)
{
    std::lock_guard<std::mutex> lock(d_mutex);
    const size_t channels = d_bank->channels;
    const size_t watched = size_t(noutputs) > channels ? size_t(noutputs) - channels : 0;
    if (watched != d_watched)
        watch_gains(watched);
    return true;
}

// The gain of every update of a watched channel reaches a telemetry ring of
// its own context (one per 32 channels); work() drains it after each piece.
void agc_loops_block::watch_gains(size_t watched)
{
    unwatch_gains();
    d_piece = SIZE_MAX;
    if (!watched)
        return;
    try {
        attach_gain_probes(watched);
    } catch (...) {
        unwatch_gains(); // none watched, and a later start tries again
        throw;
    }
    d_watched = watched;
}

void agc_loops_block::attach_gain_probes(size_t watched)
{
    const size_t per_context = std::min(watched, kChannelsPerContext);
    d_piece = std::min(d_piece, kRingRecords / per_context - 2); // decim 1: one update per sample, and a level record
    d_contexts.reserve((watched + kChannelsPerContext - 1) / kChannelsPerContext);
    for (size_t first = 0; first < watched; first += kChannelsPerContext) {
        qv_tlm* tlm = qv_tlm_create(kRingRecords);
        if (!tlm)
            throw std::runtime_error("the gain outputs need a telemetry ring in shared memory, "
                                     "which the system refused");
        d_contexts.push_back({ tlm, {} });
        d_contexts.back().channel_of_probe.fill(-1);
        for (size_t c = first; c < std::min(watched, first + kChannelsPerContext); ++c) {
            char prefix[22], level[QV_TLM_NAME_BYTES]; // "c" and 20 digits; with ".level_db", 31 bytes
            std::snprintf(prefix, sizeof prefix, "c%zu", c);
            std::snprintf(level, sizeof level, "%s.level_db", prefix);
            agc_t* a = d_bank->chan + c;
            if (agc_set_telemetry(a, tlm, prefix, 1) != 0 || qv_tlm_set_decim(tlm, level, kNever) != 0)
                throw std::runtime_error("cannot register the gain probe of channel " +
                                         std::to_string(c));
            d_contexts.back().channel_of_probe[a->gain_probe] = int32_t(c);
        }
    }
    d_records.resize(kRingRecords);
    d_updates.assign(watched, {});
    for (auto& updates : d_updates)
        updates.reserve(d_piece + 1);
    d_before.resize(watched);
}

void agc_loops_block::unwatch_gains()
{
    for (size_t c = 0; c < d_bank->channels; ++c)
        agc_set_telemetry(d_bank->chan + c, nullptr, nullptr, 0);
    for (gain_context& context : d_contexts)
        qv_tlm_destroy(context.tlm);
    d_contexts.clear();
    d_watched = 0;
}

int agc_loops_block::work(int noutput_items,
                          gr_vector_const_void_star& input_items,
                          gr_vector_void_star& output_items)
{
    std::lock_guard<std::mutex> lock(d_mutex);
    if (d_dirty)
        apply();
    const size_t n = size_t(noutput_items), channels = d_bank->channels;
    const uint64_t start = nitems_read(0);
    d_fresh = d_fresh && n == 0;

    for (size_t c = 0; c < channels; ++c) {
        std::vector<gr::tag_t>& tags = d_tags[c];
        get_tags_in_range(tags, c, start, start + n);
        for (const gr::tag_t& tag : tags) {
            add_item_tag(c, tag);
            if (c < d_watched)
                add_item_tag(channels + c, tag);
        }
        const pmt::pmt_t& key = d_reset_key;
        tags.erase(std::remove_if(tags.begin(),
                                  tags.end(),
                                  [&](const gr::tag_t& t) { return !key || !pmt::eq(t.key, key); }),
                   tags.end());
        std::sort(tags.begin(), tags.end(), gr::tag_t::offset_compare);
        d_next_tag[c] = 0;
        d_chunk_end[c] = 0;
    }

    // The samples between reset tags, then the resets at the tag.
    for (size_t from = 0;;) {
        uint64_t at = start + n;
        for (size_t c = 0; c < channels; ++c)
            if (d_next_tag[c] < d_tags[c].size())
                at = std::min(at, d_tags[c][d_next_tag[c]].offset);
        const size_t to = size_t(at - start);
        stream(start, from, to, input_items, output_items);
        if (to == n)
            break;
        for (size_t c = 0; c < channels; ++c) {
            const std::vector<gr::tag_t>& tags = d_tags[c];
            if (d_next_tag[c] < tags.size() && tags[d_next_tag[c]].offset == at) {
                restart(c);
                while (d_next_tag[c] < tags.size() && tags[d_next_tag[c]].offset == at)
                    ++d_next_tag[c];
            }
        }
        from = to;
    }

    // At most one gain tag per call and channel, at the last chunk it completed.
    for (size_t c = 0; c < channels && d_tag_every; ++c) {
        const uint64_t end = d_chunk_end[c];
        if (end && end - d_last_tag[c] >= d_tag_every) {
            add_item_tag(c, end - 1, d_gain_key, pmt::from_double(d_chunk_gain[c]), d_srcid);
            d_last_tag[c] = end;
        }
    }
    return noutput_items;
}

// Samples [from, to) of every channel, in pieces of at most d_piece; notes
// the end and the gain of the last chunk each channel completes.
void agc_loops_block::stream(uint64_t start,
                             size_t from,
                             size_t to,
                             gr_vector_const_void_star& in,
                             gr_vector_void_star& out)
{
    const size_t channels = d_bank->channels;
    while (from < to) {
        const size_t len = std::min(to - from, d_piece);
        for (size_t c = 0; c < d_watched; ++c) {
            const agc_t& a = d_bank->chan[c];
            d_before[c] = { a.pending.done, a.pending.len, float(a.gain_db) };
        }
        // The bank reads and writes GNU Radio's buffers where they are (inputs
        // fed by one port share their samples, which the bank allows).
        for (size_t c = 0; c < channels; ++c) {
            d_in_rows[c] = static_cast<const gr_complex*>(in[c]) + from;
            d_out_rows[c] = static_cast<gr_complex*>(out[c]) + from;
        }
        agc_bank_stream_rows(d_bank.get(), d_in_rows.data(), d_out_rows.data(), len);
        for (size_t c = 0; c < channels; ++c) {
            const agc_t& a = d_bank->chan[c];
            if (a.pending.done < len) { // the piece completed a chunk, the last one here
                d_chunk_end[c] = start + from + len - a.pending.done;
                d_chunk_gain[c] = a.gain_db;
            }
        }
        if (d_watched)
            write_gains(from, len, out);
        from += len;
    }
}

// The gain outputs of a piece: channel c's gain command before the piece,
// then from the last sample of each chunk it completes the gain its update
// set (the records of its probe, in order).
void agc_loops_block::write_gains(size_t from, size_t len, gr_vector_void_star& out)
{
    for (auto& updates : d_updates)
        updates.clear();
    for (const gain_context& context : d_contexts) {
        const size_t count = qv_tlm_read(context.tlm, 0, d_records.data(), d_records.size());
        for (size_t k = 0; k < count; ++k) {
            const int32_t c = context.channel_of_probe[d_records[k].probe];
            if (c >= 0 && d_updates[c].size() < d_updates[c].capacity())
                d_updates[c].push_back(d_records[k].value);
        }
    }
    const size_t channels = d_bank->channels;
    for (size_t c = 0; c < d_watched; ++c) {
        float* gain = static_cast<float*>(out[channels + c]) + from;
        const chunk_position& before = d_before[c];
        const uint64_t decim = d_bank->chan[c].decim ? d_bank->chan[c].decim : 1;
        uint64_t end = before.done ? before.len - before.done : decim; // where the next chunk ends
        float value = before.gain_db;
        size_t i = 0;
        for (const float update : d_updates[c]) {
            if (end > len)
                break;
            std::fill(gain + i, gain + end - 1, value);
            gain[end - 1] = value = update;
            i = size_t(end);
            end += decim;
        }
        std::fill(gain + i, gain + len, value);
    }
}

} // namespace quorvel
} // namespace gr
