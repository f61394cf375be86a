// What agc_cc and agc_bank_cc share: a bank of the AGC core's loops, one per
// channel, fed from GNU Radio's buffers; the settings the setters leave for
// the next work() call; reset tags, gain tags and the gain outputs.
#ifndef INCLUDED_QUORVEL_AGC_LOOPS_BLOCK_H
#define INCLUDED_QUORVEL_AGC_LOOPS_BLOCK_H

#include <gnuradio/quorvel/agc_settings.h>
#include <gnuradio/sync_block.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agc/agc_bank.h"

namespace gr {
namespace quorvel {

class agc_loops_block : virtual public gr::sync_block
{
public:
    int work(int noutput_items,
             gr_vector_const_void_star& input_items,
             gr_vector_void_star& output_items) override;
    // Which gain outputs are connected: those of the first noutputs - channels.
    bool check_topology(int ninputs, int noutputs) override;
    bool start() override;

protected:
    agc_loops_block(size_t channels, const agc_settings& settings, const std::string& preset);
    ~agc_loops_block() override;
    agc_loops_block(const agc_loops_block&) = delete;
    agc_loops_block& operator=(const agc_loops_block&) = delete;

    // The settings for the next work() call, changed by `edit` if the result
    // passes check(); std::invalid_argument otherwise.
    template <class Edit>
    void change(Edit edit)
    {
        std::lock_guard<std::mutex> lock(d_mutex);
        agc_settings next = d_next;
        edit(next);
        take(std::move(next));
    }
    agc_settings settings() const;
    void set_preset_name(const std::string& name);
    std::string preset_name() const;
    size_t channel_count() const { return d_bank->channels; }
    double channel_gain_db(size_t channel) const;
    std::vector<uint8_t> channel_state(size_t channel) const;

private:
    // One telemetry context and the channels whose gain records it carries.
    struct gain_context {
        qv_tlm* tlm;
        std::array<int32_t, QV_TLM_MAX_PROBES> channel_of_probe; // -1: not a gain probe
    };
    // A watched channel before a piece: its pending chunk and gain command.
    struct chunk_position {
        uint64_t done, len;
        float gain_db;
    };

    static void check(const agc_settings& s);
    void take(agc_settings next); // d_mutex held
    void apply();                 // the settings into the loops, in work()
    void restart(size_t channel); // the fresh loop: reset, at the initial gain
    void watch_gains(size_t watched);
    void attach_gain_probes(size_t watched);
    void unwatch_gains();
    void stream(uint64_t start,
                size_t from,
                size_t to,
                gr_vector_const_void_star& in,
                gr_vector_void_star& out);
    void write_gains(size_t from, size_t len, gr_vector_void_star& out);
    size_t channel_or_throw(size_t channel) const;

    mutable std::mutex d_mutex; // setters, getters and work()
    const std::unique_ptr<agc_bank_t, void (*)(agc_bank_t*)> d_bank;

    // Settings side.
    agc_settings d_next;
    pmt::pmt_t d_next_reset_key; // interned from d_next.reset_tag by take()
    std::string d_preset;
    bool d_dirty = true;

    // Work side: what apply() took from the settings.
    uint64_t d_tag_every = 0;
    double d_initial_gain_db = 0.0;
    pmt::pmt_t d_reset_key;
    bool d_fresh = true; // no sample has gone through yet

    std::vector<const gr_complex*> d_in_rows; // each channel's samples of one core call
    std::vector<gr_complex*> d_out_rows;
    std::vector<std::vector<gr::tag_t>> d_tags;
    std::vector<size_t> d_next_tag;
    std::vector<uint64_t> d_chunk_end, d_last_tag; // stream offsets just past a chunk
    std::vector<double> d_chunk_gain;
    const pmt::pmt_t d_gain_key;
    pmt::pmt_t d_srcid;

    size_t d_watched = 0; // channels with a gain output
    size_t d_piece = 0;   // most samples per channel per core call
    std::vector<gain_context> d_contexts;
    std::vector<qv_tlm_rec> d_records;
    std::vector<std::vector<float>> d_updates; // per watched channel, the gains of one piece
    std::vector<chunk_position> d_before;
};

} // namespace quorvel
} // namespace gr

#endif /* INCLUDED_QUORVEL_AGC_LOOPS_BLOCK_H */
