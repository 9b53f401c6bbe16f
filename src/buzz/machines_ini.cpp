// Reads "machines.ini", the text file that describes the byte layouts of the machines a Buzz song
// may hold, into the table machine_descriptions.
//
// The file, one record per line:
//   version=2.5
//   "Library Name" type global_bytes track_bytes [note wave volume max_tracks attributes short]
//   :attribute count                       (type 1 with attributes, first colon line)
//   :init global : init track : empty global : empty track   (hexadecimal byte values)
// Every other line is ignored. Records are numbered in file order; that number is their identity.
#include "buzz/machines_ini.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

#include "core/byteio.h"
#include "core/log.h"
#include "core/pool.h"

namespace {

// Lines hold up to 499 characters. A longer line is cut there and the rest of it, up to its line
// break, is read and thrown away, so that the tail of an overlong line can never be taken for a
// line of its own (a tail beginning with a double quote would otherwise add a record in one pass
// and shift every later record).
constexpr int line_size = 500;

// Reads one line into buf (line break kept when it fits). A CR before the line break is dropped,
// so that a file saved with CR LF line ends reads the same on every platform. False at the end of
// the file.
bool read_line(FILE* f, char (&buf)[line_size])
{
    if (!std::fgets(buf, line_size, f)) return false;
    size_t len = std::strlen(buf);
    if (len > 0 && buf[len - 1] != '\n' && !std::feof(f)) {
        int c;
        while ((c = std::fgetc(f)) != EOF && c != '\n') {
        }
    }
    if (len >= 2 && buf[len - 2] == '\r' && buf[len - 1] == '\n') {
        buf[len - 2] = '\n';
        buf[len - 1] = 0;
    }
    return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Reads one decimal number the way "%d" of scanf does (leading white space skipped, optional
// sign); a value beyond the int range is pinned to its end. False when there is no number, and
// then p is left where it was.
bool scan_int(const char*& p, int& out)
{
    const char* s = p;
    while (is_space(*s)) ++s;
    bool neg = false;
    if (*s == '+' || *s == '-') neg = *s++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
    long long v = 0;
    while (std::isdigit(static_cast<unsigned char>(*s))) {
        if (v < INT_MAX) v = v * 10 + (*s - '0');
        ++s;
    }
    if (v > INT_MAX) v = INT_MAX;
    out = int(neg ? -v : v);
    p = s;
    return true;
}

// Reads one word the way "%<n>s" does: white space skipped, then at most size - 1 characters that
// are not white space. False when there is none.
bool scan_word(const char*& p, char* out, size_t size)
{
    const char* s = p;
    while (is_space(*s)) ++s;
    if (!*s) return false;
    size_t n = 0;
    while (*s && !is_space(*s) && n + 1 < size) out[n++] = *s++;
    out[n] = 0;
    p = s;
    return true;
}

bool starts_with(const char* line, const char* key) { return std::strncmp(line, key, std::strlen(key)) == 0; }

// "version=" followed by the version text up to the first blank; the only version read is "2.5".
void check_version(const MachineTable& mt, const char* line, char (&version)[line_size])
{
    const char* p = line + std::strlen("version=");
    version[0] = 0;
    scan_word(p, version, sizeof version);
    if (std::strcmp(version, "2.5") == 0) return;
    Failure f = file_failure(FailedFile::machines_ini, mt.machines_ini_path, 0, "\nWrong machines.ini version!!");
    f.reason = std::string("unsupported machines.ini version \"") + version + "\" (kestrix reads version 2.5)";
    job_abort(std::move(f));
}

// A machine line: the quoted library name, then type, global_bytes, track_bytes and, for a
// generator, note, wave, volume positions, max_tracks, attribute_count and the short name.
void parse_machine_line(const char* line, MachineDescription& d, Log& log)
{
    const char* p = line + 1;
    size_t n = 0;
    while (*p && *p != '"' && *p != '\n') {
        if (n + 1 < sizeof d.dll_name) d.dll_name[n++] = *p;
        ++p;
    }
    d.dll_name[n] = 0;
    if (*p != '"') return; // no closing quote: no numbers follow
    const char* rest = p + 1;

    const char* q = rest;
    int* first3[] = {&d.type, &d.global_bytes, &d.track_bytes};
    for (int* field : first3)
        if (!scan_int(q, *field)) break;
    if (d.type == 1) {
        q = rest;
        int* all8[] = {&d.type,       &d.global_bytes, &d.track_bytes, &d.note_byte,
                       &d.wave_byte,  &d.volume_byte,  &d.max_tracks,  &d.attribute_count};
        bool complete = true;
        for (int* field : all8)
            if (!scan_int(q, *field)) {
                complete = false;
                break;
            }
        if (complete) scan_word(q, d.short_name, sizeof d.short_name);
        d.attributes_read = 0;
    }

    // Initial state and empty row hold the global bytes, then the bytes of one track. Counts
    // outside 0..255 are cut to that range, so that nobody who walks the areas by the counts can
    // step outside them.
    if (d.global_bytes < 0 || d.track_bytes < 0 || d.global_bytes > machine_max_bytes ||
        d.track_bytes > machine_max_bytes) {
        d.global_bytes = std::clamp(d.global_bytes, 0, machine_max_bytes);
        d.track_bytes = std::clamp(d.track_bytes, 0, machine_max_bytes);
        log_warning(log, "\nWarning: byte counts of %s cut to %d and %d!", d.dll_name, d.global_bytes,
                  d.track_bytes);
    }
}

// The four hexadecimal byte lists of a colon line: initial global state, initial track state,
// empty global row, empty track row. Malformed lines are reported with two short diagnostics and
// read as far as they go; values missing before the line break read as 0.
void parse_byte_lists(const char* line, MachineDescription& d, Log& log)
{
    const char* p = line + 1;
    int l = 0, k = 0;
    for (;;) {
        while (is_blank(*p)) ++p;
        int size = (l == 0 || l == 2) ? d.global_bytes : d.track_bytes;
        if (k >= size) {
            ++l;
            k = 0;
            if (l > 3) return;
            if (*p != ':') log_print(log, " !(%d, %d, %d)?", int(static_cast<unsigned char>(*p)), l, 0);
            if (*p) ++p;
            continue;
        }
        if (*p == 0 || *p == ':') {
            log_print(log, " Why(%d, %d)?", l, k);
            return;
        }
        unsigned value = 0;
        while (std::isxdigit(static_cast<unsigned char>(*p))) {
            char c = char(std::tolower(static_cast<unsigned char>(*p)));
            value = ((value << 4) | unsigned(c <= '9' ? c - '0' : c - 'a' + 10)) & 0xFFF;
            ++p;
        }
        uint8_t byte = uint8_t(value & 0xFF);
        int base = (l == 1 || l == 3) ? d.global_bytes : 0;
        uint8_t* area = l < 2 ? d.init_bytes : d.empty_bytes;
        if (base + k < machine_bytes_area) area[base + k] = byte;
        ++k;
    }
}

void parse_colon_line(const char* line, MachineDescription& d, Log& log)
{
    if (d.type != 1) return;
    if (d.attribute_count != 0 && d.attributes_read == 0) {
        const char* p = line + 1;
        scan_int(p, d.attributes_read);
        if (d.attributes_read != d.attribute_count) {
            log_warning(log, "\nWarning: numbers of attributes don't match!");
        }
        return;
    }
    parse_byte_lists(line, d, log);
}

} // namespace

bool load_machine_descriptions(MachineTable& mt, Pool& pool, Log& log)
{
    File f = open_file(mt.machines_ini_path.c_str(), "r");
    if (!f) {
        machine_descriptions_reset(mt);
        return false;
    }

    char line[line_size];
    char version[line_size] = "";
    int count = 0;
    while (read_line(f.get(), line)) {
        if (line[0] == '"')
            ++count;
        else if (starts_with(line, "version="))
            check_version(mt, line, version);
    }

    mt.machine_descriptions = pool_array<MachineDescription>(pool, size_t(count));
    mt.machine_description_count = count;
    std::rewind(f.get());

    MachineDescription* current = nullptr;
    int next = 0;
    while (read_line(f.get(), line)) {
        if (line[0] == '"') {
            if (next >= count) break; // the file grew between the passes
            current = &mt.machine_descriptions[next++];
            parse_machine_line(line, *current, log);
        } else if (line[0] == ':') {
            if (current) parse_colon_line(line, *current, log);
        } else if (starts_with(line, "version=")) {
            check_version(mt, line, version);
        }
    }
    mt.machine_description_count = next;

    log_forced(log, "\nmachines.ini: version: %s, %d machines", version, count);
    return true;
}

void no_target_generator(const MachineTable& mt, int dopfun, const char* text)
{
    Failure f = file_failure(FailedFile::machines_ini, mt.machines_ini_path, 0, text);
    const int record = dopfun + 1;
    if (!mt.machine_descriptions) {
        f.reason = "could not be read";
    } else if (const MachineDescription* d = machine_description(mt, record)) {
        if (d->type != 1)
            f.reason = "machine record " + std::to_string(record) + " (" + d->dll_name + ") is no generator";
    } else {
        f.reason = "no machine record " + std::to_string(record) + " for target " + std::to_string(dopfun) +
                   " (the file has records 0 to " + std::to_string(mt.machine_description_count - 1) + ")";
    }
    job_abort(std::move(f));
}

void machine_descriptions_reset(MachineTable& mt)
{
    mt.machine_descriptions = nullptr;
    mt.machine_description_count = 0;
}

const MachineDescription* machine_description(const MachineTable& mt, int index)
{
    if (!mt.machine_descriptions || index < 0 || index >= mt.machine_description_count) return nullptr;
    return &mt.machine_descriptions[index];
}

int find_machine_description(const MachineTable& mt, const char* dll_name)
{
    for (int i = 0; i < mt.machine_description_count; ++i) {
        const char* a = mt.machine_descriptions[i].dll_name;
        const char* b = dll_name;
        while (*a && std::tolower(static_cast<unsigned char>(*a)) == std::tolower(static_cast<unsigned char>(*b))) {
            ++a;
            ++b;
        }
        if (*a == 0 && *b == 0) return i;
    }
    return -1;
}

uint8_t transpose_note(uint8_t note, int semitones, int* out_of_range)
{
    if (note == 0 || note == 255) return note;
    long long n = (note >> 4) * 12LL + (note & 0x0F) - 1 + semitones;
    // Notes above octave 15 do not fit the byte: like notes below the lowest one, they become it.
    if (n < 0 || n > 191) {
        n = 0;
        if (out_of_range) ++*out_of_range;
    }
    return uint8_t((n / 12) * 16 + n % 12 + 1);
}
