// The main dialog's rules as plain logic over the page controls' values: which control shows
// which setting, how a control's text becomes a number, how the output name's extension follows
// the wave choice, which command starts which job. The Win32 dialog supplies the controls through
// DialogControls; the tests supply a table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "jobs/batch.h"
#include "settings/settings.h"

// Ids of the controls the dialog's code names (the templates in kestrixw.rc hold all of them).
namespace ctl {
constexpr int save = 300, quit = 301, convert = 302, help = 303;
constexpr int browse_input = 304, browse_output = 305, browse_log = 306, browse_xi_dir = 307;
constexpr int browse_merge1 = 308, browse_merge2 = 309, browse_merge_output = 310, browse_soundfont = 311;
constexpr int transform_now = 312, transform_now_machine = 313, get_generators = 315;
constexpr int kill_job = 214, start_buzz = 215;
constexpr int tab_frame = 1010;
constexpr int input_file = 110, output_file = 111, log_file = 112, xi_dir = 113;
constexpr int merge_input1 = 114, merge_input2 = 115, merge_output = 116, soundfont = 117;
constexpr int wave_bmx = 131, wave_bmw = 132, wave_none = 133;
constexpr int machine_first = 151, machine_last = 159; // "PrimiFun" ... "Bass-3"
constexpr int midi_extern = 237;
constexpr int convout_input2 = 440, convout_output = 441, convout_nothing = 442;
constexpr int mscale2 = 448, mishift2 = 449;
constexpr int source_list = 510;
constexpr int lwind_x = 190, lwind_y = 191, lwind_dx = 192, lwind_dy = 193;
constexpr int limit_tracks = 172, track_limit = 173;
// The question before a batch replaces songs (its own template): the text, the buttons IDYES
// "Yes to all", IDNO "No to all", IDCANCEL.
constexpr int batch_question_template = 1020, batch_question_text = 1021;
} // namespace ctl

// Dialog templates of the main dialog and its five pages.
constexpr const char* main_dialog_template = "DIALOG_1";
struct PageDefinition {
    int template_id;
    const char* label;
};
constexpr PageDefinition dialog_pages[] = {
    {1011, "Basics"}, {1012, "Extended"}, {1013, "MIDI"}, {1014, "Transform"}, {1015, "Machine"}};
constexpr int dialog_page_count = 5;

// The controls' values as the dialog manager has them.
class DialogControls {
public:
    virtual ~DialogControls() = default;
    // The control's text, at most max_chars characters of it.
    virtual std::string text(int id, size_t max_chars) = 0;
    virtual void set_text(int id, const std::string& text) = 0;
    virtual bool checked(int id) = 0;
    virtual void set_checked(int id, bool on) = 0;
    // The selected entry of a list box, "" when none is selected.
    virtual std::string selected_entry(int id) = 0;
};

// Dialog state besides the settings record.
struct DialogState {
    int wave_choice = 2;      // 2 BMX, 1 BMW, 0 no waves, -k generator k (1..9)
    int last_wave_choice = 2; // wave_choice when the output name was last adjusted
    std::string browse_directory; // start directory of the next file dialog
    // The output name as the program itself last put it into the box (at start, after an
    // extension change, after choosing an input); a name that differs is the user's own.
    std::string program_output_name;
};

// Characters of a number edit that are read (the rest of a longer text is ignored); a text edit
// (a file or folder name) is read whole.
constexpr size_t number_edit_chars = 9;
constexpr size_t text_edit_chars = SIZE_MAX;

// "%d": blanks, a sign, digits; the text must begin with a number (24x gives 24). False, and
// `out` unchanged, otherwise.
bool scan_leading_int(const std::string& text, int& out);
// "%f": a finite real at the start of the text.
bool scan_leading_real(const std::string& text, float& out);
// "%d,%d": the first number, then, right after a comma, the second; each one that is there is
// taken ("-12,0"; "-12" sets only the first).
void scan_int_pair(const std::string& text, int& first, int& second);

// The wave choice the Basics page's radio buttons show.
int wave_choice_from(DialogControls& c);

// The output name at initialisation: under "make BMW" the first ".bmx" of the file's name becomes
// ".bmw", otherwise the first ".bmw" becomes ".bmx"; nothing is appended.
std::string output_name_on_init(const std::string& name, int wave_choice);
// The output name after the wave choice changed from `last` to `now`: into "make BMW" the first
// ".bmx" becomes ".bmw" (or ".bmw" is appended when the name has neither), out of it the other
// way round. Only the file's own name is searched, in any letter case.
std::string output_name_on_change(const std::string& name, int now, int last);

