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

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "convert/input_formats.h"
#include "core/log.h"
#include "core/version.h"
#include "gui/dialog_logic.h"
#include "gui/log_lines.h"
#include "gui/tab_layout.h"
#include "gui/win32/app.h"
#include "jobs/job_files.h"
#include "jobs/job_runner.h"
#include "jobs/job_thread.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace {

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
    void report(const char* text, JobOutcome outcome) override
    {
        if (lines) lines->flush(); // the log's last lines are shown with the message
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
    JobThread jobs;                // the one job running beside the dialog
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

void start_job(HWND dialog, int mode)
{
    if (main_dialog.jobs.running()) {
        error_box("error: another thread already running");
        return;
    }
    for (const std::string& name :
         files_a_job_replaces(main_dialog.pages, mode, [](const char* n) { return platform::file_exists(n); }))
        if (!may_replace(dialog, name)) return;
    DialogFrontEnd& f = main_dialog.front_end;
    Settings& settings = f.job;
    settings = main_dialog.pages; // the job's own options from now on
    settings.replace_files = 1;   // the dialog asks before a job replaces a file
    choose_machines_ini(settings);
    if (mode & 1) {
        prepare_xi_dir(settings);
        if (decide_input_kind(settings.input_file).kind == InputKind::midi) take_midi_wave_source(settings);
    }
    f.dialog = dialog;
    // The runner's first window is "Conversion Log" for a conversion, "Merging Log" for a merge.
    const char* title = mode & 1 ? "Conversion Log" : "Merging Log";
    f.lines = log_window_create(dialog, title, log_window_place(dialog, settings));
    const JobStart r = main_dialog.jobs.start(settings, mode, f, &on_job_end, dialog);
    if (r == JobStart::cannot_create) {
        log_window_close();
        f.lines = nullptr;
        error_box("error: cannot create thread");
        return;
    }
    main_dialog.last_tick = GetTickCount();
    main_dialog.longest_gap = 0;
    test_log("job start mode %d", mode);
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
         "All supported types\0*.mod;*.xm;*.it;*.s3m;*.xi;*.mid\0Module (*.mod)\0*.mod\0"
         "Extended Module (*.xm)\0*.xm\0ScreamTracker 3 (*.s3m)\0*.s3m\0Impulse Tracker 2.xx (*.it)\0*.it\0"
         "Midi-File (*.mid)\0*.mid\0Fasttracker instrument (*.xi)\0*.xi\0All files (*.*)\0*.*\0",
         OFN_FILEMUSTEXIST, false},
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
        char system_dir[MAX_PATH] = {};
        GetSystemDirectoryA(system_dir, MAX_PATH);
        dir = system_dir;
    }
    // Room for any name the system's dialog returns: a long path is taken whole.
    std::vector<char> result(32768, 0);
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
    test_log("file dialog \"%s\"", fd.title);
    const BOOL ok = fd.save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
    if (!ok) {
        test_log("file dialog cancelled");
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
        error_box("Error running buzz.exe (edit buzz_bath in kestrix.ini)");
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
    case ctl::convert:
        read_pages(dialog);
        start_job(dialog, convert_job_mode(m.pages));
        break;
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
