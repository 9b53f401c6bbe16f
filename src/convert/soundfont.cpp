// SoundFont 2 reader. A bank is a RIFF file (little-endian):
//
//   "RIFF" size "sfbk"
//     "LIST" size "INFO"   ifil (word major, word minor: 2.x; 3.x is SF3), INAM (the bank's name), ...
//     "LIST" size "sdta"   smpl (16-bit signed mono values of every sample, back to back), sm24
//     "LIST" size "pdta"   phdr (38 bytes a record), pbag (4), pmod (10), pgen (4),
//                          inst (22), ibag (4), imod (10), igen (4), shdr (46)
//
// Every pdta table ends with a terminal record. A preset (phdr: name[20], word program, word
// bank, word first zone, dword library, genre, morphology) owns the zones pbag[first, next
// preset's first); a zone (pbag: word first generator, word first modulator) owns the generators
// pgen[first, next zone's first); a generator is word operator, word amount. Instruments (inst:
// name[20], word first zone) own the zones ibag and the generators igen the same way. A preset
// zone names its instrument by generator 41, an instrument zone its sample by generator 53. A
// sample (shdr: name[20], dwords start, end, loop start, loop end in frames of smpl, dword rate,
// byte original key, signed byte correction in cents, word link, word type).
//
// Chunks are read through bounded readers that know their end: a chunk whose size reaches past
// its parent, a table whose size is no whole number of records, an index past the table it
// names, or a sample past the end of smpl refuses the bank with one line naming the chunk.
// Nothing is allocated from a size before it was checked against the file. The pdta chunk (a few
// hundred KiB even in large banks) is read into memory in one go; the sample data is not read.
#include "convert/soundfont.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/byteio.h"

namespace {

constexpr size_t phdr_bytes = 38, bag_bytes = 4, mod_bytes = 10, gen_bytes = 4, inst_bytes = 22, shdr_bytes = 46;

// A refusal: one line naming the chunk.
struct Refusal {
    std::string line;
};

[[noreturn]] void refuse(const std::string& line) { throw Refusal{line}; }

std::string format(const char* fmt, unsigned long long a, unsigned long long b = 0, unsigned long long c = 0)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

// A chunk held in memory, read from its start towards its end and never past it.
struct ChunkReader {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;

