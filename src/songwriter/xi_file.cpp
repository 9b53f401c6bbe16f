// XI instrument files for a BMW song: an XM instrument written out again as the instrument reader
// reads it (convert/instrument_reader.cpp), a MOD sample as a one-sample instrument over every
// key. Each file is written under a scratch name and named when it is complete.
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
// Instrument body (230 bytes), the same in an XM instrument:
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

constexpr uint64_t sample_header_bytes = 40;
constexpr size_t key_map_size = 96;
constexpr size_t xi_body_bytes = 2 + 230 + 2; // version, instrument body, sample count
constexpr size_t xi_copy_block = size_t(1) << 20; // bytes of sample data per copy into an XI file


// A write into an exported XI file that failed (a full disk) ends the job rather than leaving a
// cut instrument behind for the song to name.
[[noreturn]] void xi_write_failed(const char* path)
{
    const int e = errno;
    const std::string msg = std::string("Could not write XI-file ") + path + "!!";
    job_abort(file_failure(FailedFile::xi_file, path, e, msg.c_str()));
}

// True when the two files hold the same bytes.
bool same_content(const char* a, const char* b)
{
    if (platform::file_length(a) != platform::file_length(b)) return false;
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
std::string xi_candidate_name(const Conversion& c, int i, int n)
{
    const char* input = song_input_name(c.song).c_str();
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
    char tail[32];
    std::snprintf(tail, sizeof tail, "%.*s%s%02x.xi", len, base, mark, unsigned(i));
    return std::string(c.settings.xi_dir) + tail;
}

} // namespace

namespace {
// A name the job gives another file: the song's or the log's.
bool names_a_job_file(const Conversion& c, const char* path)
{
    return platform::same_file(path, c.settings.output_file.c_str()) || platform::same_file(path, c.settings.log_file.c_str());
}
} // namespace

// An exported XI file is written under a scratch name beside it and is the job's until its song is
// kept: its name is kept by an empty file meanwhile, and the instrument takes it together with the
// song (an interrupted or failed conversion removes both). Its name is the usual one unless that
// name is taken by anything else (another song's instrument, a folder, a link, a file this job
// writes, another running job's instrument): then the next free name, and the song's wave table
// names that file. A file of that name that holds this very instrument is used as it is: that is
// a kept song's, as no job's own instrument is found complete under its name.
bool XiExport::open(int instrument)
{
    index = instrument;
    path = xi_candidate_name(c, instrument, 0);
    return out.create(path.c_str(), ".part");
}

bool XiExport::open_as(int instrument, const std::string& name)
{
    index = instrument;
    fixed_name = name;
    path = name;
    return out.create(path.c_str(), ".part");
}

namespace {
// The n-th name of a file with a fixed name: "gmp_01.xi", "gmp_01~1.xi", ...
std::string fixed_candidate_name(const std::string& name, int n)
{
    if (n == 0) return name;
    const size_t dot = name.size() >= 3 && name.compare(name.size() - 3, 3, ".xi") == 0 ? name.size() - 3 : name.size();
    return name.substr(0, dot) + "~" + std::to_string(n) + name.substr(dot);
}
} // namespace

void XiExport::write_failed() const { xi_write_failed(path.c_str()); }

void XiExport::write_data(const void* data, size_t n)
{
    if (n && std::fwrite(data, 1, n, out.get()) != n) xi_write_failed(path.c_str());
}

void XiExport::write_head(const char* name)
{
    char head[66];
    std::snprintf(head, sizeof head, "Extended Instrument: %-22.22s\x1A" "FastTracker v2.00   ", name);
    write_data(head, 64);
}

void XiExport::write_body(const InstrumentBody& body, unsigned sample_count)
{
    uint8_t b[xi_body_bytes] = {};
    uint8_t* p = b;
    auto word = [&p](unsigned v) { store_le16(p, v), p += 2; };
    word(0x0102);
    std::memcpy(p, body.key_map, key_map_size);
    p += key_map_size;
    for (uint16_t v : body.volume_envelope) word(v);
    for (uint16_t v : body.panning_envelope) word(v);
    std::memcpy(p, body.points, sizeof body.points);
    p += sizeof body.points;
    word(body.fadeout);
    word(body.reserved);
    p += 20; // reserved, written as zeros
    word(sample_count);
    write_data(b, sizeof b);
}

void XiExport::write_sample_header(const SampleHeader& h)
{
    uint8_t b[sample_header_bytes] = {};
    store_le32(b, h.length);
    store_le32(b + 4, h.loop_start);
    store_le32(b + 8, h.loop_length);
    uint8_t* p = b + 12;
    for (uint8_t v : {h.volume, h.finetune, h.type, h.panning, h.relative_note, h.reserved}) *p++ = v;
    char name[23];
    std::snprintf(name, sizeof name, "%-22s", h.name);
    std::memcpy(p, name, 22);
    write_data(b, sizeof b);
}

void XiExport::finish()
{
    if (!out.get() && out.name().empty()) return;
    constexpr int max_names = 1000;
    for (int n = 0; n < max_names; ++n) {
        if (n) path = fixed_name.empty() ? xi_candidate_name(c, index, n) : fixed_candidate_name(fixed_name, n);
        const char* name = path.c_str();
        if (names_a_job_file(c, name)) continue;
        // A file to replace (-y) is this job's choice; otherwise the name is held and the file
        // takes it only with the song, so that no other job counts on it before.
        const int e = replace ? out.commit(name, true, &c.exported_xi_files) : out.commit_later(name, c.exported_xi_files);
        if (e != 0 && e != EEXIST) xi_write_failed(name); // a full disk: the scratch file is gone
        if (e == EEXIST) {
            if (!platform::file_exists(name) || !same_content(out.name().c_str(), name)) continue;
            out.discard(); // this very instrument is already there
        }
        const size_t len = path.size() + 1;
        char* keep = pool_array<char>(c.pool, len);
        std::memcpy(keep, name, len);
        c.song.instrument_table[index].xi_file = keep;
        if (n) {
            log_forced(c.log, "\nXI-file of instrument %d named %s (the usual name is taken)", index, name);
        }
        return;
    }
    out.discard();
    xi_write_failed(path.c_str());
}

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

std::string xi_export_name(const Conversion& c, int i)
{
    // The module being read: the converted XM when an outside converter made one, else the name
    // the conversion was given. An instrument exported under another name keeps that one.
    const InstrumentRecord* ins = c.song.instrument_table && i >= 0 && i < c.song.instrument_count
                                      ? &c.song.instrument_table[i] : nullptr;
    return ins && ins->xi_file ? std::string(ins->xi_file) : xi_candidate_name(c, i, 0);
}

void export_mod_sample_xi(Conversion& c, int instrument, FILE* in, int64_t offset, uint32_t bytes)
{
    const InstrumentRecord& ins = c.song.instrument_table[instrument];
    const SampleRecord& s = ins.samples[0];
    XiExport xi(c);
    if (!xi.open(instrument)) {
        c.log.log_enabled = 2;
        log_print(c.log, "\nCould not create XI-file %s!!", xi.path.c_str());
        xi_write_failed(xi.path.c_str());
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
