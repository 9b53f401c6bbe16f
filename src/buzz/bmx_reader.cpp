// Buzz song reader: the header and section directory of a BMX/BMW song, and the driver of the
// read that hands each of its sections MACH, CONN, WAVT, PATT, SEQU, BLAH and WAVE to its reader
// (machine_sections.cpp, wave_sections.cpp, pattern_sections.cpp; BLAH here), listed into the log
// and passed on to the merge stream through the byte path (section_reader.cpp).
//
// A song is user input. Besides the checks Buzz songs have always been given (magic, machine
// library known, track limit, the MACH and PATT position checks, waves cut off),
// the reader never trusts a count or size from the file before it has checked it against the
// bytes left, and every section is read through a SectionReader that stops at the section's end:
// - a directory that does not fit in the file, or a section offset beyond its end, ends the job
//   with "File too short!!";
// - in CONN, WAVT, SEQU and BLAH (sections without a position check) a count whose records
//   cannot fit in the rest of the section, or records that run over its end, end the job with
//   "File too short!!" instead of listing 0xFF filler or the next section's bytes;
// - in MACH and PATT a record that needs more bytes than the section has left cannot pass the
//   final position check: the reader stops there and reports the section's size mismatch at once;
// - in WAVE a wave whose bytes run over the section's end is a premature end ("File too short!!");
// - texts end at the end of the section, so no read loops on the 0xFF filler.
// Songs Buzz itself writes hold machines with large state: data blocks of any size that fits in
// the section are read (with a warning above 2000 bytes), and byte counts up to 255 per row.
//
// The other sections of a song (BVER, PARA, PDLG, MIDI, CWAV in songs Buzz saves) are only
// listed; a read of the whole song keeps their directory entries for the merge.
//
// Large runs of bytes that pass unchanged (wave data, sections copied whole, the rows of patterns
// no hook looks at) go from the song to the merge stream in the kernel; rows, data blocks and
// track states are read as blocks, and what is emitted is written in blocks of 256 KiB.
#include "buzz/bmx_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "buzz/compressed_waves.h"
#include "buzz/section_readers.h"
#include "core/byteio.h"
#include "core/log.h"

namespace section_readers {

namespace {
constexpr ReaderHooks no_hooks{};
} // namespace

const ReaderHooks& hooks(ReaderState& rs) { return rs.hooks ? *rs.hooks : no_hooks; }

InputSummary& summary(ReaderState& rs)
{
    int i = rs.current_input;
    return rs.input_summaries[(i >= 0 && i <= 2) ? i : 0];
}

void require_bytes(ReaderState& rs, uint64_t count, uint64_t record_bytes)
{
    if (count * record_bytes > section_room(rs)) job_abort(msg_too_short);
}

void emit_count(ReaderState& rs, int section, uint32_t value, int width)
{
    const ReaderHooks& h = hooks(rs);
    int64_t out = h.count ? h.count(h.user, section, value) : int64_t(value);
    if (out < 0) return;
    if (width == 2) {
        emit_word(rs, unsigned(out));
    } else {
        emit_dword(rs, uint32_t(out));
    }
}

void copy_raw(ReaderState& rs, int section)
{
    if (!rs.merge_stream) return;
    const ReaderHooks& h = hooks(rs);
    if (h.raw_prefix) h.raw_prefix(h.user, section);
    copy_section_rest(rs);
}

[[noreturn]] void machine_not_found(ReaderState& rs, const char* name)
{
    rs.log.log_enabled = 1;
    log_print(rs.log, "\nMachine (%s) not found in machines.ini", name);
    job_abort("\nMachine not found in machines.ini, you should retry without!!");
}

} // namespace section_readers

using namespace section_readers;

namespace {

constexpr size_t max_extra_sections = 1024; // a Buzz song has a handful

// a (at most a_max characters) equals the text b, ignoring the case of ASCII letters.
bool same_name_nocase(const char* a, size_t a_max, const char* b)
{
    size_t i = 0;
    for (; i < a_max && a[i]; ++i) {
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[i]);
        if (cb == 0) return false;
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca + 32);
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb + 32);
        if (ca != cb) return false;
    }
    return b[i] == 0;
}

