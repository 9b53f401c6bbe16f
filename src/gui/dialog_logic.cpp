// The main dialog's rules: control <-> setting mapping, text parsing, the output name (its
// extension, following the input), the files a job would replace, the log window's place.
#include "gui/dialog_logic.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "convert/input_formats.h"

namespace {

// Edits that hold one integer setting, in the order the pages read them.
struct IntEdit {
    int id;
    int Settings::*field;
};
constexpr IntEdit int_edits[] = {
    {134, &Settings::midi_device}, {173, &Settings::track_limit}, {175, &Settings::transpo},
    {190, &Settings::lwind_x},     {191, &Settings::lwind_y},     {192, &Settings::lwind_dx},
    {193, &Settings::lwind_dy},    {232, &Settings::midi_tpb},    {234, &Settings::blines},
    {432, &Settings::tune_level},  {433, &Settings::tune_rate},   {519, &Settings::mtranspo},
    {521, &Settings::clone_trans}, {570, &Settings::clone_wave},
};

struct RealEdit {
    int id;
    float Settings::*field;
};
constexpr RealEdit real_edits[] = {
    {233, &Settings::midi_res}, {238, &Settings::midi_scale}, {239, &Settings::midi_shift}};

struct TextEdit {
    int id;
    std::string Settings::*field;
};
constexpr TextEdit text_edits[] = {
    {110, &Settings::input_file},   {111, &Settings::output_file},  {112, &Settings::log_file},
    {113, &Settings::xi_dir},       {114, &Settings::merge_input1}, {115, &Settings::merge_input2},
    {116, &Settings::merge_output}, {117, &Settings::soundfont},
};

// Check boxes that hold a 0/1 setting.
struct CheckBox {
    int id;
    int Settings::*field;
};
constexpr CheckBox check_boxes[] = {
    {172, &Settings::limit_tracks}, {180, &Settings::domod_ext},     {174, &Settings::dosminus},
    {171, &Settings::remove_2pat},  {176, &Settings::do_envs},       {177, &Settings::do_0loops},
    {178, &Settings::do_0track},    {179, &Settings::do_lnvol},      {188, &Settings::dolist},
    {189, &Settings::verbose},      {243, &Settings::do_firstnote0}, {241, &Settings::use_notedels},
    {244, &Settings::drkit},        {245, &Settings::drfollow},      {248, &Settings::drloopno},
    {447, &Settings::do_mscale1},   {448, &Settings::do_mscale2},    {449, &Settings::do_mishift2},
    {450, &Settings::merge_after},  {518, &Settings::rip_es9},       {249, &Settings::midi_tempos},
};

// Radio groups whose buttons stand for the values 0..count-1 of one setting.
struct RadioGroup {
    int first_id;
    int count;
    IntField field;
};
constexpr RadioGroup radio_groups[] = {
    {120, 3, int_field<&Settings::dotsplit>}, {440, 3, int_field<&Settings::use_convout>},
    {549, 11, int_field<&Settings::clone2>}};

int read_group(DialogControls& c, const RadioGroup& g)
{
    int v = 0;
    for (int k = 1; k < g.count; ++k)
        if (c.checked(g.first_id + k)) v += k;
    return v;
}

// A switch setting with a count edit: off below 2, the edit's number when on.
struct SwitchedCount {
    int check_id, edit_id;
    int Settings::*field;
};
constexpr SwitchedCount switched_counts[] = {
    {418, 419, &Settings::blow_up}, {420, 421, &Settings::song_repeat}};

std::string number_text(int v) { return std::to_string(v); }

std::string real_text(float v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%5.3f", double(v));
    return buf;
}

char lower(char ch) { return char(std::tolower(static_cast<unsigned char>(ch))); }

// Position of the first `ext` (".bmx", ".bmw") in the file's own name, any letter case; npos
// when there is none.
size_t find_extension(const std::string& name, const char* ext)
{
    size_t base = name.find_last_of("/\\");
    base = base == std::string::npos ? 0 : base + 1;
    for (size_t i = base; i + 4 <= name.size(); ++i) {
        bool same = true;
        for (size_t k = 0; k < 4 && same; ++k) same = lower(name[i + k]) == ext[k];
        if (same) return i;
    }
    return std::string::npos;
}

// Replaces the last letter of a found extension, keeping its letter case.
bool swap_extension(std::string& name, const char* from, char to)
{
    size_t at = find_extension(name, from);
    if (at == std::string::npos) return false;
    char& last = name[at + 3];
    last = std::isupper(static_cast<unsigned char>(last)) ? char(std::toupper(to)) : to;
    return true;
}

// The name's last extension in lower case ("" when it has none).
std::string last_extension(const std::string& name)
{
    const size_t base = name.find_last_of("/\\");
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || (base != std::string::npos && dot < base)) return {};
    std::string ext = name.substr(dot);
    for (char& ch : ext) ch = lower(ch);
    return ext;
}

