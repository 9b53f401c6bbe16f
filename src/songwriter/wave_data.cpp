// WAVE section data of a BMX song (little-endian):
//   word  wave count
//   per wave, in instrument order: word wave index, byte 0 (16-bit signed mono), dword data
//         bytes, then the values of each of its samples: one 16-bit value per frame
//
// Nothing of it is held between the passes but its layout: each instrument with a wave carries
// its entry header (index, declared byte count, which file its data is in), each sample where
// its stored data lies and how many values it gives, or that one zero value stands for it. The
// sizing pass adds up that layout; the writing pass reads the stored data in blocks of 1 MiB
// from the still-open input, decodes them and writes them straight into the song.
//
// Stored data: XM and XI samples are delta-coded (8-bit samples byte by byte, 16-bit samples in
// little-endian words; the running value starts at 0 for each sample), MOD samples are plain
// signed bytes. An 8-bit value becomes the 16-bit value v * 256. SoundFont samples are plain
// 16-bit words; the two samples of a stereo pair lie apart in the bank and are mixed into one
// channel, value by value ((left + right) >> 1).
#include "songwriter/wave_data.h"

#include <cerrno>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "buzz/write_primitives.h"
#include "core/byteio.h"
#include "core/log.h"
#include "settings/settings.h"
#include "song/song.h"

namespace {

constexpr size_t wave_block = size_t(1) << 20; // stored bytes read at a time
constexpr unsigned wave_dot_bytes = 100000;    // WAVE bytes written per progress dot

int64_t sample_bytes(const SampleRecord& s) { return 2 * int64_t(s.data_values) + (s.data_zero ? 2 : 0); }

// The count word: the one the reading pass gave the data; none when no instrument was read in a
// converting pass (every XI slot of a MIDI conversion missing): the data then holds no wave.
unsigned wave_data_count(const Conversion& c) { return c.song.wave_data_count >= 0 ? unsigned(c.song.wave_data_count) : 0u; }

FILE* source_of(const Conversion& c, const InstrumentRecord& ins, FILE* input)
{
    if (ins.wave_source == 0) return input;
    const size_t k = size_t(ins.wave_source - 1);
    return k < c.song.wave_sources.size() ? c.song.wave_sources[k].get() : nullptr;
}

struct WaveWriter {
    explicit WaveWriter(Conversion& conversion) : c(conversion) {}
    Conversion& c;
    // Stored bytes and their values, one block of each; not cleared, every byte used is written
    // before it is read.
    // A 16-bit coding's values take one block, leaving the third for a stereo pair's other channel.
    std::unique_ptr<uint8_t[]> buffer{new uint8_t[3 * wave_block]};
    uint8_t* raw = buffer.get();
    uint8_t* values = buffer.get() + wave_block;
    bool dots = false;

    // Counts written bytes towards the progress dots.
    void progress(size_t bytes)
    {
        if (!dots) return;
        c.log.log_dot_count += unsigned(bytes);
        while (c.log.log_dot_count >= wave_dot_bytes) {
            c.log.log_dot_count -= wave_dot_bytes;
            log_forced(c.log, ".");
        }
    }

    void put(const uint8_t* data, size_t n)
    {
        put_block(c.writer, data, n);
        // A full disk ends the job here rather than after the rest of the data.
        if (std::ferror(c.writer.output_stream))
            job_abort(file_failure(FailedFile::output, c.settings.output_file, errno, "Can't write outputfile (disk full?)"));
        progress(n);
    }