// The wave choice changed (a click on 131-133 or 151-159): the output name's extension follows it.
void on_wave_choice_changed(DialogControls& c, DialogState& d);

// The output name for an input chosen with Browse...: the input's name beside it with ".bmx", or
// ".bmw" under "make BMW"; "" for a Buzz song, which a conversion only lists.
std::string output_name_for_input(const std::string& input, int wave_choice);
// An input was chosen with Browse...: unless the output box holds a name of the user's own, the
// output name follows the input.
void on_input_chosen(DialogControls& c, DialogState& d, const std::string& input);

// Several input files (picked together in Browse, or dropped on the dialog): the Input File box
// holds their names each in double quotes, one after the other ("a.xm" "b.it"); a single name
// stands as it is.
std::vector<std::string> input_names(const std::string& box);
std::string input_box_text(const std::vector<std::string>& names);
// What a dropped set stands for: each file as it is, each folder's files of the kinds a conversion
// takes (by their names; not its folders, not Buzz songs), sorted by name.
std::vector<std::string> dropped_inputs(const std::vector<std::string>& dropped,
                                        const std::function<bool(const std::string&)>& is_folder,
                                        const std::function<std::vector<std::string>(const std::string&)>& files_of);
// The songs of a batch: the Output File box names the folder they go into (made when missing),
// or is empty: each song beside its module, under the module's name with ".bmx" (".bmw" under
// "make BMW"). False, with `why`, when the box holds a song's name instead, or two inputs would
// make one song.
bool batch_files(const std::vector<std::string>& inputs, const std::string& output_box, int wave_choice,
                 const std::function<bool(const std::string&)>& is_folder, std::vector<BatchFile>& files,
                 std::string& why);
// The question asked once before a batch replaces songs, answered "Yes to all" or "No to all".
std::string batch_replace_question(const std::vector<std::string>& existing);

// The files a job of `mode` would write over, each once: the conversion's song (not for a Buzz
// song as input: that is only listed) and the merge's output, those for which `exists` holds.
std::vector<std::string> files_a_job_replaces(const Settings& s, JobMode mode,
                                              const std::function<bool(const char*)>& exists);
// The question asked before a job replaces one of them.
inline std::string replace_question(const std::string& name) { return name + " exists. Replace it?"; }

// A rectangle of screen pixels.
struct ScreenRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool operator==(const ScreenRect&) const = default;
};
// Where the log window opens: at `wanted` (the log window settings, or where the user left the
// window this session) moved into the work area; when `avoid_dialog` is set and that covers the
// dialog, beside the dialog instead: right of it, left, below or above, the first side with room
// for the whole window, else the side with the most room, the window made to fit there.
ScreenRect place_log_window(ScreenRect wanted, ScreenRect dialog, ScreenRect work_area, bool avoid_dialog);

// Initialisation: every control shows its setting (reads dopfun/dowave as the dialog does:
// dowave becomes 0 under a generator), the wave choice is set and the output name adjusted once.
void pages_from_settings(Settings& s, DialogControls& c, DialogState& d);
// Reads every control back into the record (the first step of Save, Convert, Transform now!).
void pages_to_settings(DialogControls& c, Settings& s, DialogState& d);

// The Transform page's "merge with" group: use_convout from the buttons; choosing "converter
// output" also checks both second-input options (returns true when it did).
SecondSong convout_from(DialogControls& c);
bool on_convout_changed(DialogControls& c, Settings& s);
// The second input's name (and its Browse button) can be edited only for "Inputfile II".
inline bool merge_input2_editable(SecondSong use_convout) { return use_convout == SecondSong::merge_input2; }

// The mode "Convert" starts: convert, or convert then merge with "Merge after conversion".
inline JobMode convert_job_mode(const Settings& s) { return s.merge_after ? JobMode::convert_then_merge : JobMode::convert; }
constexpr JobMode transform_job_mode = JobMode::merge;

// xi_dir when kestrix.ini was not read: the current directory (with '\' separators) and "xi\".
std::string default_xi_dir(const std::string& current_directory);
// After a file dialog: the XI directory keeps the result's directory part with its final '\'
// ("" when it has none); the next dialog starts in the result's directory.
std::string xi_dir_from_choice(const std::string& chosen);
std::string browse_directory_from_choice(const std::string& chosen);
