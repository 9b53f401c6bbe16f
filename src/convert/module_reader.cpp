// Pieces the XM and the MOD reader share: the start of a module run, the pattern table and the
// machine layout by split mode, and the hand-over of each decoded cell to the effect translation.
//
// Start of a module file:
//     0  17  "Extended Module: " in an XM; a MOD has no signature there
//     0  20  (MOD) / 17 20 (XM): the module name
#include "convert/module_reader.h"

#include <cstring>

#include "convert/module_formats.h"
#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "song/song.h"

namespace {

// "NN...": the channel limit the outside MIDI converter puts in front of the module name.
int midi_channel_limit(const char* name)
{
    int n = 0;
    for (int k = 0; k < 2 && name[k] >= '0' && name[k] <= '9'; ++k) n = n * 10 + (name[k] - '0');
    return n;
}

} // namespace

ReadPass module_read_pass(const Conversion& c)
{
    const Song& sg = c.song;
    ReadPass pass;
    pass.counting = sg.counting_pass != 0;
    pass.first = sg.pass_number == 0 && !pass.counting;
    pass.second = sg.pass_number != 0 && !pass.counting;
    pass.listing = pass.second && c.settings.dolist;
    return pass;
}

bool read_module_start(Conversion& c, FILE* in, const ReadPass& pass)
{
    Song& sg = c.song;
    // The driver gives every conversion these two tables; a run without them gets its own.
    if (!sg.order_list) {
        sg.order_list = pool_array<OrderEntry>(c.pool, order_list_size);
        for (int i = 0; i < order_list_size; ++i) sg.order_list[i].pattern = i;
    }
    if (!sg.wave_map) {
        sg.wave_map = pool_array<int>(c.pool, wave_map_size);
        for (int i = 0; i < wave_map_size; ++i) sg.wave_map[i] = i;
    }

    sg.channel_count = 4;
    c.log.log_enabled = 2;
    std::fseek(in, 0, SEEK_SET);
    uint8_t id[xm_magic_size];
    if (std::fread(id, 1, sizeof id, in) < sizeof id) job_abort("File too short");
    const bool xm = is_xm_module(id, sizeof id);
    c.log.log_enabled = pass.first ? 1 : 0;
    log_print(c.log, "%s", xm ? "XM" : "MOD");
    if (!xm) std::fseek(in, 0, SEEK_SET);
    // The content decides, whatever the name said.
    sg.module_format = xm ? InputKind::xm : InputKind::mod;

    char name[21];
    if (std::fread(name, 1, 20, in) < 20) job_abort("Badly formed file: cant read name");
    name[20] = 0;
    std::memcpy(sg.song_name, name, sizeof name);
    log_print(c.log, " name:%s", name);

    if (sg.input_kind == InputKind::midi) {
        sg.channel_limit = midi_channel_limit(name);
        if (pass.first)
            log_print(c.log, "\nMidifile %s,Input restricted to %d tracks\n", sg.converter_input.c_str(),
                      sg.channel_limit);
        sg.tpb_factor = 4;
    }
    return xm;
}

void set_patterns_and_layout(Conversion& c, int file_patterns, const ReadPass& pass)
{
    Song& sg = c.song;
    sg.pattern_count = file_patterns;
    if (sg.pattern_count > max_module_patterns) {
        // Patterns the order table cannot name never play: they are read past.
        sg.pattern_count = max_module_patterns;
        if (pass.first) {
            log_warning(c.log, "\nWarning: the module has %d patterns, its order table names the first %d: %d left out",
                      file_patterns, max_module_patterns, file_patterns - max_module_patterns);
        }
    }
    if (!sg.pattern_table || pass.first)
        sg.pattern_table = pool_array<PatternInfo>(c.pool, size_t(sg.pattern_count));

    int channels = sg.channel_limit ? sg.channel_limit : sg.channel_count;
    switch (c.settings.dotsplit) {
    case Split::one_machine:
        sg.machine_count = 2;
        sg.tracks_per_generator = channels;
        break;
    case Split::by_track:
        sg.machine_count = channels + 1;
        sg.tracks_per_generator = 1;
        break;
    case Split::by_instrument:
        if (pass.first) sg.machine_count = sg.instrument_count + 1;
        break;
    default: break;
    }
}

void hand_cell(Conversion& c, const ReadPass& pass, const CellPlace& at, const TrackerCell& cell)
{
    Song& sg = c.song;
    const int p = at.pattern, r = at.row, ch = at.channel;
    sg.cur_row = r;
    sg.cur_channel = ch;
    if (c.settings.dotsplit == Split::one_machine) {
        sg.cur_machine = 1;
        sg.cur_track = ch;
    } else if (c.settings.dotsplit == Split::by_track) {
        sg.cur_machine = ch + 1;
        sg.cur_track = 0;
    }
    if (p >= sg.pattern_count || (sg.channel_limit && ch >= sg.channel_limit)) return;
    c.log.log_enabled = pass.listing ? 1 : 0;
    if (log_active(c.log))
        log_print(c.log, "%2x %2x %2x %2x %2x  ->", unsigned(cell.note), unsigned(cell.instrument),
                  unsigned(cell.volume), unsigned(cell.effect), unsigned(cell.param));
    translate_cell(c, cell);
}
