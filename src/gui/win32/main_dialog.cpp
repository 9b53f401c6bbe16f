// The main dialog: five pages of options, the commands, and the one job at a time on the worker
// thread.
//
// The dialog keeps its own copy of the options (`pages`): every command first reads the controls
// into it. A job gets its options when it starts (a copy of its own, which only the job reads
// while it runs), so Save or a refused start during a job never change the options of the running
// job. Before a job writes over an existing file the user is asked. The log window
// opens with the job, beside the dialog unless the user has put it somewhere this session. The
// worker never touches a window of the dialog's thread: it draws its log into a LogLines buffer
// the log window reads on a timer, and asks the dialog to show its final message.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "convert/input_formats.h"
#include "core/log.h"
#include "core/version.h"
#include "gui/dialog_logic.h"
#include "gui/log_lines.h"
#include "gui/tab_layout.h"
#include "gui/win32/app.h"
#include "jobs/batch.h"
#include "jobs/job_files.h"
#include "jobs/job_runner.h"
#include "jobs/job_thread.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace {

void test_log_lines(LogLines& lines);
void batch_line(LogLines& lines, const std::string& text);

// The controls of the dialog as the portable rules see them.
class Win32Controls : public DialogControls {
public:
    explicit Win32Controls(HWND dialog) : dialog_(dialog) {}
    std::string text(int id, size_t max_chars) override
    {
        const size_t length = size_t(std::max(0, GetWindowTextLengthA(GetDlgItem(dialog_, id))));
        std::vector<char> buf(std::min(length, max_chars) + 1, 0);
        GetDlgItemTextA(dialog_, id, buf.data(), int(buf.size()));
        return buf.data();
    }
    void set_text(int id, const std::string& text) override { SetDlgItemTextA(dialog_, id, text.c_str()); }
    bool checked(int id) override { return IsDlgButtonChecked(dialog_, id) == BST_CHECKED; }
    void set_checked(int id, bool on) override { CheckDlgButton(dialog_, id, on ? BST_CHECKED : BST_UNCHECKED); }
    std::string selected_entry(int id) override
    {
        const LRESULT sel = SendDlgItemMessageA(dialog_, id, LB_GETCURSEL, 0, 0);
        if (sel == LB_ERR) return {};
        const LRESULT len = SendDlgItemMessageA(dialog_, id, LB_GETTEXTLEN, WPARAM(sel), 0);
        if (len == LB_ERR) return {};
        std::vector<char> buf(size_t(len) + 1, 0);
        SendDlgItemMessageA(dialog_, id, LB_GETTEXT, WPARAM(sel), LPARAM(buf.data()));
        return buf.data();
    }

private:
    HWND dialog_;
};

// The job's side of the dialog.
class DialogFrontEnd : public JobFrontEnd {
public:
    // The window the dialog opened when it started the job.
    LogWindow* open_log_window(const char*) override { return lines; }
    // "Log to file": the job's log also goes to log_file, a new file for each job (never written
    // through a link), unless that names one of the job's own files.
    FILE* open_log_file() override
    {
        if (!job.dolist || job.log_file.empty() || names_a_file_of_the_job(job, job.log_file.c_str())) return nullptr;
        return platform::create_file(job.log_file.c_str(), true);
    }
    bool lists_song_summary() const override { return true; }
    void report(const char* text, JobOutcome outcome) override
    {
        if (lines) lines->flush(); // the log's last lines are shown with the message
        if (lines) test_log_lines(*lines);
        lines = nullptr;
        const bool killed = outcome == JobOutcome::killed;
        test_log("job report \"%s\"%s", text, killed ? " killed" : "");
        if (!killed) SendMessageA(dialog, wm_report, 0, LPARAM(text));
    }
    HWND dialog = nullptr;
    LogLines* lines = nullptr; // this job's log window text
    Settings job;              // the options of the running job (its log file)
};

// What the log window settings were when the user last moved the log window: while the Extended
// page still shows them, the next log window opens right there, covering the dialog or not.
struct LogPlace {
    bool moved = false;
    int x = 0, y = 0, dx = 0, dy = 0;
};

struct MainDialogState {
    HWND dialog = nullptr;         // `main_dialog`: owner of the job's final message
    Settings pages;                // the options as the pages show them
    DialogState state;
    HFONT heading_font = nullptr;
    HHOOK key_hook = nullptr;      // Ctrl+Tab and Ctrl+PgUp/PgDn switch pages
    DialogFrontEnd front_end;
    JobThread jobs;                // the one job (or batch of jobs) running beside the dialog
    LogPlace log_place;
    // Test mode: the longest time the dialog's thread did not get to its timer while a job ran.
    DWORD last_tick = 0;
    DWORD longest_gap = 0;
};

