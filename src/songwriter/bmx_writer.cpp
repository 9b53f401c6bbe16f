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

#include "buzz/write_primitives.h"
#include "core/byteio.h"
#include "core/log.h"
#include "settings/settings.h"
#include "song/song.h"
#include "songwriter/generators.h"
#include "songwriter/patt_sequ.h"
#include "songwriter/wave_data.h"
#include "songwriter/wave_table.h"

SongLayout song_layout;

namespace {

constexpr int directory_entries = 31;
constexpr const char* section_tags[7] = {"MACH", "CONN", "WAVT", "PATT", "SEQU", "BLAH", "WAVE"};
enum Section { sec_mach, sec_conn, sec_wavt, sec_patt, sec_sequ, sec_blah, sec_wave };

constexpr unsigned master_volume = 3003;
constexpr unsigned connection_amplitude = 0x4000;
constexpr unsigned connection_panning = 0x4000;
constexpr double generator_circle_radius = 0.8;
constexpr int native_midi_tick_byte = 15;

// Who wrote this program, as the song's info text names them.
constexpr const char* credit_text =
    " - the kestrix authors (kestrix@example.org) \r\n\r\n";

bool native_midi() { return song.input_kind == InputKind::midi && settings.domidi_ext == 0; }

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

int section_count() { return settings.dowave == 1 ? 6 : 7; }

void write_header()
{
    put_text("Buzz", -1);
    const int n = section_count();
    put_dword(uint32_t(n));
    for (int i = 0; i < n; ++i) {
        const uint32_t next = i + 1 < n ? song_layout.start[i + 1] : song_layout.end;
        put_section_entry(section_tags[i], song_layout.start[i], next - song_layout.start[i]);
    }
    for (int i = n; i < directory_entries; ++i) {
        put_dword(0);
        put_dword(0);
        put_dword(0);
    }
}

// Remembers where a section body starts; the writing pass must arrive where the sizing pass did.
void mark_section(int s)
{
    const auto here = uint32_t(writer.write_count);
    if (writer.writer_pass != 0 && here != song_layout.start[s]) job_abort("Song sections moved between the passes!!");
    song_layout.start[s] = here;
}

unsigned master_tempo()
{
    const int s = song.start_speed;
    if (s == 0) return unsigned(song.bpm);
    return unsigned(int(song.bpm * 6.0 / s));
}

unsigned master_ticks_per_beat()
{
    if (native_midi()) return unsigned(settings.midi_tpb) & 0xFF;
    return unsigned(song.tpb_base * song.tpb_factor) & 0xFF;
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

void write_mach()
{
    put_word(unsigned(song.machine_count));
    put_text("Master", 0);
    put_byte(0); // kind: Master
    put_dword(0); // x 0.0
    put_dword(0); // y 0.0
    put_dword(0); // no machine data
    put_word(0);  // no attributes
    put_word(master_volume);
    put_word(master_tempo());
    put_byte(master_ticks_per_beat());
    put_word(0);  // no tracks

    // The generators sit on a circle around the Master, the first one left of it.
    const int n = song.machine_count - 1;
    const int tick = native_midi() ? native_midi_tick_byte : song.start_speed;
    for (int k = 1; k <= n; ++k) {
        const GeneratorPosition at = generator_position(k, n);
        char name[32];
        generator_name(k, name, int(sizeof name));
        write_generator_machine(settings.dopfun + 1, song.machine_table[k].track_count, at.x, at.y, name, tick);
    }
}

void write_conn()
{
    const int n = song.machine_count > 0 ? song.machine_count - 1 : 0;
    put_word(unsigned(n));
    for (int k = 1; k <= n; ++k) {
        put_word(unsigned(k));
        put_word(0);
        put_word(connection_amplitude);
        put_word(connection_panning);
    }
}

std::string info_text()
{
    std::string t = "This song was translated by ";
    t += program_version_text;
    t += "(WinGUI)";
    t += credit_text;
    t += song.input_kind == InputKind::xi ? "original xi-File: " : "original module: ";
    t += song.current_input[0] ? song.current_input : song.converter_input;
    t += "      \"";
    t += song.song_name;
    t += "\" \r\n";
    if (song.input_kind == InputKind::midi) {
        t += "original midifile: ";
        t += song.converter_input;
    }
    return t;
}

void write_blah()
{
    const std::string t = info_text();
    put_dword(uint32_t(t.size()));
    put_text(t.data(), int(t.size()));
}

void write_wave(FILE* input)
{
    if (settings.dowave == 0) {
        put_word(0);
        return;
    }
    write_wave_data(input);
}

// The tables the sections walk must all be there; a song model without them is a program error
// that ends the job instead of reading through a null table.
void check_song_model()
{
    const Song& s = song;
    bool ok = s.machine_count >= 1 && s.machine_table && s.pattern_count >= 0 &&
              s.pattern_count <= max_patterns && (s.pattern_count == 0 || s.pattern_table) &&
              (s.song_length <= 0 || s.order_list);
    for (int k = 0; ok && k < s.machine_count; ++k) {
        const MachineRecord& m = s.machine_table[k];
        if (s.pattern_count > 0 && !m.track_patterns) ok = false;
        if (k == 0 && s.pattern_count > 0 && !m.global_patterns) ok = false;
    }
    if (!ok) job_abort("Song to write is incomplete!!");
}

} // namespace

void write_song(FILE* input)
{
    if (!writer.output_stream) return;
    check_song_model();
    std::fseek(writer.output_stream, 0, SEEK_SET);
    writer.writer_pass = 0;
    song_layout = SongLayout();
    sequ_state = SequState();
    // An XI conversion reads the caller's open input; without one, the file by name.
    File own_input;
    if (song.input_kind == InputKind::xi && !input) {
        own_input = open_file(song.current_input, "rb");
        input = own_input.get();
    }

    const bool bmw = settings.dowave == 1;
    int64_t sized = 0;
    for (int pass = 0; pass < 2; ++pass) {
        writer.write_count = 0;
        write_header();
        mark_section(sec_mach);
        write_mach();
        mark_section(sec_conn);
        write_conn();
        mark_section(sec_wavt);
        if (pass == 0 && settings.dowave != 0 && (song.input_kind == InputKind::xi || native_midi())) {
            // The instruments of XI and native MIDI conversions are read here, once; with
            // dowave 2 this also lays out their WAVE data.
            load_xi_instruments(song.input_kind == InputKind::xi ? input : nullptr);
        }
        write_wavt_section();
        mark_section(sec_patt);
        write_patt_section();
        mark_section(sec_sequ);
        write_sequ_section();
        mark_section(sec_blah);
        write_blah();
        if (!bmw) {
            mark_section(sec_wave);
            write_wave(input);
        }
        if (pass == 0) {
            sized = writer.write_count;
        } else if (writer.write_count != sized) {
            job_abort("Song size differs between the passes!!");
        }
        song_layout.end = uint32_t(writer.write_count);
        ++writer.writer_pass;
    }
    close_wave_sources();
}
