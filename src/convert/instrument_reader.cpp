// The instrument reader. XM instruments and XI files carry the same instrument body (the layout of
// the body, the sample headers and the XI head is in songwriter/xi_file.cpp), so one reader serves
// the instruments of an XM module, a single XI file and the XI slots of a MIDI conversion. While
// it reads it fills the instrument and sample records, logs the instrument listing, gives the
// song writer's WAVE layout each wave's entry and where its samples' data lie (a BMX song), and
// hands every XM instrument to the XI export as it is read (a BMW song).
//
// XM instrument: dword header size, 22 bytes name, byte type, word number of samples; when it
// has samples a dword sample header size follows, then the instrument body and the sample
// headers and data. An instrument with samples is always 263 bytes (29 + 4 + 230) before its
// sample headers, whatever sizes it declares; the header size only skips an empty instrument.
// XI file: a 66-byte head, the instrument body, a word number of samples, the sample headers and
// data.
//
// In the WAVE data every sample becomes one 16-bit value per frame; a sample without data (an
// empty instrument's placeholder, a sample of length 0, every sample of a generator target, a
// sample the file ended before) becomes one zero value and a length of one frame.
#include "convert/instrument_reader.h"

#include <cstring>
#include <string>
#include <vector>

#include "core/byteio.h"
#include "core/log.h"
#include "convert/soundfont_waves.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "song/song.h"
#include "songwriter/wave_data.h"
#include "songwriter/wave_table.h"
#include "songwriter/xi_file.h"

namespace {

constexpr uint32_t xm_instrument_head_bytes = 29; // dword size, 22 name, byte type, word samples
constexpr uint64_t sample_header_bytes = 40;
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
    XiExport* xi = nullptr; // the exported XI file, when open
    bool convert = false;   // Tracker target: the values go into the WAVE data and are counted
    bool lay_out = false;   // this pass lays out the WAVE data
    std::vector<uint8_t> raw;
};

// Passes over one sample's data: the raw bytes are handed to the XI export, and wave_bytes counts
// 2 per value that goes into the WAVE data (8-bit values times 256, 16-bit values as they are).
// When this pass lays out the WAVE data the sample notes where its data starts and how many
// values it holds; the song writer decodes them from there. A 16-bit sample of odd length holds
// length / 2 words and one byte more, which is passed over so that the next sample starts where
// it should. Returns true when the file ended inside the data; the sample's length is then cut to
// the bytes of the values read.
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
            sink.xi->write_data(sink.raw.data(), got);
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
                sink.xi->write_data(&b, 1);
        }
    }
    const uint64_t values = wide ? done / 2 : done;
    if (sink.convert) {
        wave_bytes += 2 * int64_t(values);
        if (sink.lay_out) lay_out_sample_data(s, start, uint32_t(values), wide ? coding_delta16 : coding_delta8);
    }
    if (eof) s.length = int(done);
    return eof;
}

// The instrument body, each field logged as the listing shows it.
void read_body(Conversion& c, FILE* in, InstrumentBody& b)
{
    read_bytes(in, b.key_map, sizeof b.key_map);
    for (size_t n = 0; n < sizeof b.key_map; ++n) {
        if (n && n % 24 == 0) log_print(c.log, "\n");
        log_print(c.log, "%2x ", unsigned(b.key_map[n]));
    }
    for (uint16_t* envelope : {b.volume_envelope, b.panning_envelope})
        for (int p = 0; p < envelope_max_points; ++p) {
            envelope[2 * p] = read_word_le(in);
            envelope[2 * p + 1] = read_word_le(in);
            if (p % 6 == 0) log_print(c.log, "\n");
            log_print(c.log, "(%4x,%4x)", unsigned(envelope[2 * p]), unsigned(envelope[2 * p + 1]));
        }
    static constexpr const char* labels[sizeof b.points] = {
        "\nVolPts:%x ", "  PanPts:%x ", " Volsus:%x ", " (loop:%x", " %x)", " Pansus:%x ", " (loop:%x",
        " %x)", "\nvoltype:%2x", " pantype:%2x", " vibtype:%2x", "  sweep:%2x", " depth:%2x", " rate:%2x"};
    for (size_t k = 0; k < sizeof b.points; ++k) {
        b.points[k] = read_byte(in);
        log_print(c.log, labels[k], unsigned(b.points[k]));
    }
    b.fadeout = read_word_le(in);
    log_print(c.log, "\nvolfade:%x", unsigned(b.fadeout));
    b.reserved = read_word_le(in);
    log_print(c.log, " reserved %x", unsigned(b.reserved));
    skip_bytes(in, 20);
}

