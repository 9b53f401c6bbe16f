// Test helpers shared by every test file.
#include "support/test_support.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>


namespace fs = std::filesystem;

namespace kxtest {

void WorkDirTest::SetUp()
{
    old_dir = fs::current_path();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (c == '/') c = '_';
    dir = fs::temp_directory_path() / ("kestrix-test-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::current_path(dir);
}

void WorkDirTest::TearDown()
{
    pool_free_all(pool);
    close_wave_sources(song);
    log.window = nullptr;
    fs::current_path(old_dir);
    if (!HasFailure()) fs::remove_all(dir);
}

Bytes& Bytes::fixed(std::string_view s, size_t n, uint8_t pad)
{
    for (size_t i = 0; i < n; ++i) data.push_back(i < s.size() ? uint8_t(s[i]) : pad);
    return *this;
}

void Bytes::write(const fs::path& p) const
{
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

std::vector<uint8_t> read_file(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string read_text(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string text_of(FILE* f)
{
    std::fflush(f);
    std::rewind(f);
    std::string s;
    for (int c; (c = std::getc(f)) != EOF;) s += char(c);
    return s;
}

fs::path source_dir() { return fs::path(KESTRIX_SOURCE_DIR); }
fs::path corpus_dir() { return fs::path(KESTRIX_CORPUS_DIR); }
bool have_corpus() { return fs::is_directory(corpus_dir()); }

std::vector<fs::path> corpus_files(const std::vector<std::string>& exts)
{
    std::vector<fs::path> out;
    if (!have_corpus()) return out;
    for (const auto& e : fs::recursive_directory_iterator(corpus_dir())) {
        if (!e.is_regular_file()) continue;
        std::string ext = e.path().extension().string();
        for (auto& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
        for (const auto& want : exts)
            if (ext == want) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

void install_machines_ini()
{
    fs::copy_file(source_dir() / "data" / "machines.ini", fs::current_path() / "machines.ini",
                  fs::copy_options::overwrite_existing);
}

std::vector<SongSequence> song_sequences(const std::vector<uint8_t>& song)
{
    size_t at = 8;
    auto field = [&](int width) {
        uint32_t v = 0;
        for (int k = 0; k < width; ++k) v |= uint32_t(song.at(at++)) << (8 * k);
        return v;
    };
    while (std::string(song.begin() + long(at), song.begin() + long(at) + 4) != "SEQU") at += 12;
    at += 4;
    at = field(4) + 12; // past the song end and the loop
    std::vector<SongSequence> out(field(2));
    for (SongSequence& s : out) {
        s.machine = int(field(2));
        s.events.resize(field(4));
        if (!s.events.empty()) s.position_width = int(field(1)), s.value_width = int(field(1));
        for (auto& [position, value] : s.events) position = field(s.position_width), value = field(s.value_width);
    }
    return out;
}

} // namespace kxtest
