// WAVT section of a Buzz song (one entry per wave: index, XI file name, name, volume, flags, one
// volume envelope, one level per sample), from the instrument records the readers filled (the XI
// files of native MIDI and XI conversions are read by convert/instrument_reader.cpp before the
// song is written).
//
// Wave entry: word index, string XI file name, string name, float volume (0..1), byte flags
// (0x80 envelope present, 0x01 loop), word envelope count 1, envelope (words attack, decay,
// sustain, release; byte subdivision 10; byte flags; word point count with bit 15 = envelope
// off; points of word x, word y, byte flags), byte level count, levels (dwords sample count,
// loop start, loop end, sampling rate in Hz; byte root note).
#include "songwriter/wave_table.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "buzz/write_primitives.h"
#include "core/byteio.h"
#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "song/song.h"
#include "songwriter/xi_file.h"

namespace {

// Tracker envelopes run over 325 ticks (0..324) and levels 0..64; Buzz envelopes span 0..65535
// on both axes. The tick factor is the single-precision value nearest 65535 / 325.
constexpr float envelope_tick_scale = 201.64615f;
constexpr float envelope_level_scale = 1023.984375f; // 65535 / 64

constexpr int envelope_subdivision = 10;
constexpr unsigned wave_flag_envelope = 0x80;
constexpr unsigned wave_flag_loop = 0x01;


// A scaled envelope value as a word: truncated toward zero, held within 0..65535 (ticks beyond
// the tracker's 324 would otherwise wrap round to short times).
unsigned to_word(double v)
{
    if (!(v > 0.0)) return 0;
    if (v >= 65535.0) return 65535;
    return unsigned(v);
}


void write_envelope(Conversion& c, const InstrumentRecord& ins)
{
    unsigned attack = 2000, decay = 3000, sustain = 60000, release = 10000, flags = 0x10;
    int n = ins.envelope_points;
    if (n > envelope_max_points) n = envelope_max_points;
    if (n < 0) n = 0;
    const bool convert = c.settings.do_envs != 0 && n != 0;
    const bool has_sustain = (ins.envelope_type & 2) != 0;
    const int s = ins.envelope_sustain;

    if (convert) {
        // Attack: the time of the first point carrying the envelope's highest level.
        attack = 0;
        unsigned max_y = 0;
        for (int i = 0; i < n; ++i) {
            if (ins.envelope_y[i] > max_y) {
                max_y = ins.envelope_y[i];
                attack = to_word(float(ins.envelope_x[i]) * envelope_tick_scale);
            } else if (max_y == 0) {
                break;
            }
        }
        if (!has_sustain) {
            decay = 4096;
            sustain = to_word(float(max_y) * envelope_level_scale);
            flags = 0x10;
        } else {
            if (s >= 0 && s < n) {
                sustain = to_word(float(ins.envelope_y[s]) * envelope_level_scale);
                const float d = float(ins.envelope_x[s]) * envelope_tick_scale - float(attack);
                decay = d >= 256.0f ? to_word(d) : 256;
            }
            flags = 0x30;
        }
        release = (3u * ins.fadeout) & 0xFFFF;
        if (attack + decay + release > 65535) {
            // Attack and decay alone may fill the whole range: no room for a release then.
            release = attack + decay >= 65535 ? 0 : 65535 - attack - decay;
        }
    }

    put_word(c.writer, attack);
    put_word(c.writer, decay);
    put_word(c.writer, sustain);
    put_word(c.writer, release);
    put_byte(c.writer, envelope_subdivision);
    put_byte(c.writer, flags);

    if (!convert) {
        put_word(c.writer, 0x8002);
        put_word(c.writer, 0);
        put_word(c.writer, 0xFFFF);
        put_byte(c.writer, 0);
        put_word(c.writer, 0xFFFF);
        put_word(c.writer, 0);
        put_byte(c.writer, 0);
        return;
    }
    put_word(c.writer, unsigned(n + 2) | ((ins.envelope_type & 1) ? 0u : 0x8000u));
    for (int i = 0; i < n; ++i) {
        put_word(c.writer, to_word(float(ins.envelope_x[i]) * envelope_tick_scale));
        put_word(c.writer, to_word(float(ins.envelope_y[i]) * envelope_level_scale));
        put_byte(c.writer, has_sustain && i == s ? 1 : 0);
    }
    // End point: the release stretched over the fadeout, after the last point.
    const float fade = ins.fadeout ? 65535.0f / float(ins.fadeout) : 65535.0f;
    put_word(c.writer, to_word(fade + float(ins.envelope_x[n - 1]) * envelope_tick_scale));
    put_word(c.writer, 0);
    put_byte(c.writer, 0);
    put_word(c.writer, 0xFFFF);
    put_word(c.writer, 0);
    put_byte(c.writer, 0);
}

// Buzz note byte of note number m - 1 (m counted from 1): octave high nibble, semitone 1..12.
unsigned root_note_byte(int m)
{
    const int n = m - 1 < 0 ? 0 : m - 1;
    return unsigned((n / 12) * 16 + n % 12 + 1);
}

void write_levels(Conversion& c, const InstrumentRecord& ins)
{
    const int count = ins.sample_count;
    put_byte(c.writer, unsigned(count));
    const bool bmw = c.settings.dowave == Waves::bmw;
    const bool first_loops = ins.samples[0].is_looping != 0;
    const double base = (c.song.module_format == InputKind::mod && c.settings.domod_ext == 0) ? 8287.0 : 8363.0;
    for (int j = 0; j < count; ++j) {
        const SampleRecord& sm = ins.samples[j];
        uint32_t length = uint32_t(sm.length);
        uint32_t loop_start = uint32_t(sm.loop_start);
        uint32_t loop_length = uint32_t(sm.loop_length);
        if (!bmw && sm.is_16bit) {
            // Frames of 16-bit data: the instrument reader converts a 16-bit sample word by word,
            // an odd last byte included, so an odd byte length gives one more frame.
            length = (length + 1) >> 1;
            loop_start >>= 1;
            loop_length >>= 1;
        }
        uint32_t loop_end;
        if (c.settings.do_0loops && !first_loops) {
            loop_start = length ? length - 1 : 0;
            loop_end = length;
        } else {
            loop_end = loop_start + loop_length;
        }
        double e;
        if (count == 1)
            e = sm.relative_note / 12.0 + sm.finetune / 12.0 / 128.0;
        else
            e = (sm.root_note - 49 + sm.relative_note) / 12.0 + sm.finetune / 12.0 / 128.0;
        const uint32_t rate = uint32_t(int(base * std::pow(2.0, e)));
        put_dword(c.writer, length);
        put_dword(c.writer, loop_start);
        put_dword(c.writer, loop_end);
        put_dword(c.writer, rate);
        put_byte(c.writer, count == 1 ? 0x41 : root_note_byte(sm.root_note));
    }
}

void write_wave_entry(Conversion& c, int i)
{
    const InstrumentRecord& ins = c.song.instrument_table[i];
    const bool patch = patch_mode(c);
    put_word(c.writer, unsigned(patch || c.song.input_kind == InputKind::xi ? i : ins.wave_number - 1));
    const std::string file_name = wave_file_name(c, i);
    put_text(c.writer, file_name.c_str(), 0);
    put_text(c.writer, ins.name, 0);
    put_float(c.writer, float(ins.samples[0].volume / 64.0));
    unsigned flags = wave_flag_envelope;
    if (ins.samples[0].is_looping || c.settings.do_0loops) flags |= wave_flag_loop;
    // Drum patches play once: record 0 (the drum kit) and the drum keys above 0x80.
    if (patch && c.settings.drloopno && (i == 0 || ins.wave_number > 0x80)) flags = wave_flag_envelope;
    put_byte(c.writer, flags);
    put_word(c.writer, 1);
    write_envelope(c, ins);
    write_levels(c, ins);
}

} // namespace