bool is_song_name(const std::string& name)
{
    const std::string ext = last_extension(name);
    return ext == ".bmx" || ext == ".bmw";
}

// True when the rectangles share a pixel (one that only touches another does not cover it).
bool overlaps(const ScreenRect& a, const ScreenRect& b)
{
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

} // namespace

bool scan_leading_int(const std::string& text, int& out) { return settings_scan_int(text.c_str(), out); }

bool scan_leading_real(const std::string& text, float& out) { return settings_scan_real(text.c_str(), out); }

void scan_int_pair(const std::string& text, int& first, int& second)
{
    const char* rest = nullptr;
    if (settings_scan_int(text.c_str(), first, &rest) && *rest == ',') settings_scan_int(rest + 1, second);
}

int wave_choice_from(DialogControls& c)
{
    int v = 2 * c.checked(ctl::wave_bmx) + c.checked(ctl::wave_bmw);
    for (int k = 1; k <= 9; ++k)
        if (c.checked(ctl::machine_first + k - 1)) v -= k;
    return v;
}

std::string output_name_on_init(const std::string& name, int wave_choice)
{
    std::string r = name;
    if (wave_choice == 1)
        swap_extension(r, ".bmx", 'w');
    else
        swap_extension(r, ".bmw", 'x');
    return r;
}

std::string output_name_on_change(const std::string& name, int now, int last)
{
    std::string r = name;
    if (r.empty()) return r;
    const bool into_bmw = now == 1 && last != 1;
    const bool out_of_bmw = now != 1 && last == 1;
    if (into_bmw && !swap_extension(r, ".bmx", 'w') && find_extension(r, ".bmw") == std::string::npos)
        r += ".bmw";
    if (out_of_bmw && !swap_extension(r, ".bmw", 'x') && find_extension(r, ".bmx") == std::string::npos)
        r += ".bmx";
    return r;
}

void pages_from_settings(Settings& s, DialogControls& c, DialogState& d)
{
    for (const RadioGroup& g : radio_groups) {
        const int v = g.field.get(s);
        for (int k = 0; k < g.count; ++k) c.set_checked(g.first_id + k, v == k);
    }
    if (s.dopfun == 0) {
        c.set_checked(ctl::wave_bmx, s.dowave == Waves::bmx);
        c.set_checked(ctl::wave_bmw, s.dowave == Waves::bmw);
        c.set_checked(ctl::wave_none, s.dowave == Waves::none);
        d.wave_choice = int(s.dowave);
    } else {
        for (int k = 1; k <= 9; ++k) c.set_checked(ctl::machine_first + k - 1, s.dopfun == k);
        d.wave_choice = -s.dopfun;
        s.dowave = Waves::none;
    }
    c.set_checked(ctl::midi_extern, s.domidi_ext != 0);
    c.set_checked(235, s.domidi_ext == 0 && s.dopchange == 1);
    c.set_checked(236, s.domidi_ext == 0 && s.dopchange == 0);

    d.last_wave_choice = d.wave_choice;
    s.output_file = output_name_on_init(s.output_file, d.wave_choice);
    d.program_output_name = s.output_file;

    for (const CheckBox& b : check_boxes) c.set_checked(b.id, s.*b.field != 0);
    for (const IntEdit& e : int_edits) c.set_text(e.id, number_text(s.*e.field));
    for (const RealEdit& e : real_edits) c.set_text(e.id, real_text(s.*e.field));
    for (const TextEdit& e : text_edits) c.set_text(e.id, s.*e.field);
    c.set_text(246, number_text(s.ptranspo) + "," + number_text(s.drtranspo));
    for (const SwitchedCount& w : switched_counts) {
        const int v = s.*w.field;
        c.set_checked(w.check_id, v >= 2);
        c.set_text(w.edit_id, v >= 2 ? number_text(v) : "1");
    }
    c.set_checked(430, s.tune_wave != 0);
    c.set_text(431, number_text(s.tune_wave));
    c.set_checked(436, s.rip_wave != 0);
}

