// The converter programs it2xm and mod2xm: `it2xm INPUT /WC [OUTPUT]` and `mod2xm INPUT /o [OUTPUT]` read a module
// with libxmp (IT, S3M, MOD and every other format libxmp knows) and write it as INPUT.xm, named
// as the caller expects (see module_formats.h): the first ".it" turned into ".xm" (it2xm), or the
// first ".s3m" or ".mod" turned into ".xm" and the name cut after it (mod2xm); other formats get
// their extension replaced. Exit code 0 on success; otherwise one line on stderr and
//   2 no input named, 3 unreadable input, 4 content XM cannot hold, 5 the XM cannot be written.
#include <xmp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "convert/input_formats.h"
#include "convert/module_formats.h"
#include "core/version.h"
#include "platform/platform.h"
#include "xmconv/xmp_convert.h"
#include "xmconv/xm_writer.h"

#ifndef XMCONV_PROGRAM
#define XMCONV_PROGRAM "mod2xm"
#endif

namespace {

const char* const program = XMCONV_PROGRAM;
const bool is_it2xm = std::strcmp(XMCONV_PROGRAM, "it2xm") == 0;

// The callers' switches ("/WC", "/o", "-x"): short words after a '/' or '-' without a further
// separator or dot, so that an absolute path is not taken for one.
bool is_switch(const char* a)
{
    if (a[0] == '-') return a[1] != 0;
    if (a[0] != '/') return false;
    size_t n = std::strlen(a);
    return n >= 2 && n <= 4 && !std::strchr(a + 1, '/') && !std::strchr(a, '.');
}

int fail(int code, const std::string& why)
{
    std::fprintf(stderr, "%s: %s\n", program, why.c_str());
    return code;
}

// The file's bytes (its header flags, a MOD's own effects).
std::vector<uint8_t> file_bytes(const char* path)
{
    std::vector<uint8_t> bytes;
    FILE* f = std::fopen(path, "rb");
    if (!f) return bytes;
    uint8_t block[65536];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, f)) > 0) bytes.insert(bytes.end(), block, block + got);
    std::fclose(f);
    return bytes;
}

std::string load_error(int code, const char* input)
{
    switch (code) {
    case -XMP_ERROR_FORMAT: {
        // A file of a kind the conversion reads in another way is named as such.
        const InputKind kind = decide_input_kind(input).kind;
        const bool not_a_module = kind == InputKind::midi || kind == InputKind::xi || kind == InputKind::buzz_song;
        return std::string("cannot read ") + input + ": " +
               (not_a_module ? std::string(input_format(kind)->text) + ", not a module" : "not a module format this program knows");
    }
    case -XMP_ERROR_DEPACK: return std::string("cannot read ") + input + ": cannot unpack it";
    case -XMP_ERROR_SYSTEM: return std::string("cannot read ") + input + ": " + std::strerror(xmp_syserrno());
    default: return std::string("cannot read ") + input + ": damaged or unsupported module";
    }
}

struct Context {
    xmp_context ctx = xmp_create_context();
    bool loaded = false;
    ~Context()
    {
        if (loaded) xmp_release_module(ctx);
        xmp_free_context(ctx);
    }
};

} // namespace

int main(int argc, char** argv)
{
    platform::open_closed_standard_descriptors();
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--version")) {
            std::printf("%s %s, libxmp %s\n", program, program_version(), xmp_version);
            return 0;
        }
    // INPUT, then optionally the XM's name (the callers' naming rule otherwise).
    const char* input = nullptr;
    const char* named_output = nullptr;
    for (int i = 1; i < argc && !named_output; ++i) {
        if (is_switch(argv[i])) continue;
        if (!input)
            input = argv[i];
        else
            named_output = argv[i];
    }
    if (!input) return fail(2, std::string("usage: ") + program + (is_it2xm ? " INPUT.it /WC" : " INPUT.s3m|INPUT.mod /o"));

    std::string output = named_output ? named_output : is_it2xm ? it2xm_output_name(input) : mod2xm_output_name(input);
    if (output == input) return fail(2, std::string("the output name would be the input's own: ") + input);
    // Interrupted or past a file-size limit, it leaves no unfinished XM behind.
    platform::remove_scratch_on_interrupt();

    FILE* probe = std::fopen(input, "rb");
    if (!probe) return fail(3, std::string("cannot open ") + input + ": " + std::strerror(errno));
    std::fclose(probe);

    xmp_test_info test{};
    int tested = xmp_test_module(input, &test);
    if (tested != 0) return fail(3, load_error(tested, input));

    Context c;
    int loaded = xmp_load_module(c.ctx, input);
    if (loaded != 0) return fail(3, load_error(loaded, input));
    c.loaded = true;
    xmp_module_info mi{};
    xmp_get_module_info(c.ctx, &mi);
    if (!mi.mod) return fail(3, std::string("cannot read ") + input);

    xmconv::XmModule xm;
    xmconv::ConvertReport report;
    std::string error;
    if (!xmconv::convert_loaded(*mi.mod, test.type, mi.vol_base, file_bytes(input), xm, report, error))
        return fail(4, std::string(input) + " does not fit into XM: " + error);
    if (!xmconv::xm_write_file(xm, output, error)) return fail(5, error);

    for (const std::string& note : report.notes) std::fprintf(stderr, "%s: %s\n", program, note.c_str());
    std::string left_out = report.summary();
    if (!left_out.empty()) std::fprintf(stderr, "%s: %s\n", program, left_out.c_str());
    return 0;
}