// One sample header, logged.
void read_sample_header(Conversion& c, FILE* in, int j, SampleHeader& h)
{
    h.length = read_dword_le(in);
    h.loop_start = read_dword_le(in);
    h.loop_length = read_dword_le(in);
    log_print(c.log, "\n%2x:%lx ", unsigned(j), static_cast<unsigned long>(h.length));
    log_print(c.log, "(loop:%lx+%lx)", static_cast<unsigned long>(h.loop_start), static_cast<unsigned long>(h.loop_length));
    h.volume = read_byte(in);
    log_print(c.log, " vol:%x", unsigned(h.volume));
    h.finetune = read_byte(in);
    log_print(c.log, " tun:%x", unsigned(h.finetune));
    h.type = read_byte(in);
    log_print(c.log, " typ:%x", unsigned(h.type));
    h.panning = read_byte(in);
    log_print(c.log, " pan:%x", unsigned(h.panning));
    h.relative_note = read_byte(in);
    log_print(c.log, " trn:%x", unsigned(h.relative_note));
    h.reserved = read_byte(in);
    log_print(c.log, " res:%x", unsigned(h.reserved));
    read_text(in, h.name, 22);
    log_print(c.log, " %s", h.name);
}

} // namespace

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
    const bool lay_out = !first_pass && c.settings.dowave == Waves::bmx;
    if (lay_out) begin_wave_layout(c, first, xm ? sg.instrument_count : first + 1);

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
        XiExport* xi = nullptr; // open while this instrument is exported
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
            if (!first_pass && c.settings.dowave == Waves::bmw && count > 0) {
                if (!xi_export.open(i)) {
                    c.log.log_enabled = 2;
                    log_print(c.log, "\nCould not create XI-file %s!!", xi_export.path.c_str());
                    xi_export.write_failed();
                }
                xi = &xi_export;
                xi->write_head(ins.name);
            }
        }

        bool placeholder = false;
        if (xm && count == 0) {
            if (header_size < xm_instrument_head_bytes)
                job_abort("Empty instrument is too short, should take at least 29 bytes\n");
            skip_bytes(in, header_size - xm_instrument_head_bytes);
            if (c.settings.dowave == Waves::bmx) {
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
            InstrumentBody body;
            read_body(c, in, body);
            if (!first_pass) {
                // First mapped note of each sample; a key-map entry names a sample only when it
                // lies within the records the first pass made.
                int last = -1;
                for (size_t n = 0; n < sizeof body.key_map; ++n) {
                    int s = body.key_map[n];
                    if (s > last && s < allocated) {
                        ins.samples[s].root_note = int(n) + 1;
                        last = s;
                    }
                }
            }
            for (int p = 0; p < envelope_max_points; ++p) {
                ins.envelope_x[p] = body.volume_envelope[2 * p];
                ins.envelope_y[p] = body.volume_envelope[2 * p + 1];
            }
            if (body.points[0] < 13) ins.envelope_points = int(body.points[0]);
            ins.envelope_sustain = int(body.points[2]);
            ins.envelope_type = int(body.points[8]);
            ins.fadeout = body.fadeout;
            if (!xm) {
                count = read_word_le(in);
                log_print(c.log, "  samples:%2x:", unsigned(count));
            }
            if (xi) xi->write_body(body, unsigned(count));

            // A count whose headers the file cannot hold would drive the header loop and the
            // allocation: keep the headers that are there (a file cut inside them).
            uint64_t room = bytes_remaining(in) / sample_header_bytes;
            if (uint64_t(count) > room) count = int(room);
            if (count == 0 && xi) {
                xi->discard(); // no sample header left: no XI file for it
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
            if (lay_out) lay_out_wave_entry(ins, w, wave_source);
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
                    SampleHeader h;
                    read_sample_header(c, in, j, h);
                    if (xi) xi->write_sample_header(h);
                    s.length = int(h.length);
                    s.loop_start = int(h.loop_start);
                    s.loop_length = int(h.loop_length);
                    s.volume = int(h.volume);
                    s.finetune = h.finetune > 127 ? int(h.finetune) - 256 : int(h.finetune);
                    s.type = h.type;
                    s.is_16bit = (h.type >> 4) & 1;
                    s.is_looping = (h.type & 3) != 0;
                    s.relative_note = h.relative_note > 128 ? int(h.relative_note) - 256 : int(h.relative_note);
                }
            }
        }

        // Sample data. When the file ends inside it, the samples not reached keep no data;
        // every sample without data still gets its one zero value, so that the WAVE data and
        // the wave table agree.
        int64_t wave_bytes = ins.wave_bytes;
        bool eof = false;
        sink.xi = xi;
        for (int j = 0; j < count; ++j) {
            SampleRecord& s = ins.samples[j];
            if (lay_out) clear_sample_layout(s);
            if (eof) {
                s.length = 0;
            } else if (s.length != 0 && read_sample_data(sink, s, wave_bytes)) {
                eof = true;
                c.log.log_enabled = 2;
                log_print(c.log, "EOF!!! ");
                sg.ended_early = 1;
            }
            if (s.length == 0 || c.settings.dopfun != 0) {
                if (lay_out) lay_out_silent_sample(s);
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


void load_xi_instruments(Conversion& c, FILE* xi_input)
{
    const bool patch = patch_mode(c);
    if (c.song.input_kind == InputKind::xi)
        c.song.wave_count = 1;
    else if (c.settings.dopchange == 0)
        c.song.wave_count = 16; // one slot per MIDI channel
    c.song.instrument_count = c.song.wave_count;
    if (c.song.instrument_count < 0) c.song.instrument_count = 0;
    if (!c.song.instrument_table && c.song.instrument_count > 0)
        c.song.instrument_table = pool_array<InstrumentRecord>(c.pool, size_t(c.song.instrument_count));

    // Slots whose file was missing in the first pass are not tried again. A slot without its XI
    // file takes its wave from the SoundFont, when the conversion has one.
    std::vector<char> missing(size_t(c.song.instrument_count), 0);
    std::string first_missing; // of a MIDI file's slots, when none of its files opens
    bool any_opened = false;
    SoundFontWaves bank(c);
    const bool midi = c.song.input_kind != InputKind::xi;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && !any_opened && !first_missing.empty()) {
            // A folder without the instruments makes a song that plays nothing: said also under -q.
            const char* folder = !c.settings.xi_dir.empty() ? c.settings.xi_dir.c_str() : "the current folder (xi_dir)";
            log_warning(c.log, "\nWarning: %s holds none of the XI files this song's waves come from (the first: %s); "
                             "the song has no waves", folder, first_missing.c_str());
            if (!bank.available() && c.settings.soundfont.empty()) {
                log_warning(c.log, ". A General MIDI SoundFont gives them: install one (Debian: timgm6mb-soundfont "
                                 "or fluid-soundfont-gm) or name any (.sf2) with --soundfont FILE");
            }
        }
        c.song.pass_number = pass;
        for (int q = 0; q < c.song.instrument_count && q < int(missing.size()); ++q) {
            InstrumentRecord& slot = c.song.instrument_table[q];
            if (patch && slot.wave_number == 0) continue;
            if (missing[size_t(q)]) continue;

            std::string name;
            File own;
            FILE* in = nullptr;
            if (c.song.input_kind == InputKind::xi) {
                name = song_input_name(c.song);
                in = xi_input;
                if (in) std::rewind(in);
            } else {
                const unsigned number = patch ? (q == 0 ? 0u : unsigned(slot.wave_number)) : unsigned(q + 1);
                name = xi_slot_name(c, patch ? "gmp_" : "gmc_", number);
                if (!patch && pass == 1) slot.wave_number = q + 1;
                own = open_file(name.c_str(), "rb");
                in = own.get();
            }
            if (!in && midi && bank.available()) {
                const int given = bank.give(q, pass, name);
                if (given > 0) {
                    any_opened = true;
                    continue;
                }
                if (given < 0) {
                    slot.wave_number = 0;
                    --c.song.wave_count;
                    missing[size_t(q)] = 1;
                    continue;
                }
            }
            if (!in) {
                if (first_missing.empty() && c.song.input_kind != InputKind::xi) first_missing = name;
                log_forced(c.log, "\nCan't open XI-file %s", name.c_str());
                slot.wave_number = 0;
                --c.song.wave_count;
                missing[size_t(q)] = 1;
                continue;
            }
            any_opened = true;
            if (pass == 1) {
                log_forced(c.log, "\nInstrument %d (%s)", q, name.c_str());
            }
            // A slot file stays open for the WAVE data, which the writing pass reads from it.
            int source = 0;
            if (own && pass == 1 && c.settings.dowave == Waves::bmx) {
                c.song.wave_sources.push_back(std::move(own));
                source = int(c.song.wave_sources.size());
            }
            read_instruments(c, in, q, source);
        }
    }
}
