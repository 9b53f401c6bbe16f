// CWAV: compressed waves (layout in compressed_waves.h). The packed levels have no length field,
// so an entry's end is known only once every level is decoded: the merge, the rips and the
// listing walk the entries one after the other, and a section whose entries do not end exactly
// at its end is refused rather than guessed at.
#include "buzz/compressed_waves.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "core/byteio.h"
#include "core/log.h"

namespace {

constexpr size_t read_block = 65536;   // bytes of the section read at a time
constexpr size_t sink_block = 65536;   // decoded bytes handed on at a time
constexpr int max_block_frames = 1 << 15;

[[noreturn]] void unreadable(const char* fmt, unsigned a, unsigned long long b = 0)
{
    char why[160];
    std::snprintf(why, sizeof why, fmt, a, b);
    char msg[224];
    std::snprintf(msg, sizeof msg, "CWAV section unreadable: %s!!", why);
    job_abort(msg);
}

// The bits of one section from a byte offset on, least significant bit of each byte first.
class BitStream {
public:
    BitStream(SectionReader& in, uint16_t wave) : in_(in), wave_(wave), start_(in.pos), buf_(read_block) {}

    // Bits taken so far.
    uint64_t taken() const { return taken_; }
    // Bits left in the section after those taken.
    uint64_t left() const { return (in_.room() + (buf_len_ - buf_pos_)) * 8 + unsigned(held_); }
    // Offset behind the last byte a bit was taken from.
    uint64_t end() const { return start_ + (taken_ + 7) / 8; }

    // n bits (0..16), the first one least significant.
    unsigned bits(int n)
    {
        if (held_ < n) fill(n);
        const unsigned v = unsigned(acc_ & ((uint64_t(1) << n) - 1));
        acc_ >>= n;
        held_ -= n;
        taken_ += uint64_t(n);
        return v;
    }

    // A run of zero bits ended by a one bit: the number of zeros.
    uint64_t zeros()
    {
        uint64_t z = 0;
        for (;;) {
            if (held_ == 0) fill(1);
            if (acc_ != 0) {
                const int t = std::countr_zero(acc_);
                acc_ = t + 1 < 64 ? acc_ >> (t + 1) : 0;
                held_ -= t + 1;
                taken_ += uint64_t(t) + 1;
                return z + uint64_t(t);
            }
            z += uint64_t(held_);
            taken_ += uint64_t(held_);
            acc_ = 0;
            held_ = 0;
        }
    }

private:
    // At least n bits held (n <= 57), or the entry runs past the section.
    void fill(int n)
    {
        while (held_ <= 56) {
            if (buf_pos_ == buf_len_) {
                const size_t want = size_t(std::min<uint64_t>(in_.room(), read_block));
                if (want == 0) break;
                buf_len_ = in_.block(buf_.data(), want);
                buf_pos_ = 0;
                if (buf_len_ < want) unreadable("wave %u runs past the end of the file", wave_);
            }
            acc_ |= uint64_t(buf_[buf_pos_++]) << held_;
            held_ += 8;
        }
        if (held_ < n) unreadable("wave %u runs past the section's end", wave_);
    }

    SectionReader& in_;
    uint16_t wave_;
    uint64_t start_;
    uint64_t taken_ = 0;
    uint64_t acc_ = 0; // bits not yet taken, the next one lowest
    int held_ = 0;
    std::vector<uint8_t> buf_;
    size_t buf_pos_ = 0, buf_len_ = 0;
};

// Decoded samples gathered and handed to the sink in blocks.
struct SampleOut {
    const WaveSink* sink;
    std::vector<uint8_t> bytes;
    void put(uint16_t s)
    {
        bytes.push_back(uint8_t(s));
        bytes.push_back(uint8_t(s >> 8));
        if (bytes.size() >= sink_block) flush();
    }
    void flush()
    {
        if (sink && !bytes.empty()) sink->put(sink->user, bytes.data(), bytes.size());
        bytes.clear();
    }
};

// One channel's three running sums.
struct Sums {
    uint16_t a = 0, b = 0, result = 0;
    void add(unsigned method, uint16_t v)
    {
        switch (method) {
        case 0: b = uint16_t(v - result - a); a = uint16_t(v - result); result = v; break;
        case 1: b = uint16_t(v - a); a = v; result = uint16_t(result + v); break;
        case 2: b = v; a = uint16_t(a + v); result = uint16_t(result + a); break;
        default: b = uint16_t(b + v); a = uint16_t(a + b); result = uint16_t(result + a); break;
        }
    }
};

void decode_level(BitStream& bits, uint16_t wave, uint32_t frames, bool stereo, std::vector<uint16_t> (&results)[2],
                  SampleOut* out)
{
    const int channels = stereo ? 2 : 1;
    if (const uint64_t method = bits.zeros(); method != 0)
        unreadable("wave %u is packed by unknown method %llu", wave, method);
    const int block = 1 << bits.bits(4);
    const int shift = int(bits.bits(4));
    const bool sum = stereo && bits.bits(1) != 0;
    // Every frame of every channel takes a bit at least: a count the section cannot hold is
    // refused before anything is decoded.
    if (uint64_t(frames) * uint64_t(channels) > bits.left())
        unreadable("wave %u runs past the section's end", wave);
    Sums sums[2];
    for (uint32_t done = 0; done < frames;) {
        const int n = int(std::min<uint32_t>(uint32_t(block), frames - done));
        for (int c = 0; c < channels; ++c) {
            const unsigned method = bits.bits(2);
            const int width = int(bits.bits(4));
            for (int i = 0; i < n; ++i) {
                const unsigned low = bits.bits(width);
                const uint64_t z = bits.zeros();
                const unsigned u = unsigned(((z & 0xFFFF) << width | low) & 0xFFFF);
                const uint16_t v = (u & 1) == 0 ? uint16_t(u / 2) : uint16_t(0x10000 - (u + 1) / 2);
                sums[c].add(method, v);
                results[c][size_t(i)] = sums[c].result;
            }
        }
        if (out) {
            for (int i = 0; i < n; ++i) {
                const uint16_t left = results[0][size_t(i)];
                out->put(uint16_t(left << shift));
                if (stereo) {
                    const uint16_t right = sum ? uint16_t(results[1][size_t(i)] + left) : results[1][size_t(i)];
                    out->put(uint16_t(right << shift));
                }
            }
        }
        done += uint32_t(n);
    }
}

} // namespace