    // The sample's stored data, decoded. The reading pass found every value in the file, so a
    // short read means the file changed in the meantime.
    void sample(FILE* in, const SampleRecord& s)
    {
        const bool wide = s.coding == coding_delta16 || s.coding == coding_pcm16 || s.coding == coding_mix16;
        const size_t width = wide ? 2 : 1;
        if (!in || !stream_seek(in, s.data_offset)) job_abort("Input file changed during conversion!!");
        uint64_t left = s.data_values;
        uint64_t done = 0; // values written
        uint16_t v16 = 0;
        uint8_t v8 = 0;
        while (left > 0) {
            const size_t n = size_t(left < wave_block / width ? left : wave_block / width);
            if (s.coding == coding_mix16) {
                // The two channels lie apart in the file: a block of each, then their average.
                uint8_t* other = buffer.get() + 2 * wave_block;
                if (!stream_seek(in, s.data_offset + int64_t(2 * done)) || read_bytes(in, raw, 2 * n) < 2 * n ||
                    !stream_seek(in, s.mix_offset + int64_t(2 * done)) || read_bytes(in, other, 2 * n) < 2 * n)
                    job_abort("Input file changed during conversion!!");
                mix_pcm16(raw, other, n, values);
            } else {
                if (read_bytes(in, raw, n * width) < n * width) job_abort("Input file changed during conversion!!");
                switch (s.coding) {
                case coding_delta16: decode_delta16(raw, n, v16, values); break;
                case coding_delta8: decode_delta8(raw, n, v8, values); break;
                case coding_pcm16: std::memcpy(values, raw, 2 * n); break;
                default: widen_signed8(raw, n, values); break;
                }
            }
            put(values, 2 * n);
            left -= n;
            done += n;
            log_repaint(c.log); // the console's progress bar moves on while no text is shown
        }
    }
};

} // namespace

void begin_wave_layout(Conversion& c, int first, int end)
{
    Song& sg = c.song;
    if (sg.wave_data_count < 0) {
        int count = sg.wave_count;
        if (patch_mode(c) && sg.instrument_table[0].wave_number == 0) --count;
        sg.wave_data_count = int(unsigned(count) & 0xFFFF); // as the word holds it
    }
    for (int k = first; k < end; ++k) sg.instrument_table[k].wave_entry = 0;
}

void lay_out_wave_entry(InstrumentRecord& ins, int index, int source)
{
    ins.wave_entry = 1;
    ins.wave_index = index;
    ins.wave_entry_bytes = ins.wave_bytes; // as the first pass counted them
    ins.wave_source = source;
}

void clear_sample_layout(SampleRecord& s)
{
    s.data_values = 0;
    s.data_zero = 0;
}

void lay_out_sample_data(SampleRecord& s, int64_t offset, uint32_t values, WaveCoding coding)
{
    s.data_offset = offset;
    s.data_values = values;
    s.coding = coding;
}

void lay_out_mixed_sample_data(SampleRecord& s, int64_t offset, int64_t other, uint32_t values)
{
    lay_out_sample_data(s, offset, values, coding_mix16);
    s.mix_offset = other;
}

void lay_out_silent_sample(SampleRecord& s)
{
    s.data_zero = 1;
    s.length = s.is_16bit ? 2 : 1; // one frame
}

int64_t wave_data_bytes(const Conversion& c)
{
    int64_t n = 2;
    const Song& sg = c.song;
    if (!sg.instrument_table) return n;
    for (int i = 0; i < sg.instrument_count; ++i) {
        const InstrumentRecord& ins = sg.instrument_table[i];
        if (!ins.wave_entry) continue;
        n += 7;
        for (int j = 0; ins.samples && j < ins.sample_count; ++j) n += sample_bytes(ins.samples[j]);
    }
    return n;
}

void write_wave_data(Conversion& c, FILE* input)
{
    if (c.writer.writer_pass == 0 || !c.writer.output_stream) {
        c.writer.write_count += wave_data_bytes(c);
        return;
    }
    WaveWriter w(c);
    w.dots = c.settings.dolist == 0;
    if (w.dots) {
        c.log.log_dot_interval = wave_dot_bytes;
        c.log.log_dot_count = 0;
    }
    const Song& sg = c.song;
    uint8_t head[7] = {};
    const unsigned count = wave_data_count(c);
    store_le16(head, count);
    w.put(head, 2);
    for (int i = 0; sg.instrument_table && i < sg.instrument_count; ++i) {
        const InstrumentRecord& ins = sg.instrument_table[i];
        if (!ins.wave_entry) continue;
        const auto index = unsigned(ins.wave_index);
        const auto bytes = uint32_t(ins.wave_entry_bytes);
        store_le16(head, index);
        head[2] = 0; // 16-bit signed mono
        store_le32(head + 3, bytes);
        w.put(head, 7);
        FILE* in = source_of(c, ins, input);
        for (int j = 0; ins.samples && j < ins.sample_count; ++j) {
            const SampleRecord& s = ins.samples[j];
            if (s.data_values) w.sample(in, s);
            if (s.data_zero) {
                const uint8_t zero[2] = {0, 0};
                w.put(zero, 2);
            }
        }
    }
}

