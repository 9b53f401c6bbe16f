// Whole songs from the writer: header and directory, MACH, CONN, BLAH, WAVE, compared byte for
// byte with songs put together by hand from small synthetic song models.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/driver.h"
#include "convert/song.h"
#include "core/job_runner.h"
#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "songwriter/bmx_writer.h"
#include "songwriter/write_primitives.h"
#include "support/test_support.h"
#include "transform/machines_ini.h"
#include "song_builder.h"

namespace {

namespace fs = std::filesystem;
using kxtest::Bytes;

const std::string credit = " - the kestrix authors (kestrix@example.org) \r\n\r\n";

uint32_t dword_at(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

// Header of a song whose bodies have the given sizes, in directory order.
Bytes header(const std::vector<size_t>& sizes)
{
    static const char* tags[] = {"MACH", "CONN", "WAVT", "PATT", "SEQU", "BLAH", "WAVE"};
    Bytes h;
    h.str("Buzz").le32(uint32_t(sizes.size()));
    uint32_t at = 380;
    for (size_t i = 0; i < sizes.size(); ++i) {
        h.str(tags[i]).le32(at).le32(uint32_t(sizes[i]));
        at += uint32_t(sizes[i]);
    }
    h.fill(12 * (31 - sizes.size()), 0);
    return h;
}

Bytes master_record(unsigned machines, unsigned tempo, unsigned tpb)
{
    Bytes m;
    m.le16(machines).str("Master").u8(0).u8(0).le32(0).le32(0).le32(0).le16(0);
    m.le16(3003).le16(tempo).u8(tpb).le16(0);
    return m;
}

Bytes blah(const std::string& tail)
{
    std::string t = "This song was translated by kestrix v3e (WinGUI)" + credit + tail;
    return Bytes().le32(uint32_t(t.size())).str(t);
}

class BmxWriterTest : public kxtest::WorkDirTest {
protected:
    // Writes the song to "out.bmx" and returns its bytes; false result when the job ended.
    bool write(std::vector<uint8_t>& out)
    {
        File f = open_file("out.bmx", "wb");
        writer.output_stream = f.get();
        bool ok = run_guarded([] { write_song(); });
        writer.output_stream = nullptr;
        f.reset();
        out = kxtest::read_file("out.bmx");
        return ok;
    }
    std::vector<uint8_t> write()
    {
        std::vector<uint8_t> out;
        EXPECT_TRUE(write(out));
        return out;
    }
    // Directory entries in use are back to back from 380 and the last one ends with the file.
    static void check_directory(const std::vector<uint8_t>& b)
    {
        ASSERT_GE(b.size(), 380u);
        uint32_t n = dword_at(b, 4);
        uint32_t at = 380;
        for (uint32_t i = 0; i < n; ++i) {
            EXPECT_EQ(dword_at(b, 8 + 12 * i + 4), at) << "section " << i;
            at += dword_at(b, 8 + 12 * i + 8);
        }
        EXPECT_EQ(at, b.size());
        for (size_t i = 8 + 12 * n; i < 380; ++i) EXPECT_EQ(b[i], 0) << "zero entries";
    }
    // A song of the Master alone, as an XI conversion lays it out.
    void master_only_song()
    {
        kxtest::build_song(1, 0, 0, 0);
        song.song_length = 1;
        song.is_xi = 1;
        std::strcpy(song.current_input, "bell.xi");
        std::strcpy(song.song_name, "");
        settings.dowave = 0;
        settings.blines = 64;
    }
};

TEST_F(BmxWriterTest, XiSongWithoutWavesIsByteExact)
{
    master_only_song();
    auto b = write();

    Bytes mach = master_record(1, 125, 4);
    Bytes conn = Bytes().le16(0);
    Bytes wavt = Bytes().le16(0);
    Bytes patt = Bytes().le16(0).le16(0);
    Bytes sequ = Bytes().le32(64).le32(0).le32(64).le16(0);
    Bytes text = blah("original xi-File: bell.xi      \"\" \r\n");
    Bytes wave = Bytes().le16(0);
    Bytes want = header({mach.size(), conn.size(), wavt.size(), patt.size(), sequ.size(), text.size(), wave.size()});
    want.append(mach).append(conn).append(wavt).append(patt).append(sequ).append(text).append(wave);
    EXPECT_EQ(b, want.data);
    check_directory(b);
    EXPECT_EQ(writer.writer_pass, 2);
}

TEST_F(BmxWriterTest, MasterTempoComesFromTheStartingSpeed)
{
    master_only_song();
    song.start_speed = 4;
    song.speed = 2; // changed by speed effects; not what the song starts with
    auto b = write();
    EXPECT_EQ(b[380 + 2 + 7 + 1 + 12 + 2 + 2], 187);
    EXPECT_EQ(b[380 + 2 + 7 + 1 + 12 + 2 + 3], 0);

    song.start_speed = 0;
    song.bpm = 140;
    b = write();
    EXPECT_EQ(b[380 + 2 + 7 + 1 + 12 + 2 + 2], 140);

    song.start_speed = 3;
    song.bpm = 125;
    song.tpb_factor = 4;
    b = write();
    EXPECT_EQ(b[380 + 2 + 7 + 1 + 12 + 2 + 2], 250);
    EXPECT_EQ(b[380 + 2 + 7 + 1 + 12 + 2 + 4], 16); // ticks per beat 4 x 4
}

TEST_F(BmxWriterTest, InfoTextNamesModuleTitleAndMidiFile)
{
    master_only_song();
    song.is_xi = 0;
    song.is_midi = 1;
    settings.domidi_ext = 1;
    std::strcpy(song.converter_input, "song.mid");
    std::strcpy(song.current_input, "midrix.xm");
    std::strcpy(song.song_name, "My Tune");
    auto b = write();
    std::string text = "This song was translated by kestrix v3e (WinGUI)" + credit +
                       "original module: midrix.xm      \"My Tune\" \r\noriginal midifile: song.mid";
    const uint32_t blah_at = dword_at(b, 8 + 12 * 5 + 4);
    EXPECT_EQ(dword_at(b, blah_at), text.size());
    EXPECT_EQ(std::string(b.begin() + blah_at + 4, b.begin() + long(blah_at + 4 + text.size())), text);
    check_directory(b);
}

TEST_F(BmxWriterTest, NativeMidiUsesTheMidiTicksPerBeat)
{
    master_only_song();
    song.is_xi = 0;
    song.is_midi = 1;
    settings.dowave = 0;
    settings.midi_tpb = 0x118;
    auto b = write();
    EXPECT_EQ(b[380 + 2 + 7 + 1 + 12 + 2 + 4], 0x18);
}

TEST_F(BmxWriterTest, IncompleteSongModelEndsTheJobInsteadOfCrashing)
{
    master_only_song();
    song.is_xi = 0;
    song.pattern_count = 2; // patterns without a pattern table
    song.pattern_table = nullptr;
    std::vector<uint8_t> b;
    EXPECT_FALSE(write(b));
    song.pattern_count = 0;
    song.machine_table = nullptr;
    EXPECT_FALSE(write(b));
}

class WaveCopyTest : public BmxWriterTest {
protected:
    void SetUp() override
    {
        BmxWriterTest::SetUp();
        master_only_song();
        song.is_xi = 0;
        song.wave_count = 0;
        settings.dowave = 2;
    }
};

TEST_F(WaveCopyTest, WaveTempFileIsCopiedWholeAndDeleted)
{
    Bytes temp;
    temp.le16(1).le16(0).u8(0).le32(250000);
    for (int i = 0; i < 250000; ++i) temp.u8(uint8_t(i * 7));
    temp.write(wave_temp_name);
    kxtest::FakeWindow fake;
    log_state.window = &fake;
    log_state.log_enabled = 0;
    auto b = write();
    log_state.window = nullptr;

    check_directory(b);
    const uint32_t wave_at = dword_at(b, 8 + 12 * 6 + 4);
    EXPECT_EQ(dword_at(b, 8 + 12 * 6 + 8), temp.size());
    EXPECT_TRUE(std::equal(temp.data.begin(), temp.data.end(), b.begin() + wave_at));
    EXPECT_FALSE(fs::exists(wave_temp_name));
    EXPECT_EQ(fake.text, ".."); // 250007 bytes: two dots
}

TEST_F(WaveCopyTest, NoDotsWithAListing)
{
    Bytes().le16(0).fill(300000, 1).write(wave_temp_name);
    settings.dolist = 1;
    kxtest::FakeWindow fake;
    log_state.window = &fake;
    log_state.log_enabled = 0;
    auto b = write();
    log_state.window = nullptr;
    EXPECT_EQ(fake.text, "");
    check_directory(b);
}

TEST_F(WaveCopyTest, MissingWaveTempFileEndsTheJob)
{
    kxtest::FakeWindow fake;
    log_state.window = &fake;
    std::vector<uint8_t> b;
    EXPECT_FALSE(write(b));
    log_state.window = nullptr;
    EXPECT_NE(fake.text.find("Error: Where is the temporary WAVE-file???"), std::string::npos);
}

TEST_F(BmxWriterTest, BmwHasSixSectionsAndEndsWithTheInfoText)
{
    master_only_song();
    song.is_xi = 0;
    song.wave_count = 0;
    settings.dowave = 1;
    std::strcpy(song.current_input, "x.xm");
    auto b = write();
    check_directory(b);
    EXPECT_EQ(dword_at(b, 4), 6u);
    for (size_t i = 8 + 12 * 6; i < 380; ++i) ASSERT_EQ(b[i], 0);
    const std::string tail = "original module: x.xm      \"\" \r\n";
    ASSERT_GE(b.size(), tail.size());
    EXPECT_EQ(std::string(b.end() - long(tail.size()), b.end()), tail);
    EXPECT_EQ(dword_at(b, 8 + 12 * 5 + 4) + dword_at(b, 8 + 12 * 5 + 8), b.size());
}

TEST_F(BmxWriterTest, XiSongCarriesTheInstrumentAsItsWave)
{
    master_only_song();
    settings.dowave = 2;
    Bytes xi;
    xi.data = kxtest::xi_file("Bell", {10, 250, 0, 0});
    xi.write("bell.xi");
    auto b = write();

    Bytes mach = master_record(1, 125, 4);
    Bytes conn = Bytes().le16(0);
    Bytes wavt;
    wavt.le16(1).le16(0).str("bell.xi").u8(0).str(" Bell").fill(18, ' ').u8(0);
    wavt.le32(0x3F800000).u8(0x80).le16(1);
    wavt.le16(2000).le16(3000).le16(60000).le16(10000).u8(10).u8(0x10);
    wavt.le16(0x8002).le16(0).le16(0xFFFF).u8(0).le16(0xFFFF).le16(0).u8(0);
    wavt.u8(1).le32(4).le32(0).le32(0).le32(8363).u8(0x41);
    Bytes patt = Bytes().le16(0).le16(0);
    Bytes sequ = Bytes().le32(64).le32(0).le32(64).le16(0);
    Bytes text = blah("original xi-File: bell.xi      \"\" \r\n");
    // The wave data: one wave, index 0, 16-bit, four values from the deltas 10, -6, 0, 0.
    Bytes wave = Bytes().le16(1).le16(0).u8(0).le32(8).le16(2560).le16(1024).le16(1024).le16(1024);
    Bytes want = header({mach.size(), conn.size(), wavt.size(), patt.size(), sequ.size(), text.size(), wave.size()});
    want.append(mach).append(conn).append(wavt).append(patt).append(sequ).append(text).append(wave);
    EXPECT_EQ(b, want.data);
    EXPECT_FALSE(fs::exists(wave_temp_name));
}

// Songs with generators: the generator records come from the machine catalogue and machines.ini.
class GeneratorSongTest : public BmxWriterTest {
protected:
    void SetUp() override
    {
        BmxWriterTest::SetUp();
        kxtest::install_machines_ini();
        ASSERT_TRUE(load_machine_descriptions());
        settings.dowave = 0;
        std::strcpy(song.current_input, "tiny.xm");
        std::strcpy(song.song_name, "tiny");
        song.is_xm = 1;
    }
    // The record the catalogue writes for a Tracker generator (tick byte 6).
    static Bytes tracker_record(const char* name, uint32_t x_bits, uint32_t y_bits, int tracks)
    {
        const MachineDescription* d = machine_description(role_tracker);
        Bytes g;
        g.str(name).u8(0).u8(1).str(d->dll_name).u8(0).le32(x_bits).le32(y_bits).le32(0);
        g.le16(3).str("Ramp Time (ms)").u8(0).le32(1).str("Interpolation").u8(0).le32(1);
        g.str("Envelope Length").u8(0).le32(324);
        g.u8(6).le16(unsigned(tracks));
        for (int t = 0; t < tracks; ++t) g.u8(0).u8(0).u8(0xFF).u8(0).u8(0);
        return g;
    }
};

TEST_F(GeneratorSongTest, OneGeneratorSongIsByteExact)
{
    kxtest::build_song(2, 1, 2, 1);
    kxtest::use_pattern(1, 0);
    kxtest::put_note(1, 0, 0, 1, 0x41);
    kxtest::set_order({0});
    auto b = write();

    Bytes mach = master_record(2, 125, 4);
    // x = -0.8 (single precision), y = -0.0: bytes 00 00 00 80.
    mach.append(tracker_record(machine_description(role_tracker)->short_name, 0xBF4CCCCDu, 0x80000000u, 1));
    Bytes conn = Bytes().le16(1).le16(1).le16(0).le16(0x4000).le16(0x4000);
    Bytes wavt = Bytes().le16(0);
    Bytes patt;
    patt.le16(0).le16(0); // the Master plays nothing
    patt.le16(1).le16(1).str("00").u8(0).le16(2).u8(0).u8(0);
    patt.u8(0).u8(0).u8(0xFF).u8(0).u8(0).u8(0x41).u8(0).u8(0xFF).u8(0).u8(0);
    Bytes sequ = Bytes().le32(2).le32(0).le32(2).le16(1).le16(1).le32(1).u8(2).u8(1).le16(0).u8(0x10);
    Bytes text = blah("original module: tiny.xm      \"tiny\" \r\n");
    Bytes wave = Bytes().le16(0);
    Bytes want = header({mach.size(), conn.size(), wavt.size(), patt.size(), sequ.size(), text.size(), wave.size()});
    want.append(mach).append(conn).append(wavt).append(patt).append(sequ).append(text).append(wave);
    EXPECT_EQ(b, want.data);
    EXPECT_EQ(dword_at(b, 8 + 4), 380u);
    EXPECT_EQ(dword_at(b, 4), 7u);
}

TEST_F(GeneratorSongTest, GeneratorsSitOnACircleWithNumberedNames)
{
    kxtest::build_song(5, 1, 2, 1);
    kxtest::set_order({0});
    for (int k = 1; k < 5; ++k) kxtest::use_pattern(k, 0);
    auto b = write();
    check_directory(b);
    // Walk MACH: after the Master, one Tracker record per generator.
    size_t at = 380 + master_record(5, 125, 4).size();
    const double pi = std::acos(-1.0);
    for (int k = 1; k < 5; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "%s %02X", machine_description(role_tracker)->short_name, k);
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(&b[at])), name);
        size_t xy = at + std::strlen(name) + 1 + 1 + std::strlen(machine_description(role_tracker)->dll_name) + 1;
        float x, y;
        uint32_t xb = dword_at(b, xy), yb = dword_at(b, xy + 4);
        std::memcpy(&x, &xb, 4);
        std::memcpy(&y, &yb, 4);
        double a = 2 * pi * (k - 1) / 4;
        EXPECT_EQ(x, float(-0.8 * std::cos(a))) << k;
        EXPECT_EQ(y, float(-0.8 * std::sin(a))) << k;
        at += tracker_record(name, 0, 0, 1).size();
    }
    EXPECT_EQ(at, dword_at(b, 8 + 12 + 4)); // CONN starts after the fourth generator
    const uint32_t conn = dword_at(b, 8 + 12 + 4);
    EXPECT_EQ(dword_at(b, 8 + 12 + 8), 2u + 4 * 8);
    EXPECT_EQ(b[conn], 4);
}

