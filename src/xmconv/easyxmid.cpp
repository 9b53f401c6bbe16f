// easyxmid: turns a Standard MIDI File into an XM module without samples, for kestrix's
// "extern conversion" of MIDI files.
//
//   easyxmid INPUT.mid OUTPUT.xm [RES [DRUMS]]      (kestrix runs: INPUT midrix-name 4 10)
//
// Layout of the XM written:
// - every MIDI track that plays notes gets a group of channels, as many as its notes sound at
//   once; at most 32 channels in all. A note that finds its group full takes a channel of
//   another group that is free in its row; only when none is does it cut the oldest note of its
//   group short;
// - a row is 1/RES of a sixteenth note: RES 4 gives 16 rows per quarter note, the 16 ticks per
//   beat at which kestrix plays the song it makes of the XM (its Master's ticks per beat for an
//   XM from this program). A file with a SMPTE division has no beats: its rows follow its
//   seconds at 120 BPM;
// - the song's speed and BPM make Buzz play it in real time: speed 6 and the tempo at tick 0
//   (the last one the file gives there) as BPM times RES / 4; each later tempo change is an Fxx
//   BPM effect at its row (with an Fxx speed before it in the channel to its left where the BPM
//   falls outside 32-255), chosen so that the song keeps the file's time from change to change.
//   An XM player, playing 4 rows per beat at that speed, plays it at a quarter of its speed;
// - instruments by MIDI channel (instrument n = channel n, named after the channel and its first
//   program), without samples; volumes from the velocities (0x10 + velocity * 64 / 127);
//   MIDI key k is XM note k - 11 (middle C, key 60, is C-4); keys outside C-0..B-7 are moved
//   into it by whole octaves;
// - DRUMS is the MIDI channel (1-16, 0 none) that carries drums: its notes get no key-off (drum
//   sounds play out) and take a channel only for their own row;
// - the module name begins with the number of channels as two digits, which kestrix reads as the
//   number of tracks to use.
// Exit status 0 on success; otherwise one line on stderr and 2 (usage), 3 (unreadable or broken
// MIDI file), 4 (content an XM cannot hold), 5 (the XM cannot be written).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/version.h"
#include "midi/smf_reader.h"
#include "platform/platform.h"
#include "song/midi_state.h"
#include "xmconv/xm_writer.h"

