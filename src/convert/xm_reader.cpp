// XM module reader. One call per pass over the open file, after read_module_start has read the
// signature and the name. The reader fills the module half of the song and hands every cell to
// the effect translation; the XM instruments come through the instrument reader (instrument_reader.cpp).
//
// XM file (little-endian):
//     0  17  "Extended Module: "
//    17  20  module name
//    37   1  0x1A                         (logged)
//    38  20  tracker name                 (logged)
//    58   2  version                      (logged)
//    60   4  header size                  (logged; the order table follows the BPM field)
//    64   2  song length (entries of the order table in use, 1..256)
//    66   2  restart position             (logged)
//    68   2  channels
//    70   2  patterns
//    72   2  instruments
//    74   2  flags: bit 0 = linear frequency table
//    76   2  default tempo (ticks per row)
//    78   2  default BPM
//    80 256  pattern order table
//   336      patterns, then instruments
// Pattern: dword header length (logged), byte packing type (logged), word rows, word packed
// size, packed cells. A cell starts with byte b: with bit 7 set b is a mask (bit 0 note, 1
// instrument, 2 volume column, 3 effect, 4 parameter; absent fields are 0), otherwise b is the
// note and the four other fields follow.
#include "convert/xm_reader.h"

#include <cstring>
#include <string>
#include <vector>

#include "convert/effects.h"
#include "convert/instrument_reader.h"
#include "convert/module_formats.h"
#include "convert/module_reader.h"
#include "core/byteio.h"
#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "song/song.h"

namespace {

constexpr int xm_order_entries = 256;

} // namespace

void read_xm(Conversion& c, FILE* in, const ReadPass& pass)
{
    Song& sg = c.song;
    // The whole header once more from the start, as the console's check of an input reads it.
    uint8_t head[xm_header_bytes];
    if (!stream_seek(in, 0)) job_abort("Badly formed XM file: cant read tag");
    const size_t got = read_bytes(in, head, sizeof head);
    if (got < xm_fields_offset) job_abort("Badly formed XM file: cant read tag");
    const unsigned marker = head[37];
    char tracker[21];
    std::memcpy(tracker, head + 38, 20);
    tracker[20] = 0;
    const XmHeader h = xm_header(head);
    const unsigned length = h.length, channels = h.channels, patterns = h.patterns, instruments = h.instruments;

    c.log.log_enabled = pass.first ? 1 : 0;
    log_print(c.log, " %x tracker:%s version:%x hsize:%lx", marker, tracker, h.version,
              static_cast<unsigned long>(h.header_size));
    log_print(c.log, "\nsong: %x  rest: %x  channels: %x  patterns: %x  instruments: %x", length,
              h.restart, channels, patterns, instruments);
    log_print(c.log, "\nflags: %x  tempo: %x  bpm: %x\n", h.flags, h.tempo, h.bpm);

    // A cut header, or counts that would size the song beyond what it can hold, end the job here,
    // before they drive any allocation or loop.
    if (const std::string problem = xm_header_problem(head, got); !problem.empty())
        job_abort(("XM-file " + problem + "!!").c_str());

    // The order table has 256 entries; a longer song is cut to them.
    int song_length = int(length < unsigned(order_list_size) ? length : unsigned(order_list_size));
    if (c.settings.dosminus && song_length > 0) --song_length;
    sg.song_length = song_length;
    sg.channel_count = int(channels);
    sg.instrument_count = int(instruments);
    sg.frequency_mode = int(h.flags & 1) + 1;
    sg.speed = sg.start_speed = int(h.tempo);
    sg.bpm = sg.start_bpm = int(h.bpm);

    log_print(c.log, "\norder:");
    for (int i = 0; i < xm_order_entries; ++i) {
        unsigned entry = read_byte(in);
        if (entry >= patterns) {
            entry = patterns - 1;
            log_print(c.log, "!");
        }
        sg.order_list[i].pattern = int(entry);
        if (i < song_length) log_print(c.log, " %x", entry);
    }

    set_patterns_and_layout(c, int(patterns), pass);

    // Packed cells of one pattern, read in one go; a cell may start in the last byte and read
    // four more, which stay zero here (such a cell ends the job below).
    std::vector<uint8_t> packed;
    for (unsigned p = 0; p < patterns; ++p) {
        c.log.log_enabled = pass.listing ? 1 : 0;
        if (log_active(c.log)) log_print(c.log, "\npatt: %x", p);
        uint32_t head = read_dword_le(in);
        unsigned packing = read_byte(in);
        unsigned rows = read_word_le(in);
        unsigned packed_size = read_word_le(in);
        if (log_active(c.log))
            log_print(c.log, " head: %lx form: %x lines: %x size: %x\n", static_cast<unsigned long>(head),
                      packing, rows, packed_size);
        if (rows > unsigned(max_pattern_lines)) job_abort("XM-pattern has too many lines!");
        if (p < unsigned(sg.pattern_count)) {
            sg.cur_pattern = int(p);
            sg.pattern_table[p].lines = int(rows);
        }
        log_repaint(c.log);
        if (pass.first) {
            // The first pass needs the row counts only: the cells are passed over by their size.
            skip_bytes(in, packed_size);
            continue;
        }
        packed.assign(size_t(packed_size) + 5, 0);
        read_bytes(in, packed.data(), packed_size);
        const uint8_t* cell = packed.data();
        // Once the packed data is used up, every following cell of the pattern is empty.
        unsigned used = 0;
        for (unsigned r = 0; r < rows && used != packed_size; ++r) {
            for (unsigned ch = 0; ch < channels && used != packed_size; ++ch) {
                int field[5] = {0, 0, 0, 0, 0};
                const uint8_t* q = cell + used;
                unsigned b = *q++;
                if (b & 0x80) {
                    for (int k = 0; k < 5; ++k)
                        if (b & (1u << k)) field[k] = *q++;
                } else {
                    field[0] = int(b);
                    for (int k = 1; k < 5; ++k) field[k] = *q++;
                }
                used = unsigned(q - cell);
                // A cell may not run past the packed data: the next pattern would be read from
                // the wrong place.
                if (used > packed_size) job_abort("Wrong XM-pattern size!");
                hand_cell(c, pass, {int(p), int(r), int(ch)}, {field[0], field[1], field[2], field[3], field[4]});
            }
        }
        c.log.log_enabled = pass.listing ? 1 : 0;
        if (log_active(c.log)) log_print(c.log, "Size: %x (%x)", used, packed_size);
    }

    if (pass.counting) return;
    read_instruments(c, in, 0);
}
