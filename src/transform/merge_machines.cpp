// Machines and connections of a merge or transformation: MACH (the second song's master left out,
// positions scaled, the master's tempo times the blow-up factor) and CONN (the second song's
// connections renumbered behind the first song's machines).
#include <cstdint>

#include "buzz/machines_ini.h"
#include "core/log.h"
#include "transform/merge_stages.h"

namespace merge_stage {

void skip_second_master(Merge& m)
{
    ReaderState& rs = m.reader;
    const int saved_forward = rs.forward;
    rs.forward = 0;
    take_text(m.reader, nullptr, 0);
    if (hold_byte(m.reader) != 0) job_abort("The second song does not begin with its master!!");
    hold_skip(m.reader, 8, msg_mach_size); // x, y
    hold_skip(m.reader, hold_dword(m.reader), msg_mach_size);
    const uint16_t attributes = hold_word(m.reader);
    for (int a = 0; a < attributes; ++a) {
        take_text(m.reader, nullptr, 0);
        hold_dword(m.reader);
        if (attributes > 20) break; // as the reader takes such a count
    }
    const MachineDescription* d = machine_description(m.machines, role_master);
    hold_skip(m.reader, uint64_t(d ? d->global_bytes : master_global_bytes), msg_mach_size);
    const uint16_t tracks = hold_word(m.reader);
    hold_skip(m.reader, uint64_t(tracks) * uint64_t(d ? d->track_bytes : 0), msg_mach_size);
    if (rs.in.at_eof() || rs.in.pos > rs.in.end) job_abort(msg_mach_size);
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

bool shift_connection(void* user, uint16_t* source, uint16_t* destination, uint16_t*, uint16_t*)
{
    Merge& m = merge_of(user);
    if (current(m) != 2) return true;
    if (*destination == 0) return false; // the second song's master is gone
    *source = uint16_t(*source + m.state.machine_shift);
    *destination = uint16_t(*destination + m.state.machine_shift);
    return true;
}

} // namespace

void set_machine_hooks(Merge& m, ReaderHooks& h)
{
    h.machine_begin = keep_machine;
    if (m.settings.do_mscale1 || m.settings.do_mscale2) h.machine_position = scale_position;
    h.machine_globals = master_state;
    h.connection = shift_connection;
}

} // namespace merge_stage
