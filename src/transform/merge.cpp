// Merge and transformation of Buzz songs: the passes and the output file (each stage has a file
// of its own, listed in merge_stages.h).
//
// The work streams. A counting pass reads the inputs without writing anything; then the output is
// written once, into a scratch file beside it: a gap for the header, the sections one after the
// other (each input read again by the song reader, every byte going on, changed, dropped or added
// on the way by the hooks below), and last the header with the section directory, in place. Runs
// of bytes no rule changes (wave data, sections copied whole, patterns of machines no option
// touches) are copied in the kernel; changed rows are gathered and written in large blocks.
//
// What each input writes (m1: machines of the first song, bound1: 1 + its highest wave index):
// MACH  first: the output's machine count, its machines (positions scaled with do_mscale1, the
//       master's tempo times blow_up); second: its machines without its master (positions scaled
//       with do_mscale2), each whose name is taken under the first free "NAME 2", "NAME 3", ...;
//       then the clone (under a free name too).
// CONN  first: the output's count, its connections; second: machine numbers + (m1 - 1), those
//       into its master into the output's master (amplitude and panning kept); then the clone's:
//       each of its source's connections with the clone as the source.
// WAVT  first: the output's count, its entries; second: wave indexes + bound1. Wave tuning.
// PATT  first: with blow-up, line counts times blow_up and blow_up - 1 further rows after every
//       row (a generator's empty rows, copies for other machines), the master's tempo times
//       blow_up; the source's transposition, the clone's rows taken; an input block that
//       changes nothing for each connection the output gains, in every pattern of its
//       destination (the master, a clone source's effect); second: its master's patterns
//       dropped, input sources + (m1 - 1), Tracker wave bytes + bound1 with do_mishift2; then the
//       clone's patterns.
// SEQU  first: loop start times blow_up times song_repeat; the song ends at the later of the
//       first song's end (times blow_up times song_repeat) and the second song's end, and a loop
//       that ran to the first song's end runs to that end; the output's count; positions times
//       blow_up, every sequence song_repeat times, the clone's sequence after its source's. A
//       sequence whose positions outgrow their width is written with wider positions (1, 2 or 4
//       bytes). Second: its song header and its master's sequences dropped, machines + (m1 - 1).
// BLAH  the text length (merging: both texts and a separator line between them), the texts.
// WAVE  first: the output's count, its waves (wave ripping); second: wave indexes + bound1. When
//       one song's waves are compressed and the other adds waves, every wave goes into one CWAV
//       section instead (merge_plan.cpp).
//
// The sections beyond these seven keep their place before or after them. A transformation that
// leaves the machines as they are carries every one of them byte for byte. One that adds
// machines (a merge, a clone) carries the first song's BVER (the version text), PDLG (machine
// windows) and MIDI (MIDI bindings), which name its machines only, and CWAV (compressed waves,
// whose indexes stay, with the second song's waves when they go there); its PARA (one parameter
// description per machine) gets the added machines' entries, under their names in the output,
// from the second song's PARA and, for a clone, from the entry of a machine of the clone's
// library. A section that cannot be made true for the new song is left out with a warning naming
// it.
//
// Where a value would not fit its field (a tempo above 65535, more than 65535 lines, machines or
// waves, a sequence position beyond 4 bytes, a shifted wave number beyond its byte) the job ends
// with a message instead of wrapping into a wrong song.
//
// Files: the output, until it is complete, lives under a unique scratch name beside it and is
// removed on every way out; it is renamed into place only when it is whole, so a failed merge
// leaves an existing song (an input too) as it was.
#include "transform/merge.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/byteio.h"
#include "core/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "transform/machine_tools.h"
#include "transform/merge_stages.h"
#include "transform/wave_tools.h"

using namespace merge_stage;

