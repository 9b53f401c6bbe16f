// MOD module reader: the part of a module run after the name when the file is not an XM.
//
// MOD file (big-endian):
//      0   20  song name
//     20  930  31 sample headers of 30 bytes (a 15-sample module has 15, then its song header
//              at offset 470)
//    950    1  song length (entries of the order table in use, 0..128)
//    951    1  restart byte (logged)
//    952  128  pattern order table
//   1080    4  tag: the channel count (mod_tag_channels in input_formats.h); anything else:
//              a 15-sample module without a tag
//   1084       patterns of 64 rows x channels x 4 bytes, then the sample data (8-bit signed)
// Sample header: 22 bytes name, word length (words), byte finetune (low 4 bits, signed),
// byte volume (0..64), word loop start (words), word loop length (words).
// Cell: b0..b3; period = (b0 & 0x0F) * 256 + b1, instrument = (b0 & 0xF0) + (b2 >> 4),
// effect = b2 & 0x0F, parameter = b3.
//
// The sample data of every sample with a wave becomes 16-bit values (byte times 256) in the WAVE
// data, laid out through the WAVE layout of songwriter/wave_data.h as XM instruments are; the wave
// index of an entry is its wave number - 1.
#include "convert/mod_reader.h"

#include <cstring>
#include <vector>

#include "convert/module_formats.h"
#include "core/byteio.h"
#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "song/song.h"
#include "songwriter/wave_data.h"
#include "songwriter/xi_file.h"

namespace {

constexpr int mod_samples = 31;
constexpr int mod_table_records = 32;
constexpr int mod_order_entries = 128;
constexpr int mod_rows = 64;
constexpr long mod_header15_offset = 20 + 15 * 30; // the song header of a 15-sample module

// Song length, restart byte and order table; returns the number of patterns (highest entry + 1).
int read_song_header(Conversion& c, FILE* in)
{
    Song& sg = c.song;
    unsigned length = read_byte(in);
    unsigned restart = read_byte(in);
    log_print(c.log, "\nsong: %x  rest: %x", length, restart);
    // Only 128 order entries exist in a MOD.
    sg.song_length = int(length < unsigned(mod_order_entries) ? length : unsigned(mod_order_entries));
    int highest = 0;
    for (int i = 0; i < mod_order_entries; ++i) {
        int entry = read_byte(in);
        sg.order_list[i].pattern = entry;
        if (entry > highest) highest = entry;
    }
    log_print(c.log, "\n%02x patterns\n", unsigned(highest + 1));
    return highest + 1;
}

// Pattern cells of the whole module; the first pass needs the row counts only and passes over
// the cells.
void read_patterns(Conversion& c, FILE* in, const ReadPass& pass, int patterns)
{
    Song& sg = c.song;
    const int channels = sg.channel_count;
    const size_t pattern_bytes = size_t(mod_rows) * size_t(channels) * 4;
    std::vector<uint8_t> cells(pattern_bytes);
    for (int p = 0; p < patterns; ++p) {
        c.log.log_enabled = pass.listing ? 1 : 0;
        if (log_active(c.log)) log_print(c.log, "\npatt: %x", unsigned(p));
        if (p < sg.pattern_count) {
            sg.cur_pattern = p;
            sg.pattern_table[p].lines = mod_rows;
        }
        log_repaint(c.log);
        if (pass.first) {
            skip_bytes(in, pattern_bytes);
            continue;
        }
        read_bytes(in, cells.data(), pattern_bytes);
        const uint8_t* b = cells.data();
        for (int r = 0; r < mod_rows; ++r) {
            for (int ch = 0; ch < channels; ++ch, b += 4) {
                int period = (b[0] & 0x0F) * 256 + b[1];
                int instrument = (b[0] & 0xF0) + (b[2] >> 4);
                hand_cell(c, pass, {p, r, ch}, {period, instrument, 0, b[2] & 0x0F, b[3]});
            }
        }
        c.log.log_enabled = pass.listing ? 1 : 0;
        if (log_active(c.log)) log_print(c.log, "Size: %x (%x)", unsigned(pattern_bytes), unsigned(pattern_bytes));
    }
}

// Sample data: counted in the first pass, laid out for the WAVE data in the second (each wave's
// entry, where its bytes lie); the song writer reads them from there. Every wave gets its entry
// even when the file ends early: the waves the file no longer holds get one silent value, like a
// sample of 2 bytes or less.
void read_sample_data(Conversion& c, FILE* in, const ReadPass& pass)
{
    Song& sg = c.song;
    const bool lay_out = pass.second;
    if (lay_out) begin_wave_layout(c, 0, sg.instrument_count);
    bool eof = false;
    for (int i = 0; i < sg.instrument_count; ++i) {
        InstrumentRecord& ins = sg.instrument_table[i];
        SampleRecord& s = ins.samples[0];
        const uint32_t length = uint32_t(s.length);
        if (!ins.wave_number) {
            // No wave, but its bytes are still there: the next sample starts after them.
            if (!eof) skip_bytes(in, length);
            continue;
        }
        if (pass.first) ins.wave_bytes = 0;
        if (lay_out) {
            lay_out_wave_entry(ins, ins.wave_number - 1, 0);
            clear_sample_layout(s);
        }
        bool silent = eof || length <= 2;
        if (!eof && length <= 2) {
            skip_bytes(in, length);
            if (stream_eof(in)) eof = true;
        } else if (!eof) {
            const int64_t start = stream_position(in);
            const uint64_t left = bytes_remaining(in);
            const uint64_t done = length <= left ? length : left;
            skip_bytes(in, length);
            if (done < length) {
                c.log.log_enabled = 2;
                log_print(c.log, "EOF!!! reading sample %d byte %d", i, int(done));
                sg.ended_early = 1;
                eof = true;
                s.length = int(done);
                silent = done == 0;
            }
            if (pass.first && !silent) ins.wave_bytes += int(2 * done);
            if (lay_out && !silent) lay_out_sample_data(s, start, uint32_t(done), coding_signed8);
            if (pass.second && c.settings.dowave == Waves::bmw) {
                // A BMW song: the sample becomes an XI instrument file like an XM's instruments.
                const int64_t after = stream_position(in);
                export_mod_sample_xi(c, i, in, start, uint32_t(done));
                std::fseek(in, long(after), SEEK_SET);
                if (eof) skip_bytes(in, 1); // keeps the end-of-file state the cut data gave
            }
        } else if (pass.second && c.settings.dowave == Waves::bmw) {
            export_mod_sample_xi(c, i, in, stream_position(in), 0);
        }
        if (silent && pass.first) ins.wave_bytes += 2;
        if (silent && lay_out) lay_out_silent_sample(s);
        s.odd_length = uint8_t(s.length & 1);
        clip_sample_loop(s, 2); // a MOD loop of 2 bytes or less is no loop
    }
}

} // namespace

