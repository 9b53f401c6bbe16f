// Buzz song writer (BMX with its wave data, BMW with waves referenced as XI files).
//
// File layout (little-endian):
//   0    "Buzz"
//   4    dword section count: 7, or 6 for BMW (no WAVE)
//   8    31 directory entries of 12 bytes: tag, dword body offset, dword body size; unused
//        entries are zero
//   380  the bodies, in directory order, back to back: MACH, CONN, WAVT, PATT, SEQU, BLAH, WAVE
//
// The song is generated twice through the write primitives: the sizing pass only counts, so the
// directory of the writing pass can carry every offset and size. The wave data is not walked in
// the sizing pass: its size comes from the layout the reading passes left, and the writing pass
// decodes the samples from the input straight into the song (wave_data.cpp).
#include "songwriter/bmx_writer.h"

#include <cmath>
#include <iterator>
#include <utility>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "buzz/sections.h"
#include "buzz/write_primitives.h"
#include "core/byteio.h"
#include "core/log.h"
#include "settings/settings.h"
#include "song/song.h"
#include "songwriter/generators.h"
#include "songwriter/patt_sequ.h"
#include "songwriter/wave_data.h"
#include "songwriter/wave_table.h"

namespace {

constexpr int directory_entries = 31;

constexpr unsigned master_volume = 3003;
constexpr unsigned connection_amplitude = 0x4000;
constexpr unsigned connection_panning = 0x4000;
constexpr double generator_circle_radius = 0.8;
constexpr int native_midi_tick_byte = 15;

// Who wrote this program, as the song's info text names them.
constexpr const char* credit_text =
    " - the kestrix authors (kestrix@example.org) \r\n\r\n";

int section_count(const Conversion& c) { return c.settings.dowave == Waves::bmw ? 6 : 7; }

// sin and cos of b in [0, π/4] from their Taylor series, in plain multiplications and additions
// (the first term left out is below a thousandth of the last bit).
constexpr double sin_terms[] = {1.0 / 355687428096000.0, -1.0 / 1307674368000.0, 1.0 / 6227020800.0,
                                -1.0 / 39916800.0,       1.0 / 362880.0,         -1.0 / 5040.0,
                                1.0 / 120.0,             -1.0 / 6.0,             1.0};
constexpr double cos_terms[] = {-1.0 / 6402373705728000.0, 1.0 / 20922789888000.0, -1.0 / 87178291200.0,
                                1.0 / 479001600.0,         -1.0 / 3628800.0,       1.0 / 40320.0,
                                -1.0 / 720.0,              1.0 / 24.0,             -1.0 / 2.0,
                                1.0};

double series(const double* terms, size_t n, double b2)
{
    double v = terms[0];
    for (size_t i = 1; i < n; ++i) v = v * b2 + terms[i];
    return v;
}

void write_header(Conversion& c, const SongLayout& layout)
{
    put_text(c.writer, "Buzz", -1);
    const int n = section_count(c);
    put_dword(c.writer, uint32_t(n));
    for (int i = 0; i < n; ++i) {
        const uint32_t next = i + 1 < n ? layout.start[i + 1] : layout.end;
        put_section_entry(c.writer, section_names[i + 1], layout.start[i], next - layout.start[i]);
    }
    for (int i = n; i < directory_entries; ++i) {
        put_dword(c.writer, 0);
        put_dword(c.writer, 0);
        put_dword(c.writer, 0);
    }
}

// Remembers where a section body starts; the writing pass must arrive where the sizing pass did.
void mark_section(Conversion& c, SongLayout& layout, SectionId s)
{
    const auto here = uint32_t(c.writer.write_count);
    uint32_t& start = layout.start[s - 1];
    if (c.writer.writer_pass != 0 && here != start) job_abort("Song sections moved between the passes!!");
    start = here;
}

unsigned master_tempo(const Conversion& c)
{
    const int s = c.song.start_speed;
    if (s == 0) return unsigned(c.song.bpm);
    return unsigned(int(c.song.bpm * 6.0 / s));
}

unsigned master_ticks_per_beat(const Conversion& c)
{
    if (native_midi(c)) return unsigned(c.settings.midi_tpb) & 0xFF;
    return unsigned(c.song.tpb_base * c.song.tpb_factor) & 0xFF;
}

} // namespace

GeneratorPosition generator_position(int k, int n)
{
    // The angle in quarter turns: 4 (k - 1) / n = q + r / n.
    const long long quarters = 4LL * (k - 1);
    const long long q = quarters / n % 4, r = quarters % n;
    // The rest, from the nearer end of its quarter (at most 45 degrees).
    const bool far = 2 * r > n;
    const double b = std::numbers::pi / 2 * double(far ? n - r : r) / double(n);
    const double b2 = b * b;
    double s = b * series(sin_terms, std::size(sin_terms), b2);
    double c = series(cos_terms, std::size(cos_terms), b2);
    if (far) std::swap(s, c);
    // Turned by q quarters; 0.0 - v keeps an exact zero positive, so that -0.8 times it is -0.0.
    double cos_a = c, sin_a = s;
    if (q == 1) cos_a = 0.0 - s, sin_a = c;
    if (q == 2) cos_a = 0.0 - c, sin_a = 0.0 - s;
    if (q == 3) cos_a = s, sin_a = 0.0 - c;
    return {float(-generator_circle_radius * cos_a), float(-generator_circle_radius * sin_a)};
}