TEST_F(GeneratorSongTest, DuplicatesCountedOnceAcrossPasses)
{
    kxtest::build_song(2, 3, 4, 1);
    for (int p = 0; p < 3; ++p) kxtest::use_pattern(1, p);
    kxtest::put_note(1, 1, 0, 0, 0x30);
    kxtest::set_order({0, 1, 2, 1});
    settings.remove_2pat = 1;
    auto b = write();
    check_directory(b);
    EXPECT_EQ(song.duplicates_removed, 1); // pattern 2 repeats pattern 0, found in the sizing pass only
    EXPECT_EQ(song.machine_table[1].patterns_written, 2);
}


// Real modules converted whole: the directory, the section sizes and the wave data agree.
class CorpusSongTest : public kxtest::WorkDirTest {
protected:
    struct Wavt {
        std::vector<std::string> files;
        unsigned count = 0;
    };
    static Wavt parse_wavt(const std::vector<uint8_t>& b, size_t at, size_t end)
    {
        Wavt w;
        auto word = [&] {
            unsigned v = b.at(at) | (b.at(at + 1) << 8);
            at += 2;
            return v;
        };
        auto text = [&] {
            std::string t;
            while (b.at(at)) t += char(b[at++]);
            ++at;
            return t;
        };
        w.count = word();
        for (unsigned i = 0; i < w.count && at < end; ++i) {
            word();
            w.files.push_back(text());
            text();
            at += 4;
            unsigned flags = b.at(at++);
            if (flags & 0x80) {
                unsigned envs = word();
                for (unsigned e = 0; e < envs; ++e) {
                    at += 10;
                    at += size_t(word() & 0x7FFF) * 5;
                }
            }
            at += size_t(b.at(at)) * 17 + 1;
        }
        EXPECT_EQ(at, end) << "WAVT size";
        return w;
    }
    // Converts one corpus file and checks the song; returns its bytes.
    std::vector<uint8_t> convert_and_check(const fs::path& input)
    {
        pool_free_all(); // the previous conversion's memory, as the runner sweeps after each job
        fs::copy_file(input, input.filename());
        EXPECT_TRUE(run_guarded([&] { convert(input.filename().string().c_str(), "out.bmx"); }))
            << input;
        auto b = kxtest::read_file("out.bmx");
        if (b.size() < 380) {
            ADD_FAILURE() << input << ": no song";
            return b;
        }
        const uint32_t n = dword_at(b, 4);
        EXPECT_EQ(n, settings.dowave == 1 ? 6u : 7u);
        uint32_t at = 380;
        for (uint32_t i = 0; i < n; ++i) {
            EXPECT_EQ(dword_at(b, 8 + 12 * i + 4), at) << input << " section " << i;
            at += dword_at(b, 8 + 12 * i + 8);
        }
        EXPECT_EQ(at, b.size()) << input;
        return b;
    }
    void SetUp() override
    {
        WorkDirTest::SetUp();
        if (!kxtest::have_corpus()) GTEST_SKIP() << "no corpus";
        kxtest::install_machines_ini();
    }
};

