// The clone of a generator, the source's transposition and the ES-9 data rip.
#include "transform/machine_tools.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "buzz/machines_ini.h"
#include "buzz/write_primitives.h"
#include "core/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "songwriter/generators.h"
#include "transform/merge.h"


namespace {

constexpr const char* es9_data_name = "es-9.dat";
constexpr float clone_x = 0.9f;
constexpr float clone_y = -0.9f;
constexpr int clone_tick_byte = 6;

const MachineDescription& description_of(const Merge& m, int machine)
{
    const InputSummary& in = m.reader.input_summaries[1];
    return m.machines.machine_descriptions[in.machine_list[machine].description];
}
const MachineDescription& destination(const Merge& m) { return m.machines.machine_descriptions[m.clone.destination]; }

// The byte at 1-based position p of a row of `size` bytes, or nullptr when the row has none there.
template <class T>
T* at_position(T* row, int size, int p)
{
    return p >= 1 && p <= size ? row + (p - 1) : nullptr;
}

void put_clone(Merge& m, const uint8_t* bytes, size_t n)
{
    if (n && std::fwrite(bytes, 1, n, m.clone.patterns.get()) != n)
        job_abort("Can't write temporary file (disk full?)");
}

void put_clone_word(Merge& m, unsigned w)
{
    const uint8_t b[2] = {uint8_t(w), uint8_t(w >> 8)};
    put_clone(m, b, 2);
}

// The destination's empty global (part 0) or track (part 1) row, `count` times.
void put_empty_rows(Merge& m, int part, int count)
{
    const MachineDescription& d = destination(m);
    const uint8_t* row = part == 0 ? d.empty_bytes : d.empty_bytes + d.global_bytes;
    const size_t n = size_t(part == 0 ? d.global_bytes : d.track_bytes);
    for (int i = 0; i < count; ++i) put_clone(m, row, n);
}

// es-9.dat could not be written: the job ends with the file's name and the reason.
[[noreturn]] void es9_failed(Merge& m, int error)
{
    m.clone.es9.discard();
    Failure f = write_refused(FailedFile::es9_data, es9_data_name,
                              error == EEXIST ? "exists; -y (--force) replaces it" : platform::error_text(error ? error : EIO));
    log_forced(m.log, "\n"); // the error on a line of its own, after the merge's progress
    job_abort(std::move(f));
}

} // namespace

void machine_tools_start(Merge& m, int first_song_machines, int rows, const std::string& beside, platform::NewFiles* made)
{
    CloneState& c = m.clone;
    machine_tools_forget(m);
    c.made = made;
    c.notes_out_of_range = 0;
    c.source = m.settings.clone_source;
    c.destination = c.source != 0 ? m.settings.clone2 : 0;
    c.rows = rows;
    if (c.source == 0) return;
    if (c.source < 0 || c.source >= first_song_machines)
        job_abort("No generator choosen, reselect source machine");
    if (c.destination == 0) return;
    const MachineDescription* d = machine_description(m.machines, c.destination);
    if (!d || d->type != 1) job_abort("Clone destination is no generator, check machines.ini!!");
    if (m.settings.clone_wave < 0 || m.settings.clone_wave > 255)
        job_abort("The clone's wave number must be 0 to 255!!");
    if (!c.patterns.create(beside, ".tmp", "w+b")) {
        log_forced(m.log, "\n Could not open temporary file for writing: %s", (beside + ".*.tmp").c_str());
        job_abort(" ");
    }
}

void machine_tools_forget(Merge& m)
{
    CloneState& c = m.clone;
    c.patterns.discard();
    c.es9.discard();
    c.source = c.destination = 0;
    c.rows = 1;
    c.name.clear();
    c.made = nullptr;
}

void machine_tools_data(Merge& m, int machine, const uint8_t* data, size_t size, uint32_t offset, uint32_t total)
{
    CloneState& c = m.clone;
    if (!m.settings.rip_es9 || c.source == 0 || machine != c.source) return;
    if (m.reader.input_summaries[1].machine_list[machine].description != role_es9) return;
    // Written under a scratch name and given its name when the block is complete: an ES-9 clone
    // of this merge reads it.
    errno = 0;
    if (offset == 0 && !c.es9.create(es9_data_name, ".part")) es9_failed(m, errno);
    if (!c.es9.get()) return;
    if (size && std::fwrite(data, 1, size, c.es9.get()) != size) es9_failed(m, errno);
    if (offset + size == total) {
        const int e = c.es9.commit(es9_data_name, m.settings.replace_files != 0, c.made);
        if (e) es9_failed(m, e);
    }
}

std::string clone_machine_name(const Merge& m)
{
    if (!m.clone.name.empty()) return m.clone.name;
    char name[48];
    std::snprintf(name, sizeof name, "Clone %s", destination(m).short_name);
    return name;
}