// ---------------------------------------------------------------------------------------------
// BLAH

void read_blah(ReaderState& rs)
{
    if (!rs.merge_stream) return;
    emit_count(rs, sec_blah, hold_dword(rs), 4);
    copy_raw(rs, sec_blah);
}

int section_id(const char name[4])
{
    for (int id = sec_mach; id <= sec_wave; ++id)
        if (std::memcmp(name, section_names[id], 4) == 0) return id;
    return 0;
}

void read_section(ReaderState& rs, int id, uint32_t offset, uint32_t length)
{
    InputSummary& sum = summary(rs);
    sum.section_start[id] = offset;
    sum.section_length[id] = length;
    // A directory entry of length 0 holds nothing, not even a count (a merge writes such entries
    // for sections none of its inputs had).
    if (length == 0) return;
    const ReaderHooks& h = hooks(rs);
    if (h.section_begin) h.section_begin(h.user, id);
    switch (id) {
    case sec_mach: read_mach(rs); break;
    case sec_conn: read_conn(rs); break;
    case sec_wavt: read_wavt(rs); break;
    case sec_patt: read_patt(rs); break;
    case sec_sequ: read_sequ(rs); break;
    case sec_blah: read_blah(rs); break;
    case sec_wave: read_wave(rs); break;
    default: break;
    }
    // Records that ran over the section's end (CONN, WAVT, SEQU and BLAH have no size check of
    // their own): the section is too short for what it says it holds.
    if (rs.in.past_end()) job_abort(msg_too_short);
    if (h.section_end) h.section_end(h.user, id);
}

} // namespace

void ReaderState::reset()
{
    for (InputSummary& s : input_summaries) s = InputSummary();
    current_input = 0;
    full_parse = 0;
    merge_stream = nullptr;
    merging = 0;
    hooks = nullptr;
    in = SectionReader();
    forward = 1;
    std::vector<uint8_t>().swap(pending);
}

// ---------------------------------------------------------------------------------------------
// Header and section directory