TEST_F(CorpusSongTest, ModulesConvertToConsistentSongs)
{
    auto files = kxtest::corpus_files({".xm", ".mod"});
    if (files.empty()) GTEST_SKIP() << "no XM or MOD in the corpus";
    for (const auto& f : files) {
        settings = Settings();
        settings.dowave = 2;
        auto b = convert_and_check(f);
        if (b.size() < 380 + 7 * 12) continue;
        // WAVE: count, then per wave index, format and byte count, then the bytes, to the end.
        size_t at = dword_at(b, 8 + 12 * 6 + 4);
        const size_t wave_end = at + dword_at(b, 8 + 12 * 6 + 8);
        const unsigned waves = b.at(at) | (b.at(at + 1) << 8);
        at += 2;
        for (unsigned w = 0; w < waves && at + 7 <= wave_end; ++w) at += 7 + dword_at(b, at + 3);
        EXPECT_EQ(at, wave_end) << f << ": WAVE walk";
        const size_t wavt_at = dword_at(b, 8 + 12 * 2 + 4);
        Wavt t = parse_wavt(b, wavt_at, wavt_at + dword_at(b, 8 + 12 * 2 + 8));
        EXPECT_EQ(t.count, waves) << f;
        EXPECT_FALSE(fs::exists(wave_temp_name)) << f;
        fs::remove(f.filename());
    }
}

TEST_F(CorpusSongTest, BmwNamesTheExportedXiFiles)
{
    auto files = kxtest::corpus_files({".xm"});
    if (files.empty()) GTEST_SKIP() << "no XM in the corpus";
    for (const auto& f : files) {
        settings = Settings();
        settings.dowave = 1;
        fs::create_directories("xi");
        std::strcpy(settings.xi_dir, "xi/");
        auto b = convert_and_check(f);
        if (b.size() < 380 + 6 * 12) continue;
        const size_t wavt_at = dword_at(b, 8 + 12 * 2 + 4);
        Wavt t = parse_wavt(b, wavt_at, wavt_at + dword_at(b, 8 + 12 * 2 + 8));
        // Named after the module: xi_dir, up to 6 characters of its base name, the number.
        const std::string stem = "xi/" + f.stem().string().substr(0, 6);
        for (const auto& name : t.files) {
            EXPECT_TRUE(fs::exists(name)) << f << ": " << name;
            EXPECT_EQ(name.substr(0, stem.size()), stem) << f;
        }
        fs::remove_all("xi");
        fs::remove(f.filename());
    }
}

} // namespace
