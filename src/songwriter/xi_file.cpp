// XI instrument files and XM instruments. Both carry the same instrument body, so one reader
// serves the instruments of an XM module, a single XI file and the XI slots of a MIDI
// conversion. While it reads it fills the instrument and sample records, lays out the WAVE data
// of a BMX song (each wave's entry and where its samples' data lie, see wave_data.cpp), and, for
// a BMW song, writes every XM instrument out again as an XI file.
//
// XI file (little-endian):
//     0  20  "Extended Instrument:"       (not checked)
//    20   1  blank
//    21  22  instrument name, blank-padded
//    43   1  0x1A
//    44  20  creator "FastTracker v2.00   " (not checked)
//    64   2  version 0x0102                (only told apart from what the end of a file reads)
//    66 230  instrument body (below)
//   296   2  number of samples
//   298      40-byte sample headers, then the data of every sample in header order
//
// XM instrument: dword header size, 22 bytes name, byte type, word number of samples; when it
// has samples a dword sample header size follows, then the instrument body and the sample
// headers and data. An instrument with samples is always 263 bytes (29 + 4 + 230) before its
// sample headers, whatever sizes it declares; the header size only skips an empty instrument.
//
// Instrument body (230 bytes):
//     96  key map: sample number (0-based) for each of the 96 notes
//     48  volume envelope: 12 points of word x (ticks), word y (0..64)
//     48  panning envelope: 12 points of word x, word y
//      8  volume points, panning points, volume sustain, volume loop start/end,
//         panning sustain, panning loop start/end
//      6  volume type (bit 0 on, bit 1 sustain, bit 2 loop), panning type,
//         vibrato type, sweep, depth, rate
//      2  volume fadeout
//     22  reserved (2 kept in an exported copy, 20 written as zeros)
//
// Sample header (40 bytes): dword length (bytes), dword loop start (bytes), dword loop length
// (bytes), byte volume (0..64), byte finetune (signed), byte type (bit 4: 16-bit data, bits 0-1:
// loop kind), byte panning, byte relative note (signed), byte reserved, 22 bytes name.
// Sample data is delta-coded: bytes for 8-bit samples, little-endian words for 16-bit ones.
//
// In the WAVE data every sample becomes one 16-bit value per frame; a sample without data (an
// empty instrument's placeholder, a sample of length 0, every sample of a generator target, a
// sample the file ended before) becomes one zero value and a length of one frame.
#include "songwriter/xi_file.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/byteio.h"
#include "core/log.h"
#include "core/pool.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "song/song.h"

namespace {

constexpr uint32_t xm_instrument_head_bytes = 29; // dword size, 22 name, byte type, word samples
constexpr uint64_t sample_header_bytes = 40;
constexpr size_t key_map_size = 96;
constexpr size_t xi_copy_block = size_t(1) << 20; // bytes of sample data per copy into an XI file


// n bytes of text; 0xFF past the end of the file like every other read.
void read_text(FILE* in, char* out, size_t n)
{
    read_bytes(in, reinterpret_cast<uint8_t*>(out), n);
    out[n] = 0;
}


// Where the data of one sample goes.
struct SampleSink {
    FILE* in = nullptr;
    FILE* xi = nullptr;    // the exported XI file, when open
    const char* xi_path = "";
    bool convert = false;  // Tracker target: the values go into the WAVE data and are counted
    bool lay_out = false;  // this pass lays out the WAVE data
    std::vector<uint8_t> raw;
};

// A write into an exported XI file that failed (a full disk) ends the job rather than leaving a
// cut instrument behind for the song to name.
[[noreturn]] void xi_write_failed(const char* path)
{
    char msg[2 * settings_text_size + 40];
    std::snprintf(msg, sizeof msg, "Could not write XI-file %s!!", path);
    job_abort(msg);
}

void xi_write(const SampleSink& sink, const void* data, size_t n)
{
    if (std::fwrite(data, 1, n, sink.xi) != n) xi_write_failed(sink.xi_path);
}

// True when the two files hold the same bytes.
bool same_content(const char* a, const char* b)
{
    File fa = open_file(a, "rb");
    File fb = open_file(b, "rb");
    if (!fa || !fb) return false;
    std::vector<char> ba(1 << 16), bb(1 << 16);
    for (;;) {
        size_t na = std::fread(ba.data(), 1, ba.size(), fa.get());
        size_t nb = std::fread(bb.data(), 1, bb.size(), fb.get());
        if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0) return false;
        if (na < ba.size()) return true;
    }
}