WaveShapeIndex::WaveShapeIndex(const InputSummary& song)
    : shapes_(song.wave_shapes), frames_(song.level_frames), by_index_(65536, -1)
{
    for (size_t k = 0; k < shapes_.size(); ++k)
        if (by_index_[shapes_[k].index] < 0) by_index_[shapes_[k].index] = int32_t(k);
}

const WaveShape* WaveShapeIndex::find(uint16_t index) const
{
    const int32_t k = by_index_[index];
    return k < 0 ? nullptr : &shapes_[size_t(k)];
}

void read_compressed_wave(SectionReader& in, const WaveShapeIndex& shapes, CompressedWave& out, const WaveSink* sink)
{
    out = CompressedWave();
    out.start = in.pos;
    if (in.room() < 3) unreadable("an entry runs past the section's end", 0);
    out.index = in.word();
    out.format = in.byte();
    if (out.format == 0) {
        if (in.room() < 4) unreadable("wave %u runs past the section's end", out.index);
        out.raw_bytes = in.dword();
        out.data = in.pos;
        if (out.raw_bytes > in.room()) unreadable("wave %u runs past the section's end", out.index);
        if (sink) {
            std::vector<uint8_t> buf(std::min<size_t>(out.raw_bytes, read_block));
            for (uint32_t done = 0; done < out.raw_bytes;) {
                const size_t n = std::min<size_t>(out.raw_bytes - done, buf.size());
                if (in.block(buf.data(), n) != n) unreadable("wave %u runs past the end of the file", out.index);
                sink->put(sink->user, buf.data(), n);
                done += uint32_t(n);
            }
        } else {
            in.skip(out.raw_bytes);
        }
        out.end = in.pos;
        return;
    }
    if (out.format != 1) unreadable("wave %u has the unknown format %llu", out.index, out.format);
    const WaveShape* w = shapes.find(out.index);
    if (!w) unreadable("wave %u is not in the wave table", out.index);
    out.data = in.pos;
    const uint64_t channels = w->stereo ? 2 : 1;
    uint64_t raw = 0;
    for (uint32_t l = 0; l < w->levels; ++l) raw += uint64_t(shapes.level_frames(*w, l)) * 2 * channels;
    if (raw > 0xFFFFFFFFu) unreadable("wave %u has %llu bytes, more than a wave holds", out.index, raw);
    out.raw_bytes = uint32_t(raw);

    BitStream bits(in, out.index);
    std::vector<uint16_t> results[2] = {std::vector<uint16_t>(max_block_frames), std::vector<uint16_t>(max_block_frames)};
    SampleOut samples{sink, {}};
    for (uint32_t l = 0; l < w->levels; ++l)
        decode_level(bits, out.index, shapes.level_frames(*w, l), w->stereo, results, sink ? &samples : nullptr);
    samples.flush();
    out.end = bits.end(); // the next entry begins at the next whole byte
    in.seek(out.end);
}

void check_compressed_waves_end(const SectionReader& in)
{
    if (in.room() != 0)
        unreadable("its waves end before the section does (%u bytes left)", unsigned(std::min<uint64_t>(in.room(), 0xFFFFFFFFu)));
}

void read_compressed_wave_list(SectionReader& in, const WaveShapeIndex& shapes, std::vector<CompressedWave>& out)
{
    out.clear();
    if (in.room() < 2) unreadable("it has no count of its waves", 0);
    const uint16_t count = in.word();
    out.reserve(count);
    for (int k = 0; k < count; ++k) {
        CompressedWave e;
        read_compressed_wave(in, shapes, e, nullptr);
        out.push_back(e);
    }
    check_compressed_waves_end(in);
}