void read_buzz_song(ReaderState& rs, FILE* in, int section_selector)
{
    const uint64_t file_length = stream_length(in);
    rs.in = SectionReader{in, file_length, 0, file_length}; // the header and the directory
    rs.forward = 1;
    // A read of the whole song builds its own machine list. A list left from an earlier job
    // points into memory the pool has released since; only the section-by-section passes of a
    // merge, whose driver clears the lists when it starts, share one list between calls.
    if (section_selector == 0) {
        summary(rs).machine_list = nullptr;
        summary(rs).machine_list_count = 0;
        summary(rs).extra_sections.clear();
        summary(rs).extra_sections_cut = false;
    }
    seek_to(rs, 0);

    char magic[5] = {};
    for (int i = 0; i < 4; ++i) magic[i] = char(hold_byte(rs));
    if (rs.in.past_end()) job_abort(msg_too_short);
    if (!same_name_nocase("Buzz", 4, magic)) job_abort("No correct BUZZ file!!");

    const int list_level = section_selector == 0 ? rs.options.list_level : 0;
    rs.log.log_enabled = list_level;
    log_print(rs.log, "\n%s:", magic);
    const uint32_t sections = hold_dword(rs);
    log_print(rs.log, " sections:%x", sections);
    // 12 bytes per directory entry; a directory the file cannot hold is a cut or broken file.
    if (uint64_t(sections) * 12 > section_room(rs)) job_abort(msg_too_short);

    bool seen[8] = {};
    for (uint32_t i = 0; i < sections; ++i) {
        char name[5] = {};
        for (int j = 0; j < 4; ++j) name[j] = char(hold_byte(rs));
        const uint32_t offset = hold_dword(rs);
        const uint32_t length = hold_dword(rs);
        log_print(rs.log, "\n\nsection:%s: sect_pos:%lx sect_len:%lx", name, static_cast<unsigned long>(offset),
                  static_cast<unsigned long>(length));
        const uint64_t directory_pos = rs.in.pos;
        // A section named twice is read at its first entry only: the counts of a merge come from
        // one pass over the song and its sections from others, and both must see the same bytes.
        const int known = section_id(name);
        const int id = known != 0 && !seen[known] ? known : 0;
        if (id != 0) seen[id] = true;
        // Any other section with something in it is kept for the merge, which carries it on.
        InputSummary& sum = summary(rs);
        if (section_selector == 0 && known == 0 && length > 0) {
            if (sum.extra_sections.size() < max_extra_sections) {
                SectionEntry e;
                std::memcpy(e.name, name, 4);
                e.offset = offset;
                e.length = length;
                e.before_mach = !seen[sec_mach];
                sum.extra_sections.push_back(e);
            } else {
                sum.extra_sections_cut = true;
            }
        }
        const bool process = id != 0 && (section_selector == 0 || section_selector == id);
        rs.log.log_enabled = rs.options.verbose;
        uint64_t reached = offset;
        if (process) {
            if (offset > rs.in.file_length) job_abort(msg_too_short);
            seek_to(rs, offset);
            rs.in.end = uint64_t(offset) + length;
            read_section(rs, id, offset, length);
            reached = rs.in.pos;
            rs.in.end = file_length;
        }
        rs.log.log_enabled = list_level;
        log_print(rs.log, "\nfilepos: %lx (header: %x)", static_cast<unsigned long>(reached),
                  uint32_t(offset + length));
        if (process) seek_to(rs, directory_pos);
    }
    log_print(rs.log, "\n\n");
    merge_stream_flush(rs);
    if (section_selector == 0 && rs.options.compressed_waves) {
        for (const SectionEntry& e : summary(rs).extra_sections) {
            if (std::memcmp(e.name, "CWAV", 4) != 0) continue;
            read_compressed_waves(rs, in, e);
            log_print(rs.log, "\n\n");
            rs.log.log_enabled = list_level;
            break;
        }
    }
}

void read_compressed_waves(ReaderState& rs, FILE* in, const SectionEntry& e)
{
    const ReaderHooks& h = hooks(rs);
    if (e.offset > stream_length(in)) job_abort(msg_too_short);
    SectionReader cwav = SectionReader::at(in, e.offset, e.length);
    rs.log.log_enabled = rs.options.verbose;
    const WaveShapeIndex shapes(summary(rs));
    const uint16_t count = cwav.room() >= 2 ? cwav.word() : 0;
    log_print(rs.log, "\n\ncompressed waves:%x", count);
    struct Sink {
        const ReaderHooks& h;
        int ordinal;
    } to{h, 0};
    const WaveSink sink{&to, [](void* user, const uint8_t* data, size_t size) {
                            const Sink& s = *static_cast<const Sink*>(user);
                            s.h.wave_data(s.h.user, s.ordinal, data, size);
                        }};
    for (int w = 0; w < count; ++w) {
        // The header first, so that a rip knows the wave before its levels arrive.
        const uint64_t at = cwav.pos;
        CompressedWave c;
        read_compressed_wave(cwav, shapes, c, nullptr);
        log_print(rs.log, "\n%x: typ:%x len:%llx raw:%x", c.index, c.format,
                  static_cast<unsigned long long>(c.end - c.data), unsigned(c.raw_bytes));
        if (!h.wave_begin && !h.wave_data && !h.wave_end) continue;
        uint16_t index = c.index;
        if (h.wave_begin) h.wave_begin(h.user, w, &index, c.format, c.raw_bytes);
        if (h.wave_data) {
            to.ordinal = w;
            cwav.seek(at);
            read_compressed_wave(cwav, shapes, c, &sink);
        }
        if (h.wave_end) h.wave_end(h.user, w);
    }
    check_compressed_waves_end(cwav);
}
