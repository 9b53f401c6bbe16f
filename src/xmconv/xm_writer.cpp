// Writes the XM layout of an XmModule.
#include "xmconv/xm_writer.h"

#include "convert/module_formats.h"
#include "core/byteio.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace xmconv {

namespace {

// Sizes of the fixed records.
constexpr uint32_t header_size = 276;            // from offset 60: size field, 8 words, 256 orders
constexpr uint32_t pattern_header_size = 9;      // size, packing type, rows, packed size
constexpr uint32_t instrument_header_size = 263; // up to and including the reserved bytes
constexpr uint32_t sample_header_size = 40;
constexpr uint32_t empty_instrument_head = 29;   // size, name, type, sample count

class Out {
public:
    explicit Out(std::vector<uint8_t>& b) : bytes(b) {}
    void u8(unsigned v) { bytes.push_back(uint8_t(v)); }
    void u16(unsigned v)
    {
        uint8_t b[2];
        store_le16(b, v);
        bytes.insert(bytes.end(), b, b + 2);
    }
    void u32(uint32_t v)
    {
        uint8_t b[4];
        store_le32(b, v);
        bytes.insert(bytes.end(), b, b + 4);
    }
    void text(const std::string& s, size_t n, uint8_t pad)
    {
        for (size_t i = 0; i < n; ++i) u8(i < s.size() ? uint8_t(s[i]) : pad);
    }
    void zeros(size_t n) { bytes.insert(bytes.end(), n, 0); }
    size_t size() const { return bytes.size(); }
    std::vector<uint8_t>& bytes;
};

bool envelope_ok(const XmEnvelope& e)
{
    if (e.count > xm_max_envelope_points) return false;
    if (e.count == 0) return (e.flags & xm_env_on) == 0;
    if ((e.flags & xm_env_sustain) && e.sustain >= e.count) return false;
    if ((e.flags & xm_env_loop) && (e.loop_start > e.loop_end || e.loop_end >= e.count)) return false;
    for (int i = 1; i < e.count; ++i)
        if (e.points[i][0] <= e.points[i - 1][0]) return false;
    for (int i = 0; i < e.count; ++i)
        if (e.points[i][1] > 64) return false;
    return true;
}

void put_envelope_points(Out& o, const XmEnvelope& e)
{
    for (int i = 0; i < xm_max_envelope_points; ++i) {
        o.u16(i < e.count ? e.points[i][0] : 0);
        o.u16(i < e.count ? e.points[i][1] : 0);
    }
}

// One pattern cell in FT2's packing: a mask byte with bit 7 set followed by the fields present,
// or all five fields unpacked when that is shorter.
void put_cell(Out& o, const XmCell& c)
{
    uint8_t mask = 0x80;
    if (c.note) mask |= 1;
    if (c.instrument) mask |= 2;
    if (c.volume) mask |= 4;
    if (c.effect) mask |= 8;
    if (c.param) mask |= 16;
    if (mask == 0x9F) {
        o.u8(c.note); o.u8(c.instrument); o.u8(c.volume); o.u8(c.effect); o.u8(c.param);
        return;
    }
    o.u8(mask);
    if (mask & 1) o.u8(c.note);
    if (mask & 2) o.u8(c.instrument);
    if (mask & 4) o.u8(c.volume);
    if (mask & 8) o.u8(c.effect);
    if (mask & 16) o.u8(c.param);
}

void put_pattern(Out& o, const XmPattern& p, int channels)
{
    o.u32(pattern_header_size);
    o.u8(0);
    o.u16(unsigned(p.rows));
    bool empty = true;
    for (const XmCell& c : p.cells) empty = empty && c.empty();
    // An empty pattern is stored as FT2 stores it: no packed data at all.
    if (empty) { o.u16(0); return; }
    size_t size_at = o.size();
    o.u16(0);
    for (int r = 0; r < p.rows; ++r)
        for (int ch = 0; ch < channels; ++ch) put_cell(o, p.cells[size_t(r) * size_t(channels) + size_t(ch)]);
    size_t packed = o.size() - size_at - 2;
    o.bytes[size_at] = uint8_t(packed & 0xFF);
    o.bytes[size_at + 1] = uint8_t(packed >> 8);
}

void put_instrument(Out& o, const XmInstrument& in)
{
    o.u32(instrument_header_size);
    o.text(in.name, 22, 0);
    o.u8(0);
    o.u16(unsigned(in.samples.size()));
    if (in.samples.empty()) {
        o.zeros(instrument_header_size - empty_instrument_head);
        return;
    }
    size_t start = o.size() - empty_instrument_head;
    o.u32(sample_header_size);
    for (uint8_t s : in.note_map) o.u8(s);
    put_envelope_points(o, in.volume_envelope);
    put_envelope_points(o, in.panning_envelope);
    const XmEnvelope& v = in.volume_envelope;
    const XmEnvelope& p = in.panning_envelope;
    o.u8(v.count); o.u8(p.count);
    o.u8(v.sustain); o.u8(v.loop_start); o.u8(v.loop_end);
    o.u8(p.sustain); o.u8(p.loop_start); o.u8(p.loop_end);
    o.u8(v.flags); o.u8(p.flags);
    o.u8(in.vibrato_type); o.u8(in.vibrato_sweep); o.u8(in.vibrato_depth); o.u8(in.vibrato_rate);
    o.u16(in.fadeout);
    o.u16(0);
    o.zeros(instrument_header_size - (o.size() - start));

    for (const XmSample& s : in.samples) {
        uint32_t width = s.is_16bit ? 2 : 1;
        uint8_t loop = s.loop_length ? s.loop_type : uint8_t(xm_loop_none);
        o.u32(uint32_t(s.frames.size()) * width);
        o.u32(loop ? s.loop_start * width : 0);
        o.u32(loop ? s.loop_length * width : 0);
        o.u8(s.volume);
        o.u8(uint8_t(s.finetune));
        o.u8(unsigned(loop) | (s.is_16bit ? 0x10u : 0u));
        o.u8(s.panning);
        o.u8(uint8_t(s.relative_note));
        o.u8(0);
        o.text(s.name, 22, 0);
    }
    // Sample data: each value stored as the difference to the one before.
    for (const XmSample& s : in.samples) {
        int16_t last = 0;
        for (int16_t v : s.frames) {
            int16_t delta = int16_t(uint16_t(v) - uint16_t(last));
            if (s.is_16bit) o.u16(uint16_t(delta));
            else o.u8(uint8_t(delta));
            last = v;
        }
    }
}

} // namespace