constexpr UINT_PTR watch_timer = 77;
constexpr UINT about_command = 0x0110; // the window menu's "About" (a multiple of 16)
// One per process: the program's main window and the job its worker runs.
MainDialogState main_dialog;

constexpr int heading_ids[] = {201, 202, 203, 204, 205, 206, 207, 262, 270, 460, 461, 464};
constexpr int icon_ids[] = {221, 222, 223, 224, 225};

void error_box(const char* text) { message_box(main_dialog.dialog, text, "Error"); }

void read_pages(HWND dialog)
{
    Win32Controls c(dialog);
    pages_to_settings(c, main_dialog.pages, main_dialog.state);
}

void update_merge_input2(HWND dialog)
{
    const bool editable = merge_input2_editable(main_dialog.pages.use_convout);
    SendDlgItemMessageA(dialog, ctl::merge_input2, EM_SETREADONLY, editable ? FALSE : TRUE, 0);
    EnableWindow(GetDlgItem(dialog, ctl::browse_merge2), editable);
}

void on_job_end(void* dialog) { PostMessageA(static_cast<HWND>(dialog), wm_job_ended, 0, 0); }

// Asks before a job writes over `name`; true for Yes.
bool may_replace(HWND dialog, const std::string& name)
{
    const std::string question = replace_question(name);
    test_log("question \"%s\"", question.c_str());
    const int answer =
        MessageBoxA(dialog, question.c_str(), "KESTRIX Message", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    test_log("answer %s", answer == IDYES ? "yes" : "no");
    return answer == IDYES;
}

ScreenRect screen_rect(const RECT& r) { return {int(r.left), int(r.top), int(r.right), int(r.bottom)}; }

// Where the next log window opens (see LogPlace and place_log_window).
RECT log_window_place(HWND dialog, const Settings& s)
{
    RECT d{}, work{};
    GetWindowRect(dialog, &d);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    if (GetMonitorInfoA(MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST), &mi))
        work = mi.rcWork;
    else
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const LogPlace& p = main_dialog.log_place;
    const bool users_place = p.moved && p.x == s.lwind_x && p.y == s.lwind_y && p.dx == s.lwind_dx && p.dy == s.lwind_dy;
    // Settings far outside any screen are moved onto it anyway; the sums must not overflow.
    const int x = std::clamp(s.lwind_x, -100000, 100000), y = std::clamp(s.lwind_y, -100000, 100000);
    const ScreenRect wanted{x, y, x + std::clamp(s.lwind_dx, 0, 100000), y + std::clamp(s.lwind_dy, 0, 100000)};
    const ScreenRect r = place_log_window(wanted, screen_rect(d), screen_rect(work), !users_place);
    return RECT{r.left, r.top, r.right, r.bottom};
}

// The user moved or sized the log window: the Extended page shows its new place (Save keeps it),
// and the next log window opens there.
void log_window_moved(HWND dialog)
{
    RECT r;
    if (!log_window_rect(r)) return;
    LogPlace& p = main_dialog.log_place;
    p = {true, int(r.left), int(r.top), int(r.right - r.left), int(r.bottom - r.top)};
    Win32Controls c(dialog);
    c.set_text(ctl::lwind_x, std::to_string(p.x));
    c.set_text(ctl::lwind_y, std::to_string(p.y));
    c.set_text(ctl::lwind_dx, std::to_string(p.dx));
    c.set_text(ctl::lwind_dy, std::to_string(p.dy));
    test_log("log window moved to %d %d %d %d", p.x, p.y, p.dx, p.dy);
}

