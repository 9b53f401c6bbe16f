// Shared parts of the Win32 dialog program: the instance, the tab strip, the log window and the
// test-mode log.
#pragma once

#include <windows.h>

#include <string>

class LogLines;

// The module instance: the dialog and the tab strip find their templates in it.
extern HINSTANCE program_instance;

// Messages the dialog gets from the worker and from the log window.
constexpr UINT wm_report = WM_APP + 2;   // lParam: text of the job's final message
constexpr UINT wm_job_ended = WM_APP + 3;
constexpr UINT wm_log_window_moved = WM_APP + 4; // the user moved or sized the log window
constexpr UINT wm_test_drop = WM_APP + 5;        // test mode: wParam a DROPFILES block to drop

// After the dialog has closed: a job still converting is asked to stop, so that it removes its
// unfinished files; one that is only showing its final message ends with the program. False when
// the job did not stop within `timeout_ms`.
bool end_dialog_job(int timeout_ms);

INT_PTR CALLBACK main_dialog_proc(HWND dialog, UINT msg, WPARAM wparam, LPARAM lparam);

// --- tab strip (tab_strip.cpp) ---
struct TabDefinition {
    const char* template_name; // resource name (MAKEINTRESOURCE for a number)
    const char* label;
};
// Turns frame `frame_id` of `dialog` into a strip with one page per definition; 1 on success, 0
// when 32 strips exist already or a page cannot be built.
int tab_strip_create(HWND dialog, HINSTANCE instance, int frame_id, const TabDefinition* defs, int count);
// Shows tab `tab`'s controls and hides every other tab's; 1, or 0 when the dialog has no strip.
int tab_strip_select(HWND dialog, int tab);
// Labels drawn raised (bit 0 of flags) or flat.
void tab_strip_set_text_style(HWND dialog, int flags);
// The tab under a client point of the dialog, or -1.
int tab_strip_hit(HWND dialog, int x, int y);
int tab_strip_current(HWND dialog);
// Test mode: each tab's label, the pixels it needs and the room it has.
void tab_strip_test_log(HWND dialog);
int tab_strip_count(HWND dialog);
// The control ids of a tab, in creation order (empty when there is no such tab).
const int* tab_strip_controls(HWND dialog, int tab, int& count);
// Selects a tab the way the keyboard or a click does: shows it, repaints, and moves the focus out
// of the page that was hidden.
void tab_strip_activate(HWND dialog, int tab, bool focus_page);

// --- log window (log_window.cpp) ---
// Opens a log window owned by `owner` at `place` (screen pixels), without taking the keyboard; the
// returned lines are what the job draws into (valid until the next log_window_create).
LogLines* log_window_create(HWND owner, const char* title, const RECT& place);
// The open log window's screen rectangle; false when none is open.
bool log_window_rect(RECT& r);
// Closes the last log window (before a new job opens its own).
void log_window_close();

// --- test mode (test_log.cpp) ---
// With KESTRIX_GUI_TEST_LOG naming a file, the program writes what a test needs to see there:
// every control with its kind, text and place, tab changes, commands, messages and job ends.
bool test_log_enabled();
void test_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// One line per control of the dialog (screen rectangles) and the dialog's units.
void test_log_controls(HWND dialog);

// Shows a message box owned by the dialog (and notes it in the test log).
int message_box(HWND owner, const char* text, const char* caption);
