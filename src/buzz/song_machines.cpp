// The machines of a Buzz song, named from MACH without needing machines.ini (see song_machines.h).
//
//   MACH: word count; per machine: text name, byte type (0 master, 1 generator, 2 effect), text
//         library (not for the master), float x, float y, dword data size, the data, word
//         attribute count, per attribute text name and dword value, the global state
//         (global_bytes), word tracks, per track its state (track_bytes).
//   CONN: word count; per connection word source, destination, amplitude, panning.
//   PATT: per machine in MACH order word patterns, word tracks; per pattern text name, word
//         rows, per input word source and rows x (word amplitude, word panning), rows x
//         global_bytes, tracks x rows x track_bytes.
#include "buzz/song_machines.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "buzz/para_section.h"
#include "core/byteio.h"

namespace {

constexpr uint64_t max_section_read = 64u << 20; // MACH, PARA and CONN are read whole up to this
constexpr int max_guessed_global_bytes = 4096;   // a machine's global state, when guessed
constexpr int max_guessed_track_bytes = 64;      // one track's state, when guessed
constexpr int master_global_bytes = 5;           // volume word, tempo word, ticks-per-beat byte

// A section in memory, read from the front; a read past its end sets `bad` and yields zeros.
struct Cursor {
    const std::vector<uint8_t>& b;
    size_t pos = 0;
    bool bad = false;
    size_t room() const { return pos < b.size() ? b.size() - pos : 0; }
    bool skip(uint64_t n)
    {
        if (n > room()) return !(bad = true);
        pos += size_t(n);
        return true;
    }
    uint8_t byte()
    {
        if (!room()) return bad = true, 0;
        return b[pos++];
    }
    uint16_t word() { return uint16_t(byte() | byte() << 8); }
    uint32_t dword() { return word() | uint32_t(word()) << 16; }
    float real()
    {
        const uint32_t bits = dword();
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    std::string text()
    {
        const uint8_t* end = static_cast<const uint8_t*>(std::memchr(b.data() + pos, 0, room()));
        if (!end) {
            bad = true;
            pos = b.size();
            return {};
        }
        std::string s(reinterpret_cast<const char*>(b.data() + pos), size_t(end - (b.data() + pos)));
        pos += s.size() + 1;
        return s;
    }
};

struct Entry {
    uint32_t offset = 0, length = 0;
    bool found = false;
};

bool read_section(FILE* f, const Entry& e, std::vector<uint8_t>& out)
{
    if (!e.found || e.length > max_section_read || uint64_t(e.offset) + e.length > stream_length(f)) return false;
    out.resize(e.length);
    return stream_seek(f, e.offset) && read_bytes(f, out.data(), out.size()) == out.size();
}

// A library name as Buzz stores it (a file name), or a machine's name as Buzz makes them: not
// empty, no control characters.
bool plausible_library(const std::string& s)
{
    return !s.empty() && s.size() < 128 &&
           std::none_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// The machines of MACH as they are walked: each record's fixed part, then its layout.
struct MachineWalk {
    const std::vector<uint8_t>& mach;
    const MachineTable& table;
    const std::vector<std::pair<int, int>>& described; // layouts from PARA, by machine
    std::vector<SongMachine> machines;                 // filled by index as the walk goes
    long steps = 0;                                    // records read while guessing
    int guessing = 0;                                  // machines whose layout is being guessed
};

constexpr long max_guess_steps = 1000000;
constexpr int max_guess_depth = 256;

// Reads machine m's record up to its parameter state (`pos` then stands there); false when no
// record of that kind is there.
bool read_record(MachineWalk& w, int m, size_t& pos, SongMachine& sm)
{
    if (w.guessing && ++w.steps > max_guess_steps) return false; // the guesses have had their time
    Cursor c{w.mach, pos};
    sm = SongMachine();
    sm.index = m;
    sm.name = c.text();
    sm.type = c.byte();
    sm.library = sm.type ? c.text() : "Master";
    const float x = c.real(), y = c.real();
    c.skip(c.dword());
    const unsigned attributes = c.word();
    for (unsigned a = 0; a < attributes && !c.bad; ++a) {
        c.text();
        c.dword();
    }
    pos = c.pos;
    if (c.bad || (m == 0) != (sm.type == 0) || sm.type > 2 || !std::isfinite(x) || !std::isfinite(y)) return false;
    if (m > 0 && !plausible_library(sm.library)) return false;
    // Behind a guessed layout the name must look like one too: else the bytes of a state that
    // was guessed too short would pass as the beginning of the next machine's name.
    if (w.guessing && !plausible_library(sm.name)) return false;
    sm.description = sm.type == 0 ? (w.table.machine_description_count > 0 ? 0 : -1)
                                  : find_machine_description(w.table, sm.library.c_str());
    if (sm.description >= 0) {
        sm.global_bytes = w.table.machine_descriptions[sm.description].global_bytes;
        sm.track_bytes = w.table.machine_descriptions[sm.description].track_bytes;
    } else if (size_t(m) < w.described.size()) {
        sm.global_bytes = w.described[size_t(m)].first;
        sm.track_bytes = w.described[size_t(m)].second;
    } else if (sm.type == 0) {
        sm.global_bytes = master_global_bytes;
        sm.track_bytes = 0;
    }
    return true;
}

// Passes the state of a machine of known layout; false when it runs past the section.
bool pass_state(MachineWalk& w, size_t& pos, SongMachine& sm)
{
    Cursor c{w.mach, pos};
    c.skip(uint64_t(std::max(0, sm.global_bytes)));
    sm.tracks = c.word();
    c.skip(uint64_t(sm.tracks) * unsigned(std::max(0, sm.track_bytes)));
    pos = c.pos;
    return !c.bad;
}

bool walk(MachineWalk& w, int m, size_t pos);

// Machine m, whose layout nothing tells, from where its state begins: the first (global, track)
// byte counts after which the rest of the machines can be walked to the section's end. A machine
// without tracks leaves its track bytes unknown.
bool guess_layout(MachineWalk& w, int m, size_t state, SongMachine sm)
{
    if (w.guessing >= max_guess_depth) return false;
    ++w.guessing;
    const size_t size = w.mach.size();
    const bool last = size_t(m) + 1 == w.machines.size();
    bool found = false;
    for (int g = 0; !found && g <= max_guessed_global_bytes && state + g + 2 <= size; ++g) {
        const unsigned tracks = w.mach[state + g] | w.mach[state + g + 1] << 8;
        for (int t = tracks ? 1 : 0; !found && t <= (tracks ? max_guessed_track_bytes : 0); ++t) {
            const uint64_t next = state + g + 2 + uint64_t(tracks) * unsigned(t);
            if (next > size || w.steps > max_guess_steps) break;
            sm.global_bytes = g;
            sm.track_bytes = tracks ? t : -1;
            sm.tracks = int(tracks);
            w.machines[size_t(m)] = sm;
            found = last ? next == size : walk(w, m + 1, size_t(next));
        }
    }
    --w.guessing;
    return found;
}

// Walks machines m and later from `pos` to the end of the section: the known layouts one after
// the other, an unknown one by guessing.
bool walk(MachineWalk& w, int m, size_t pos)
{
    for (; size_t(m) < w.machines.size(); ++m) {
        SongMachine sm;
        if (!read_record(w, m, pos, sm)) return false;
        if (sm.global_bytes < 0) return guess_layout(w, m, pos, sm);
        if (!pass_state(w, pos, sm)) return false;
        w.machines[size_t(m)] = sm;
    }
    return pos == w.mach.size();
}

// Counts each machine's patterns where the layouts of it and of every machine before it are known.
void count_patterns(FILE* f, const Entry& patt, const std::vector<int>& inputs, SongMachines& out)
{
    if (!patt.found || !stream_seek(f, patt.offset)) return;
    // The section ends where its length says or where the file does, whichever comes first: a
    // length past the file would have every pattern read at the end of the file.
    const uint64_t end = uint64_t(patt.offset) + std::min<uint64_t>(patt.length, bytes_remaining(f));
    uint64_t pos = patt.offset;
    const auto take = [&](uint64_t n) { return pos + n <= end && (pos += n, true); };
    for (SongMachine& m : out.machines) {
        if (m.global_bytes < 0 || !take(4)) return;
        const unsigned patterns = read_word_le(f);
        const unsigned tracks = read_word_le(f);
        if (tracks && m.track_bytes < 0) return;
        for (unsigned k = 0; k < patterns; ++k) {
            do {
                if (!take(1)) return;
            } while (read_byte(f) != 0);
            if (!take(2)) return;
            const uint64_t rows = read_word_le(f);
            const uint64_t bytes = uint64_t(inputs[size_t(m.index)]) * (2 + 4 * rows) + rows * unsigned(m.global_bytes) +
                                   uint64_t(tracks) * rows * unsigned(std::max(0, m.track_bytes));
            if (!take(bytes) || (bytes && !stream_seek(f, int64_t(pos)))) return;
        }
        m.patterns = int(patterns);
    }
}

} // namespace

SongMachines scan_song_machines(FILE* f, const MachineTable& table)
{
    SongMachines out;
    char magic[4] = {};
    if (!stream_seek(f, 0) || read_bytes(f, reinterpret_cast<uint8_t*>(magic), 4) != 4) return out;
    for (int i = 0; i < 4; ++i)
        if (std::tolower(static_cast<unsigned char>(magic[i])) != "buzz"[i]) return out;
    const uint32_t sections = read_dword_le(f);
    if (uint64_t(sections) * 12 > bytes_remaining(f)) return out;
    Entry mach, para, conn, patt;
    for (uint32_t i = 0; i < sections; ++i) {
        char name[4];
        read_bytes(f, reinterpret_cast<uint8_t*>(name), 4);
        Entry e{read_dword_le(f), read_dword_le(f), true};
        for (auto [tag, slot] : {std::pair{"MACH", &mach}, {"PARA", &para}, {"CONN", &conn}, {"PATT", &patt}})
            if (!slot->found && !std::memcmp(name, tag, 4)) *slot = e;
    }
    std::vector<uint8_t> bytes;
    if (!read_section(f, mach, bytes) || bytes.size() < 2) return out;
    out.count = bytes[0] | bytes[1] << 8;
    out.read = true;

    // The song's own parameter descriptions: each machine's layout from its parameters' types.
    std::vector<std::pair<int, int>> described;
    std::vector<uint8_t> para_bytes;
    if (read_section(f, para, para_bytes)) {
        Cursor p{para_bytes};
        if (p.dword() == uint32_t(out.count))
            for (int m = 0; m < out.count && !p.bad; ++m) {
                p.text();
                p.text();
                const uint32_t globals = p.dword(), track_parameters = p.dword();
                int sizes[2] = {0, 0};
                for (uint64_t k = 0; k < uint64_t(globals) + track_parameters && !p.bad; ++k) {
                    sizes[k < globals ? 0 : 1] += p.byte() == 3 ? 2 : 1; // a word, else one byte
                    p.text();
                    p.skip(20);
                }
                if (!p.bad) described.emplace_back(sizes[0], sizes[1]);
            }
        if (p.bad || p.room()) described.clear();
    }

    MachineWalk w{bytes, table, described, std::vector<SongMachine>(size_t(out.count))};
    if (!walk(w, 0, 2)) {
        // What is certain: the machines up to the first one that could not be passed.
        w.machines.clear();
        size_t pos = 2;
        for (int m = 0; m < out.count; ++m) {
            SongMachine sm;
            if (!read_record(w, m, pos, sm)) {
                out.problem = "machine " + std::to_string(m) + "'s record is not where the layout of machine " +
                              std::to_string(m - 1) + " says it is (a wrong layout in machines.ini?)";
                break;
            }
            w.machines.push_back(sm);
            if (sm.global_bytes < 0) {
                out.problem = "where machine " + std::to_string(m) + " (" + sm.library + ") ends is not known";
                break;
            }
            if (!pass_state(w, pos, sm)) {
                out.problem = "machine " + std::to_string(m) + "'s parameters run past their section";
                break;
            }
            w.machines.back() = sm;
        }
        if (out.problem.empty()) out.problem = "the machines end before their section does";
    }
    out.machines = std::move(w.machines);

    std::vector<int> inputs(out.machines.size(), 0);
    std::vector<uint8_t> conn_bytes;
    if (out.problem.empty() && read_section(f, conn, conn_bytes)) {
        Cursor k{conn_bytes};
        const unsigned count = k.word();
        for (unsigned i = 0; i < count && !k.bad; ++i) {
            k.word();
            const unsigned destination = k.word();
            k.skip(4);
            if (destination < inputs.size()) ++inputs[destination];
        }
        if (!k.bad) count_patterns(f, patt, inputs, out);
    }
    return out;
}

std::string machines_ini_line(const SongMachine& m)
{
    char numbers[48];
    if (m.global_bytes >= 0)
        std::snprintf(numbers, sizeof numbers, "\" %d %d %d", m.type, m.global_bytes, std::max(0, m.track_bytes));
    else
        std::snprintf(numbers, sizeof numbers, "\" %d", m.type);
    std::string line(1, '"');
    line.append(m.library).append(numbers);
    return line;
}
