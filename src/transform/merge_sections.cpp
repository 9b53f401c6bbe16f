// Waves and the other sections of a merge or transformation: WAVT and WAVE (the second song's
// wave indexes behind the first song's, the wave tools on the way), BLAH (both texts with a
// separator line between them), what the first song writes ahead of a section only the second
// one has, and the sections beyond the seven (carried on, PARA with the added machines under
// their names in the output, CWAV with the waves of both songs).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "buzz/compressed_waves.h"
#include "buzz/para_section.h"
#include "core/byteio.h"
#include "core/log.h"
#include "platform/platform.h"
#include "transform/machine_tools.h"
#include "transform/merge_stages.h"
#include "transform/wave_tools.h"

namespace merge_stage {

namespace {

uint16_t shifted_wave_index(Merge& m, uint16_t index)
{
    const uint32_t v = uint32_t(index) + uint32_t(m.state.wave_shift);
    if (v > 0xFFFF) refuse("Wave %u of the second song does not fit behind the first song's waves!!", unsigned(index));
    return uint16_t(v);
}

void wave_table_index(void* user, int ordinal, uint16_t* index)
{
    Merge& m = merge_of(user);
    wave_tools_entry(m.tools, ordinal, *index);
    if (current(m) == 2) *index = shifted_wave_index(m, *index);
}

void wave_begin(void* user, int, uint16_t* index, uint8_t, uint32_t bytes)
{
    Merge& m = merge_of(user);
    wave_tools_wave_begin(m.tools, *index, bytes);
    if (current(m) == 2) *index = shifted_wave_index(m, *index);
}

void wave_data(void* user, int, const uint8_t* data, size_t size) { Merge& m = merge_of(user); wave_tools_wave_data(m.tools, data, size); }
void wave_end(void* user, int) { Merge& m = merge_of(user); wave_tools_wave_end(m.tools); }
void wave_flags(void* user, int, uint8_t flags) { wave_tools_flags(merge_of(user).tools, flags); }
void sample_rate(void* user, int ordinal, int level, uint32_t* rate)
{
    wave_tools_sample_rate(merge_of(user).tools, ordinal, level, rate);
}

void emit_separator(Merge& m)
{
    uint8_t line[separator_bytes];
    std::memset(line, '-', sizeof line);
    line[0] = line[42] = '\r';
    line[1] = line[43] = '\n';
    emit_block(m.reader, line, sizeof line);
}

void section_end(void* user, int section)
{
    Merge& m = merge_of(user);
    if (section == sec_blah && first_input(m) && m.reader.merging) emit_separator(m);
}

} // namespace

// The first song lacks a section the second one has: what the first song would have written
// ahead of the second song's part.
void write_first_head(Merge& m, int section)
{
    m.reader.forward = 1;
    switch (section) {
    case sec_conn:
    case sec_wavt:
    case sec_wave: emit_word(m.reader, unsigned(output_count(&m, section, 0))); break;
    case sec_sequ: {
        uint32_t header[3] = {}; // song end, loop start, loop end
        output_song_header(m, &header[0], &header[1], &header[2]);
        for (uint32_t v : header) emit_dword(m.reader, v);
        emit_word(m.reader, unsigned(summary(m, 0).sequences));
        break;
    }
    case sec_patt:
        // No patterns: each of its machines has none, on no tracks.
        for (int k = 0; k < summary(m, 1).machines; ++k) emit_dword(m.reader, 0);
        break;
    case sec_blah:
        emit_dword(m.reader, text_length(m));
        emit_separator(m);
        break;
    default: break;
    }
}

namespace {

// Copies n bytes at `offset` of an input to the output.
void copy_from_input(Merge& m, int input, uint64_t offset, uint64_t n)
{
    FILE* f = summary(m, input).stream;
    if (offset + n > stream_length(f)) about_song(m, input, [] { job_abort(msg_too_short); });
    merge_stream_flush(m.reader);
    int write_error = 0;
    if (platform::copy_file_region(f, offset, m.reader.merge_stream, n, &write_error) != n) {
        if (write_error) job_abort(file_failure(FailedFile::output, m.state.songs[0], write_error, msg_temp_write));
        about_song(m, input, [] { job_abort(msg_too_short); }); // cut short while it is read
    }
}

void emit_text(Merge& m, const std::string& text)
{
    emit_block(m.reader, reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1);
}

// The second song's PARA entries but its master's, each under its machine's name in the output.
void write_second_para(Merge& m, const ParaSection& para)
{
    const std::vector<std::string>& names = m.state.second_names;
    uint64_t run = para.second_entry; // bytes from here on are copied as they are
    for (size_t k = 1; k < names.size() && k < para.entry_name.size(); ++k) {
        if (names[k].empty()) continue;
        copy_from_input(m, 2, run, para.entry_name[k] - run);
        emit_text(m, names[k]);
        run = para.entry_library[k];
    }
    copy_from_input(m, 2, run, para.end - run);
}

// Entries of a song copied one by one with their indexes shifted behind the first song's waves.
void copy_shifted_entries(Merge& m, int input, const std::vector<CompressedWave>& entries)
{
    for (const CompressedWave& e : entries) {
        emit_word(m.reader, shifted_wave_index(m, e.index));
        copy_from_input(m, input, e.start + 2, e.end - e.start - 2);
    }
}

void write_merged_cwav(Merge& m, const CwavPlan& cwav)
{
    emit_word(m.reader, cwav.count);
    if (cwav.first) copy_from_input(m, 1, uint64_t(cwav.first->offset) + 2, cwav.first->length - 2);
    if (!cwav.first_raw.empty())
        copy_from_input(m, 1, cwav.first_raw.front().start, cwav.first_raw.back().end - cwav.first_raw.front().start);
    copy_shifted_entries(m, 2, cwav.second);
    copy_shifted_entries(m, 2, cwav.second_raw);
}

} // namespace

void write_extra_section(Merge& m, const PlannedSection& p, const ParaPlan& para, const CwavPlan& cwav)
{
    if (p.merged_cwav) {
        write_merged_cwav(m, cwav);
        return;
    }
    if (!p.merged_para) {
        copy_from_input(m, 1, p.extra->offset, p.extra->length);
        return;
    }
    emit_dword(m.reader, uint32_t(summary(m, 0).machines));
    copy_from_input(m, 1, para.first.first_entry, para.first.end - para.first.first_entry);
    if (m.reader.merging) write_second_para(m, para.second);
    if (m.clone.destination != 0) {
        const ParaSection& from = para.clone_input == 1 ? para.first : para.second;
        emit_text(m, clone_machine_name(m));
        copy_from_input(m, para.clone_input, from.match_library, from.match_end - from.match_library);
    }
}

void write_wave_moved(Merge& m, FILE* first)
{
    ReaderState& rs = m.reader;
    const MergeState& ms = m.state;
    if (!ms.has_section[1][sec_wave] && !ms.has_section[2][sec_wave]) return;
    emit_word(rs, 0);
    if (!ms.has_section[1][sec_wave] || !wave_tools_ripping(m.tools)) return;
    merge_stream_flush(rs);
    FILE* out = rs.merge_stream;
    rs.merge_stream = nullptr; // read, nothing written
    rs.current_input = 1;
    about_song(m, 1, [&] { read_buzz_song(rs, first, sec_wave); });
    rs.merge_stream = out;
}

void rip_compressed_wave(Merge& m, FILE* first)
{
    const SectionEntry* e = find_extra(m, 1, "CWAV");
    if (!e || !wave_tools_ripping(m.tools)) return;
    m.reader.current_input = 1;
    about_song(m, 1, [&] { read_compressed_waves(m.reader, first, *e); });
}

void set_wave_hooks(Merge& m, ReaderHooks& h)
{
    h.wave_table_index = wave_table_index;
    h.sample_rate = sample_rate;
    h.wave_flags = wave_flags;
    h.wave_begin = wave_begin;
    if (wave_tools_ripping(m.tools)) {
        // Only then do the wave bytes pass through here; otherwise the kernel copies them.
        h.wave_data = wave_data;
        h.wave_end = wave_end;
    }
}

void set_text_hooks(ReaderHooks& h) { h.section_end = section_end; }

} // namespace merge_stage
