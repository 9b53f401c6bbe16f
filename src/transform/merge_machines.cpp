// Machines and connections of a merge or transformation: MACH (the second song's master left out,
// positions scaled, the master's tempo times the blow-up factor, the second song's machines and
// the clone under names no other machine has) and CONN (the second song's connections renumbered
// behind the first song's machines, those into its master now into the output's; the clone's
// connections, copied from its source's).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "buzz/machines_ini.h"
#include "core/byteio.h"
#include "core/log.h"
#include "transform/machine_tools.h"
#include "transform/merge_stages.h"

namespace merge_stage {

namespace {

constexpr uint64_t max_attributes = 20; // a count above this is garbage: the reader takes one

// One record of MACH read past at the reader's position, nothing passed on: its name (the first
// name_size - 1 characters), type and library, and its description; -1 when machines.ini does not
// describe its library, -2 when the record does not fit in the section.
int read_past_machine(Merge& m, char* name, size_t name_size, uint8_t* type, char (&dll)[256])
{
    ReaderState& rs = m.reader;
    take_text(rs, name, name_size);
    *type = hold_byte(rs);
    int index = role_master;
    dll[0] = 0;
    if (*type != 0) {
        const size_t n = take_text(rs, dll, sizeof dll);
        index = n < sizeof dll - 1 ? find_machine_description(m.machines, dll) : -1;
        if (index < 0) return -1;
    }
    const MachineDescription* d = machine_description(m.machines, index);
    if (!d && index != role_master) return -1;
    // A record cut by the section's end reads on as filler past it (past_end), skips stop there.
    rs.in.skip(8); // x, y
    rs.in.skip(hold_dword(rs)); // the data block
    const uint16_t attributes = hold_word(rs);
    for (int a = 0; a < attributes; ++a) {
        take_text(rs, nullptr, 0);
        hold_dword(rs);
        if (attributes > max_attributes) break;
    }
    const uint64_t globals = uint64_t(d ? d->global_bytes : master_global_bytes);
    rs.in.skip(globals);
    const uint64_t tracks = hold_word(rs);
    rs.in.skip(tracks * uint64_t(d ? d->track_bytes : 0));
    return rs.in.past_end() ? -2 : index;
}

} // namespace

void skip_second_master(Merge& m)
{
    ReaderState& rs = m.reader;
    const int saved_forward = rs.forward;
    rs.forward = 0;
    uint8_t type = 0;
    char dll[256];
    const int d = read_past_machine(m, nullptr, 0, &type, dll);
    if (type != 0) job_abort("The second song does not begin with its master!!");
    if (d < 0) job_abort(msg_mach_size);
    rs.forward = saved_forward;
}

namespace {

bool keep_machine(void* user, int machine) { Merge& m = merge_of(user); return !(current(m) == 2 && machine == 0); }

void scale_position(void* user, int, float* x, float* y)
{
    Merge& m = merge_of(user);
    if (first_input(m) ? m.settings.do_mscale1 : m.settings.do_mscale2) {
        // The first song's machines move to -1..0, the second's to 0..1.
        const float shift = first_input(m) ? -1.0f : 1.0f;
        *x = (*x + shift) / 2.0f;
        *y = (*y + shift) / 2.0f;
    }
}

} // namespace

// A tempo word (beats per minute) times the blow-up factor; 0xFFFF in a pattern row means "no
// change" and stays.
void multiply_tempo(Merge& m, uint8_t* word, bool pattern_row)
{
    const uint32_t tempo = word[0] | uint32_t(word[1]) << 8;
    if (pattern_row && tempo == 0xFFFF) return;
    const uint64_t blown = uint64_t(tempo) * uint64_t(m.state.blow);
    if (blown > 0xFFFF)
        refuse("Tempo %u times %d is more than 65535, use a smaller blow-up factor!!", unsigned(tempo),
               m.state.blow);
    word[0] = uint8_t(blown);
    word[1] = uint8_t(blown >> 8);
}

namespace {

void master_state(void* user, int machine, uint8_t* state, int size)
{
    Merge& m = merge_of(user);
    if (first_input(m) && machine == 0 && m.state.blow > 1 && size >= 4) multiply_tempo(m, state + 2, false);
}

// The second song's machines follow the first song's; its master is the output's master, so a
// connection into it stays one.
bool shift_connection(void* user, uint16_t* source, uint16_t* destination, uint16_t*, uint16_t*)
{
    Merge& m = merge_of(user);
    if (current(m) != 2) return true;
    *source = uint16_t(*source + m.state.machine_shift);
    if (*destination != 0) *destination = uint16_t(*destination + m.state.machine_shift);
    return true;
}

const char* machine_name(void* user, int machine)
{
    Merge& m = merge_of(user);
    const std::vector<std::string>& names = m.state.second_names;
    if (current(m) != 2 || size_t(machine) >= names.size() || names[size_t(machine)].empty()) return nullptr;
    return names[size_t(machine)].c_str();
}

// Counting pass: the connections the output gains.
bool count_connection(void* user, uint16_t* source, uint16_t* destination, uint16_t* amplitude, uint16_t* panning)
{
    Merge& m = merge_of(user);
    MergeState& ms = m.state;
    if (current(m) == 2 && *destination == 0) ms.second_master_sources.push_back(*source);
    if (first_input(m) && m.settings.clone_source != 0 && m.settings.clone2 != 0 && *source == m.settings.clone_source)
        ms.clone_connections.push_back(MergeState::Connection{*destination, *amplitude, *panning});
    return true;
}

// The names of input `input`'s machines, from its MACH read past once more; false (with the
// reason) when machines.ini does not describe them all, so that the records cannot be walked.
bool machine_names(Merge& m, int input, std::vector<std::string>& names, std::string& why)
{
    ReaderState& rs = m.reader;
    const InputSummary& in = summary(m, input);
    rs.in = SectionReader::at(in.stream, in.section_start[sec_mach], in.section_length[sec_mach]);
    const int saved_forward = rs.forward;
    rs.forward = 0;
    const uint16_t count = hold_word(rs);
    for (int k = 0; k < count; ++k) {
        char name[machine_name_chars + 1];
        uint8_t type = 0;
        char dll[256];
        const int d = read_past_machine(m, name, sizeof name, &type, dll);
        if (d < 0) {
            why = d == -1 ? std::string(dll) + " is not in machines.ini" : "its machines do not match machines.ini";
            break;
        }
        names.emplace_back(name);
    }
    rs.forward = saved_forward;
    return names.size() == count;
}

// A name as the song readers compare it: its first characters, letters in either case.
std::string name_key(const std::string& name)
{
    std::string k = name.substr(0, machine_name_chars);
    for (char& c : k)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return k;
}

// `name` when it is free, else the first free "NAME 2", "NAME 3", ..., its name shortened so that
// the whole stays within what the readers keep. The name returned is taken from then on.
std::string free_name(std::set<std::string>& taken, const std::string& name)
{
    std::string out = name;
    for (int n = 2; taken.count(name_key(out)); ++n) {
        char suffix[16], with[machine_name_chars + 1];
        const int digits = std::snprintf(suffix, sizeof suffix, " %d", n);
        std::snprintf(with, sizeof with, "%.*s%s", int(machine_name_chars) - digits, name.c_str(), suffix);
        out = with;
    }
    taken.insert(name_key(out));
    return out;
}

} // namespace

void plan_machine_names(Merge& m)
{
    MergeState& ms = m.state;
    const bool merging = m.reader.merging != 0;
    if (!merging && m.clone.destination == 0) return;
    std::vector<std::string> names[3];
    bool known[3] = {};
    for (int i = 1; i <= (merging ? 2 : 1); ++i) {
        std::string why;
        known[i] = machine_names(m, i, names[i], why);
        if (!known[i] && (merging || i == 2)) {
            log_warning(m.log, "\nWarning: the names of the machines of %s are not checked for clashes, %s!",
                      ms.songs[i].c_str(), why.c_str());
        }
    }
    std::set<std::string> taken;
    for (const std::string& n : names[1]) taken.insert(name_key(n));
    m.log.log_enabled = 1;
    if (merging && known[1] && known[2]) {
        // The second song's master is the output's: its name does not count.
        ms.second_names.assign(names[2].size(), std::string());
        for (size_t k = 1; k < names[2].size(); ++k) {
            const std::string name = free_name(taken, names[2][k]);
            if (name == names[2][k]) continue;
            ms.second_names[k] = name;
            log_print(m.log, "\nMachine %s of %s renamed %s, its name is taken", names[2][k].c_str(),
                      ms.songs[2].c_str(), name.c_str());
        }
    } else {
        for (size_t k = 1; k < names[2].size(); ++k) taken.insert(name_key(names[2][k]));
    }
    if (m.clone.destination != 0) {
        const std::string wanted = clone_machine_name(m);
        m.clone.name = free_name(taken, wanted);
        if (m.clone.name != wanted) log_print(m.log, "\nThe clone is named %s, %s is taken", m.clone.name.c_str(), wanted.c_str());
    }
    if (std::all_of(ms.second_names.begin(), ms.second_names.end(), [](const std::string& n) { return n.empty(); }))
        ms.second_names.clear();
}

// The clone's connections, behind every other: the source's, with the clone as their source.
void write_clone_connections(Merge& m)
{
    if (m.clone.destination == 0) return;
    const unsigned clone = unsigned(summary(m, 0).machines - 1);
    for (const MergeState::Connection& c : m.state.clone_connections) {
        emit_word(m.reader, clone);
        emit_word(m.reader, c.destination);
        emit_word(m.reader, c.amplitude);
        emit_word(m.reader, c.panning);
    }
}

void set_counting_machine_hooks(ReaderHooks& h) { h.connection = count_connection; }

void set_machine_hooks(Merge& m, ReaderHooks& h)
{
    h.machine_begin = keep_machine;
    h.machine_name = machine_name;
    if (m.settings.do_mscale1 || m.settings.do_mscale2) h.machine_position = scale_position;
    h.machine_globals = master_state;
    h.connection = shift_connection;
}

} // namespace merge_stage