// The n-th name for instrument i of the module (n = 0: the usual name, xi_dir + at most 6 bytes
// of the module's name + "%02x.xi"). Further names keep 8 characters before ".xi": the module's
// name cut shorter, "~" and n, then the instrument number ("songna05.xi", "song~105.xi").
void xi_candidate_name(const Conversion& c, int i, int n, char* out, int out_size)
{
    const char* input = c.song.current_input[0] ? c.song.current_input : c.song.converter_input;
    const char* base = input;
    for (const char* p = input; *p; ++p)
        if (*p == '\\' || *p == '/') base = p + 1;
    char mark[16] = "";
    if (n > 0) std::snprintf(mark, sizeof mark, "~%d", n);
    const int room = 6 - int(std::strlen(mark));
    int len = 0;
    while (len < (room > 0 ? room : 0) && base[len] && base[len] != '.') ++len;
    // Never a part of a character: a UTF-8 sequence is kept whole or left out.
    while (len > 0 && (static_cast<unsigned char>(base[len]) & 0xC0) == 0x80) --len;
    std::snprintf(out, size_t(out_size), "%s%.*s%s%02x.xi", c.settings.xi_dir, len, base, mark, unsigned(i));
}

} // namespace

namespace {
// A name the job gives another file: the song's or the log's.
bool names_a_job_file(const Conversion& c, const char* path)
{
    return platform::same_file(path, c.settings.output_file) || platform::same_file(path, c.settings.log_file);
}
} // namespace

// An exported XI file is written under a scratch name beside it and gets its name only when it is
// complete: an interrupted or failed conversion leaves no cut instrument behind. Its name is the
// usual one unless that name is taken by anything else (another song's instrument, a folder, a
// link, a file this job writes): then the next free name, and the song's wave table names that
// file. A file of that name that holds this very instrument is used as it is.
bool XiExport::open(int instrument)
{
    index = instrument;
    xi_candidate_name(c, instrument, 0, path, int(sizeof path));
    return out.create(path, ".part");
}

void XiExport::finish()
{
    if (!out.get() && out.name().empty()) return;
    constexpr int max_names = 1000;
    for (int n = 0; n < max_names; ++n) {
        if (n) xi_candidate_name(c, index, n, path, int(sizeof path));
        if (names_a_job_file(c, path)) continue;
        const int e = out.commit(path, false, &c.exported_xi_files);
        if (e != 0 && e != EEXIST) xi_write_failed(path); // a full disk: the scratch file is gone
        if (e == EEXIST) {
            if (!platform::file_exists(path) || !same_content(out.name().c_str(), path)) continue;
            out.discard(); // this very instrument is already there
        }
        const size_t len = std::strlen(path) + 1;
        char* keep = pool_array<char>(c.pool, len);
        std::memcpy(keep, path, len);
        c.song.instrument_table[index].xi_file = keep;
        if (n) {
            c.log.log_force = 1;
            log_print(c.log, "\nXI-file of instrument %d named %s (the usual name is taken)", index, path);
        }
        return;
    }
    out.discard();
    xi_write_failed(path);
}

