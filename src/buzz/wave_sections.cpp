// Buzz song reader: the sections WAVT (the wave table: names, volume, envelopes, levels) and
// WAVE (the waves' sample data).
#include "buzz/section_readers.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/log.h"

namespace section_readers {

namespace {

// Smallest size of one record, for the count checks: a wave table entry (index, two empty texts,
// volume, flags, level count), an envelope, an envelope point, a level.
constexpr uint64_t min_wave_entry_bytes = 10;
constexpr uint64_t envelope_bytes = 12;
constexpr uint64_t envelope_point_bytes = 5;
constexpr uint64_t level_bytes = 17;
constexpr uint8_t wave_stereo_flag = 0x08; // WAVT flags: the wave's levels are stereo

[[noreturn]] void premature_eof(ReaderState& rs, uint64_t bytes_read)
{
    rs.log.log_enabled = 1;
    log_print(rs.log, "\npremature EOF at pos: %x", unsigned(bytes_read));
    job_abort(msg_too_short);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// WAVT

void read_wavt(ReaderState& rs)
{
    InputSummary& sum = summary(rs);
    const ReaderHooks& h = hooks(rs);

    const uint16_t count = hold_word(rs);
    sum.instruments = count;
    sum.instrument_index_bound = count;
    emit_count(rs, sec_wavt, count, 2);
    log_print(rs.log, " instrs: %x", count);
    require_bytes(rs, count, min_wave_entry_bytes);
    sum.wave_shapes.clear();
    sum.level_frames.clear();

    for (int o = 0; o < count; ++o) {
        const uint16_t index = hold_word(rs);
        if (index + 1 > sum.instrument_index_bound) sum.instrument_index_bound = index + 1;
        log_print(rs.log, "\n%x:", index);
        uint16_t index_out = index;
        if (h.wave_table_index) h.wave_table_index(h.user, o, &index_out);
        emit_word(rs, index_out);

        char text[512];
        take_text(rs, text, sizeof text);
        log_print(rs.log, "(%s,", text);
        take_text(rs, text, sizeof text);
        log_print(rs.log, "%s)", text);
        log_print(rs.log, " vol:%x", take_dword(rs));
        const uint8_t flags = take_byte(rs);
        log_print(rs.log, " flag:%x", flags);
        if (h.wave_flags) h.wave_flags(h.user, o, flags);

        if (flags & 0x80) {
            const uint16_t envelopes = take_word(rs);
            log_print(rs.log, " envs:%x:", envelopes);
            require_bytes(rs, envelopes, envelope_bytes);
            for (int e = 0; e < envelopes; ++e) {
                const unsigned attack = take_word(rs);
                const unsigned decay = take_word(rs);
                const unsigned sustain = take_word(rs);
                const unsigned release = take_word(rs);
                const unsigned subdivision = take_byte(rs);
                const unsigned env_flags = take_byte(rs);
                const unsigned points = take_word(rs);
                log_print(rs.log, "\n  %x: att:%x dec:%x sus:%x rel:%x adiv:%x aflg:%x points:%x:", e,
                          attack, decay, sustain, release, subdivision, env_flags, points);
                const unsigned point_count = points & 0x7FFF; // bit 15 is a flag
                require_bytes(rs, point_count, envelope_point_bytes);
                for (unsigned p = 0; p < point_count; ++p) {
                    const unsigned px = take_word(rs);
                    const unsigned py = take_word(rs);
                    const unsigned pf = take_byte(rs);
                    log_print(rs.log, "\n     %x:(%x %x) flag: %x", p, px, py, pf);
                }
            }
        }

        const uint8_t levels = take_byte(rs);
        log_print(rs.log, " lvls:%x:", levels);
        require_bytes(rs, levels, level_bytes);
        sum.wave_shapes.push_back(WaveShape{index, (flags & wave_stereo_flag) != 0, uint32_t(sum.level_frames.size()), levels});
        for (int l = 0; l < levels; ++l) {
            log_print(rs.log, "\n   %x", l);
            const uint32_t frames = take_dword(rs);
            sum.level_frames.push_back(frames);
            log_print(rs.log, " samples:%x", frames);
            log_print(rs.log, " (loop:%x->", take_dword(rs));
            log_print(rs.log, "%x)", take_dword(rs));
            const uint32_t rate = hold_dword(rs);
            log_print(rs.log, " srate:%x", rate);
            uint32_t rate_out = rate;
            if (h.sample_rate) h.sample_rate(h.user, o, l, &rate_out);
            emit_dword(rs, rate_out);
            log_print(rs.log, " root: %x", take_byte(rs));
        }
        if (rs.in.past_end()) job_abort(msg_too_short);
    }
}

// ---------------------------------------------------------------------------------------------
// WAVE

void read_wave(ReaderState& rs)
{
    InputSummary& sum = summary(rs);
    const ReaderHooks& h = hooks(rs);

    const uint16_t count = hold_word(rs);
    sum.waves = count;
    emit_count(rs, sec_wave, count, 2);
    log_print(rs.log, "\nwavs:%x", count);
    std::vector<uint8_t> buf;
    // Nobody looks at the wave bytes on their way: the waves whose headers stay as they are pass
    // on as one run of the song, which the kernel copies when it ends.
    const bool runs = rs.merge_stream && rs.forward && !h.wave_data;
    uint64_t run_start = rs.in.pos;
    auto end_run = [&](uint64_t at) {
        const uint64_t back = rs.in.pos;
        seek_to(rs, run_start);
        copy_to_merge_stream(rs, at - run_start);
        seek_to(rs, back);
    };

    for (int w = 0; w < count; ++w) {
        const uint64_t header_at = rs.in.pos;
        const uint16_t index = hold_word(rs);
        log_print(rs.log, "\n%x:", index);
        const uint8_t format = hold_byte(rs);
        log_print(rs.log, " typ:%x", format);
        const uint32_t bytes = hold_dword(rs);
        log_print(rs.log, " len:%x", bytes);
        uint16_t index_out = index;
        if (h.wave_begin) h.wave_begin(h.user, w, &index_out, format, bytes);
        if (runs && index_out != index) {
            end_run(header_at);
            run_start = rs.in.pos;
        }
        if (!runs || index_out != index) {
            emit_word(rs, index_out);
            emit_byte(rs, format);
            emit_dword(rs, bytes);
        }

        if (!runs && ((rs.merge_stream && rs.forward) || h.wave_data)) {
            // Wave data may be large: it is read and passed on in blocks.
            if (buf.empty()) buf.resize(copy_block);
            uint64_t done = 0;
            while (done < bytes) {
                const size_t n = size_t(std::min<uint64_t>(bytes - done, copy_block));
                const size_t got = hold_block(rs, buf.data(), n);
                emit_block(rs, buf.data(), got);
                if (h.wave_data) h.wave_data(h.user, w, buf.data(), got);
                done += got;
                if (got < n) premature_eof(rs, done);
            }
        } else {
            // Nobody needs the bytes on their way (a run passes them on when it ends): only
            // whether the section holds them all.
            if (bytes > section_room(rs)) premature_eof(rs, section_room(rs));
            skip_bytes(rs, bytes);
        }
        if (h.wave_end) h.wave_end(h.user, w);
    }
    if (runs) end_run(rs.in.pos);
}

} // namespace section_readers