namespace {

void write_mach(Conversion& c)
{
    put_word(c.writer, unsigned(c.song.machine_count));
    put_text(c.writer, "Master", 0);
    put_byte(c.writer, 0); // kind: Master
    put_dword(c.writer, 0); // x 0.0
    put_dword(c.writer, 0); // y 0.0
    put_dword(c.writer, 0); // no machine data
    put_word(c.writer, 0);  // no attributes
    put_word(c.writer, master_volume);
    put_word(c.writer, master_tempo(c));
    put_byte(c.writer, master_ticks_per_beat(c));
    put_word(c.writer, 0);  // no tracks

    // The generators sit on a circle around the Master, the first one left of it.
    const int n = c.song.machine_count - 1;
    const int tick = native_midi(c) ? native_midi_tick_byte : c.song.start_speed;
    for (int k = 1; k <= n; ++k) {
        const GeneratorPosition at = generator_position(k, n);
        char name[32];
        generator_name(c, k, name, int(sizeof name));
        write_generator_machine(c.writer, c.machines, c.settings, c.settings.dopfun + 1,
                                c.song.machine_table[k].track_count, at.x, at.y, name, tick);
    }
}

void write_conn(Conversion& c)
{
    const int n = c.song.machine_count > 0 ? c.song.machine_count - 1 : 0;
    put_word(c.writer, unsigned(n));
    for (int k = 1; k <= n; ++k) {
        put_word(c.writer, unsigned(k));
        put_word(c.writer, 0);
        put_word(c.writer, connection_amplitude);
        put_word(c.writer, connection_panning);
    }
}

std::string info_text(const Conversion& c)
{
    std::string t = "This song was translated by ";
    t += program_version_text;
    t += "(WinGUI)";
    t += credit_text;
    t += c.song.input_kind == InputKind::xi ? "original xi-File: " : "original module: ";
    t += song_input_name(c.song);
    t += "      \"";
    t += c.song.song_name;
    t += "\" \r\n";
    if (c.song.input_kind == InputKind::midi) {
        t += "original midifile: ";
        t += c.song.converter_input;
    }
    return t;
}

void write_blah(Conversion& c)
{
    const std::string t = info_text(c);
    put_dword(c.writer, uint32_t(t.size()));
    put_text(c.writer, t.data(), int(t.size()));
}

void write_wave(Conversion& c, FILE* input)
{
    if (c.settings.dowave == Waves::none) {
        put_word(c.writer, 0);
        return;
    }
    write_wave_data(c, input);
}

// The tables the sections walk must all be there; a song model without them is a program error
// that ends the job instead of reading through a null table.
void check_song_model(const Conversion& c)
{
    const Song& s = c.song;
    bool ok = s.machine_count >= 1 && s.machine_table && s.pattern_count >= 0 &&
              (s.pattern_count == 0 || s.pattern_table) && (s.song_length <= 0 || s.order_list);
    for (int k = 0; ok && k < s.machine_count; ++k) {
        const MachineRecord& m = s.machine_table[k];
        if (s.pattern_count > 0 && !m.track_patterns) ok = false;
        if (k == 0 && s.pattern_count > 0 && !m.global_patterns) ok = false;
    }
    if (!ok) job_abort("Song to write is incomplete!!");
}

} // namespace

void write_song(Conversion& c, FILE* input)
{
    if (!c.writer.output_stream) return;
    check_song_model(c);
    std::fseek(c.writer.output_stream, 0, SEEK_SET);
    c.writer.writer_pass = 0;
    SongLayout layout;
    SequState sequ;
    // An XI conversion reads the caller's open input; without one, the file by name.
    File own_input;
    if (c.song.input_kind == InputKind::xi && !input) {
        own_input = open_file(c.song.current_input.c_str(), "rb");
        input = own_input.get();
    }

    const bool bmw = c.settings.dowave == Waves::bmw;
    int64_t sized = 0;
    for (int pass = 0; pass < 2; ++pass) {
        c.writer.write_count = 0;
        write_header(c, layout);
        mark_section(c, layout, sec_mach);
        write_mach(c);
        mark_section(c, layout, sec_conn);
        write_conn(c);
        mark_section(c, layout, sec_wavt);
        write_wavt_section(c);
        mark_section(c, layout, sec_patt);
        write_patt_section(c);
        mark_section(c, layout, sec_sequ);
        write_sequ_section(c, sequ);
        mark_section(c, layout, sec_blah);
        write_blah(c);
        if (!bmw) {
            mark_section(c, layout, sec_wave);
            write_wave(c, input);
        }
        if (pass == 0) {
            sized = c.writer.write_count;
        } else if (c.writer.write_count != sized) {
            job_abort("Song size differs between the passes!!");
        }
        layout.end = uint32_t(c.writer.write_count);
        c.progress.song_bytes = layout.end;
        ++c.writer.writer_pass;
    }
    c.song.song_rows = sequ.song_end;
    close_wave_sources(c.song);
}