namespace {

// Passes over one sample's data: the raw bytes are copied into the exported XI file, and
// wave_bytes counts 2 per value that goes into the WAVE data (8-bit values times 256, 16-bit
// values as they are). When this pass lays out the WAVE data the sample notes where its data
// starts and how many values it holds; the song writer decodes them from there. A 16-bit sample
// of odd length holds length / 2 words and one byte more, which is passed over so that the next
// sample starts where it should. Returns true when the file ended inside the data; the sample's
// length is then cut to the bytes of the values read.
bool read_sample_data(SampleSink& sink, SampleRecord& s, int64_t& wave_bytes)
{
    const uint32_t length = uint32_t(s.length);
    const bool wide = s.is_16bit != 0;
    const uint64_t value_bytes = wide ? (length & ~1u) : length;
    const bool odd_byte = wide && (length & 1u);
    const int64_t start = sink.lay_out ? stream_position(sink.in) : 0;
    uint64_t done = 0; // bytes of whole values the file holds
    bool eof = false;

    if (!sink.xi) {
        uint64_t left = bytes_remaining(sink.in);
        uint64_t need = value_bytes + (odd_byte ? 1 : 0);
        done = value_bytes <= left ? value_bytes : left;
        if (wide) done &= ~uint64_t(1);
        eof = need > left;
        skip_bytes(sink.in, need);
    } else {
        if (sink.raw.empty()) sink.raw.resize(xi_copy_block);
        while (done < value_bytes) {
            size_t want = size_t(value_bytes - done < xi_copy_block ? value_bytes - done : xi_copy_block);
            size_t got = read_bytes(sink.in, sink.raw.data(), want);
            if (got) xi_write(sink, sink.raw.data(), got);
            done += wide ? (got & ~size_t(1)) : got;
            if (got < want) {
                eof = true;
                break;
            }
        }
        if (!eof && odd_byte) {
            uint8_t b = read_byte(sink.in);
            if (stream_eof(sink.in))
                eof = true;
            else
                xi_write(sink, &b, 1);
        }
    }
    const uint64_t values = wide ? done / 2 : done;
    if (sink.convert) {
        wave_bytes += 2 * int64_t(values);
        if (sink.lay_out) {
            s.data_offset = start;
            s.data_values = uint32_t(values);
            s.coding = wide ? coding_delta16 : coding_delta8;
        }
    }
    if (eof) s.length = int(done);
    return eof;
}

} // namespace

std::string xi_instrument_problem(const char* path)
{
    constexpr size_t xi_header_bytes = 298;
    File f = open_file(path, "rb");
    if (!f) return std::strerror(errno ? errno : ENOENT);
    uint8_t h[xi_header_bytes] = {};
    const size_t n = std::fread(h, 1, sizeof h, f.get());
    const uint64_t length = stream_length(f.get());
    static constexpr char tag[] = "Extended Instrument: ";
    if (n < sizeof tag - 1 || std::memcmp(h, tag, sizeof tag - 1) != 0) return "no \"Extended Instrument: \" tag";
    if (n < xi_header_bytes)
        return "cut at " + std::to_string(n) + " bytes, an XI header takes " + std::to_string(xi_header_bytes);
    const unsigned version = unsigned(h[64] | h[65] << 8);
    if (version != 0x0101 && version != 0x0102) {
        char v[64];
        std::snprintf(v, sizeof v, "version 0x%04x, not 0x0102", version);
        return v;
    }
    const uint64_t samples = uint64_t(h[296] | h[297] << 8);
    if (samples == 0) return "no samples";
    if (xi_header_bytes + samples * sample_header_bytes > length)
        return "its " + std::to_string(samples) + " sample headers reach past its end at " + std::to_string(length) + " bytes";
    return "";
}

void xi_export_name(const Conversion& c, int i, char* out, int out_size)
{
    // The module being read: the converted XM when an outside converter made one, else the name
    // the conversion was given. An instrument exported under another name keeps that one.
    const InstrumentRecord* ins = c.song.instrument_table && i >= 0 && i < c.song.instrument_count
                                      ? &c.song.instrument_table[i] : nullptr;
    if (ins && ins->xi_file)
        std::snprintf(out, size_t(out_size), "%s", ins->xi_file);
    else
        xi_candidate_name(c, i, 0, out, out_size);
}