namespace {

constexpr const char* program = "easyxmid";
constexpr const char* usage =
    "usage: easyxmid INPUT.mid OUTPUT.xm [RES [DRUMS]]\n"
    "Converts a Standard MIDI File into an XM module without samples (kestrix's extern MIDI\n"
    "conversion runs it as: easyxmid INPUT OUTPUT 4 10).\n"
    "  RES    rows per sixteenth note, 1-16 (default 4: 16 rows per quarter note, the 16 ticks\n"
    "         per beat kestrix plays the converted song at)\n"
    "  DRUMS  the MIDI channel with the drums, 1-16, 0 for none (default 10): its notes get no\n"
    "         key-off\n"
    "One channel group per MIDI track (32 channels at most), instruments by MIDI channel,\n"
    "volumes from velocities, keys folded into C-0..B-7 by octaves, speed and BPM from the\n"
    "tempo at tick 0 and Fxx at every tempo change (Buzz plays the rows in real time; an XM\n"
    "player at a quarter of that speed). The module name starts with the number of channels.\n"
    "A last line on stderr counts the notes folded, cut short or left out, when there are any.\n"
    "Exit status: 0 success, 2 usage, 3 unreadable MIDI file, 4 content an XM cannot hold,\n"
    "5 the XM cannot be written.\n";

constexpr int exit_usage = 2, exit_input = 3, exit_content = 4, exit_write = 5;
constexpr int xm_lowest_key = 12;   // C-0
constexpr int xm_highest_key = 107; // B-7
constexpr int rows_per_pattern = 64;
constexpr int max_pattern_rows = 256;

struct NoteEvent {
    int64_t tick;
    uint8_t channel, key, velocity; // velocity 0: note-off
};

struct TempoEvent {
    int64_t tick;
    long microseconds;
};

// What the reading collects.
struct Collected {
    std::vector<std::vector<NoteEvent>> tracks;
    std::vector<TempoEvent> tempos;
    int division = 0;
    bool header = false;
    int first_program[16];
    std::string error;
};

// The reader's hooks: notes, programs and tempos with their times, the track structure.
class Collector : public MidiHooks {
public:
    Collector(Collected& collected, const SmfReader& reader) : in(collected), at(reader.at) {}
    void Mf_on_error(const char* message) override { in.error = message; }
    void Mf_on_header(int, int, int division) override
    {
        in.division = division;
        in.header = true;
    }
    void Mf_on_track_start() override { in.tracks.emplace_back(); }
    void Mf_on_note_on(int channel, int key, int velocity) override
    {
        if (in.tracks.empty() || key > 127) return;
        in.tracks.back().push_back({at.current_ticks, uint8_t(channel), uint8_t(key), uint8_t(std::min(velocity, 127))});
    }
    void Mf_on_note_off(int channel, int key, int) override { Mf_on_note_on(channel, key, 0); }
    void Mf_on_program(int channel, int p) override
    {
        if (in.first_program[channel] < 0 && p < 128) in.first_program[channel] = p;
    }
    void Mf_on_tempo(long microseconds) override
    {
        if (microseconds > 0) in.tempos.push_back({at.current_ticks, microseconds});
    }

private:
    Collected& in;
    const SmfPosition& at;
};

int fail(int code, const std::string& why)
{
    std::fprintf(stderr, "%s: %s\n", program, why.c_str());
    return code;
}

bool read_file(const char* path, std::vector<uint8_t>& out, std::string& error)
{
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        error = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return false;
    }
    uint8_t block[65536];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, f)) > 0) out.insert(out.end(), block, block + got);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok) error = std::string("cannot read ") + path;
    return ok;
}

bool parse_number(const char* text, int low, int high, int& out)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < low || v > high) return false;
    out = int(v);
    return true;
}

// Seconds from the start of the file to a tick: through the tempo map, or straight from a SMPTE
// division's ticks per second.
class Clock {
public:
    Clock(int division, std::vector<TempoEvent> tempos) : division_(division)
    {
        if (division & 0x8000) {
            const int frames = -int(int8_t(uint8_t(division >> 8)));
            ticks_per_second_ = (frames == 29 ? 29.97 : double(frames)) * (division & 0xFF);
        }
        // In tick order, one per tick: of events at the same tick (tracks are read one after the
        // other) the last one holds.
        std::stable_sort(tempos.begin(), tempos.end(),
                         [](const TempoEvent& a, const TempoEvent& b) { return a.tick < b.tick; });
        double seconds = 0;
        int64_t tick = 0;
        long us = midi_default_tempo;
        for (const TempoEvent& t : tempos) {
            seconds += double(t.tick - tick) * us / 1e6 / division_;
            tick = t.tick;
            us = t.microseconds;
            if (!map_.empty() && map_.back().tick == tick) map_.pop_back();
            if (map_.empty() ? tick > 0 && us == midi_default_tempo : map_.back().microseconds == us) continue;
            map_.push_back({tick, seconds, us});
        }
    }
    bool smpte() const { return ticks_per_second_ > 0; }
    // The tempo at tick 0, microseconds per quarter note.
    long first_tempo() const { return !map_.empty() && map_.front().tick == 0 ? map_.front().microseconds : midi_default_tempo; }
    // Ticks where the tempo changes after tick 0.
    std::vector<int64_t> changes() const
    {
        std::vector<int64_t> out;
        for (const Segment& s : map_)
            if (s.tick > 0 && !smpte()) out.push_back(s.tick);
        return out;
    }
    double seconds(int64_t tick) const
    {
        if (ticks_per_second_ > 0) return double(tick) / ticks_per_second_;
        auto it = std::upper_bound(map_.begin(), map_.end(), tick,
                                   [](int64_t t, const Segment& s) { return t < s.tick; });
        if (it == map_.begin()) return double(tick) * midi_default_tempo / 1e6 / division_;
        --it;
        return it->seconds + double(tick - it->tick) * it->microseconds / 1e6 / division_;
    }

private:
    struct Segment {
        int64_t tick;
        double seconds;
        long microseconds;
    };
    int division_;
    double ticks_per_second_ = 0;
    std::vector<Segment> map_;
};