void pages_to_settings(DialogControls& c, Settings& s, DialogState& d)
{
    for (const TextEdit& e : text_edits)
        s.*e.field = c.text(e.id, text_edit_chars);
    radio_groups[0].field.set(s, read_group(c, radio_groups[0]));
    d.wave_choice = wave_choice_from(c);
    s.dopfun = d.wave_choice < 0 ? -d.wave_choice : 0;
    s.dowave = Waves(d.wave_choice < 0 ? 0 : d.wave_choice);
    for (const IntEdit& e : int_edits) scan_leading_int(c.text(e.id, number_edit_chars), s.*e.field);
    for (const RealEdit& e : real_edits)
        scan_leading_real(c.text(e.id, number_edit_chars), s.*e.field);
    for (const CheckBox& b : check_boxes) s.*b.field = c.checked(b.id) ? 1 : 0;
    s.domidi_ext = c.checked(ctl::midi_extern) ? 1 : 0;
    s.dopchange = c.checked(235) ? 1 : 0;
    scan_int_pair(c.text(246, number_edit_chars), s.ptranspo, s.drtranspo);
    radio_groups[1].field.set(s, read_group(c, radio_groups[1]));
    for (const SwitchedCount& w : switched_counts) {
        s.*w.field = c.checked(w.check_id) ? 1 : 0;
        if (s.*w.field) scan_leading_int(c.text(w.edit_id, number_edit_chars), s.*w.field);
    }
    s.tune_wave = c.checked(430) ? 1 : 0;
    s.rip_wave = c.checked(436) ? 1 : 0;
    const std::string wave = c.text(431, number_edit_chars);
    if (s.tune_wave) scan_leading_int(wave, s.tune_wave);
    if (s.rip_wave) scan_leading_int(wave, s.rip_wave);
    radio_groups[2].field.set(s, read_group(c, radio_groups[2]));
    int source = 0;
    if (scan_leading_int(c.selected_entry(ctl::source_list), source)) s.clone_source = source;
}

SecondSong convout_from(DialogControls& c) { return SecondSong(read_group(c, radio_groups[1])); }

bool on_convout_changed(DialogControls& c, Settings& s)
{
    s.use_convout = convout_from(c);
    if (s.use_convout != SecondSong::converted_song) return false;
    s.do_mscale2 = s.do_mishift2 = 1;
    c.set_checked(ctl::mscale2, true);
    c.set_checked(ctl::mishift2, true);
    return true;
}

std::string default_xi_dir(const std::string& current_directory)
{
    std::string r = current_directory;
    for (char& ch : r)
        if (ch == '/') ch = '\\';
    if (r.empty() || r.back() != '\\') r += '\\';
    return r + "xi\\";
}

std::string xi_dir_from_choice(const std::string& chosen)
{
    size_t at = chosen.find_last_of('\\');
    return at == std::string::npos ? std::string() : chosen.substr(0, at + 1);
}

std::string browse_directory_from_choice(const std::string& chosen)
{
    size_t at = chosen.find_last_of('\\');
    return at == std::string::npos ? chosen : chosen.substr(0, at);
}

void on_wave_choice_changed(DialogControls& c, DialogState& d)
{
    d.wave_choice = wave_choice_from(c);
    const std::string name = c.text(ctl::output_file, text_edit_chars);
    const std::string changed = output_name_on_change(name, d.wave_choice, d.last_wave_choice);
    if (name == d.program_output_name) d.program_output_name = changed;
    c.set_text(ctl::output_file, changed);
    d.last_wave_choice = d.wave_choice;
}

std::string output_name_for_input(const std::string& input, int wave_choice)
{
    if (input.empty() || is_song_name(input)) return {};
    const size_t base = input.find_last_of("/\\");
    const size_t start = base == std::string::npos ? 0 : base + 1;
    const size_t dot = input.rfind('.');
    std::string name = dot != std::string::npos && dot > start ? input.substr(0, dot) : input;
    return name + (wave_choice == 1 ? ".bmw" : ".bmx");
}

void on_input_chosen(DialogControls& c, DialogState& d, const std::string& input)
{
    const std::string output = c.text(ctl::output_file, text_edit_chars);
    if (!output.empty() && output != d.program_output_name) return; // the user's own name
    const std::string follows = output_name_for_input(input, d.wave_choice);
    if (follows.empty()) return;
    c.set_text(ctl::output_file, follows);
    d.program_output_name = follows;
}

std::vector<std::string> input_names(const std::string& box)
{
    std::vector<std::string> names;
    size_t at = box.find_first_not_of(' ');
    if (at == std::string::npos) return names;
    if (box[at] != '"') {
        names.push_back(box);
        return names;
    }
    while (at != std::string::npos && at < box.size()) {
        const size_t end = box.find('"', at + 1);
        if (end == std::string::npos) {
            names.push_back(box.substr(at + 1)); // an unclosed last name
            break;
        }
        if (end > at + 1) names.push_back(box.substr(at + 1, end - at - 1));
        at = box.find('"', end + 1);
    }
    return names;
}

std::string input_box_text(const std::vector<std::string>& names)
{
    if (names.size() == 1) return names[0];
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "\"" : " \"") + n + "\"";
    return text;
}