// Before a conversion of MIDI files: where their waves will come from (the XI folder, a
// SoundFont, or nothing), for the log window's first line. When nothing gives them though the
// options ask for waves, the user is asked first; false: do not convert.
bool midi_waves_settled(HWND dialog, const Settings& s, bool any_midi, std::string& line)
{
    line.clear();
    if (!any_midi) return true;
    const MidiWaveSource w = midi_wave_source(s);
    line = "MIDI waves: " + w.text;
    test_log("midi waves \"%s\"", w.text.c_str());
    const bool none_asked = s.domidi_ext || s.dopfun != 0 || s.dowave == Waves::none;
    if (w.kind != MidiWaveSourceKind::none || none_asked) return true;
    const std::string question = "The song will have no waves: " + w.text + ".\n\nConvert without waves?";
    test_log("question \"%s\"", question.c_str());
    const int answer =
        MessageBoxA(dialog, question.c_str(), "KESTRIX Message", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    test_log("answer %s", answer == IDYES ? "yes" : "no");
    return answer == IDYES;
}

void start_job(HWND dialog, JobMode mode)
{
    if (main_dialog.jobs.running()) {
        error_box("error: another thread already running");
        return;
    }
    for (const std::string& name :
         files_a_job_replaces(main_dialog.pages, mode, [](const char* n) { return platform::file_exists(n); }))
        if (!may_replace(dialog, name)) return;
    const bool midi = converts(mode) && decide_input_kind(main_dialog.pages.input_file).kind == InputKind::midi;
    std::string waves;
    if (!midi_waves_settled(dialog, main_dialog.pages, midi, waves)) return;
    DialogFrontEnd& f = main_dialog.front_end;
    Settings& settings = f.job;
    settings = main_dialog.pages; // the job's own options from now on
    settings.replace_files = 1;   // the dialog asks before a job replaces a file
    choose_machines_ini(settings);
    if (converts(mode)) {
        prepare_xi_dir(settings);
        if (midi) take_midi_wave_source(settings);
    }
    f.dialog = dialog;
    // The runner's first window is "Conversion Log" for a conversion, "Merging Log" for a merge.
    const char* title = converts(mode) ? "Conversion Log" : "Merging Log";
    f.lines = log_window_create(dialog, title, log_window_place(dialog, settings));
    if (!waves.empty() && f.lines) batch_line(*f.lines, waves);
    const JobStart r = main_dialog.jobs.start(settings, mode, f, &on_job_end, dialog);
    if (r == JobStart::cannot_create) {
        log_window_close();
        f.lines = nullptr;
        error_box("error: cannot create thread");
        return;
    }
    main_dialog.last_tick = GetTickCount();
    main_dialog.longest_gap = 0;
    test_log("job start mode %d", int(mode));
}

// The answer to the question before a batch replaces songs: "Yes to all", "No to all", or Cancel.
INT_PTR CALLBACK batch_question_proc(HWND box, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (msg == WM_INITDIALOG) {
        SetDlgItemTextA(box, ctl::batch_question_text, reinterpret_cast<const char*>(lparam));
        SetFocus(GetDlgItem(box, IDNO));
        return FALSE;
    }
    if (msg == WM_COMMAND && (LOWORD(wparam) == IDYES || LOWORD(wparam) == IDNO || LOWORD(wparam) == IDCANCEL)) {
        EndDialog(box, LOWORD(wparam));
        return TRUE;
    }
    return FALSE;
}

int ask_batch_replace(HWND dialog, const std::vector<std::string>& existing)
{
    const std::string question = batch_replace_question(existing);
    test_log("question \"%s\"", question.c_str());
    const INT_PTR answer = DialogBoxParamA(program_instance, MAKEINTRESOURCEA(ctl::batch_question_template), dialog,
                                           &batch_question_proc, LPARAM(question.c_str()));
    test_log("answer %s", answer == IDYES ? "yes to all" : answer == IDNO ? "no to all" : "cancel");
    return int(answer);
}

// The log window's last lines, one "log line" each, into the test log (the end of a job or batch).
void test_log_lines(LogLines& lines)
{
    if (!test_log_enabled()) return;
    const size_t count = lines.line_count(), shown = std::min<size_t>(count, 200);
    for (const std::string& l : lines.lines(count - shown, shown)) test_log("log line \"%s\"", l.c_str());
}

// The lines of a batch as the log window shows them, the summary, and "Log to file": every file's
// whole log, in the order of the files.
struct BatchRun {
    std::vector<BatchFile> files;
    size_t kept = 0; // songs left as they were ("No to all")
    Settings settings;
    HWND dialog = nullptr;
    LogLines* lines = nullptr;
    BatchJobs running;
};

void batch_line(LogLines& lines, const std::string& text)
{
    lines.draw_text(text);
    lines.move_to_line(0);
    lines.repaint();
}

void run_batch_task(BatchRun& b)
{
    LogLines& lines = *b.lines;
    const unsigned cores = std::thread::hardware_concurrency();
    batch_line(lines, "Converting " + std::to_string(b.files.size()) + (b.files.size() == 1 ? " file" : " files") +
                          (b.kept ? " (" + std::to_string(b.kept) + " kept as they were)" : "") + ":");
    std::vector<BatchResult> results(b.files.size());
    std::vector<char> done(b.files.size(), 0);
    int converted = 0, failed = 0, stopped = 0;
    const BatchFinished finished = [&](size_t i, BatchResult& r) {
        // A file whose job Kill ended is not converted rather than failed.
        r.ok ? ++converted : b.running.killed() ? ++stopped : ++failed;
        batch_line(lines, r.ok ? batch_ok_line(b.files[i], r.seconds) : batch_failed_line(b.files[i], r.reason));
        for (const std::string& w : r.warnings) batch_line(lines, "    " + w);
        results[i] = std::move(r);
        done[i] = 1;
    };
    run_batch_jobs(b.files, int(cores ? cores : 1), [&b](const BatchFile& f) { return convert_batch_file(b.settings, f, b.running); },
                   finished, [&b] { return b.running.killed(); });
    const int left_out = int(b.files.size()) - converted - failed + int(b.kept);
    const std::string summary = batch_summary(converted, failed, left_out);
    batch_line(lines, summary);
    if (b.settings.dolist && !b.settings.log_file.empty()) {
        bool ok = false;
        if (FILE* f = platform::create_file(b.settings.log_file.c_str(), true)) {
            for (size_t i = 0; i < b.files.size(); ++i)
                if (done[i])
                    std::fprintf(f, "== %s\n%s\n%s\n\n", b.files[i].input.c_str(), results[i].log.c_str(),
                                 (results[i].ok ? batch_ok_line(b.files[i], results[i].seconds)
                                                : batch_failed_line(b.files[i], results[i].reason)).c_str());
            std::fprintf(f, "%s\n", summary.c_str());
            ok = std::fflush(f) == 0 && !std::ferror(f);
            ok = std::fclose(f) == 0 && ok;
        }
        if (!ok) batch_line(lines, std::string("Warning: the log file ") + b.settings.log_file + " could not be written");
    }
    lines.flush();
    test_log_lines(lines);
    const bool killed = b.running.killed();
    test_log("job report \"%s\"%s", summary.c_str(), killed ? " killed" : "");
    if (!killed) SendMessageA(b.dialog, wm_report, 0, LPARAM(summary.c_str()));
}

// Several inputs: one question if songs would be replaced, then every file a job of its own with
// the pages' options, several at once, on the worker.
void start_batch(HWND dialog, const std::vector<std::string>& inputs)
{
    MainDialogState& m = main_dialog;
    if (m.jobs.running()) {
        error_box("error: another thread already running");
        return;
    }
    auto run = std::make_shared<BatchRun>();
    std::string why;
    Win32Controls c(dialog);
    const auto is_folder = [](const std::string& p) { return platform::is_directory(p.c_str()); };
    if (!batch_files(inputs, c.text(ctl::output_file, text_edit_chars), m.state.wave_choice, is_folder, run->files, why)) {
        error_box(why.c_str());
        return;
    }
    std::vector<std::string> existing;
    for (const BatchFile& f : run->files)
        if (platform::file_exists(f.output.c_str())) existing.push_back(f.output);
    run->settings = m.pages;
    run->settings.replace_files = 0;
    const bool midi = std::any_of(run->files.begin(), run->files.end(), [](const BatchFile& f) {
        return decide_input_kind(f.input).kind == InputKind::midi;
    });
    std::string waves;
    if (!midi_waves_settled(dialog, run->settings, midi, waves)) return;
    if (!existing.empty()) {
        const int answer = ask_batch_replace(dialog, existing);
        if (answer == IDCANCEL) return;
        if (answer == IDYES) run->settings.replace_files = 1;
        if (answer == IDNO) {
            std::erase_if(run->files, [](const BatchFile& f) { return platform::file_exists(f.output.c_str()); });
            run->kept = existing.size();
        }
    }
    for (const BatchFile& f : run->files) {
        const size_t cut = f.output.find_last_of("/\\");
        if (cut != std::string::npos) platform::make_directories(f.output.substr(0, cut).c_str());
    }
    choose_machines_ini(run->settings);
    if (midi) take_midi_wave_source(run->settings);
    run->dialog = dialog;
    run->lines = log_window_create(dialog, "Conversion Log", log_window_place(dialog, run->settings));
    if (!waves.empty() && run->lines) batch_line(*run->lines, waves);
    const JobStart r = m.jobs.start_task([run] { run_batch_task(*run); }, [run] { run->running.kill(); }, &on_job_end, dialog);
    if (r == JobStart::cannot_create) {
        log_window_close();
        error_box("error: cannot create thread");
        return;
    }
    main_dialog.last_tick = GetTickCount();
    main_dialog.longest_gap = 0;
    test_log("batch start %d files", int(run->files.size()));
}

// Convert: one input as a job, several as a batch.
void convert_pages(HWND dialog)
{
    read_pages(dialog);
    Win32Controls c(dialog);
    const std::vector<std::string> inputs = input_names(c.text(ctl::input_file, text_edit_chars));
    if (inputs.size() > 1) {
        start_batch(dialog, inputs);
        return;
    }
    start_job(dialog, convert_job_mode(main_dialog.pages));
}

// Names picked or dropped: the Input File box takes them; the output name follows one input,
// and with several the box is left for a folder (empty: each song beside its module).
void set_inputs(HWND dialog, const std::vector<std::string>& names)
{
    Win32Controls c(dialog);
    c.set_text(ctl::input_file, input_box_text(names));
    if (names.size() == 1) {
        on_input_chosen(c, main_dialog.state, names[0]);
    } else if (c.text(ctl::output_file, text_edit_chars) == main_dialog.state.program_output_name) {
        c.set_text(ctl::output_file, "");
        main_dialog.state.program_output_name.clear();
    }
    test_log("inputs %d output name \"%s\"", int(names.size()), c.text(ctl::output_file, text_edit_chars).c_str());
}

// Files or folders dropped on the dialog are converted at once, with the options the pages show.
void on_drop(HWND dialog, HDROP drop)
{
    std::vector<std::string> dropped;
    const UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        std::vector<char> name(DragQueryFileA(drop, i, nullptr, 0) + 1, 0);
        DragQueryFileA(drop, i, name.data(), UINT(name.size()));
        dropped.emplace_back(name.data());
    }
    DragFinish(drop);
    const std::vector<std::string> inputs = dropped_inputs(
        dropped, [](const std::string& p) { return platform::is_directory(p.c_str()); }, &platform::files_in_directory);
    test_log("dropped %d names: %d inputs", int(dropped.size()), int(inputs.size()));
    if (inputs.empty()) {
        error_box("Nothing to convert among the dropped files (modules, MIDI files, XI instruments)");
        return;
    }
    if (main_dialog.jobs.running()) {
        error_box("error: another thread already running");
        return;
    }
    set_inputs(dialog, inputs);
    convert_pages(dialog);
}