struct Note {
    int64_t on, off;   // rows; off -1: no key-off
    int track;
    uint8_t channel, key, velocity;
    int voice = -1;    // channel of the XM, -1 when left out
};

// Speed and BPM closest to a Buzz tempo (BPM * 6 / speed), preferring speed 6.
void choose_speed(double tempo, int& speed, int& bpm)
{
    speed = 6;
    bpm = int(std::lround(tempo));
    if (bpm >= 32 && bpm <= 255) return;
    double best = 1e300;
    for (int s = 1; s <= 31; ++s) {
        const int b = int(std::clamp(std::lround(tempo * s / 6.0), 32L, 255L));
        const double miss = std::fabs(b * 6.0 / s - tempo);
        if (miss < best) {
            best = miss;
            speed = s;
            bpm = b;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    platform::open_closed_standard_descriptors();
    std::vector<const char*> args;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version")) {
            std::printf("easyxmid %s\n", program_version());
            return 0;
        }
        args.push_back(argv[i]);
    }
    int res = 4, drums = 10;
    if (args.size() < 2 || args.size() > 4 || (args.size() > 2 && !parse_number(args[2], 1, 16, res)) ||
        (args.size() > 3 && !parse_number(args[3], 0, 16, drums)))
        return fail(exit_usage, "usage: easyxmid INPUT.mid OUTPUT.xm [RES 1-16 [DRUMS 0-16]] (--help)");
    const char* input = args[0];
    const std::string output = args[1];
    const int drum_channel = drums - 1;

    std::string error;
    std::vector<uint8_t> bytes;
    if (!read_file(input, bytes, error)) return fail(exit_input, error);
    Collected in;
    std::fill(std::begin(in.first_program), std::end(in.first_program), -1);
    Log log; // the reader's lines are not shown
    log.log_enabled = 0;
    SmfReader reader(log);
    Collector hooks(in, reader);
    smf_bytes_open(reader, bytes.data(), bytes.size());
    try {
        mfread(reader, hooks);
    } catch (const JobAbort&) {
        return fail(exit_input, std::string(input) + ": " + (in.error.empty() ? "broken MIDI file" : in.error));
    }
    if (!in.header)
        return fail(exit_input, std::string(input) + ": not a Standard MIDI File (no \"MThd\" header)");
    if ((in.division & 0x8000) ? (in.division & 0xFF) == 0 : in.division == 0)
        return fail(exit_input, std::string(input) + ": division 0 (no ticks per quarter note)");

    // Rows: sixteenths of the beats, RES rows each (a SMPTE file: of 120 BPM's beats in its time).
    const Clock clock(in.division, in.tempos);
    const double real_bpm = 60e6 / double(clock.first_tempo());
    const double rows_per_tick = clock.smpte() ? 0 : 4.0 * res / in.division;
    const double rows_per_second = (clock.smpte() ? 120.0 : real_bpm) / 60.0 * 4 * res;
    auto row_of = [&](int64_t tick) {
        const double r = clock.smpte() ? clock.seconds(tick) * rows_per_second : double(tick) * rows_per_tick;
        return int64_t(std::floor(r + 0.5));
    };
    auto row_seconds = [&](int64_t row) { return clock.seconds(int64_t(std::llround(double(row) / rows_per_tick))); };

    // Notes of each track: a note-off ends the earliest sounding note of its channel and key.
    constexpr int64_t pending = -2; // off row of a note still sounding
    std::vector<Note> notes;
    int left_out = 0, folded = 0;
    std::vector<std::deque<size_t>> sounding(16 * 128); // by channel * 128 + key
    std::vector<int> touched;
    for (size_t t = 0; t < in.tracks.size(); ++t) {
        for (const NoteEvent& e : in.tracks[t]) {
            const bool drum = e.channel == drum_channel;
            const int k = e.channel * 128 + e.key;
            if (e.velocity > 0) {
                int key = e.key;
                while (key < xm_lowest_key) key += 12;
                while (key > xm_highest_key) key -= 12;
                folded += key != e.key;
                notes.push_back({row_of(e.tick), drum ? -1 : pending, int(t), e.channel, uint8_t(key), e.velocity});
                if (drum) continue;
                if (sounding[size_t(k)].empty()) touched.push_back(k);
                sounding[size_t(k)].push_back(notes.size() - 1);
            } else if (!sounding[size_t(k)].empty()) {
                Note& n = notes[sounding[size_t(k)].front()];
                sounding[size_t(k)].pop_front();
                n.off = std::max(row_of(e.tick), n.on + 1);
            }
        }
        for (int k : touched) sounding[size_t(k)].clear();
        touched.clear();
    }
    // Notes still sounding at the end of their track play on without a key-off.
    for (Note& n : notes)
        if (n.off == pending) n.off = -1;
    std::stable_sort(notes.begin(), notes.end(), [](const Note& a, const Note& b) {
        return a.track != b.track ? a.track < b.track : a.on < b.on;
    });
    std::vector<size_t> by_time(notes.size()); // the placing order: by row, tracks in file order
    for (size_t i = 0; i < by_time.size(); ++i) by_time[i] = i;
    std::stable_sort(by_time.begin(), by_time.end(), [&](size_t a, size_t b) { return notes[a].on < notes[b].on; });

    // Voices per track: each note takes the first channel of its group that is free in its row
    // (the key-off of the note before may sit there); the group is as large as the track needs.
    const int track_count = int(in.tracks.size());
    std::vector<int> needed(size_t(track_count), 0);
    auto last_row = [](const Note& n) { return n.off >= 0 ? n.off : n.on + 1; };
    {
        std::vector<int64_t> free_at;
        int track = -1;
        for (const Note& n : notes) {
            if (n.track != track) {
                track = n.track;
                free_at.clear();
            }
            auto it = std::find_if(free_at.begin(), free_at.end(), [&](int64_t f) { return f <= n.on; });
            if (it != free_at.end())
                *it = last_row(n);
            else if (free_at.size() < size_t(xmconv::xm_max_channels))
                free_at.push_back(last_row(n));
            else // more than an XM can hold at once: the group will cut notes anyway
                *std::min_element(free_at.begin(), free_at.end()) = last_row(n);
            needed[size_t(track)] = std::max(needed[size_t(track)], int(free_at.size()));
        }
    }
    int tracks_with_notes = 0;
    for (int v : needed) tracks_with_notes += v > 0;
    if (tracks_with_notes > xmconv::xm_max_channels)
        return fail(exit_content, std::string(input) + " has " + std::to_string(tracks_with_notes) +
                                      " tracks with notes, an XM holds 32 channels");
    // Shares of the 32 channels: the largest cap that fits, the channels left over to the largest
    // groups.
    std::vector<int> share = needed;
    int total = 0;
    for (int v : needed) total += v;
    if (total > xmconv::xm_max_channels) {
        int cap = 1;
        auto sum_at = [&](int c) {
            int sum = 0;
            for (int v : needed) sum += std::min(v, c);
            return sum;
        };
        while (sum_at(cap + 1) <= xmconv::xm_max_channels) ++cap;
        int spare = xmconv::xm_max_channels - sum_at(cap);
        for (size_t t = 0; t < share.size(); ++t) {
            share[t] = std::min(needed[t], cap);
            if (spare > 0 && needed[t] > cap) {
                ++share[t];
                --spare;
            }
        }
        total = xmconv::xm_max_channels;
    }
    std::vector<int> first_voice(size_t(track_count) + 1, 0);
    for (int t = 0; t < track_count; ++t) first_voice[size_t(t) + 1] = first_voice[size_t(t)] + share[size_t(t)];
    const int channels = std::max(1, first_voice[size_t(track_count)]);

    // Channels of the notes, in time order: the first free channel of the note's group, else the
    // first free one of any group; in a full song the note cuts the note of its group that began
    // first.
    int cut_short = 0;
    {
        struct Voice {
            int64_t free_at = 0;
            int64_t began = -1;
            long note = -1;
        };
        std::vector<Voice> voices(static_cast<size_t>(channels));
        for (size_t i : by_time) {
            Note& n = notes[i];
            const int first = first_voice[size_t(n.track)], end = first_voice[size_t(n.track) + 1];
            int v = -1;
            for (int k = first; k < end && v < 0; ++k)
                if (voices[size_t(k)].free_at <= n.on) v = k;
            for (int k = 0; k < channels && v < 0; ++k)
                if (voices[size_t(k)].free_at <= n.on) v = k;
            if (v < 0) {
                v = first;
                for (int k = first + 1; k < end; ++k)
                    if (voices[size_t(k)].began < voices[size_t(v)].began) v = k;
                Note& old = notes[size_t(voices[size_t(v)].note)];
                if (old.on == n.on) {
                    ++left_out; // a chord larger than the group: this note is left out
                    continue;
                }
                old.off = -1; // cut by the new note
                ++cut_short;
            }
            voices[size_t(v)] = {last_row(n), n.on, long(i)};
            n.voice = v;
        }
    }

    // Patterns: 64 rows, longer ones when the song would need more patterns than an XM holds;
    // what 256 patterns of 256 rows cannot hold is cut, and said so.
    const int max_patterns = xmconv::xm_max_patterns;
    int64_t rows = 1;
    for (const Note& n : notes)
        if (n.voice >= 0) rows = std::max(rows, last_row(n) + (n.off >= 0 ? 1 : 0));
    int pattern_rows = rows_per_pattern;
    if (rows > int64_t(max_patterns) * rows_per_pattern)
        pattern_rows = int(std::min<int64_t>(max_pattern_rows, (rows / max_patterns + 16) / 16 * 16));
    int64_t patterns = (rows + pattern_rows - 1) / pattern_rows;
    int64_t beyond = 0;
    if (patterns > max_patterns) {
        patterns = max_patterns;
        for (const Note& n : notes) beyond += n.voice >= 0 && n.on >= patterns * pattern_rows;
        std::fprintf(stderr, "%s: song cut at %d patterns of %d rows: %lld of %lld rows kept, %lld notes after them left out\n",
                     program, max_patterns, pattern_rows, static_cast<long long>(patterns * pattern_rows),
                     static_cast<long long>(rows), static_cast<long long>(beyond));
    }
    left_out += int(beyond);

    xmconv::XmModule xm;
    std::string base = input;
    const size_t slash = base.find_last_of("/\\");
    if (slash != std::string::npos) base = base.substr(slash + 1);
    char name[32];
    std::snprintf(name, sizeof name, "%02d %s", channels, base.c_str());
    xm.name = std::string(name).substr(0, 20);
    xm.tracker = "kestrix easyxmid";
    xm.channels = channels;
    choose_speed(real_bpm * res / 4, xm.speed, xm.bpm);
    for (int64_t p = 0; p < patterns; ++p) {
        xm.orders.push_back(uint8_t(p));
        xmconv::XmPattern& pat = xm.patterns.emplace_back();
        pat.rows = pattern_rows;
        pat.cells.resize(size_t(pattern_rows) * size_t(channels));
    }
    const int64_t end_row = patterns * pattern_rows;
    auto cell = [&](int64_t row, int voice) -> xmconv::XmCell& {
        xmconv::XmPattern& pat = xm.patterns[size_t(row / pattern_rows)];
        return pat.cells[size_t(row % pattern_rows) * size_t(channels) + size_t(voice)];
    };
    // Key-offs first: a note beginning in the row of the key-off before it takes the cell.
    for (const Note& n : notes)
        if (n.voice >= 0 && n.off >= 0 && n.off < end_row) cell(n.off, n.voice).note = xmconv::xm_key_off;
    for (const Note& n : notes) {
        if (n.voice < 0 || n.on >= end_row) continue;
        xmconv::XmCell& c = cell(n.on, n.voice);
        c.note = uint8_t(n.key - xm_lowest_key + 1);
        c.instrument = uint8_t(n.channel + 1);
        c.volume = uint8_t(0x10 + (n.velocity * 64 + 63) / 127);
    }
    // Tempo changes: from each change row to the next the Buzz tempo (BPM * 6 / speed, at 16 rows a
    // beat) that ends the stretch where the file's time does, so that rounding never adds up.
    {
        std::vector<int64_t> bounds{0};
        for (int64_t tick : clock.changes()) {
            const int64_t r = row_of(tick);
            if (r >= end_row) break;
            if (r > bounds.back()) bounds.push_back(r);
        }
        bounds.push_back(end_row);
        int speed = xm.speed, bpm = xm.bpm;
        double song_time = 0;
        for (size_t i = 0; i + 1 < bounds.size(); ++i) {
            const double n = double(bounds[i + 1] - bounds[i]);
            if (i > 0) {
                const double left = row_seconds(bounds[i + 1]) - song_time;
                int want_speed = speed, want_bpm = bpm;
                choose_speed(left > 0 ? n * 60.0 / (16.0 * left) : 1e9, want_speed, want_bpm);
                if (want_speed != speed && channels < 2) { // one effect column: the BPM at this speed
                    want_bpm = int(std::clamp(std::lround(want_bpm * double(speed) / want_speed), 32L, 255L));
                    want_speed = speed;
                }
                if (want_speed != speed) {
                    xmconv::XmCell& c = cell(bounds[i], 0);
                    c.effect = 0xF;
                    c.param = uint8_t(want_speed);
                }
                if (want_speed != speed || want_bpm != bpm) {
                    // The BPM after the speed: the reader takes a speed with the first BPM.
                    xmconv::XmCell& c = cell(bounds[i], want_speed != speed ? 1 : 0);
                    c.effect = 0xF;
                    c.param = uint8_t(want_bpm);
                }
                speed = want_speed;
                bpm = want_bpm;
            }
            song_time += n * 60.0 / (16.0 * bpm * 6.0 / speed);
        }
    }
    for (int ch = 0; ch < 16; ++ch) {
        xmconv::XmInstrument& ins = xm.instruments.emplace_back();
        char text[32];
        if (ch == drum_channel)
            std::snprintf(text, sizeof text, "channel %d drums", ch + 1);
        else
            std::snprintf(text, sizeof text, "channel %d program %d", ch + 1, std::max(in.first_program[ch], 0));
        ins.name = text;
    }

    if (!xmconv::xm_write_file(xm, output, error)) return fail(exit_write, error);
    if (folded || cut_short || left_out)
        std::fprintf(stderr, "%s: %d notes folded into C-0..B-7, %d cut short, %d left out (chords beyond 32 channels, rows beyond 256 patterns)\n",
                     program, folded, cut_short, left_out);
    return 0;
}
