// Planning a merge or transformation: the output's counts (machines, connections, waves,
// sequences, the text length) from the inputs' counting pass, and its sections in directory
// order: which sections beyond the seven each song carries on, which are left out with a warning,
// and where the PARA entries of the output's machines come from.
#include <cstring>
#include <initializer_list>
#include <vector>

#include "buzz/compressed_waves.h"
#include "buzz/para_section.h"
#include "core/byteio.h"
#include "core/log.h"
#include "transform/machine_tools.h"
#include "transform/merge_stages.h"

namespace merge_stage {

namespace {

uint32_t text_bytes(Merge& m, int input)
{
    const uint32_t length = summary(m, input).section_length[sec_blah];
    return m.state.has_section[input][sec_blah] && length > 4 ? length - 4 : 0;
}

void check_count(int value, const char* what)
{
    if (value > 0xFFFF) refuse("The song would have %d %s, more than 65535!!", value, what);
}

} // namespace

uint32_t text_length(Merge& m)
{
    uint64_t n = text_bytes(m, 1);
    if (m.reader.merging) n += separator_bytes + uint64_t(text_bytes(m, 2));
    if (n > 0xFFFFFFFFu) job_abort("The texts of the songs are too long!!");
    return uint32_t(n);
}

int64_t output_count(void* user, int section, uint32_t value)
{
    Merge& m = merge_of(user);
    if (!first_input(m)) return -1; // the first song writes the output's counts
    const InputSummary& out = summary(m, 0);
    switch (section) {
    case sec_mach: return out.machines;
    case sec_conn: return out.connections;
    case sec_wavt: return out.instruments;
    case sec_sequ: return out.sequences;
    case sec_wave: return out.waves;
    case sec_blah: return text_length(m);
    default: return value;
    }
}

void set_output_counts(Merge& m)
{
    InputSummary& out = summary(m, 0);
    const InputSummary& a = summary(m, 1);
    const InputSummary& b = summary(m, 2);
    if (m.reader.merging) {
        out.machines = a.machines + b.machines - 1;
        out.connections = a.connections + b.connections;
        out.instruments = a.instruments + b.instruments;
        out.sequences = a.sequences + b.sequences + b.sequence_adjustment;
        out.waves = a.waves + b.waves;
    } else {
        out.machines = a.machines;
        out.connections = a.connections;
        out.instruments = a.instruments;
        out.sequences = a.sequences;
        out.waves = a.waves;
    }
    if (m.clone.destination != 0) {
        out.machines += 1;
        out.connections += int(m.state.clone_connections.size());
        out.sequences += a.sequence_adjustment;
    }
    check_count(out.machines, "machines");
    check_count(out.connections, "connections");
    check_count(out.instruments, "waves");
    check_count(out.sequences, "sequences");
    check_count(out.waves, "waves");
}

namespace {

bool named(const SectionEntry& e, const char* name) { return std::memcmp(e.name, name, 4) == 0; }

// A section of a song is exactly these bytes.
bool holds_exactly(Merge& m, int input, const SectionEntry& e, std::initializer_list<uint8_t> bytes)
{
    if (e.length != bytes.size()) return false;
    SectionReader in = SectionReader::at(summary(m, input).stream, e.offset, e.length);
    uint8_t got[8] = {};
    return in.block(got, bytes.size()) == bytes.size() && std::equal(bytes.begin(), bytes.end(), got);
}

// PDLG and MIDI list only the machines that have an open window or a MIDI binding: one without
// any holds the bytes of an empty list, and nothing is lost when it is not carried.
bool empty_list(Merge& m, int input, const SectionEntry& e)
{
    return (named(e, "PDLG") && holds_exactly(m, input, e, {1, 0})) || (named(e, "MIDI") && holds_exactly(m, input, e, {0}));
}

void leave_out(Merge& m, const SectionEntry& e, const char* song, const char* why)
{
    log_warning(m.log, "\nWarning: section %s of %s is left out, %s!", e.name, song, why);
}

bool read_para(Merge& m, int input, const SectionEntry& e, int description, ParaSection& out)
{
    SectionReader in = SectionReader::at(summary(m, input).stream, e.offset, e.length);
    return read_para_section(in, uint32_t(summary(m, input).machines), m.machines, description, out);
}

// A PARA section for the merged song: the first song's entries, the second song's but its
// master's, and the clone's made from the entry of a machine of its library. False (with the
// reason) when the inputs do not describe every machine of the new song.
bool plan_para(Merge& m, const SectionEntry& first_para, const SectionEntry* second_para, ParaPlan& plan, const char*& why)
{
    const int clone = m.clone.destination != 0 ? m.clone.destination : -1;
    why = "it does not describe each machine of the first song";
    if (!read_para(m, 1, first_para, clone, plan.first)) return false;
    if (plan.first.match_end) plan.clone_input = 1;
    if (m.reader.merging) {
        why = "the second song has no parameter descriptions of its machines";
        if (!second_para || !read_para(m, 2, *second_para, clone, plan.second)) return false;
        if (!plan.clone_input && plan.second.match_end) plan.clone_input = 2;
    }
    why = "neither song has a machine of the clone's kind to describe it";
    return clone < 0 || plan.clone_input != 0;
}

// A CWAV section holds waves unless it is its count word 0 alone.
bool holds_waves(Merge& m, int input, const SectionEntry& e) { return !holds_exactly(m, input, e, {0, 0}); }

// The entries of input `input`'s CWAV section `e`, walked (every packed level decoded) so that
// each one's end is known; one that cannot be read, or entries that do not end exactly at the
// section's end, end the job.
void compressed_entries(Merge& m, int input, const SectionEntry& e, std::vector<CompressedWave>& out)
{
    const InputSummary& s = summary(m, input);
    SectionReader in = SectionReader::at(s.stream, e.offset, e.length);
    about_song(m, input, [&] { read_compressed_wave_list(in, WaveShapeIndex(s), out); });
}

// The entries of input `input`'s WAVE section, which are format-0 entries of a CWAV section.
void raw_entries(Merge& m, int input, std::vector<CompressedWave>& out)
{
    const InputSummary& s = summary(m, input);
    if (!m.state.has_section[input][sec_wave]) return;
    SectionReader in = SectionReader::at(s.stream, s.section_start[sec_wave], s.section_length[sec_wave]);
    const uint16_t count = in.room() >= 2 ? in.word() : 0;
    for (int k = 0; k < count; ++k) {
        CompressedWave w;
        w.start = in.pos;
        if (in.room() < 7) job_abort(msg_too_short);
        w.index = in.word();
        w.format = in.byte();
        w.raw_bytes = in.dword();
        w.data = in.pos;
        if (w.format != 0)
            refuse("Wave %u of %s is kept in format %u, which compressed waves cannot hold!!", unsigned(w.index),
                   m.state.songs[input].c_str(), unsigned(w.format));
        if (w.raw_bytes > in.room()) job_abort(msg_too_short);
        in.skip(w.raw_bytes);
        w.end = in.pos;
        out.push_back(w);
    }
}

// Every wave of both songs into one CWAV section: the places of their entries, each checked.
void plan_cwav(Merge& m, const SectionEntry* first_cwav, bool first_packed, const SectionEntry* second_cwav, CwavPlan& cwav)
{
    cwav.first = first_cwav;
    std::vector<CompressedWave> first;
    if (first_packed) compressed_entries(m, 1, *first_cwav, first);
    raw_entries(m, 1, cwav.first_raw);
    if (second_cwav) compressed_entries(m, 2, *second_cwav, cwav.second);
    raw_entries(m, 2, cwav.second_raw);
    const size_t count = first.size() + cwav.first_raw.size() + cwav.second.size() + cwav.second_raw.size();
    check_count(int(count), "waves");
    cwav.count = uint32_t(count);
    summary(m, 0).waves = 0;
}

} // namespace

const SectionEntry* find_extra(Merge& m, int input, const char* name)
{
    for (const SectionEntry& e : summary(m, input).extra_sections)
        if (named(e, name)) return &e;
    return nullptr;
}

// The output's sections in directory order, decided before anything is written: every warning
// about a section left out comes first, and compressed waves that cannot be read are refused
// before the output exists.
//
// Compressed waves: a merge that adds the second song's compressed waves, or raw waves to a song
// whose waves are compressed, puts every wave of both songs into one CWAV section (in the first
// song's CWAV's place, else behind the other sections), the first song's entries byte for byte,
// the second song's with their indexes shifted and their bytes unchanged, the WAVE entries as
// raw (format 0) entries; WAVE then holds none. Otherwise the first song's CWAV is carried as it
// is (its indexes stay) and WAVE merged.
std::vector<PlannedSection> plan_sections(Merge& m, const char* first, const char* second, ParaPlan& para, CwavPlan& cwav)
{
    const bool adds_machines = m.reader.merging || m.clone.destination != 0;
    if (summary(m, 1).extra_sections_cut) refuse("%s has more sections than a Buzz song!!", first);
    if (m.reader.merging && summary(m, 2).extra_sections_cut) refuse("%s has more sections than a Buzz song!!", second);

    MergeState& ms = m.state;
    const SectionEntry* first_cwav = find_extra(m, 1, "CWAV");
    const SectionEntry* second_cwav = m.reader.merging ? find_extra(m, 2, "CWAV") : nullptr;
    const bool first_packed = first_cwav && holds_waves(m, 1, *first_cwav);
    const bool second_packed = second_cwav && holds_waves(m, 2, *second_cwav);
    const bool second_raw = m.reader.merging && ms.has_section[2][sec_wave] && summary(m, 2).waves > 0;
    ms.compressed = m.reader.merging && (second_packed || (first_packed && second_raw));
    if (ms.compressed) plan_cwav(m, first_cwav, first_packed, second_packed ? second_cwav : nullptr, cwav);

    const SectionEntry* first_para = find_extra(m, 1, "PARA");
    if (m.reader.merging) {
        for (const SectionEntry& e : summary(m, 2).extra_sections) {
            if (named(e, "CWAV")) {
                if (&e != second_cwav && holds_waves(m, 2, e)) leave_out(m, e, second, "it is there twice");
            } else if (named(e, "PARA")) {
                if (!first_para) leave_out(m, e, second, "the first song has no parameter descriptions of its machines");
            } else if (!named(e, "BVER") && !empty_list(m, 2, e)) { // one version text: the first song's
                leave_out(m, e, second, "it cannot be merged");
            }
        }
    }
    std::vector<PlannedSection> plan;
    std::vector<PlannedSection> after;
    for (const SectionEntry& e : summary(m, 1).extra_sections) {
        PlannedSection p;
        p.extra = &e;
        if (ms.compressed && named(e, "CWAV")) {
            if (&e != first_cwav) {
                leave_out(m, e, first, "it is there twice");
                continue;
            }
            p.merged_cwav = true;
        } else if (adds_machines && named(e, "PARA")) {
            const char* why = "";
            if (&e != first_para) {
                leave_out(m, e, first, "it is there twice");
                continue;
            }
            if (!plan_para(m, e, m.reader.merging ? find_extra(m, 2, "PARA") : nullptr, para, why)) {
                leave_out(m, e, first, why);
                continue;
            }
            p.merged_para = true;
        } else if (adds_machines && !named(e, "BVER") && !named(e, "PDLG") && !named(e, "MIDI") && !named(e, "CWAV")) {
            leave_out(m, e, first, "it may not hold for the added machines");
            continue;
        }
        (e.before_mach ? plan : after).push_back(p);
    }
    for (int id = sec_mach; id <= sec_wave; ++id) plan.push_back(PlannedSection{id, nullptr, false, false});
    plan.insert(plan.end(), after.begin(), after.end());
    if (ms.compressed && !first_cwav) plan.push_back(PlannedSection{0, nullptr, false, true});
    return plan;
}

} // namespace merge_stage