std::vector<std::string> dropped_inputs(const std::vector<std::string>& dropped,
                                        const std::function<bool(const std::string&)>& is_folder,
                                        const std::function<std::vector<std::string>(const std::string&)>& files_of)
{
    std::vector<std::string> inputs;
    for (const std::string& d : dropped) {
        if (!is_folder(d)) {
            inputs.push_back(d);
            continue;
        }
        for (const std::string& f : files_of(d)) {
            const InputKind kind = kind_by_name(f);
            if (kind != InputKind::none && kind != InputKind::buzz_song) inputs.push_back(f);
        }
    }
    return inputs;
}

bool batch_files(const std::vector<std::string>& inputs, const std::string& output_box, int wave_choice,
                 const std::function<bool(const std::string&)>& is_folder, std::vector<BatchFile>& files,
                 std::string& why)
{
    files.clear();
    std::string folder = output_box;
    const bool ends_in_separator = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
    if (!folder.empty() && !ends_in_separator && !is_folder(folder)) {
        why = "With several input files, Output File names the folder for their songs, or is empty: each "
              "song beside its module (\"" + output_box + "\" is no folder)";
        return false;
    }
    if (!folder.empty() && !ends_in_separator) folder += folder.find('/') != std::string::npos ? '/' : '\\';
    for (const std::string& in : inputs) {
        std::string out = output_name_for_input(in, wave_choice);
        if (out.empty()) {
            why = in + " is a Buzz song: a song given alone is listed, a batch converts modules";
            return false;
        }
        if (!folder.empty()) out = folder + out.substr(out.find_last_of("/\\") + 1);
        for (const BatchFile& f : files)
            if (f.output == out) {
                why = out + " would be the song of both " + f.input + " and " + in;
                return false;
            }
        files.push_back({in, out});
    }
    return true;
}

std::string batch_replace_question(const std::vector<std::string>& existing)
{
    std::string q = existing.size() == 1 ? "1 of the songs exists: " : std::to_string(existing.size()) + " of the songs exist: ";
    for (size_t i = 0; i < existing.size() && i < 5; ++i) q += (i ? ", " : "") + existing[i];
    if (existing.size() > 5) q += ", ...";
    return q + ". Replace them?";
}

std::vector<std::string> files_a_job_replaces(const Settings& s, JobMode mode,
                                              const std::function<bool(const char*)>& exists)
{
    std::vector<std::string> names;
    if (converts(mode) && !is_song_name(s.input_file)) names.emplace_back(s.output_file);
    if (merges(mode)) names.emplace_back(s.merge_output);
    std::vector<std::string> found;
    for (const std::string& n : names)
        if (!n.empty() && std::find(found.begin(), found.end(), n) == found.end() && exists(n.c_str()))
            found.push_back(n);
    return found;
}

ScreenRect place_log_window(ScreenRect wanted, ScreenRect dialog, ScreenRect work_area, bool avoid_dialog)
{
    constexpr int gap = 4;                         // pixels between the dialog and the log window
    constexpr int least_width = 240, least_height = 120; // narrower than this the log is useless
    const ScreenRect& a = work_area;
    const int w = std::clamp(wanted.width(), std::min(least_width, a.width()), a.width());
    const int h = std::clamp(wanted.height(), std::min(least_height, a.height()), a.height());
    auto at = [&](int x, int y, int width, int height) {
        x = std::clamp(x, a.left, a.right - width);
        y = std::clamp(y, a.top, a.bottom - height);
        return ScreenRect{x, y, x + width, y + height};
    };
    const ScreenRect kept = at(wanted.left, wanted.top, w, h);
    if (!avoid_dialog || !overlaps(kept, dialog)) return kept;

    struct Side {
        int room;      // pixels free on that side of the dialog
        bool across;   // left or right of the dialog (the width must fit), else above or below
        bool before;   // left or above
    };
    const Side sides[] = {{a.right - dialog.right - gap, true, false},
                          {dialog.left - a.left - gap, true, true},
                          {a.bottom - dialog.bottom - gap, false, false},
                          {dialog.top - a.top - gap, false, true}};
    const Side* best = &sides[0];
    for (const Side& side : sides) {
        if (side.room >= (side.across ? w : h)) {
            best = &side;
            break;
        }
        if (side.room - (side.across ? least_width : least_height) >
            best->room - (best->across ? least_width : least_height))
            best = &side;
    }
    if (best->across) {
        const int width = std::clamp(best->room, std::min(least_width, w), w);
        return at(best->before ? dialog.left - gap - width : dialog.right + gap, dialog.top, width, h);
    }
    const int height = std::clamp(best->room, std::min(least_height, h), h);
    return at(dialog.left, best->before ? dialog.top - gap - height : dialog.bottom + gap, w, height);
}