void read_instruments(Conversion& c, FILE* in, int first, int wave_source)
{
    Song& sg = c.song;
    const bool first_pass = sg.pass_number == 0;
    const bool xm = sg.module_format == InputKind::xm;

    // The instrument listing is shown once.
    c.log.log_enabled = c.settings.dolist && first_pass ? 1 : 0;
    if (!sg.instrument_table)
        sg.instrument_table = pool_array<InstrumentRecord>(c.pool, size_t(sg.instrument_count > 0 ? sg.instrument_count : 1));
    log_print(c.log, "\nInstruments:");
    if (!xm && (first < 0 || first >= sg.instrument_count)) return;

    if (!xm) {
        std::fseek(in, 0, SEEK_SET);
        char text[25];
        read_text(in, text, 20);
        log_print(c.log, "Tag:%s", text);
        read_text(in, text, 24); // blank, name, 0x1A: the 23 characters before the 0x1A
        InstrumentRecord& ins = sg.instrument_table[first];
        std::memcpy(ins.name, text, 23);
        ins.name[23] = 0;
        log_print(c.log, "Name:%s", ins.name);
        read_text(in, text, 20);
        log_print(c.log, "\nCreat:%s", text);
    }

    // The second pass of a BMX with waves lays out the WAVE data: its count word is the wave
    // count when the first instrument of that pass is read.
    const bool lay_out = !first_pass && c.settings.dowave == 2;
    if (lay_out && sg.wave_data_count < 0) {
        int count = sg.wave_count;
        if (patch_mode(c) && sg.instrument_table[0].wave_number == 0) --count;
        sg.wave_data_count = int(unsigned(count) & 0xFFFF); // as the word holds it
    }
    if (lay_out)
        for (int k = first; k < (xm ? sg.instrument_count : first + 1); ++k) sg.instrument_table[k].wave_entry = 0;

    SampleSink sink;
    sink.in = in;
    sink.convert = c.settings.dopfun == 0;
    sink.lay_out = lay_out;
    int w = first; // running wave index
    int i = first;
    for (; xm ? i < sg.instrument_count : i == first; ++i) {
        InstrumentRecord& ins = sg.instrument_table[i];
        // Sample records the first pass gave this instrument; later passes stay within them.
        const int allocated = ins.samples ? ins.sample_count : 0;
        XiExport xi_export(c);
        platform::ScratchFile& xi_out = xi_export.out;
        const char* xi_path = xi_export.path;
        if (first_pass) {
            ins.sample_count = 1;
            ins.is_empty = 0;
            ins.envelope_points = 0;
            ins.envelope_type = 0;
        }

        int count = ins.sample_count; // XI: the count the first pass found
        uint32_t header_size = 0;
        if (xm) {
            header_size = read_dword_le(in);
            ins.header_size = int(header_size);
            log_print(c.log, "\n\n%x:isize: %d", unsigned(i), int(header_size));
            read_text(in, ins.name, 22);
            log_print(c.log, " Name:%s", ins.name);
            unsigned type = read_byte(in);
            log_print(c.log, " type:%x", type);
            count = read_word_le(in);
            log_print(c.log, " samples:%x", unsigned(count));
            // A BMW song names the XI file of every instrument with samples (none for an empty
            // one); one it names that is not there is no result: the job ends.
            if (!first_pass && c.settings.dowave == 1 && count > 0) {
                if (!xi_export.open(i)) {
                    c.log.log_enabled = 2;
                    log_print(c.log, "\nCould not create XI-file %s!!", xi_path);
                    xi_write_failed(xi_path);
                }
                std::fputs("Extended Instrument:", xi_out.get());
                std::fprintf(xi_out.get(), " %-22s", ins.name);
                write_byte(xi_out.get(), 0x1A);
                std::fputs("FastTracker v2.00   ", xi_out.get());
            }
        }
        FILE* xi = xi_out.get();

        bool placeholder = false;
        if (xm && count == 0) {
            if (header_size < xm_instrument_head_bytes)
                job_abort("Empty instrument is too short, should take at least 29 bytes\n");
            skip_bytes(in, header_size - xm_instrument_head_bytes);
            if (c.settings.dowave == 2) {
                ins.is_empty = 1;
                count = 1;
                placeholder = true;
            }
        } else {
            uint32_t hlen = xm ? read_dword_le(in) : read_word_le(in);
            if ((hlen & 0xFFFF) == 0xFFFF) {
                if (xm && !first_pass)
                    job_abort("\nIncorrect Input File, probably wrong pattern number or emtpy XI-File!!!");
                sg.instrument_count = 0;
                return;
            }
            log_print(c.log, "  hlen? %x  \nsample_map:", unsigned(hlen));
            if (xi) write_word_le(xi, 0x0102);

            uint8_t key_map[key_map_size];
            read_bytes(in, key_map, key_map_size);
            for (size_t n = 0; n < key_map_size; ++n) {
                if (n && n % 24 == 0) log_print(c.log, "\n");
                log_print(c.log, "%2x ", unsigned(key_map[n]));
            }
            if (xi) std::fwrite(key_map, 1, key_map_size, xi);
            if (!first_pass) {
                // First mapped note of each sample; a key-map entry names a sample only when it
                // lies within the records the first pass made.
                int last = -1;
                for (size_t n = 0; n < key_map_size; ++n) {
                    int s = key_map[n];
                    if (s > last && s < allocated) {
                        ins.samples[s].root_note = int(n) + 1;
                        last = s;
                    }
                }
            }

            for (int p = 0; p < envelope_max_points; ++p) {
                uint16_t x = read_word_le(in);
                uint16_t y = read_word_le(in);
                ins.envelope_x[p] = x;
                ins.envelope_y[p] = y;
                if (p % 6 == 0) log_print(c.log, "\n");
                log_print(c.log, "(%4x,%4x)", unsigned(x), unsigned(y));
                if (xi) {
                    write_word_le(xi, x);
                    write_word_le(xi, y);
                }
            }
            for (int p = 0; p < envelope_max_points; ++p) {
                uint16_t x = read_word_le(in);
                uint16_t y = read_word_le(in);
                if (p % 6 == 0) log_print(c.log, "\n");
                log_print(c.log, "(%4x,%4x)", unsigned(x), unsigned(y));
                if (xi) {
                    write_word_le(xi, x);
                    write_word_le(xi, y);
                }
            }

            // The point bytes, each read, logged with its label and copied.
            auto point_byte = [&](const char* fmt) {
                unsigned b = read_byte(in);
                log_print(c.log, fmt, b);
                if (xi) write_byte(xi, b);
                return b;
            };
            unsigned vol_points = point_byte("\nVolPts:%x ");
            if (vol_points < 13) ins.envelope_points = int(vol_points);
            point_byte("  PanPts:%x ");
            ins.envelope_sustain = int(point_byte(" Volsus:%x "));
            point_byte(" (loop:%x");
            point_byte(" %x)");
            point_byte(" Pansus:%x ");
            point_byte(" (loop:%x");
            point_byte(" %x)");
            ins.envelope_type = int(point_byte("\nvoltype:%2x"));
            point_byte(" pantype:%2x");
            point_byte(" vibtype:%2x");
            point_byte("  sweep:%2x");
            point_byte(" depth:%2x");
            point_byte(" rate:%2x");

            ins.fadeout = read_word_le(in);
            log_print(c.log, "\nvolfade:%x", unsigned(ins.fadeout));
            unsigned reserved = read_word_le(in);
            log_print(c.log, " reserved %x", reserved);
            if (xi) {
                write_word_le(xi, ins.fadeout);
                write_word_le(xi, reserved);
            }
            skip_bytes(in, 20);
            if (xi) {
                const uint8_t zeros[20] = {};
                std::fwrite(zeros, 1, sizeof zeros, xi);
            }
            if (!xm) {
                count = read_word_le(in);
                log_print(c.log, "  samples:%2x:", unsigned(count));
            }
            if (xi) write_word_le(xi, unsigned(count));

            // A count whose headers the file cannot hold would drive the header loop and the
            // allocation: keep the headers that are there (a file cut inside them).
            uint64_t room = bytes_remaining(in) / sample_header_bytes;
            if (uint64_t(count) > room) count = int(room);
            if (count == 0 && xi) {
                xi_out.discard(); // no sample header left: no XI file for it
                xi = nullptr;
            }
            // An XI file without samples gives no wave; it cannot make a song or a wave slot.
            if (!xm && count == 0)
                job_abort("\nIncorrect Input File, probably wrong pattern number or emtpy XI-File!!!");
        }
        if (!first_pass && count > allocated)
            job_abort("\nIncorrect Input File, probably wrong pattern number or emtpy XI-File!!!");
        ins.sample_count = count;

        if (count == 0) {
            ins.wave_number = 0;
        } else {
            if (sg.input_kind != InputKind::xi && sg.wave_map && i + 1 < wave_map_size) sg.wave_map[i + 1] = w + 1;
            if (!native_midi(c)) ins.wave_number = w + 1;
            if (lay_out) {
                ins.wave_entry = 1;
                ins.wave_index = w;
                ins.wave_entry_bytes = ins.wave_bytes; // as the first pass counted them
                ins.wave_source = wave_source;
            }
            ins.wave_bytes = 0;
            ++w;
            if (first_pass) ins.samples = pool_array<SampleRecord>(c.pool, size_t(count));

            if (placeholder) {
                SampleRecord& s = ins.samples[0];
                s = SampleRecord();
                s.root_note = 49;
            } else {
                for (int j = 0; j < count; ++j) {
                    SampleRecord& s = ins.samples[j];
                    if (first_pass) s.root_note = 97;
                    uint32_t length = read_dword_le(in);
                    uint32_t loop_start = read_dword_le(in);
                    uint32_t loop_length = read_dword_le(in);
                    log_print(c.log, "\n%2x:%lx ", unsigned(j), static_cast<unsigned long>(length));
                    log_print(c.log, "(loop:%lx+%lx)", static_cast<unsigned long>(loop_start),
                              static_cast<unsigned long>(loop_length));
                    unsigned volume = read_byte(in);
                    log_print(c.log, " vol:%x", volume);
                    unsigned finetune = read_byte(in);
                    log_print(c.log, " tun:%x", finetune);
                    unsigned type = read_byte(in);
                    log_print(c.log, " typ:%x", type);
                    if (xi) {
                        write_dword_le(xi, length);
                        write_dword_le(xi, loop_start);
                        write_dword_le(xi, loop_length);
                        write_byte(xi, volume);
                        write_byte(xi, finetune);
                        write_byte(xi, type);
                    }
                    unsigned panning = read_byte(in);
                    log_print(c.log, " pan:%x", panning);
                    unsigned relative = read_byte(in);
                    log_print(c.log, " trn:%x", relative);
                    unsigned reserved_byte = read_byte(in);
                    log_print(c.log, " res:%x", reserved_byte);
                    char name[23];
                    read_text(in, name, 22);
                    log_print(c.log, " %s", name);
                    if (xi) {
                        write_byte(xi, panning);
                        write_byte(xi, relative);
                        write_byte(xi, reserved_byte);
                        std::fprintf(xi, "%-22s", name);
                    }
                    s.length = int(length);
                    s.loop_start = int(loop_start);
                    s.loop_length = int(loop_length);
                    s.volume = int(volume);
                    s.finetune = finetune > 127 ? int(finetune) - 256 : int(finetune);
                    s.type = uint8_t(type);
                    s.is_16bit = (type >> 4) & 1;
                    s.is_looping = (type & 3) != 0;
                    s.relative_note = relative > 128 ? int(relative) - 256 : int(relative);
                }
            }
        }

        // Sample data. When the file ends inside it, the samples not reached keep no data;
        // every sample without data still gets its one zero value, so that the WAVE data and
        // the wave table agree.
        int64_t wave_bytes = ins.wave_bytes;
        bool eof = false;
        sink.xi = xi;
        sink.xi_path = xi_path;
        for (int j = 0; j < count; ++j) {
            SampleRecord& s = ins.samples[j];
            if (lay_out) {
                s.data_values = 0;
                s.data_zero = 0;
            }
            if (eof) {
                s.length = 0;
            } else if (s.length != 0 && read_sample_data(sink, s, wave_bytes)) {
                eof = true;
                c.log.log_enabled = 2;
                log_print(c.log, "EOF!!! ");
                sg.ended_early = 1;
            }
            if (s.length == 0 || c.settings.dopfun != 0) {
                if (lay_out) {
                    s.data_zero = 1;
                    s.length = s.is_16bit ? 2 : 1; // one frame
                }
                wave_bytes += 2;
            }
            s.odd_length = uint8_t(s.length & 1);
            clip_sample_loop(s, 0);
        }
        ins.wave_bytes = int(wave_bytes);
        if (eof) log_print(c.log, "EOF!2! ");

        log_print(c.log, "\npos=%ld", stream_tell(in));
        xi_export.finish();
        if (eof) {
            log_print(c.log, "EOF!3! ");
            break;
        }
    }

    if (xm) sg.wave_count = w;
}

