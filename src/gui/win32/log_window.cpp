// The log window: shows a job's log as it grows. It belongs to the dialog's thread; the job only
// appends to its LogLines, and the window looks for new text on a timer, follows the newest line
// while the view is at the bottom, and keeps the lines, so covering it loses nothing and the
// user can scroll back.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

#include "gui/log_lines.h"
#include "gui/win32/app.h"

namespace {

constexpr const char* log_window_class = "Merging";
constexpr int line_height = 15;       // pixels per line, as the log's line logic counts them
constexpr size_t kept_lines = 20000;  // the oldest lines beyond these are dropped
constexpr UINT refresh_timer = 1;
constexpr UINT refresh_ms = 50;

struct LogWindowState {
    HWND window = nullptr;
    std::unique_ptr<LogLines> lines;
    size_t top = 0;        // first line shown
    bool follow = true;    // the view stays on the newest line
    HFONT font = nullptr;
};
LogWindowState log_window;

int visible_lines(HWND w)
{
    RECT c;
    GetClientRect(w, &c);
    return std::max<int>(1, int(c.bottom) / line_height);
}

void update_scroll(HWND w)
{
    LogWindowState& s = log_window;
    const size_t count = s.lines ? s.lines->line_count() : 0;
    const size_t page = size_t(visible_lines(w));
    const size_t last_top = count > page ? count - page : 0;
    if (s.follow || s.top > last_top) s.top = last_top;
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    si.nMin = 0;
    si.nMax = int(count > 0 ? count - 1 : 0);
    si.nPage = UINT(page);
    si.nPos = int(s.top);
    SetScrollInfo(w, SB_VERT, &si, TRUE);
}

void scroll_to(HWND w, long long top)
{
    LogWindowState& s = log_window;
    const long long count = s.lines ? (long long)s.lines->line_count() : 0;
    const long long last_top = std::max(0LL, count - visible_lines(w));
    top = std::clamp(top, 0LL, last_top);
    s.top = size_t(top);
    s.follow = top == last_top;
    update_scroll(w);
    InvalidateRect(w, nullptr, TRUE);
}

void paint(HWND w)
{
    LogWindowState& s = log_window;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(w, &ps);
    if (s.lines) {
        HGDIOBJ old = SelectObject(dc, s.font ? HGDIOBJ(s.font) : GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        const auto shown = s.lines->lines(s.top, size_t(visible_lines(w)) + 1);
        int y = 0;
        for (const std::string& l : shown) {
            TextOutA(dc, 2, y, l.data(), int(l.size()));
            y += line_height;
        }
        SelectObject(dc, old);
    }
    EndPaint(w, &ps);
}

LRESULT CALLBACK log_window_proc(HWND w, UINT msg, WPARAM wparam, LPARAM lparam)
{
    LogWindowState& s = log_window;
    switch (msg) {
    case WM_TIMER:
        if (wparam == refresh_timer && s.lines && s.lines->take_changes()) {
            update_scroll(w);
            InvalidateRect(w, nullptr, TRUE);
        }
        return 0;
    case WM_PAINT: paint(w); return 0;
    case WM_SIZE: update_scroll(w); return 0;
    case WM_VSCROLL: {
        const long long page = visible_lines(w);
        long long top = (long long)s.top;
        switch (LOWORD(wparam)) {
        case SB_LINEUP: top -= 1; break;
        case SB_LINEDOWN: top += 1; break;
        case SB_PAGEUP: top -= page; break;
        case SB_PAGEDOWN: top += page; break;
        case SB_TOP: top = 0; break;
        case SB_BOTTOM: top = LLONG_MAX / 2; break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
            SCROLLINFO si{};
            si.cbSize = sizeof si;
            si.fMask = SIF_TRACKPOS;
            GetScrollInfo(w, SB_VERT, &si);
            top = si.nTrackPos;
            break;
        }
        default: return 0;
        }
        scroll_to(w, top);
        return 0;
    }
    case WM_MOUSEWHEEL:
        scroll_to(w, (long long)s.top - 3 * GET_WHEEL_DELTA_WPARAM(wparam) / WHEEL_DELTA);
        return 0;
    case WM_KEYDOWN:
        if (wparam == VK_PRIOR) SendMessageA(w, WM_VSCROLL, SB_PAGEUP, 0);
        if (wparam == VK_NEXT) SendMessageA(w, WM_VSCROLL, SB_PAGEDOWN, 0);
        if (wparam == VK_HOME) SendMessageA(w, WM_VSCROLL, SB_TOP, 0);
        if (wparam == VK_END) SendMessageA(w, WM_VSCROLL, SB_BOTTOM, 0);
        return 0;
    case WM_DESTROY:
        KillTimer(w, refresh_timer);
        if (s.window == w) s.window = nullptr;
        return 0;
    default: return DefWindowProcA(w, msg, wparam, lparam);
    }
}

void register_class()
{
    WNDCLASSA wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = &log_window_proc;
    wc.hInstance = program_instance;
    wc.hIcon = LoadIconA(program_instance, "KESTRIX");
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512) /* IDC_ARROW */);
    wc.hbrBackground = HBRUSH(COLOR_WINDOW + 1);
    wc.lpszClassName = log_window_class;
    RegisterClassA(&wc); // fails harmlessly when the class exists already
}

} // namespace

LogLines* log_window_create(HWND owner, const char* title, int x, int y, int dx, int dy)
{
    LogWindowState& s = log_window;
    log_window_close();
    register_class();
    if (!s.font) {
        LOGFONTA lf{};
        lf.lfHeight = -12;
        lstrcpyA(lf.lfFaceName, "MS Sans Serif");
        s.font = CreateFontIndirectA(&lf);
    }
    s.lines = std::make_unique<LogLines>(kept_lines);
    s.top = 0;
    s.follow = true;
    s.window = CreateWindowExA(0, log_window_class, title, WS_OVERLAPPEDWINDOW | WS_VSCROLL, x, y, dx,
                               dy, owner, nullptr, program_instance, nullptr);
    if (s.window) {
        SetTimer(s.window, refresh_timer, refresh_ms, nullptr);
        ShowWindow(s.window, SW_SHOWNOACTIVATE);
        UpdateWindow(s.window);
        update_scroll(s.window);
    }
    test_log("log window \"%s\" %s", title, s.window ? "open" : "failed");
    return s.lines.get();
}

void log_window_close()
{
    LogWindowState& s = log_window;
    if (s.window) DestroyWindow(s.window);
    s.window = nullptr;
}