std::string xm_check(const XmModule& m)
{
    if (m.channels < 1 || m.channels > xm_max_channels)
        return "the module has " + std::to_string(m.channels) + " channels, XM allows at most 32";
    if (m.orders.empty()) return "the module has an empty order list";
    if (m.orders.size() > size_t(xm_max_orders)) return "the order list is longer than 256 entries";
    if (m.patterns.empty() || m.patterns.size() > size_t(xm_max_patterns))
        return "the module has " + std::to_string(m.patterns.size()) + " patterns, XM allows 1 to 256";
    if (m.instruments.size() > size_t(xm_max_instruments))
        return "the module has " + std::to_string(m.instruments.size()) +
               " instruments, XM allows at most 128";
    if (m.speed < 1 || m.speed > 31 || m.bpm < 32 || m.bpm > 255) return "initial speed or BPM out of range";
    if (m.restart < 0 || size_t(m.restart) >= m.orders.size()) return "restart position outside the order list";
    for (uint8_t o : m.orders)
        if (o >= m.patterns.size()) return "an order entry names a pattern that does not exist";
    for (size_t i = 0; i < m.patterns.size(); ++i) {
        const XmPattern& p = m.patterns[i];
        if (p.rows < 1 || p.rows > xm_max_rows)
            return "pattern " + std::to_string(i) + " has " + std::to_string(p.rows) +
                   " rows, XM allows 1 to 256";
        if (p.cells.size() != size_t(p.rows) * size_t(m.channels))
            return "pattern " + std::to_string(i) + " has the wrong number of cells";
        for (const XmCell& c : p.cells)
            if (c.note > xm_key_off || c.instrument > xm_max_instruments)
                return "pattern " + std::to_string(i) + " holds a note or instrument out of range";
    }
    for (size_t i = 0; i < m.instruments.size(); ++i) {
        const XmInstrument& in = m.instruments[i];
        std::string which = "instrument " + std::to_string(i + 1);
        if (in.samples.size() > size_t(xm_max_samples_per_instrument)) return which + " has more than 16 samples";
        for (uint8_t s : in.note_map)
            if (!in.samples.empty() && s >= in.samples.size()) return which + " maps a note to a missing sample";
        if (!envelope_ok(in.volume_envelope) || !envelope_ok(in.panning_envelope))
            return which + " has a malformed envelope";
        if (in.fadeout > 0xFFF) return which + " has a fadeout above 0xFFF";
        for (const XmSample& s : in.samples) {
            uint64_t frames = s.frames.size();
            if (frames * (s.is_16bit ? 2u : 1u) > 0x7FFFFFFFu) return which + " has a sample that is too long";
            if (s.volume > 64) return which + " has a sample volume above 64";
            if (s.loop_type > xm_loop_pingpong) return which + " has an unknown loop type";
            if (s.loop_type != xm_loop_none && s.loop_length &&
                (uint64_t(s.loop_start) + s.loop_length > frames))
                return which + " has a sample loop past the sample's end";
        }
    }
    return {};
}

std::vector<uint8_t> xm_encode(const XmModule& m)
{
    std::vector<uint8_t> bytes;
    Out o(bytes);
    o.text(xm_magic, xm_magic_size, 0);
    o.text(m.name, 20, 0);
    o.u8(0x1A);
    o.text(m.tracker, 20, ' ');
    o.u16(0x0104);
    o.u32(header_size);
    o.u16(unsigned(m.orders.size()));
    o.u16(unsigned(m.restart));
    o.u16(unsigned(m.channels));
    o.u16(unsigned(m.patterns.size()));
    o.u16(unsigned(m.instruments.size()));
    o.u16(m.linear_frequencies ? 1 : 0);
    o.u16(unsigned(m.speed));
    o.u16(unsigned(m.bpm));
    for (int i = 0; i < xm_max_orders; ++i) o.u8(size_t(i) < m.orders.size() ? m.orders[size_t(i)] : 0);
    for (const XmPattern& p : m.patterns) put_pattern(o, p, m.channels);
    for (const XmInstrument& in : m.instruments) put_instrument(o, in);
    return bytes;
}

bool xm_write_file(const XmModule& m, const std::string& path, std::string& error)
{
    error = xm_check(m);
    if (!error.empty()) return false;
    std::vector<uint8_t> bytes = xm_encode(m);
    // A name of its own beside the output, created exclusively (never an existing file or a
    // planted link): several conversions may run in one folder at once. "<output>.part" first,
    // the name a calling kestrix watches. The XM then replaces a file of its name, as the
    // callers expect (kestrix reserves that name for it).
    platform::ScratchFile temp;
    if (!temp.create_exactly(path + ".part") && !temp.create(path, ".part")) {
        error = "cannot create " + path + ".part: " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), temp.get()) == bytes.size();
    const int e = written ? temp.commit(path.c_str(), true) : EIO;
    if (e) {
        error = "cannot write " + path + ": " + platform::error_text(e);
        return false;
    }
    return true;
}

} // namespace xmconv