// --- Decoders -------------------------------------------------------------------------------

void decode_delta16_plain(const uint8_t* in, size_t n, uint16_t& v, uint8_t* out)
{
    uint16_t x = v;
    for (size_t k = 0; k < n; ++k) {
        x = uint16_t(x + (in[2 * k] | (in[2 * k + 1] << 8)));
        out[2 * k] = uint8_t(x);
        out[2 * k + 1] = uint8_t(x >> 8);
    }
    v = x;
}

void decode_delta8_plain(const uint8_t* in, size_t n, uint8_t& v, uint8_t* out)
{
    uint8_t x = v;
    for (size_t k = 0; k < n; ++k) {
        x = uint8_t(x + in[k]);
        out[2 * k] = 0;
        out[2 * k + 1] = x;
    }
    v = x;
}

void widen_signed8_plain(const uint8_t* in, size_t n, uint8_t* out)
{
    for (size_t k = 0; k < n; ++k) {
        out[2 * k] = 0;
        out[2 * k + 1] = in[k];
    }
}

void mix_pcm16(const uint8_t* a, const uint8_t* b, size_t n, uint8_t* out)
{
    for (size_t k = 0; k < n; ++k) {
        const int va = int16_t(uint16_t(a[2 * k] | a[2 * k + 1] << 8));
        const int vb = int16_t(uint16_t(b[2 * k] | b[2 * k + 1] << 8));
        store_le16(out + 2 * k, unsigned((va + vb) >> 1) & 0xFFFF);
    }
}

// With SSE2 (every x86-64 build, Linux and Windows alike) the running sums are taken 8 words or
// 16 bytes at a time: a prefix sum inside the vector by three or four shifted additions, plus the
// last value of the previous vector spread over all lanes. Integer sums wrap the same in every
// lane order, so the bytes equal the plain loops' bytes; the tail goes through those loops.
void decode_delta16(const uint8_t* in, size_t n, uint16_t& v, uint8_t* out)
{
    size_t k = 0;
#if defined(__SSE2__)
    __m128i carry = _mm_set1_epi16(static_cast<short>(v));
    for (; k + 8 <= n; k += 8) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * k));
        x = _mm_add_epi16(x, _mm_slli_si128(x, 2));
        x = _mm_add_epi16(x, _mm_slli_si128(x, 4));
        x = _mm_add_epi16(x, _mm_slli_si128(x, 8));
        x = _mm_add_epi16(x, carry);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k), x);
        const __m128i last = _mm_shufflehi_epi16(x, 0xFF);
        carry = _mm_unpackhi_epi64(last, last);
    }
    v = static_cast<uint16_t>(_mm_cvtsi128_si32(carry));
#endif
    decode_delta16_plain(in + 2 * k, n - k, v, out + 2 * k);
}

void decode_delta8(const uint8_t* in, size_t n, uint8_t& v, uint8_t* out)
{
    size_t k = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    __m128i carry = _mm_set1_epi8(static_cast<char>(v));
    for (; k + 16 <= n; k += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 1));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 2));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 4));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 8));
        x = _mm_add_epi8(x, carry);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k), _mm_unpacklo_epi8(zero, x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k + 16), _mm_unpackhi_epi8(zero, x));
        const __m128i pairs = _mm_unpackhi_epi8(x, x); // word 7 holds byte 15 twice
        const __m128i last = _mm_shufflehi_epi16(pairs, 0xFF);
        carry = _mm_unpackhi_epi64(last, last);
    }
    v = static_cast<uint8_t>(_mm_cvtsi128_si32(carry));
#endif
    decode_delta8_plain(in + k, n - k, v, out + 2 * k);
}

void widen_signed8(const uint8_t* in, size_t n, uint8_t* out)
{
    size_t k = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; k + 16 <= n; k += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k), _mm_unpacklo_epi8(zero, x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k + 16), _mm_unpackhi_epi8(zero, x));
    }
#endif
    widen_signed8_plain(in + k, n - k, out + 2 * k);
}