// Test mode: a set of names sent with WM_COPYDATA (tests/gui/win32/kxdrop.cpp: "DROP", the names each
// ended by a zero) is dropped as the shell drops files, through a DROPFILES block.
void test_drop(HWND dialog, const COPYDATASTRUCT& data)
{
    if (!test_log_enabled() || data.dwData != 0x504F5244 /* "DROP" */ || !data.lpData) return;
    const char* names = static_cast<const char*>(data.lpData);
    HGLOBAL block = GlobalAlloc(GHND, sizeof(DROPFILES) + data.cbData + 2);
    if (!block) return;
    auto* df = static_cast<DROPFILES*>(GlobalLock(block));
    df->pFiles = sizeof(DROPFILES);
    std::memcpy(reinterpret_cast<char*>(df) + sizeof(DROPFILES), names, data.cbData);
    GlobalUnlock(block);
    PostMessageA(dialog, wm_test_drop, WPARAM(block), 0); // the sender does not wait for the job
}

// A name as Windows' wide calls take it: UTF-8, or the ANSI code page when it is not UTF-8.
std::wstring wide(const std::string& utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, nullptr, 0);
    const UINT page = n > 0 ? CP_UTF8 : CP_ACP;
    std::wstring w(size_t(std::max(1, MultiByteToWideChar(page, 0, utf8.c_str(), -1, nullptr, 0))), L'\0');
    MultiByteToWideChar(page, 0, utf8.c_str(), -1, w.data(), int(w.size()));
    w.resize(w.size() - 1);
    return w;
}

