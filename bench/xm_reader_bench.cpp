// Reading a sample-heavy XM: both reading passes (with the wave temp file) against a plain copy
// of the wave data they produce. Run by hand:
//   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF
//   cmake --build build/release --target kestrix_core
//   g++ -O2 -std=c++20 -Isrc bench/xm_reader_bench.cpp build/release/libkestrix_core.a -o build/xm_bench
//   (cd /tmp && /path/to/build/xm_bench 100)        # size of the module in MB
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "convert/xm_reader.h"
#include "core/byteio.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "song/song.h"

namespace {

void put16(FILE* f, unsigned v) { write_word_le(f, v); }
void put32(FILE* f, uint32_t v) { write_dword_le(f, v); }

// One empty pattern and four instruments, two of them with 8-bit and two with 16-bit samples.
void make_module(const char* path, size_t megabytes)
{
    FILE* f = std::fopen(path, "wb");
    std::fputs("Extended Module: bench               ", f);
    std::fputc(0x1A, f);
    std::fputs("FastTracker v2.00   ", f);
    put16(f, 0x104);
    put32(f, 276);
    put16(f, 1); put16(f, 0); put16(f, 4); put16(f, 1); put16(f, 4); put16(f, 1);
    put16(f, 6); put16(f, 125);
    for (int i = 0; i < 256; ++i) std::fputc(0, f);
    put32(f, 9); std::fputc(0, f); put16(f, 64); put16(f, 0);
    const uint32_t each = uint32_t(megabytes * 1024 * 1024 / 4) & ~1u;
    std::vector<uint8_t> data(each);
    for (size_t k = 0; k < data.size(); ++k) data[k] = uint8_t(std::rand());
    for (int i = 0; i < 4; ++i) {
        put32(f, 263);
        for (int k = 0; k < 22; ++k) std::fputc('i', f);
        std::fputc(0, f);
        put16(f, 1);
        put32(f, 40);
        for (int k = 0; k < 230; ++k) std::fputc(0, f);
        put32(f, each); put32(f, 0); put32(f, 0);
        std::fputc(64, f); std::fputc(0, f); std::fputc(i < 2 ? 0 : 0x10, f);
        std::fputc(128, f); std::fputc(0, f); std::fputc(0, f);
        for (int k = 0; k < 22; ++k) std::fputc('s', f);
        std::fwrite(data.data(), 1, data.size(), f);
    }
    std::fclose(f);
}

double seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

int main(int argc, char** argv)
{
    size_t mb = argc > 1 ? size_t(std::atoi(argv[1])) : 100;
    make_module("bench.xm", mb);
    settings.dowave = 2;
    settings.dotsplit = 1;
    song_reset_defaults();
    std::system("sync"); // the module's own writing is not part of the measurement

    auto t0 = std::chrono::steady_clock::now();
    {
        File in = open_file("bench.xm", "rb");
        song.pass_number = 0;
        read_module(in.get());
        std::printf("first pass %.3f s\n", seconds_since(t0));
        song.pass_number = 1;
        read_module(in.get());
        close_wave_temp();
    }
    double read_time = seconds_since(t0);
    std::system("sync");

    auto t1 = std::chrono::steady_clock::now();
    {
        File in = open_file(wave_temp_name, "rb");
        File out = open_file("copy.tmp", "wb");
        std::vector<uint8_t> buf(1 << 16);
        size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), in.get())) > 0) std::fwrite(buf.data(), 1, n, out.get());
    }
    double copy_time = seconds_since(t1);
    std::system("sync");
    std::printf("reading passes %.3f s, plain copy of the wave data %.3f s, ratio %.2f\n", read_time,
                copy_time, read_time / copy_time);
    pool_free_all();
    std::remove("bench.xm");
    std::remove("copy.tmp");
    std::remove(wave_temp_name);
    return 0;
}
