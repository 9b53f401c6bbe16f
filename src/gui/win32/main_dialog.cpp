// The main dialog: five pages of options, the commands, and the one job at a time on the worker
// thread.
//
// The dialog keeps its own copy of the options (`pages`): every command first reads the controls
// into it. A job gets its options when it starts (a copy of its own, which only the job reads
// while it runs), so Save or a refused start during a job never change the options of the running
// job. The worker never touches a window of the dialog's thread: it sends the dialog
// two requests (open the log window, show the final message) and draws its log into a LogLines
// buffer the log window reads on a timer.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
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
        std::vector<char> buf(max_chars + 1, 0);
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
    LogWindow* open_log_window(const char* title) override
    {
        lines = reinterpret_cast<LogLines*>(SendMessageA(dialog, wm_open_log, 0, LPARAM(title)));
        return lines;
    }
    // "Log to file": the job's log also goes to log_file, replaced by each job.
    FILE* open_log_file() override
    {
        return job.dolist && job.log_file[0] ? platform::open_stream(job.log_file, "w") : nullptr;
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
    Settings job;              // the options of the running job (its log window and log file)
};

struct MainDialogState {
    HWND dialog = nullptr;         // `main_dialog`: owner of the job's final message
    Settings pages;                // the options as the pages show them
    DialogState state;
    HFONT heading_font = nullptr;
    HHOOK key_hook = nullptr;      // Ctrl+Tab and Ctrl+PgUp/PgDn switch pages
    DialogFrontEnd front_end;
    JobThread jobs;                // the one job running beside the dialog
    // Test mode: the longest time the dialog's thread did not get to its timer while a job ran.
    DWORD last_tick = 0;
    DWORD longest_gap = 0;
};

constexpr UINT_PTR watch_timer = 77;
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

void start_job(HWND dialog, int mode)
{
    if (main_dialog.jobs.running()) {
        error_box("error: another thread already running");
        return;
    }
    Settings& job = main_dialog.front_end.job;
    job = main_dialog.pages; // the job's own options from now on
    choose_machines_ini(job);
    if (mode & 1) prepare_xi_dir(job);
    main_dialog.front_end.dialog = dialog;
    const JobStart r = main_dialog.jobs.start(job, mode, main_dialog.front_end, &on_job_end, dialog);
    if (r == JobStart::cannot_create) {
        error_box("error: cannot create thread");
        return;
    }
    main_dialog.last_tick = GetTickCount();
    main_dialog.longest_gap = 0;
    test_log("job start mode %d", mode);
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
    char result[256] = {};
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = dialog;
    ofn.lpstrFilter = fd.filter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = result;
    ofn.nMaxFile = sizeof result;
    ofn.lpstrInitialDir = dir.c_str();
    ofn.lpstrTitle = fd.title;
    ofn.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | fd.options;
    test_log("file dialog \"%s\"", fd.title);
    const BOOL ok = fd.save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
    if (!ok) {
        test_log("file dialog cancelled");
        return;
    }
    std::string chosen = result;
    if (fd.edit_id == ctl::xi_dir) chosen = xi_dir_from_choice(chosen);
    test_log("file dialog chose \"%s\" for %d", chosen.c_str(), fd.edit_id);
    SetDlgItemTextA(dialog, fd.edit_id, chosen.c_str());
    dir = browse_directory_from_choice(result);
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
    const bool ok = list_generators(settings, settings.merge_input1, generators);
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
        settings_set_text(m.pages.xi_dir, default_xi_dir(platform::current_directory()).c_str());
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
    SetFocus(GetDlgItem(dialog, ctl::input_file));
    test_log_controls(dialog);
    if (test_log_enabled()) SetTimer(dialog, watch_timer, 20, nullptr);
}

void command(HWND dialog, int id)
{
    MainDialogState& m = main_dialog;
    if ((id >= ctl::wave_bmx && id <= ctl::wave_none) || (id >= ctl::machine_first && id <= ctl::machine_last)) {
        Win32Controls c(dialog);
        m.state.wave_choice = wave_choice_from(c);
        const std::string name = c.text(ctl::output_file, text_edit_chars);
        c.set_text(ctl::output_file, output_name_on_change(name, m.state.wave_choice, m.state.last_wave_choice));
        m.state.last_wave_choice = m.state.wave_choice;
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
    case ctl::save:
        read_pages(dialog);
        if (!save_settings(m.pages)) error_box("error: cannot write kestrix.ini");
        test_log("saved");
        break;
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
    case ctl::help:
        if (!platform::start_program("", "winhelp.exe kxgui.hlp", ""))
            error_box("Error running winhelp.exe");
        break;
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
        return FALSE;
    case wm_open_log: {
        const Settings& s = main_dialog.front_end.job; // the job's options: this runs while the job waits
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT,
                          LONG_PTR(log_window_create(dialog, reinterpret_cast<const char*>(lparam), s.lwind_x,
                                                     s.lwind_y, s.lwind_dx, s.lwind_dy)));
        return TRUE;
    }
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