// Help: the old help viewer where it and its help file kxgui.hlp both exist, else the help page
// beside the program in the system's browser.
void open_help(HWND dialog)
{
    const std::string dir = platform::executable_directory();
    char windows_dir[MAX_PATH] = {};
    GetWindowsDirectoryA(windows_dir, MAX_PATH);
    const std::string winhelp = std::string(windows_dir) + "\\winhelp.exe";
    for (const std::string& hlp : {std::string("kxgui.hlp"), dir + "\\kxgui.hlp"}) {
        if (!platform::file_exists(winhelp.c_str()) || !platform::file_exists(hlp.c_str())) continue;
        test_log("help \"%s\"", hlp.c_str());
        if (!platform::start_program(winhelp, "winhelp.exe \"" + hlp + "\"", ""))
            error_box("Error running winhelp.exe");
        return;
    }
    const std::string page = dir + "\\kestrix-help.html";
    test_log("help \"%s\"", page.c_str());
    if (!platform::file_exists(page.c_str())) {
        error_box(("The help page is missing: " + page).c_str());
        return;
    }
    const auto r = INT_PTR(ShellExecuteW(dialog, L"open", wide(page).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (r <= 32) error_box(("No program opens the help page " + page).c_str());
}

void show_about(HWND dialog)
{
    const std::string text = std::string("kestrixw ") + program_version() +
                             "\n\nConverts tracker modules, MIDI files and XI instruments into Buzz songs, "
                             "and merges and transforms Buzz songs.\n\nHelp opens kestrix-help.html, which "
                             "describes every page.";
    message_box(dialog, text.c_str(), "About kestrixw");
}

struct FileDialog {
    int edit_id;
    const char* title;
    const char* filter; // pairs of description and pattern, each ended by a zero
    DWORD options;
    bool save;
};

const FileDialog* file_dialog_for(int button)
{
    static const char* const song_filter = "Buzzfiles (*.bmx)\0*.bmx\0All files (*.*)\0*.*\0";
    static const FileDialog dialogs[] = {
        {ctl::input_file, "Select Module (MOD/XM) or MIDI-File",
         "All supported types\0*.mod;*.xm;*.it;*.s3m;*.xi;*.mid;*.bmx;*.bmw\0Module (*.mod)\0*.mod\0"
         "Extended Module (*.xm)\0*.xm\0ScreamTracker 3 (*.s3m)\0*.s3m\0Impulse Tracker 2.xx (*.it)\0*.it\0"
         "Midi-File (*.mid)\0*.mid\0Fasttracker instrument (*.xi)\0*.xi\0"
         "Buzz song, listed (*.bmx,*.bmw)\0*.bmx;*.bmw\0All files (*.*)\0*.*\0",
         OFN_FILEMUSTEXIST | OFN_ALLOWMULTISELECT | OFN_EXPLORER, false},
        {ctl::output_file, "Select Name of output file",
         "Buzzfiles (*.bmx,*.bmw)\0*.bmx;*.bmw\0All files (*.*)\0*.*\0", OFN_OVERWRITEPROMPT, true},
        {ctl::log_file, "Select LOG filename", "Logfilename (*.log)\0*.log\0", OFN_OVERWRITEPROMPT, true},
        {ctl::xi_dir, "Select XI drectory\n(you should create one especially for this purpose)",
         "All files (*.*)\0*.*\0", OFN_NOVALIDATE, false},
        {ctl::merge_input1, "Select Name of first merge input file", song_filter, OFN_FILEMUSTEXIST, false},
        {ctl::merge_input2, "Select Name of second merge input file", song_filter, OFN_FILEMUSTEXIST, false},
        {ctl::merge_output, "Select Name of merge output", song_filter, OFN_OVERWRITEPROMPT, true},
        {ctl::soundfont, "Select a SoundFont for the waves of MIDI files",
         "SoundFont (*.sf2)\0*.sf2\0All files (*.*)\0*.*\0", OFN_FILEMUSTEXIST, false},
    };
    const int k = button - ctl::browse_input;
    return k >= 0 && k < int(sizeof dialogs / sizeof dialogs[0]) ? &dialogs[k] : nullptr;
}

void browse(HWND dialog, const FileDialog& fd)
{
    std::string& dir = main_dialog.state.browse_directory;
    if (dir.empty()) {
        // The first file dialog starts in the user's documents (else the current folder).
        char documents[MAX_PATH] = {};
        dir = SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, 0, documents)) && documents[0]
                  ? documents
                  : platform::current_directory();
    }
    // Several inputs at once: the folder and the names, each ended by a zero. Room for any name
    // the system's dialog returns: a long path is taken whole.
    const bool multiple = (fd.options & OFN_ALLOWMULTISELECT) != 0;
    std::vector<char> result(multiple ? 65536 : 32768, 0);
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = dialog;
    ofn.lpstrFilter = fd.filter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = result.data();
    ofn.nMaxFile = DWORD(result.size());
    ofn.lpstrInitialDir = dir.c_str();
    ofn.lpstrTitle = fd.title;
    ofn.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | fd.options;
    test_log("file dialog \"%s\" in \"%s\"", fd.title, dir.c_str());
    const BOOL ok = fd.save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
    if (!ok) {
        test_log("file dialog cancelled");
        return;
    }
    if (multiple && ofn.nFileOffset > 0 && result[ofn.nFileOffset - 1] == 0) {
        std::string folder = result.data();
        if (!folder.empty() && folder.back() != '\\') folder += '\\';
        std::vector<std::string> names;
        for (const char* n = result.data() + ofn.nFileOffset; *n; n += std::strlen(n) + 1) names.push_back(folder + n);
        test_log("file dialog chose %d files for %d", int(names.size()), fd.edit_id);
        dir = browse_directory_from_choice(names[0]);
        set_inputs(dialog, names);
        return;
    }
    std::string chosen = result.data();
    if (fd.edit_id == ctl::xi_dir) chosen = xi_dir_from_choice(chosen);
    test_log("file dialog chose \"%s\" for %d", chosen.c_str(), fd.edit_id);
    SetDlgItemTextA(dialog, fd.edit_id, chosen.c_str());
    dir = browse_directory_from_choice(result.data());
    if (fd.edit_id == ctl::input_file) {
        Win32Controls c(dialog);
        on_input_chosen(c, main_dialog.state, chosen);
        test_log("output name \"%s\"", c.text(ctl::output_file, text_edit_chars).c_str());
    }
}

