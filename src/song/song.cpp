// Song model defaults and note conversion.
#include "song/song.h"

#include "song/conversion.h"

namespace {
// Five octaves of MOD periods, falling.
constexpr int mod_periods[60] = {
    1712, 1616, 1525, 1440, 1357, 1281, 1209, 1141, 1077, 1017, 961, 907,
    856,  808,  762,  720,  678,  640,  604,  570,  538,  508,  480, 453,
    428,  404,  381,  360,  339,  320,  302,  285,  269,  254,  240, 226,
    214,  202,  190,  180,  170,  160,  151,  143,  135,  127,  120, 113,
    107,  101,  95,   90,   85,   80,   76,   71,   67,   64,   60,  57,
};
} // namespace

int mod_period_note(int period)
{
    for (int i = 0; i < 60; ++i)
        if (mod_periods[i] <= period) return i + 24;
    return 84;
}

uint8_t convert_note(Song& song, int transpo, int note)
{
    long long n;
    switch (song.frequency_mode) {
    case freq_mod_period: n = mod_period_note(note); break;
    case freq_xm_amiga:
    case freq_xm_linear: n = note - 1; break;
    case freq_midi: n = note; break;
    default: n = 0; break;
    }
    n += transpo;
    // The octave has four bits: higher notes would wrap round to low ones (or to the note-off).
    if (n < 0 || n > 191) {
        ++song.notes_out_of_range;
        n = n < 0 ? 0 : 191;
    }
    return uint8_t((n / 12) * 16 + n % 12 + 1);
}

void clip_sample_loop(SampleRecord& s, int shortest)
{
    uint32_t len = uint32_t(s.length);
    uint32_t start = uint32_t(s.loop_start);
    uint32_t size = uint32_t(s.loop_length);
    if (start > len) start = len;
    if (size > len - start) size = len - start;
    s.loop_start = int(start);
    s.loop_length = int(size);
    if (size <= uint32_t(shortest)) s.is_looping = 0;
}

void close_wave_sources(Song& song) { song.wave_sources.clear(); }

double conversion_progress(const Conversion& c)
{
    const ConversionProgress& d = c.progress;
    if (!d.phase || d.phase_total <= 0) return -1;
    double f = 0;
    if (d.phase == 4) {
        // Writing: the sizing pass counts as the first half, the writing pass as the second.
        const Writer& w = c.writer;
        if (w.writer_pass == 0)
            f = 0.0;
        else if (w.writer_pass == 1 && d.song_bytes > 0)
            f = 0.5 + 0.5 * double(w.write_count) / double(d.song_bytes);
        else
            f = 1.0;
    } else if (d.input) {
        long pos = std::ftell(d.input);
        if (pos > 0 && d.input_length > 0) f = double(pos) / double(d.input_length);
    }
    if (f < 0) f = 0;
    if (f > 1) f = 1;
    double r = (double(d.phases_done) + f) / double(d.phase_total);
    return r > 1 ? 1 : r;
}