    size_t room() const { return size - pos; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint16_t word()
    {
        const unsigned lo = byte();
        return uint16_t(lo | unsigned(byte()) << 8);
    }
    uint32_t dword()
    {
        const uint32_t lo = word();
        return lo | uint32_t(word()) << 16;
    }
    void text(char* out, size_t n) // n bytes, kept up to their first zero; out holds n + 1
    {
        for (size_t k = 0; k < n; ++k) out[k] = char(byte());
        out[n] = 0;
    }
    ChunkReader sub(size_t n) // the next n bytes as a chunk of their own
    {
        ChunkReader r{data + pos, n, 0};
        pos += n;
        return r;
    }
};

// One chunk header of the file: its id and where its body lies.
struct FileChunk {
    char id[5] = {};
    uint64_t body = 0;  // file offset
    uint64_t size = 0;  // bytes
};

// The chunk at `at` within the parent ending at `end`; `parent` names the parent in a refusal.
FileChunk file_chunk(FILE* f, uint64_t at, uint64_t end, const char* parent)
{
    FileChunk c;
    if (end - at < 8) refuse(std::string(parent) + ": cut inside a chunk header");
    uint8_t h[8];
    if (!stream_seek(f, int64_t(at)) || read_bytes(f, h, 8) < 8) refuse(std::string(parent) + ": cut inside a chunk header");
    std::memcpy(c.id, h, 4);
    for (int k = 0; k < 4; ++k)
        if (static_cast<unsigned char>(c.id[k]) < 0x20 || static_cast<unsigned char>(c.id[k]) > 0x7E) c.id[k] = '?';
    c.size = uint64_t(h[4]) | uint64_t(h[5]) << 8 | uint64_t(h[6]) << 16 | uint64_t(h[7]) << 24;
    c.body = at + 8;
    if (c.size > end - c.body)
        refuse(std::string(parent) + "/" + c.id + format(": cut (declares %llu bytes, %llu left)", c.size, end - c.body));
    return c;
}

uint64_t next_chunk(const FileChunk& c) { return c.body + c.size + (c.size & 1); }

// The list type of a LIST chunk (its first 4 bytes), "" when it has none.
std::string list_type(FILE* f, const FileChunk& c)
{
    if (std::strcmp(c.id, "LIST") != 0 || c.size < 4) return "";
    char t[5] = {};
    stream_seek(f, int64_t(c.body));
    read_bytes(f, reinterpret_cast<uint8_t*>(t), 4);
    return t;
}

void read_info(SoundFont& sf, FILE* f, const FileChunk& list)
{
    const uint64_t end = list.body + list.size;
    for (uint64_t at = list.body + 4; at < end;) {
        const FileChunk c = file_chunk(f, at, end, "INFO");
        if (std::strcmp(c.id, "ifil") == 0) {
            if (c.size < 4) refuse("INFO/ifil: shorter than its 4 bytes");
            uint8_t v[2];
            stream_seek(f, int64_t(c.body));
            read_bytes(f, v, 2);
            const unsigned major = unsigned(v[0] | v[1] << 8);
            if (major >= 3)
                refuse(format("INFO/ifil: version %llu, an SF3 bank (compressed samples); convert it to SF2 first", major));
            if (major != 2) refuse(format("INFO/ifil: version %llu, not a SoundFont 2 bank", major));
        } else if (std::strcmp(c.id, "INAM") == 0) {
            char name[257] = {};
            const size_t n = c.size < 256 ? size_t(c.size) : 256;
            stream_seek(f, int64_t(c.body));
            read_bytes(f, reinterpret_cast<uint8_t*>(name), n);
            name[n] = 0;
            sf.name = name;
        }
        at = next_chunk(c);
    }
}

void read_sdta(SoundFont& sf, FILE* f, const FileChunk& list)
{
    const uint64_t end = list.body + list.size;
    for (uint64_t at = list.body + 4; at < end;) {
        const FileChunk c = file_chunk(f, at, end, "sdta");
        if (std::strcmp(c.id, "smpl") == 0) {
            // A wave's data is counted in bytes that fit an int (2 GiB), like an XI sample's.
            if (c.size > uint64_t(INT32_MAX)) refuse("sdta/smpl: more than 2 GiB of samples");
            sf.sample_data = c.body;
            sf.sample_frames = uint32_t(c.size / 2);
        }
        at = next_chunk(c);
    }
}

// The records of a pdta table, checked for a whole number of records and at least the terminal one.
ChunkReader table(ChunkReader* tables, const char* id, size_t record, size_t& count)
{
    ChunkReader& r = *tables;
    if (!r.data) refuse(std::string("pdta/") + id + ": missing");
    if (r.size % record != 0 || r.size == 0)
        refuse(std::string("pdta/") + id + format(": %llu bytes, not a whole number of %llu-byte records", r.size, record));
    count = r.size / record;
    return r;
}

// Zone ranges: each of the `count` - 1 records' first index (read by `first`) lies within
// [previous, next record's first] and the last one's end within the `target` table of `limit`
// entries.
template <class Record>
void check_ranges(const std::vector<Record>& rec, uint32_t Record::*first, uint32_t Record::*end, size_t limit,
                  const char* id, const char* what, const char* target)
{
    for (size_t k = 0; k < rec.size(); ++k) {
        const Record& r = rec[k];
        if (r.*end < r.*first || r.*end > limit)
            refuse(std::string("pdta/") + id + ": " + what + format(" %llu names %llu..%llu", k, r.*first, r.*end) +
                   " (" + target + format(" holds %llu)", limit));
    }
}

void read_presets(ChunkReader r, size_t count, std::vector<SfPreset>& out, bool with_bank)
{
    out.resize(count - 1);
    std::vector<uint32_t> first(count);
    for (size_t k = 0; k < count; ++k) {
        SfPreset p;
        r.text(p.name, 20);
        if (with_bank) {
            p.program = r.word();
            p.bank = r.word();
        }
        first[k] = r.word();
        if (with_bank) r.pos += 12; // library, genre, morphology
        if (k + 1 < count) out[k] = p;
    }
    for (size_t k = 0; k + 1 < count; ++k) {
        out[k].first_zone = first[k];
        out[k].end_zone = first[k + 1];
    }
}

void read_zones(ChunkReader r, size_t count, std::vector<SfZone>& out)
{
    out.resize(count);
    std::vector<uint32_t> first(count);
    for (size_t k = 0; k < count; ++k) {
        first[k] = r.word();
        r.word(); // first modulator: modulators are not used
    }
    for (size_t k = 0; k < count; ++k) {
        out[k].first_gen = first[k];
        out[k].end_gen = k + 1 < count ? first[k + 1] : first[k];
    }
}

void read_generators(ChunkReader r, size_t count, std::vector<SfGenerator>& out)
{
    out.resize(count);
    for (SfGenerator& g : out) {
        g.oper = r.word();
        g.amount = r.word();
    }
}

// Generators that name an entry of another table name one within it.
void check_links(const std::vector<SfGenerator>& gens, uint16_t oper, size_t limit, const char* id, const char* target)
{
    for (size_t k = 0; k < gens.size(); ++k)
        if (gens[k].oper == oper && gens[k].amount >= limit)
            refuse(std::string("pdta/") + id + format(": generator %llu names entry %llu", k, gens[k].amount) + " of " +
                   target + format(" (it holds %llu)", limit));
}

void read_pdta(SoundFont& sf, FILE* f, const FileChunk& list)
{
    // The whole chunk in memory: its size was checked against the file.
    std::vector<uint8_t> bytes(size_t(list.size - 4));
    stream_seek(f, int64_t(list.body + 4));
    if (read_bytes(f, bytes.data(), bytes.size()) < bytes.size()) refuse("pdta: cut");
    ChunkReader all{bytes.data(), bytes.size(), 0};

    static constexpr const char* ids[9] = {"phdr", "pbag", "pmod", "pgen", "inst", "ibag", "imod", "igen", "shdr"};
    ChunkReader tables[9];
    while (all.room() > 0) {
        if (all.room() < 8) refuse("pdta: cut inside a chunk header");
        char id[5] = {};
        all.text(id, 4);
        const uint32_t size = all.dword();
        if (size > all.room()) refuse(std::string("pdta/") + id + format(": cut (declares %llu bytes, %llu left)", size, all.room()));
        ChunkReader body = all.sub(size);
        if (size & 1 && all.room()) all.pos += 1;
        for (int k = 0; k < 9; ++k)
            if (std::strcmp(id, ids[k]) == 0) tables[k] = body;
    }
    size_t n_phdr, n_pbag, n_pmod, n_pgen, n_inst, n_ibag, n_imod, n_igen, n_shdr;
    const ChunkReader phdr = table(&tables[0], "phdr", phdr_bytes, n_phdr);
    const ChunkReader pbag = table(&tables[1], "pbag", bag_bytes, n_pbag);
    table(&tables[2], "pmod", mod_bytes, n_pmod);
    const ChunkReader pgen = table(&tables[3], "pgen", gen_bytes, n_pgen);
    const ChunkReader inst = table(&tables[4], "inst", inst_bytes, n_inst);
    const ChunkReader ibag = table(&tables[5], "ibag", bag_bytes, n_ibag);
    table(&tables[6], "imod", mod_bytes, n_imod);
    const ChunkReader igen = table(&tables[7], "igen", gen_bytes, n_igen);
    const ChunkReader shdr = table(&tables[8], "shdr", shdr_bytes, n_shdr);

    read_presets(phdr, n_phdr, sf.presets, true);
    read_zones(pbag, n_pbag, sf.preset_zones);
    read_generators(pgen, n_pgen, sf.preset_gens);
    read_presets(inst, n_inst, sf.instruments, false);
    read_zones(ibag, n_ibag, sf.instrument_zones);
    read_generators(igen, n_igen, sf.instrument_gens);

    // A zone k uses bag records k and k + 1: the zones of a preset end at the terminal bag at most.
    check_ranges(sf.presets, &SfPreset::first_zone, &SfPreset::end_zone, n_pbag - 1, "phdr", "preset", "pbag");
    check_ranges(sf.preset_zones, &SfZone::first_gen, &SfZone::end_gen, n_pgen, "pbag", "zone", "pgen");
    check_ranges(sf.instruments, &SfPreset::first_zone, &SfPreset::end_zone, n_ibag - 1, "inst", "instrument", "ibag");
    check_ranges(sf.instrument_zones, &SfZone::first_gen, &SfZone::end_gen, n_igen, "ibag", "zone", "igen");
    check_links(sf.preset_gens, sf_instrument, n_inst - 1, "pgen", "inst");
    check_links(sf.instrument_gens, sf_sample_id, n_shdr - 1, "igen", "shdr");

    ChunkReader s = shdr;
    sf.samples.resize(n_shdr - 1);
    for (size_t k = 0; k + 1 < n_shdr; ++k) {
        SfSample& m = sf.samples[k];
        s.text(m.name, 20);
        m.start = s.dword();
        m.end = s.dword();
        m.loop_start = s.dword();
        m.loop_end = s.dword();
        m.rate = s.dword();
        m.pitch = s.byte();
        m.correction = int8_t(s.byte());
        m.link = s.word();
        m.type = s.word();
        if (m.type & sf_compressed_sample)
            refuse(format("pdta/shdr: sample %llu is compressed (an SF3 bank); convert it to SF2 first", k));
        if (m.type & sf_rom_sample) continue; // data in a ROM this program does not have: never used
        if (m.start > m.end || m.end > sf.sample_frames)
            refuse(format("pdta/shdr: sample %llu (frames %llu..%llu)", k, m.start, m.end) +
                   format(" reaches past smpl (%llu frames)", sf.sample_frames));
        if (m.rate == 0 && m.end > m.start) refuse(format("pdta/shdr: sample %llu has a sample rate of 0", k));
        // A stereo partner outside the table is no partner: the sample plays alone.
        if (m.link >= n_shdr - 1) m.type = 1;
    }
}

} // namespace

std::string read_soundfont(SoundFont& sf, const char* path)
{
    sf = SoundFont();
    sf.path = path;
    sf.file = open_file(path, "rb");
    if (!sf.file) return std::strerror(errno ? errno : ENOENT);
    FILE* f = sf.file.get();
    try {
        const uint64_t length = stream_length(f);
        uint8_t head[12] = {};
        read_bytes(f, head, 12);
        if (length < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "sfbk", 4) != 0)
            refuse("not a SoundFont (no RIFF \"sfbk\" header)");
        const uint64_t riff = uint64_t(head[4]) | uint64_t(head[5]) << 8 | uint64_t(head[6]) << 16 | uint64_t(head[7]) << 24;
        if (riff < 4 || riff > length - 8) refuse(format("RIFF: cut (declares %llu bytes, the file holds %llu)", riff, length - 8));
        const uint64_t end = 8 + riff;
        bool info = false, sdta = false, pdta = false;
        for (uint64_t at = 12; at < end;) {
            const FileChunk c = file_chunk(f, at, end, "sfbk");
            const std::string type = list_type(f, c);
            if (type == "INFO") read_info(sf, f, c), info = true;
            else if (type == "sdta") read_sdta(sf, f, c), sdta = true;
            else if (type == "pdta") pdta = true;
            if (type == "pdta") {
                // After sdta whatever the order in the file: shdr is checked against smpl.
                at = next_chunk(c);
                if (!sdta) {
                    for (uint64_t later = at; later < end;) {
                        const FileChunk d = file_chunk(f, later, end, "sfbk");
                        if (list_type(f, d) == "sdta") read_sdta(sf, f, d), sdta = true;
                        later = next_chunk(d);
                    }
                }
                read_pdta(sf, f, c);
                continue;
            }
            at = next_chunk(c);
        }
        if (!info) refuse("INFO: missing");
        if (!pdta) refuse("pdta: missing");
    } catch (const Refusal& r) {
        sf.file.reset();
        return r.line;
    }
    return "";
}

const SfPreset* find_preset(const SoundFont& sf, int bank, int program)
{
    for (const SfPreset& p : sf.presets)
        if (p.bank == bank && p.program == program) return &p;
    return nullptr;
}