void start_buzz()
{
    std::string program = std::string(main_dialog.pages.buzz_path) + "buzz.exe";
    if (program.size() > 259 ||
        !platform::start_program(program, "\"" + program + "\"", main_dialog.pages.buzz_path))
        error_box(("Error running buzz.exe (tried " + program +
                   "; edit buzz_path in kestrix.ini: the folder of buzz.exe, with a final backslash)").c_str());
}

// "Get generators from Input I": reads the first input's machines on this thread, with no log
// window and no log file.
void list_generators_of_input1(HWND dialog)
{
    if (main_dialog.jobs.running()) {
        error_box("error: another thread already running");
        return;
    }
    read_pages(dialog);
    Settings settings = main_dialog.pages;
    choose_machines_ini(settings);
    std::vector<GeneratorEntry> generators;
    const bool ok = list_generators(settings, settings.merge_input1.c_str(), generators);
    SendDlgItemMessageA(dialog, ctl::source_list, LB_RESETCONTENT, 0, 0);
    SendDlgItemMessageA(dialog, ctl::source_list, LB_ADDSTRING, 0, LPARAM(" 0: none"));
    for (const GeneratorEntry& g : generators)
        SendDlgItemMessageA(dialog, ctl::source_list, LB_ADDSTRING, 0, LPARAM(generator_line(g).c_str()));
    SendDlgItemMessageA(dialog, ctl::source_list, LB_SETCURSEL, 0, 0);
    main_dialog.pages.clone_source = 0;
    test_log("generators %d%s", int(generators.size()), ok ? "" : " failed");
    if (!ok) message_box(dialog, "Error occured!", "KESTRIX Message");
}