namespace {

constexpr int directory_slots = 31; // a song's header has room for 31 sections, used or not

// The folder part of a path with its final separator ("" for a bare file name).
std::string folder_of(const std::string& path)
{
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool no_second_input(const char* second) { return !second || !*second || *second == ' '; }

// --- the second song's master, when its machines and patterns are copied whole ----------------

void raw_prefix(void* user, int section)
{
    Merge& m = merge_of(user);
    if (current(m) != 2) {
        if (section == sec_patt) first_master_patterns(m);
        return;
    }
    if (section == sec_mach) skip_second_master(m);
    if (section == sec_patt) skip_second_master_patterns(m);
}

// --- the passes ---------------------------------------------------------------------------------

void note_section(void* user, int section) { Merge& m = merge_of(user); m.state.has_section[current(m)][section] = true; }

// Machines and patterns are parsed record by record only where a rule needs them; repetition
// changes only the sequences.
int full_parse_for(Merge& m, int input, int section, bool second_has_inner_connections)
{
    const Settings& s = m.settings;
    const MergeState& ms = m.state;
    if (input == 1) {
        const bool rows = ms.blow > 1 || s.clone_source != 0;
        if (section == sec_mach) return s.do_mscale1 || rows;
        return (section == sec_conn || section == sec_patt) && rows;
    }
    // A second song whose machines feed each other (effects) names them in its patterns' input
    // data: those numbers move by m1 - 1 too, so its patterns are parsed.
    const bool rows = s.do_mishift2 || second_has_inner_connections;
    if (section == sec_mach) return s.do_mscale2 || rows || !ms.second_names.empty();
    return (section == sec_conn || section == sec_patt) && rows;
}

// The machine tools' hook, with the merge as its context.
void tools_machine_data(void* user, int machine, const uint8_t* data, size_t size, uint32_t offset, uint32_t total)
{
    machine_tools_data(merge_of(user), machine, data, size, offset, total);
}

ReaderHooks merge_hooks(Merge& m)
{
    ReaderHooks h;
    h.user = &m;
    h.count = output_count;
    h.raw_prefix = raw_prefix;
    h.machine_data = tools_machine_data;
    set_machine_hooks(m, h);
    set_pattern_hooks(h);
    set_sequence_hooks(h);
    set_wave_hooks(m, h);
    set_text_hooks(h);
    return h;
}

void check_machines(Merge& m, int input, const char* name)
{
    if (!m.state.has_section[input][sec_mach] || summary(m, input).machines < 1)
        refuse("No machines in %s!!", name);
}

// One of the seven sections: each input in turn, then what the tools add after them.
void write_section(Merge& m, int s, const File (&in)[3], bool second_has_inner_connections)
{
    ReaderState& rs = m.reader;
    MergeState& ms = m.state;
    if (s == sec_wave && ms.compressed) {
        write_wave_moved(m, in[1].get());
        rs.current_input = 1;
        merge_stream_flush(m.reader);
        return;
    }
    const int inputs = rs.merging ? 2 : 1;
    for (int i = 1; i <= inputs; ++i) {
        rs.current_input = i;
        rs.full_parse = full_parse_for(m, i, s, second_has_inner_connections);
        if (ms.has_section[i][s]) {
            about_song(m, i, [&] { read_buzz_song(m.reader, in[i].get(), s); });
        } else if (i == 1 && rs.merging && ms.has_section[2][s]) {
            write_first_head(m, s);
        } else if (i == 2 && s == sec_patt && ms.has_section[1][s]) {
            // A second song without patterns: each of its machines but its master has none.
            rs.forward = 1;
            for (int k = 1; k < summary(m, 2).machines; ++k) emit_dword(m.reader, 0);
        }
    }
    rs.current_input = 1;
    if (s == sec_conn) write_clone_connections(m);
    if (s == sec_mach && m.clone.destination != 0) {
        merge_stream_flush(m.reader); // the clone's record is written to the stream directly
        clone_write_machine(m, summary(m, 1).machine_list[m.clone.source].tracks);
    }
    if (s == sec_patt) clone_append_patterns(m);
    merge_stream_flush(m.reader);
}

// The header and section directory, written last over the gap left for them at the start.
void write_header(Merge& m, FILE* out, const std::vector<SectionEntry>& directory, size_t header_size)
{
    std::vector<uint8_t> header(header_size, 0);
    std::memcpy(header.data(), "Buzz", 4);
    const uint32_t count = uint32_t(directory.size());
    for (int i = 0; i < 4; ++i) header[4 + size_t(i)] = uint8_t(count >> (8 * i));
    for (size_t k = 0; k < directory.size(); ++k) {
        const SectionEntry& e = directory[k];
        uint8_t* entry = header.data() + 8 + 12 * k;
        std::memcpy(entry, e.name, 4);
        for (int i = 0; i < 4; ++i) {
            entry[4 + i] = uint8_t(e.offset >> (8 * i));
            entry[8 + i] = uint8_t(e.length >> (8 * i));
        }
        log_print(m.log, "\nsection: %s,pos: %x,len: %x\n", e.name, unsigned(e.offset), unsigned(e.length));
    }
    errno = 0;
    if (!stream_seek(out, 0) || std::fwrite(header.data(), 1, header.size(), out) != header.size())
        job_abort(file_failure(FailedFile::output, m.state.songs[0], errno, "Can't write outputfile (disk full?)"));
}

// The written song takes its name (replacing a file of that name only with `replace`) together
// with the files the merge made on its way (a WAV, es-9.dat), which are kept from then on.
void commit_output(Merge& m, platform::ScratchFile& out, const char* output, bool replace, platform::NewFiles& made)
{
    wave_tools_commit(m.tools, &made);
    platform::InterruptGuard guard; // the song and the files made with it are kept together
    const int e = out.commit(output, replace);
    if (e == EEXIST || e == platform::not_regular_file) {
        Failure f = write_refused(FailedFile::output, output,
                                  e == EEXIST ? "exists; -y (--force) replaces it" : platform::error_text(e));
        log_forced(m.log, "\n"); // the error on a line of its own, after the progress dots
        job_abort(std::move(f));
    }
    if (e) {
        log_forced(m.log, "\n%s: %s", output, std::strerror(e));
        job_abort(file_failure(FailedFile::output, output, e, "Can't write outputfile (disk full?)"));
    }
    made.keep_all();
}

// The job's wave tools and log outlive the merge: they are put back on every way out of
// merge_songs, also while a failed job unwinds. The reader, the merge's own state and its scratch
// files go with the Merge.
struct ToolsBack {
    explicit ToolsBack(Merge& merge) : m(merge) {}
    ToolsBack(const ToolsBack&) = delete;
    ToolsBack& operator=(const ToolsBack&) = delete;
    ~ToolsBack()
    {
        wave_tools_forget(m.tools);
        m.tools.rip_folder.clear();
        m.tools.reader = nullptr;
        m.log.log_dot_interval = 0;
    }
    Merge& m;
};

} // namespace

namespace merge_stage {

[[noreturn]] void refuse(const char* fmt, ...) KX_PRINTF(1, 2);
void refuse(const char* fmt, ...)
{
    // Whole, however long the file names in it.
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    std::string msg(size_t(n > 0 ? n : 0) + 1, '\0');
    std::vsnprintf(msg.data(), msg.size(), fmt, again);
    va_end(again);
    va_end(ap);
    job_abort(msg.c_str());
}

} // namespace merge_stage

void merge_songs(Merge& m, const char* first, const char* second, const char* output)
{
    ReaderState& rs = m.reader;
    Log& ls = m.log;
    MergeState& ms = m.state;
    ToolsBack tools_back(m);
    m.tools.reader = &rs;
    rs.options.list_level = m.settings.dolist;
    rs.options.verbose = m.settings.verbose;
    rs.options.clone_source = m.settings.clone_source;
    rs.options.clone_sequence = m.settings.clone2 != 0;

    ls.log_enabled = 1;
    ls.log_dot_interval = 0;
    rs.reset(); // no machine lists yet, nothing of an earlier merge
    ms = MergeState();
    ms.started = true;
    ms.songs[0] = output ? output : "";
    ms.songs[1] = first ? first : "";
    ms.songs[2] = no_second_input(second) ? "" : second;
    wave_tools_start(m.tools);

    if (!first) first = "";
    File in[3];
    errno = 0;
    in[1] = open_file(first, "rb");
    if (!in[1]) {
        const int e = errno;
        log_print(m.log, "\n Could not open first Inputfile: %s", first);
        job_abort(file_failure(FailedFile::first_song, first, e, " "));
    }
    rs.merging = 0;
    if (!no_second_input(second)) {
        errno = 0;
        in[2] = open_file(second, "rb");
        if (!in[2]) {
            const int e = errno;
            log_print(m.log, "\n Could not open second Inputfile: %s", second);
            job_abort(file_failure(FailedFile::second_song, second, e, " "));
        }
        rs.merging = 1;
    }
    rs.input_summaries[1].stream = in[1].get();
    rs.input_summaries[2].stream = in[2].get();
    for (const char* song : {first, rs.merging ? second : nullptr})
        if (song) ms.input_bytes += uint64_t(std::max<int64_t>(platform::file_length(song), 0));

    rs.full_parse = 0;
    rs.current_input = 1;
    log_print(m.log, "\nReading first file: %s", first);
    if (!m.settings.dolist) ls.log_dot_interval = 40;

    if (rs.options.list_generators_only) {
        // The Machine page's list: the first song's machines, nothing written.
        rs.full_parse = 1;
        about_song(m, 1, [&] { read_buzz_song(m.reader, in[1].get(), sec_mach); });
        return;
    }
    if (!output || !*output) {
        log_print(m.log, "\nCould not open outputfile: %s", "");
        job_abort(" ");
    }

    // Counting pass.
    ReaderHooks counting;
    counting.user = &m;
    counting.section_begin = note_section;
    set_counting_machine_hooks(counting);
    set_counting_sequence_hooks(counting);
    rs.hooks = &counting;
    about_song(m, 1, [&] {
        read_buzz_song(m.reader, in[1].get(), 0);
        check_machines(m, 1, first);
    });
    if (rs.merging) {
        rs.current_input = 2;
        ls.log_enabled = 1;
        log_print(m.log, "\nReading second file: %s", second);
        about_song(m, 2, [&] {
            read_buzz_song(m.reader, in[2].get(), 0);
            check_machines(m, 2, second);
        });
    }
    ms.blow = m.settings.blow_up > 1 ? m.settings.blow_up : 1;
    ms.repeat = m.settings.song_repeat > 1 ? m.settings.song_repeat : 1;
    ms.machine_shift = summary(m, 1).machines - 1;
    ms.wave_shift = summary(m, 1).instrument_index_bound;
    // Files the merge makes besides the song (es-9.dat, a WAV): removed unless the song is made.
    platform::NewFiles made;
    // The clone's source is the first song's; the counts and the plan say what they concern.
    about_song(m, 1, [&] { machine_tools_start(m, summary(m, 1).machines, ms.blow, output, &made); });
    plan_machine_names(m);
    set_output_counts(m);
    rs.current_input = 1;
    ParaPlan para;
    CwavPlan cwav;
    const std::vector<PlannedSection> plan = plan_sections(m, first, second, para, cwav);

    // The output, written once: a gap for the header, the sections, then the header.
    platform::ScratchFile out;
    errno = 0;
    if (!out.create(output, ".part")) {
        const int e = errno;
        log_print(m.log, "\nCould not open outputfile: %s", output);
        const std::string folder = folder_of(output);
        if (!folder.empty() && !platform::is_directory(folder.c_str())) {
            Failure f{FailedFile::output, folder, ENOENT, "no such folder", folder + ": no such folder"};
            job_abort(std::move(f));
        }
        job_abort(file_failure(FailedFile::output, output, e, "Can't open outputfile"));
    }
    rs.merge_stream = out.get();
    if (m.tools.rip_folder.empty()) m.tools.rip_folder = folder_of(output);
    const size_t header_size = 8 + 12 * std::max<size_t>(directory_slots, plan.size());
    rs.pending.assign(header_size, 0);

    ls.log_enabled = 1;
    if (!m.settings.dolist) ls.log_dot_interval = 200;
    log_print(m.log, rs.merging ? "\nMerging files" : "\nTransforming file");

    const ReaderHooks hooks = merge_hooks(m);
    rs.hooks = &hooks;
    const bool inner2 = rs.merging && summary(m, 2).connections > summary(m, 2).master_connections;
    std::vector<SectionEntry>& directory = summary(m, 0).extra_sections;
    ms.writing = true;
    for (const PlannedSection& p : plan)
        if (p.id) ms.section_bytes_total += uint64_t(summary(m, 1).section_length[p.id]) + summary(m, 2).section_length[p.id];
    // What fails while the sections are written, and names no song it reads, concerns the output.
    about_song(m, 0, [&] {
    for (const PlannedSection& p : plan) {
        const uint64_t start = merge_stream_position(m.reader);
        if (p.id != 0) {
            ms.section_writing = p.id;
            write_section(m, p.id, in, inner2);
            ms.section_writing = 0;
            ms.section_bytes_done += uint64_t(summary(m, 1).section_length[p.id]) + summary(m, 2).section_length[p.id];
        } else {
            write_extra_section(m, p, para, cwav);
            merge_stream_flush(m.reader);
        }
        const uint64_t end = merge_stream_position(m.reader);
        if (end > 0xFFFFFFFFu) job_abort("The song would be larger than 4 GB!!");
        SectionEntry e;
        std::memcpy(e.name, p.id ? section_names[p.id] : p.extra ? p.extra->name : "CWAV", 4);
        e.offset = uint32_t(start);
        e.length = uint32_t(end - start);
        directory.push_back(e);
        if (p.id) {
            summary(m, 0).section_start[p.id] = e.offset;
            summary(m, 0).section_length[p.id] = e.length;
        }
    }
    });

    rip_compressed_wave(m, in[1].get());
    rs.hooks = nullptr;
    rs.merge_stream = nullptr;
    rs.input_summaries[1].stream = rs.input_summaries[2].stream = nullptr;
    about_song(m, 1, [&] { wave_tools_check(m.tools); }); // a wave the tools name and the song lacks
    // A merge may name one of its inputs as its output: that input is replaced once the new song
    // is complete. Any other existing file of that name only with replace_files.
    const bool replace = m.settings.replace_files != 0 || platform::same_file(output, first) ||
                         (rs.merging && platform::same_file(output, second));
    in[1].reset(); // the output may replace an input
    in[2].reset();
    ls.log_enabled = 1;
    log_print(m.log, "\nWriting output file: %s", output);
    ls.log_enabled = m.settings.dolist;
    write_header(m, out.get(), directory, header_size);
    ls.log_enabled = 1;
    errno = 0;
    if (!out.flush_ok()) job_abort(file_failure(FailedFile::output, output, errno, "Can't write outputfile (disk full?)"));
    commit_output(m, out, output, replace, made);
    if (m.clone.notes_out_of_range) {
        log_warning(m.log, "\nWarning: %d notes transposed beyond C-0 to B-15 (the notes a Buzz note byte holds) play as C-0",
                  m.clone.notes_out_of_range);
    }
    log_print(m.log, rs.merging ? "\nMerging finished" : "\nTransformation finished");
}

double merge_progress(const Merge& m)
{
    const MergeState& ms = m.state;
    const ReaderState& rs = m.reader;
    if (!ms.started || rs.options.list_generators_only) return -1;
    // How far input k is read: all of it, or of the section being written.
    auto read_of = [&](int k, bool in_section) -> uint64_t {
        FILE* f = rs.input_summaries[k].stream;
        const int64_t pos = f ? platform::stream_position(f) : -1;
        if (pos < 0) return 0;
        if (!in_section) return uint64_t(pos);
        const InputSummary& s = rs.input_summaries[k];
        const int64_t start = s.section_start[ms.section_writing];
        return uint64_t(std::clamp<int64_t>(pos - start, 0, s.section_length[ms.section_writing]));
    };
    double f = 0;
    if (!ms.writing) {
        if (ms.input_bytes) f = 0.2 * double(read_of(1, false) + read_of(2, false)) / double(ms.input_bytes);
    } else if (ms.section_bytes_total) {
        uint64_t done = ms.section_bytes_done;
        if (ms.section_writing) done += read_of(1, true) + read_of(2, true);
        f = 0.2 + 0.8 * double(done) / double(ms.section_bytes_total);
    } else {
        f = 0.2;
    }
    return std::clamp(f, 0.0, 1.0);
}

int merge_is_merging(const Merge& m) { return m.reader.merging; }
