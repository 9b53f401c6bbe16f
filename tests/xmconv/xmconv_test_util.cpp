#include "xmconv_test_util.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "support/test_support.h"

namespace {
std::string shell_quoted(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}
} // namespace

RunResult run_converter(const std::string& program, const std::string& input, const std::string& flag)
{
    return run_converter_args(program, {input, flag});
}

RunResult run_converter_args(const std::string& program, const std::vector<std::string>& args)
{
    std::string cmd = shell_quoted(std::string(KESTRIX_BINARY_DIR) + "/" + program);
    for (const std::string& a : args) cmd += " " + shell_quoted(a);
    cmd += " 2>stderr.txt";
    int status = std::system(cmd.c_str());
    RunResult r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = kxtest::read_text("stderr.txt");
    std::filesystem::remove("stderr.txt");
    return r;
}

std::vector<std::multiset<uint32_t>> xm_sample_lengths(const std::vector<uint8_t>& b)
{
    auto u16 = [&](size_t at) -> uint32_t { return at + 2 <= b.size() ? uint32_t(b[at] | b[at + 1] << 8) : 0; };
    auto u32 = [&](size_t at) -> uint32_t { return u16(at) | u16(at + 2) << 16; };
    std::vector<std::multiset<uint32_t>> out;
    size_t pos = 60 + u32(60);
    unsigned patterns = u16(70), instruments = u16(72);
    for (unsigned p = 0; p < patterns; ++p) pos += u32(pos) + u16(pos + 7);
    for (unsigned i = 0; i < instruments && pos < b.size(); ++i) {
        uint32_t size = u32(pos);
        unsigned samples = u16(pos + 27);
        uint32_t sample_header = samples ? u32(pos + 29) : 0;
        pos += size;
        std::multiset<uint32_t> lengths;
        size_t data = 0;
        for (unsigned s = 0; s < samples; ++s) {
            uint32_t len = u32(pos);
            bool wide = b.at(pos + 14) & 0x10;
            lengths.insert(wide ? len / 2 : len);
            data += len;
            pos += sample_header;
        }
        pos += data;
        out.push_back(lengths);
    }
    return out;
}
