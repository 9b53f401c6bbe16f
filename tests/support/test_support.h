// Test helpers: a private working directory per test, a byte builder for binary fixtures, a fake
// log window that records what it is asked to draw, and paths to the repository's data.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "buzz/machines_ini.h"
#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "song/conversion.h"
#include "transform/merge.h"
#include "transform/wave_tools.h"

namespace kxtest {

// Runs each test in a fresh empty directory (the program uses the current directory for its
// scratch and settings files), with a job of its own: settings, log, pool, machine descriptions
// and a conversion, all fresh for every test.
class WorkDirTest : public ::testing::Test {
protected:
    WorkDirTest() { log.cancel = &cancel; }
    void SetUp() override;
    void TearDown() override;
    std::filesystem::path dir;
    std::filesystem::path old_dir;

    Settings settings;
    JobCancel cancel;
    Log log;
    Pool pool{log};
    MachineTable machines;
    Conversion c{settings, log, pool, machines};
    Song& song = c.song;
    WaveTools tools{settings, log};
    Merge merge{settings, log, pool, machines, tools};
    ReaderState& reader_state = merge.reader; // the songs a test reads, merges and transforms
};

// Little- and big-endian byte builder for synthetic files.
class Bytes {
public:
    Bytes& u8(unsigned v) { data.push_back(uint8_t(v)); return *this; }
    Bytes& le16(unsigned v) { u8(v); return u8(v >> 8); }
    Bytes& be16(unsigned v) { u8(v >> 8); return u8(v); }
    Bytes& le32(uint32_t v) { le16(v & 0xFFFF); return le16(v >> 16); }
    // Byte by byte: GCC 12 at -O2 reports a false overflow for a range insert into an empty vector.
    Bytes& str(std::string_view s) { for (char c : s) data.push_back(uint8_t(c)); return *this; }
    // s padded (or cut) to exactly n bytes with `pad`.
    Bytes& fixed(std::string_view s, size_t n, uint8_t pad = 0);
    Bytes& fill(size_t n, uint8_t v) { data.insert(data.end(), n, v); return *this; }
    Bytes& append(const Bytes& other) { for (uint8_t b : other.data) data.push_back(b); return *this; }
    size_t size() const { return data.size(); }
    void write(const std::filesystem::path& p) const;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> read_file(const std::filesystem::path& p);
std::string read_text(const std::filesystem::path& p);
std::string text_of(FILE* f); // all that was written to f, which stays open

// The log as shown, for as long as this lives (the log stream gets every shown message unchanged).
struct LogCapture {
    explicit LogCapture(Log& log) : log_(log), file(std::tmpfile()) { log_.log_stream = file; }
    ~LogCapture() { log_.log_stream = nullptr, std::fclose(file); }
    std::string text() const { return text_of(file); }
    bool has(const std::string& t) const { return text().find(t) != std::string::npos; }
    Log& log_;
    FILE* file;
};

// Records the window calls as text: "\n" for each new line, text as drawn, "^" for a scroll.
class FakeWindow : public LogWindow {
public:
    void draw_text(std::string_view t) override { text += t; }
    void move_to_line(int y) override { text += '\n'; ys.push_back(y); }
    void scroll_up(int pixels) override { text += '^'; scrolls += pixels; }
    std::string text;
    std::vector<int> ys;
    int scrolls = 0;
};

// A WorkDirTest whose log is drawn into `win`.
class LogWindowTest : public WorkDirTest {
protected:
    void SetUp() override { WorkDirTest::SetUp(); log.window = &win; }
    FakeWindow win;
};

std::filesystem::path source_dir();               // the repository
std::filesystem::path corpus_dir();               // ../shared/corpus, may not exist
bool have_corpus();
// Files of the corpus whose extension is one of exts (lower case, with the dot).
std::vector<std::filesystem::path> corpus_files(const std::vector<std::string>& exts);
// Copies data/machines.ini into the current directory.
void install_machines_ini();

// The sequences of a Buzz song file, read straight from its SEQU section: each with its field
// widths and its events (position, value).
struct SongSequence {
    int machine = 0, position_width = 0, value_width = 0;
    std::vector<std::pair<uint32_t, uint32_t>> events;
};
std::vector<SongSequence> song_sequences(const std::vector<uint8_t>& song);

} // namespace kxtest