void read_mod(Conversion& c, FILE* in, const ReadPass& pass)
{
    Song& sg = c.song;
    sg.frequency_mode = freq_mod_period;
    if (!sg.instrument_table || pass.first) {
        sg.instrument_table = pool_array<InstrumentRecord>(c.pool, mod_table_records);
        for (int i = 0; i < mod_table_records; ++i)
            sg.instrument_table[i].samples = pool_array<SampleRecord>(c.pool, 1);
    }

    c.log.log_enabled = pass.first && c.settings.dolist ? 1 : 0;
    long header15 = mod_header15_offset;
    int waves = 0;
    for (int i = 0; i < mod_samples; ++i) {
        if (i == 15) header15 = stream_tell(in);
        InstrumentRecord& ins = sg.instrument_table[i];
        SampleRecord& s = ins.samples[0];
        char name[23];
        if (std::fread(name, 1, 22, in) < 22) job_abort("cannot read sample headers");
        name[22] = 0;
        std::memcpy(ins.name, name, sizeof name);
        uint32_t length = uint32_t(read_word_be(in)) * 2;
        unsigned finetune = read_byte(in) & 0x0F;
        unsigned volume = read_byte(in);
        uint32_t loop_start = uint32_t(read_word_be(in)) * 2;
        uint32_t loop_length = uint32_t(read_word_be(in)) * 2;
        if (length > 2 || c.settings.dowave == Waves::bmx) {
            ++waves;
            sg.wave_map[i + 1] = waves;
            ins.wave_number = waves;
            ins.sample_count = 1;
        } else {
            sg.wave_map[i + 1] = 0;
            ins.wave_number = 0;
            ins.sample_count = 0;
        }
        s.length = int(length);
        s.finetune = (finetune > 7 ? int(finetune) - 16 : int(finetune)) * 16;
        s.volume = int(volume);
        s.is_16bit = 0;
        s.relative_note = 0;
        s.loop_start = int(loop_start);
        s.loop_length = loop_length <= 2 ? 0 : int(loop_length);
        s.is_looping = loop_length > 2;
        s.odd_length = 0;
        clip_sample_loop(s, 2); // a MOD loop of 2 bytes or less is no loop
        log_print(c.log, "\n%2x:%-22s len:%lx tun:%d vol:%x loop:%lx+%lx", unsigned(i), ins.name,
                  static_cast<unsigned long>(length), s.finetune, volume,
                  static_cast<unsigned long>(loop_start), static_cast<unsigned long>(loop_length));
    }
    sg.wave_count = waves;
    sg.instrument_count = mod_samples;

    c.log.log_enabled = pass.first ? 1 : 0;
    int patterns = read_song_header(c, in);
    uint8_t tag[4];
    if (std::fread(tag, 1, 4, in) < 4) job_abort("cannot read tag");
    int channels = mod_tag_channels(tag);
    if (channels) {
        sg.channel_count = channels;
    } else {
        // A 15-sample module: what was read as headers 15 to 30 belongs to its song header and
        // patterns, so those records get no wave.
        sg.instrument_count = 15;
        waves = 0;
        for (int i = 0; i < mod_samples; ++i) {
            InstrumentRecord& ins = sg.instrument_table[i];
            if (i < 15) {
                if (ins.wave_number) ++waves;
                continue;
            }
            ins.wave_number = 0;
            ins.sample_count = 0;
            ins.name[0] = 0;
            ins.samples[0] = SampleRecord();
            sg.wave_map[i + 1] = 0;
        }
        sg.wave_count = waves;
        std::fseek(in, header15, SEEK_SET);
        patterns = read_song_header(c, in);
    }

    set_patterns_and_layout(c, patterns, pass);
    read_patterns(c, in, pass, patterns);
    if (pass.counting) return;
    read_sample_data(c, in, pass);
    c.log.log_enabled = c.settings.dolist;
    log_print(c.log, "\npos=%ld", stream_tell(in));
}