void clone_write_machine(Merge& m, int tracks)
{
    const CloneState& c = m.clone;
    if (c.destination == 0) return;
    // The generator catalogue writes the record through the song write primitives.
    Writer clone_writer{1, 0, m.reader.merge_stream};
    write_generator_machine(clone_writer, m.machines, m.settings, c.destination, tracks, clone_x, clone_y,
                            clone_machine_name(m).c_str(), clone_tick_byte);
}

void clone_pattern_header(Merge& m, uint16_t patterns, uint16_t tracks)
{
    CloneState& c = m.clone;
    c.note = c.wave = c.byte4 = c.byte5 = 0;
    c.volume = 255;
    if (c.destination == 0) return;
    put_clone_word(m, patterns);
    put_clone_word(m, tracks);
}

void clone_pattern_lines(Merge& m, const char* name, uint16_t lines)
{
    if (m.clone.destination == 0) return;
    put_clone(m, reinterpret_cast<const uint8_t*>(name), std::strlen(name) + 1);
    put_clone_word(m, lines);
}

void source_row(Merge& m, const RowPlace& at, uint8_t* bytes, int size)
{
    CloneState& c = m.clone;
    if (at.kind != row_track) return;
    const MachineDescription& s = description_of(m, at.machine);
    // Taken before the source's own transposition: the clone transposes from the original notes.
    if (const uint8_t* p = at_position(bytes, size, s.note_byte)) c.note = *p;
    if (const uint8_t* p = at_position(bytes, size, s.volume_byte)) c.volume = *p;
    if (const uint8_t* p = at_position(bytes, size, s.wave_byte)) c.wave = *p;
    if (m.reader.input_summaries[1].machine_list[at.machine].description == role_tracker) {
        if (size >= 4) c.byte4 = bytes[3];
        if (size >= 5) c.byte5 = bytes[4];
    }
    if (m.settings.mtranspo != 0)
        if (uint8_t* p = at_position(bytes, size, s.note_byte))
            *p = transpose_note(*p, m.settings.mtranspo, &c.notes_out_of_range);
}

void clone_after_row(Merge& m, const RowPlace& at, const uint8_t* bytes, int size)
{
    CloneState& c = m.clone;
    if (c.destination == 0 || at.kind == row_input) return; // the clone has no inputs
    const MachineDescription& d = destination(m);
    if (at.kind == row_global) {
        const bool tracker_to_tracker =
            c.destination == role_tracker &&
            m.reader.input_summaries[1].machine_list[at.machine].description == role_tracker;
        if (tracker_to_tracker) {
            // The Tracker has one global byte, its ticks per row: the clone keeps the source's.
            uint8_t row[machine_max_bytes];
            std::memset(row, size > 0 ? bytes[size - 1] : 0, sizeof row);
            put_clone(m, row, size_t(d.global_bytes));
        } else {
            put_empty_rows(m, 0, 1);
        }
        put_empty_rows(m, 0, c.rows - 1);
        return;
    }
    uint8_t row[machine_max_bytes];
    const int n = d.track_bytes;
    std::memcpy(row, d.empty_bytes + d.global_bytes, size_t(n));
    if (uint8_t* p = at_position(row, n, d.note_byte))
        *p = m.settings.clone_trans != 0 ? transpose_note(c.note, m.settings.clone_trans, &c.notes_out_of_range) : c.note;
    if (c.note != 0 || c.wave != 0)
        if (uint8_t* p = at_position(row, n, d.wave_byte))
            *p = m.settings.clone_wave != 0 ? uint8_t(m.settings.clone_wave) : c.wave;
    if (uint8_t* p = at_position(row, n, d.volume_byte)) *p = c.volume;
    if (c.destination == role_tracker) {
        if (c.byte4 != 0 && n >= 4) row[3] = c.byte4;
        if (c.byte5 != 0 && n >= 5) row[4] = c.byte5;
    }
    put_clone(m, row, size_t(n));
    put_empty_rows(m, 1, c.rows - 1);
}

void clone_append_patterns(Merge& m)
{
    CloneState& c = m.clone;
    if (c.destination == 0) return;
    FILE* f = c.patterns.get();
    const int64_t length = f ? platform::stream_position(f) : -1;
    // Nothing was written when the first song has no pattern section to take the rows from.
    if (length <= 0 || !c.patterns.flush_ok()) job_abort("Where is the temporary PATT-file???");
    merge_stream_flush(m.reader);
    if (platform::copy_file_region(f, 0, m.reader.merge_stream, uint64_t(length)) != uint64_t(length))
        job_abort("Can't write temporary file (disk full?)");
    c.patterns.discard();
}
