// Times write_song on a song with about 100 MB of wave data beside a plain copy of the song it
// produced. Each run writes a fresh wave temp file first (not timed), then times write_song
// (sizing pass, writing pass, closing the song, deleting the temp file), then times `cp` of
// the song. Prints every run and the medians.
//
// usage: write_song_bench [SIZE_MB] [RUNS]     (run in a scratch directory)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "buzz/machines_ini.h"
#include "buzz/write_primitives.h"
#include "core/byteio.h"
#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "song/song.h"
#include "songwriter/bmx_writer.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The wave temp file as the instrument reader leaves it: count, then per wave its header and
// its 16-bit data.
void write_wave_temp(size_t bytes, int waves)
{
    File f = open_file(wave_temp_name, "wb");
    std::vector<uint8_t> block(1 << 20);
    std::mt19937 rng(1);
    for (auto& b : block) b = uint8_t(rng());
    write_word_le(f.get(), unsigned(waves));
    size_t per_wave = bytes / size_t(waves) & ~size_t(1);
    for (int w = 0; w < waves; ++w) {
        write_word_le(f.get(), unsigned(w));
        write_byte(f.get(), 0);
        write_dword_le(f.get(), uint32_t(per_wave));
        for (size_t left = per_wave; left > 0;) {
            size_t n = std::min(left, block.size());
            std::fwrite(block.data(), 1, n, f.get());
            left -= n;
        }
    }
}

// A song of 8 waves (one 16-bit sample each), one Tracker generator with 8 tracks, 4 patterns.
void build_song(size_t bytes, int waves)
{
    song_reset_defaults();
    pool_free_all();
    settings = Settings();
    settings.dowave = 2;
    settings.dolist = 1; // no progress dots on the console
    std::strcpy(song.current_input, "bench.xm");
    song.is_xm = 1;
    song.machine_count = 2;
    song.pattern_count = 4;
    song.song_length = 8;
    song.wave_count = waves;
    song.instrument_count = waves;
    song.instrument_table = pool_array<InstrumentRecord>(size_t(waves));
    for (int i = 0; i < waves; ++i) {
        InstrumentRecord& ins = song.instrument_table[i];
        std::snprintf(ins.name, sizeof ins.name, "bench %d", i);
        ins.sample_count = 1;
        ins.wave_number = i + 1;
        ins.samples = pool_array<SampleRecord>(1);
        ins.samples[0].length = int(bytes / size_t(waves));
        ins.samples[0].is_16bit = 1;
        ins.samples[0].volume = 64;
    }
    song.order_list = pool_array<OrderEntry>(order_list_size);
    for (int i = 0; i < 8; ++i) song.order_list[i].pattern = i % 4;
    song.pattern_table = pool_array<PatternInfo>(4);
    song.machine_table = pool_array<MachineRecord>(2);
    for (int k = 0; k < 2; ++k) {
        MachineRecord& m = song.machine_table[k];
        m.kind = k;
        m.track_row_bytes = k == 0 ? 4 : 5;
        m.global_row_bytes = k == 0 ? 5 : 1;
        m.track_count = k == 0 ? 1 : 8;
        m.track_patterns = pool_array<PatternData>(4);
        m.global_patterns = pool_array<PatternData>(4);
        for (int p = 0; p < 4; ++p) {
            song.pattern_table[p].lines = song.pattern_table[p].play_lines = 64;
            size_t t = size_t(m.track_count) * 64 * size_t(m.track_row_bytes);
            m.track_patterns[p].data = pool_array<uint8_t>(t);
            m.track_patterns[p].number = k == 0 ? 0 : p + 1;
            for (size_t b = 0; b < t; ++b) m.track_patterns[p].data[b] = uint8_t(b * 31 + p);
            m.global_patterns[p].data = pool_array<uint8_t>(64 * size_t(m.global_row_bytes));
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    const double size_mb = argc > 1 ? std::atof(argv[1]) : 100.0;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const size_t bytes = size_t(size_mb * 1024 * 1024);
    log_state.log_enabled = 0;
    if (!load_machine_descriptions()) {
        std::fprintf(stderr, "machines.ini is needed in the current directory\n");
        return 1;
    }
    std::vector<double> t_write, t_copy;
    for (int r = 0; r < runs; ++r) {
        build_song(bytes, 8);
        write_wave_temp(bytes, 8);
        auto t0 = std::chrono::steady_clock::now();
        {
            File out = open_file("bench.bmx", "wb");
            writer = Writer();
            writer.output_stream = out.get();
            write_song();
        }
        t_write.push_back(seconds_since(t0));
        std::remove("copy.bmx");
        t0 = std::chrono::steady_clock::now();
        if (std::system("cp bench.bmx copy.bmx") != 0) return 1;
        t_copy.push_back(seconds_since(t0));
        std::printf("run %d: write_song %.3f s, cp %.3f s\n", r + 1, t_write.back(), t_copy.back());
    }
    const double w = median(t_write), c = median(t_copy);
    std::printf("median: write_song %.3f s, cp %.3f s, ratio %.2f\n", w, c, w / c);
    std::remove("copy.bmx");
    std::remove("bench.bmx");
    return 0;
}