std::string xi_slot_name(const Conversion& c, const char* kind, unsigned number)
{
    char tail[16];
    std::snprintf(tail, sizeof tail, "%s%02x.xi", kind, number);
    return std::string(c.settings.xi_dir) + tail;
}

std::string wave_file_name(Conversion& c, int i)
{
    if (c.song.input_kind == InputKind::xi) return song_input_name(c.song);
    // A wave a BMW conversion exported from a SoundFont under another name than its slot's.
    const InstrumentRecord* ins = c.song.instrument_table && i >= 0 && i < c.song.instrument_count
                                      ? &c.song.instrument_table[i] : nullptr;
    if (native_midi(c) && ins && ins->xi_file) return ins->xi_file;
    if (patch_mode(c)) return xi_slot_name(c, "gmp_", unsigned(i == 0 ? 0 : c.song.instrument_table[i].wave_number));
    if (native_midi(c)) return xi_slot_name(c, "gmc_", unsigned(i + 1));
    // The name under which the instrument reader exports instrument i for a BMW song.
    return xi_export_name(c, i);
}

void write_wavt_section(Conversion& c)
{
    c.song.waves_written = 0;
    if (c.settings.dowave == Waves::none) {
        put_word(c.writer, 0);
        return;
    }
    const bool patch = patch_mode(c);
    int count = c.song.wave_count;
    if (patch && c.song.instrument_table) count = c.song.wave_count - 1 + c.song.instrument_table[0].wave_number;
    put_word(c.writer, unsigned(count));
    c.song.waves_written = count;
    if (!c.song.instrument_table) return;
    for (int i = 0; i < c.song.instrument_count; ++i) {
        const InstrumentRecord& ins = c.song.instrument_table[i];
        if (ins.sample_count <= 0 || !ins.samples) continue;
        if ((patch || c.song.input_kind == InputKind::xi) && ins.wave_number == 0) continue;
        write_wave_entry(c, i);
    }
}