void set_heading_font(HWND dialog)
{
    HFONT font = HFONT(SendMessageA(dialog, WM_GETFONT, 0, 0));
    LOGFONTA lf{};
    if (!font || GetObjectA(font, sizeof lf, &lf) == 0) return;
    lf.lfWeight = FW_BOLD;
    main_dialog.heading_font = CreateFontIndirectA(&lf);
    if (!main_dialog.heading_font) return;
    for (int id : heading_ids) SendDlgItemMessageA(dialog, id, WM_SETFONT, WPARAM(main_dialog.heading_font), FALSE);
}

// Ctrl+Tab / Ctrl+Shift+Tab and Ctrl+PgDn / Ctrl+PgUp step through the pages from anywhere in
// the dialog, as in Windows' own tabbed dialogs.
LRESULT CALLBACK key_hook(int code, WPARAM wparam, LPARAM lparam)
{
    MSG* m = reinterpret_cast<MSG*>(lparam);
    HWND d = main_dialog.dialog;
    if (code == MSGF_DIALOGBOX && m && m->message == WM_KEYDOWN && d && (m->hwnd == d || IsChild(d, m->hwnd)) &&
        (GetKeyState(VK_CONTROL) & 0x8000) && IsWindowEnabled(d)) {
        int step = 0;
        if (m->wParam == VK_TAB) step = (GetKeyState(VK_SHIFT) & 0x8000) ? -1 : 1;
        if (m->wParam == VK_NEXT) step = 1;
        if (m->wParam == VK_PRIOR) step = -1;
        if (step) {
            tab_strip_activate(d, tab_step(tab_strip_current(d), tab_strip_count(d), step), true);
            return 1;
        }
    }
    return CallNextHookEx(main_dialog.key_hook, code, wparam, lparam);
}

void initialise(HWND dialog)
{
    MainDialogState& m = main_dialog;
    m.dialog = dialog;
    m.front_end.dialog = dialog;
    TabDefinition defs[dialog_page_count];
    for (int i = 0; i < dialog_page_count; ++i)
        defs[i] = {MAKEINTRESOURCEA(dialog_pages[i].template_id), dialog_pages[i].label};
    tab_strip_create(dialog, program_instance, ctl::tab_frame, defs, dialog_page_count);
    tab_strip_set_text_style(dialog, -2);

    if (!load_settings(m.pages))
        m.pages.xi_dir = default_xi_dir(platform::current_directory());
    Win32Controls c(dialog);
    pages_from_settings(m.pages, c, m.state);
    update_merge_input2(dialog);
    SendDlgItemMessageA(dialog, ctl::source_list, LB_ADDSTRING, 0, LPARAM(" 0: none"));
    SendDlgItemMessageA(dialog, ctl::source_list, LB_SETCURSEL, 0, 0);
    m.pages.clone_source = 0;
    set_heading_font(dialog);

    HICON icon = LoadIconA(program_instance, "KESTRIX");
    for (int id : icon_ids) SendDlgItemMessageA(dialog, id, STM_SETICON, WPARAM(icon), 0);
    SendMessageA(dialog, WM_SETICON, ICON_BIG, LPARAM(icon));
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, LPARAM(icon));
    m.key_hook = SetWindowsHookExA(WH_MSGFILTER, &key_hook, nullptr, GetCurrentThreadId());
    // "limit tracks to" is shown as it always was, greyed: no conversion reads it.
    EnableWindow(GetDlgItem(dialog, ctl::limit_tracks), FALSE);
    EnableWindow(GetDlgItem(dialog, ctl::track_limit), FALSE);
    if (HMENU menu = GetSystemMenu(dialog, FALSE)) {
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(menu, MF_STRING, about_command, "&About kestrixw...");
    }
    DragAcceptFiles(dialog, TRUE);
    SetFocus(GetDlgItem(dialog, ctl::input_file));
    test_log_controls(dialog);
    if (test_log_enabled()) SetTimer(dialog, watch_timer, 20, nullptr);
}

