// The test-mode log: a plain text file a GUI test reads while the program runs.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "gui/win32/app.h"
#include "gui/dialog_logic.h"

namespace {
struct TestLog {
    std::mutex lock;
    FILE* file = nullptr;
    bool opened = false;
};
// Process-wide: the one trace file a test run of the dialog asks for, written from its threads under the lock.
TestLog test_log_state;

FILE* test_log_file()
{
    TestLog& t = test_log_state;
    if (!t.opened) {
        t.opened = true;
        const char* name = std::getenv("KESTRIX_GUI_TEST_LOG");
        if (name && *name) t.file = std::fopen(name, "wb");
    }
    return t.file;
}

// The kind of a control as the pages name it.
const char* control_kind(HWND h)
{
    char cls[64] = {};
    GetClassNameA(h, cls, sizeof cls);
    const LONG style = GetWindowLongA(h, GWL_STYLE);
    if (lstrcmpiA(cls, "Button") == 0) {
        switch (style & BS_TYPEMASK) {
        case BS_AUTOCHECKBOX: return "check";
        case BS_AUTORADIOBUTTON: return "radio";
        case BS_PUSHBUTTON:
        case BS_DEFPUSHBUTTON: return "push";
        default: return "button?";
        }
    }
    if (lstrcmpiA(cls, "Static") == 0) {
        switch (style & SS_TYPEMASK) {
        case SS_ICON: return "icon";
        case SS_BLACKFRAME: return "frame";
        case SS_LEFT: return "text";
        default: return "static?";
        }
    }
    if (lstrcmpiA(cls, "Edit") == 0) return "edit";
    if (lstrcmpiA(cls, "ListBox") == 0) return "listbox";
    return "other";
}

// The pixels a control needs to show its whole text in its own font (0 0 for an edit, a list,
// an icon or a frame): the text, plus the check mark of a check box or radio button, or the
// border of a push button.
SIZE text_need(HWND h, const char* kind, const char* text)
{
    SIZE need{0, 0};
    const std::string k = kind;
    if (k != "text" && k != "check" && k != "radio" && k != "push") return need;
    std::string shown;
    for (const char* t = text; *t; ++t)
        if (*t != '&' || t[1] == '&') shown += *t; // a mnemonic's '&' is not drawn
    HDC dc = GetDC(h);
    HGDIOBJ old = SelectObject(dc, HGDIOBJ(SendMessageA(h, WM_GETFONT, 0, 0)));
    GetTextExtentPoint32A(dc, shown.c_str(), int(shown.size()), &need);
    SelectObject(dc, old);
    ReleaseDC(h, dc);
    if (k == "check" || k == "radio") need.cx += GetSystemMetrics(SM_CXMENUCHECK) + GetSystemMetrics(SM_CXEDGE);
    if (k == "push") need.cx += 4 * GetSystemMetrics(SM_CXEDGE);
    return need;
}

void log_control(HWND dialog, int id, int page)
{
    HWND h = GetDlgItem(dialog, id);
    if (!h) {
        test_log("control %d missing page %d", id, page);
        return;
    }
    RECT r;
    GetWindowRect(h, &r);
    char text[256] = {};
    GetWindowTextA(h, text, sizeof text);
    const LONG style = GetWindowLongA(h, GWL_STYLE);
    const SIZE need = text_need(h, control_kind(h), text);
    test_log("control %d %s page %d group %d visible %d rect %ld %ld %ld %ld need %ld %ld text \"%s\"", id,
             control_kind(h), page, (style & WS_GROUP) ? 1 : 0, (style & WS_VISIBLE) ? 1 : 0, r.left,
             r.top, r.right, r.bottom, need.cx, need.cy, text);
}
} // namespace

bool test_log_enabled()
{
    std::lock_guard<std::mutex> g(test_log_state.lock);
    return test_log_file() != nullptr;
}

void test_log(const char* fmt, ...)
{
    std::lock_guard<std::mutex> g(test_log_state.lock);
    FILE* f = test_log_file();
    if (!f) return;
    va_list ap;
    va_start(ap, fmt);
    std::fprintf(f, "%lu ", static_cast<unsigned long>(GetTickCount()));
    std::vfprintf(f, fmt, ap);
    va_end(ap);
    std::fputc('\n', f);
    std::fflush(f);
}

void test_log_controls(HWND dialog)
{
    if (!test_log_enabled()) return;
    RECT units{0, 0, 4, 8};
    MapDialogRect(dialog, &units);
    POINT origin{0, 0};
    ClientToScreen(dialog, &origin);
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    test_log("dialog units %ld %ld origin %ld %ld dpi %d", units.right, units.bottom, origin.x, origin.y, dpi);
    for (int id : {ctl::tab_frame, ctl::convert, ctl::save, ctl::quit, ctl::help}) log_control(dialog, id, -1);
    for (int tab = 0; tab < tab_strip_count(dialog); ++tab) {
        int n = 0;
        const int* ids = tab_strip_controls(dialog, tab, n);
        for (int k = 0; k < n; ++k) log_control(dialog, ids[k], tab);
    }
    tab_strip_test_log(dialog);
    test_log("controls end");
}

int message_box(HWND owner, const char* text, const char* caption)
{
    std::string one_line = text; // the test log holds one line per event
    for (size_t at = 0; (at = one_line.find('\n', at)) != std::string::npos; at += 2) one_line.replace(at, 1, "\\n");
    test_log("message \"%s\" \"%s\"", caption, one_line.c_str());
    const int r = MessageBoxA(owner, text, caption, MB_OK | MB_SETFOREGROUND);
    test_log("message closed");
    return r;
}