void export_mod_sample_xi(Conversion& c, int instrument, FILE* in, int64_t offset, uint32_t bytes)
{
    const InstrumentRecord& ins = c.song.instrument_table[instrument];
    const SampleRecord& s = ins.samples[0];
    XiExport xi(c);
    if (!xi.open(instrument)) {
        c.log.log_enabled = 2;
        log_print(c.log, "\nCould not create XI-file %s!!", xi.path);
        xi_write_failed(xi.path);
    }
    FILE* f = xi.out.get();
    std::fputs("Extended Instrument:", f);
    std::fprintf(f, " %-22.22s", ins.name);
    write_byte(f, 0x1A);
    std::fputs("FastTracker v2.00   ", f);
    write_word_le(f, 0x0102);
    // Every key plays the sample; no envelopes, no vibrato, no fadeout.
    const uint8_t body[key_map_size + 48 + 48 + 14 + 2 + 2 + 20] = {};
    std::fwrite(body, 1, sizeof body, f);
    write_word_le(f, 1);
    write_dword_le(f, bytes);
    write_dword_le(f, uint32_t(s.is_looping ? s.loop_start : 0));
    write_dword_le(f, uint32_t(s.is_looping ? s.loop_length : 0));
    write_byte(f, uint8_t(s.volume > 64 ? 64 : s.volume));
    write_byte(f, uint8_t(s.finetune));
    write_byte(f, s.is_looping ? 1 : 0);
    write_byte(f, 0x80); // centre
    write_byte(f, 0);    // relative note
    write_byte(f, 0);
    std::fprintf(f, "%-22.22s", ins.name);
    // The data, delta-coded as XI files keep 8-bit samples.
    std::vector<uint8_t> raw(xi_copy_block);
    uint8_t last = 0;
    std::fseek(in, long(offset), SEEK_SET);
    uint32_t left = bytes;
    while (left) {
        const size_t want = left < raw.size() ? left : raw.size();
        const size_t got = read_bytes(in, raw.data(), want);
        for (size_t k = 0; k < got; ++k) {
            const uint8_t v = raw[k];
            raw[k] = uint8_t(v - last);
            last = v;
        }
        if (std::fwrite(raw.data(), 1, got, f) != got || got < want) break;
        left -= uint32_t(got);
    }
    xi.finish();
}