void command(HWND dialog, int id)
{
    MainDialogState& m = main_dialog;
    if ((id >= ctl::wave_bmx && id <= ctl::wave_none) || (id >= ctl::machine_first && id <= ctl::machine_last)) {
        Win32Controls c(dialog);
        on_wave_choice_changed(c, m.state);
        return;
    }
    if (id >= ctl::convout_input2 && id <= ctl::convout_nothing) {
        Win32Controls c(dialog);
        on_convout_changed(c, m.pages);
        update_merge_input2(dialog);
        return;
    }
    if (const FileDialog* fd = file_dialog_for(id)) {
        browse(dialog, *fd);
        return;
    }
    switch (id) {
    case ctl::save: {
        read_pages(dialog);
        std::string why;
        if (!save_settings(m.pages, &why)) error_box(("error: cannot write kestrix.ini: " + why).c_str());
        test_log("saved");
        break;
    }
    case ctl::convert: convert_pages(dialog); break;
    case ctl::transform_now:
    case ctl::transform_now_machine:
        read_pages(dialog);
        start_job(dialog, transform_job_mode);
        break;
    case ctl::quit:
    case IDCANCEL: EndDialog(dialog, 0); break;
    case ctl::help: open_help(dialog); break;
    case ctl::kill_job:
        if (!main_dialog.jobs.kill())
            error_box("No thread running");
        else
            test_log("kill requested");
        break;
    case ctl::start_buzz: start_buzz(); break;
    case ctl::get_generators: list_generators_of_input1(dialog); break;
    default: break;
    }
}

} // namespace

bool end_dialog_job(int timeout_ms)
{
    if (!main_dialog.jobs.running()) return true;
    main_dialog.jobs.kill();
    return main_dialog.jobs.finish(timeout_ms);
}

INT_PTR CALLBACK main_dialog_proc(HWND dialog, UINT msg, WPARAM wparam, LPARAM lparam)
{
    switch (msg) {
    case WM_INITDIALOG: initialise(dialog); return FALSE;
    case WM_COMMAND:
        if (HIWORD(wparam) == BN_CLICKED || lparam == 0) {
            test_log("command %d", int(LOWORD(wparam)));
            command(dialog, LOWORD(wparam));
            return TRUE;
        }
        return FALSE;
    case WM_SYSCOMMAND:
        if ((wparam & 0xFFF0) == SC_CLOSE) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        if ((wparam & 0xFFF0) == about_command) {
            show_about(dialog);
            return TRUE;
        }
        return FALSE;
    case wm_log_window_moved: log_window_moved(dialog); return TRUE;
    case WM_DROPFILES: on_drop(dialog, HDROP(wparam)); return TRUE;
    case WM_COPYDATA: test_drop(dialog, *reinterpret_cast<const COPYDATASTRUCT*>(lparam)); return TRUE;
    case wm_test_drop: on_drop(dialog, HDROP(wparam)); return TRUE; // DragFinish frees the block
    case wm_report:
        message_box(dialog, reinterpret_cast<const char*>(lparam), "KESTRIX Message");
        return TRUE;
    case wm_job_ended:
        main_dialog.jobs.finish();
        test_log("job ended; the dialog waited at most %lu ms for its messages",
                 static_cast<unsigned long>(main_dialog.longest_gap));
        return TRUE;
    case WM_TIMER:
        if (wparam == watch_timer && main_dialog.jobs.running()) {
            const DWORD now = GetTickCount();
            main_dialog.longest_gap = std::max(main_dialog.longest_gap, now - main_dialog.last_tick);
            main_dialog.last_tick = now;
        }
        return TRUE;
    case WM_DESTROY:
        if (main_dialog.key_hook) UnhookWindowsHookEx(main_dialog.key_hook);
        main_dialog.key_hook = nullptr;
        log_window_close();
        if (main_dialog.heading_font) DeleteObject(main_dialog.heading_font);
        main_dialog.heading_font = nullptr;
        main_dialog.dialog = nullptr;
        return FALSE;
    default: return FALSE;
    }
}
