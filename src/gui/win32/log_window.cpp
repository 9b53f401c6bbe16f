// The log window: shows a job's log as it grows. It belongs to the dialog's thread; the job only
// appends to its LogLines, and the window looks for new text on a timer, follows the newest line
// while the view is at the bottom, and keeps the lines, so covering it loses nothing and the
// user can scroll back (and sideways: listings have long lines). It never takes the keyboard
// from the dialog: it opens without being activated, and keys other than its scroll keys go back
// to the dialog. When the user moves or sizes it, the dialog hears of it (wm_log_window_moved).
#include <windows.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

#include "gui/log_lines.h"
#include "gui/tab_layout.h"
#include "gui/win32/app.h"

namespace {

constexpr const char* log_window_class = "Merging";
constexpr int line_pixels = 15;       // pixels per line at 96 DPI, as the log's line logic counts them
constexpr int font_pixels = 12;       // the text's height at 96 DPI
constexpr int margin = 2;             // pixels left of the text
constexpr size_t kept_lines = 20000;  // the oldest lines beyond these are dropped
constexpr UINT refresh_timer = 1;
constexpr UINT refresh_ms = 50;

struct LogWindowState {
    HWND window = nullptr;
    std::unique_ptr<LogLines> lines;
    size_t top = 0;        // first line shown
    int left = 0;          // pixels scrolled to the right
    bool follow = true;    // the view stays on the newest line
    bool placing = false;  // the program itself moves the window
    HFONT font = nullptr;  // fixed pitch: listings keep their columns
    int char_width = 8;
    int line_height = line_pixels; // grown with the screen's DPI
};
// One per process: the dialog program has one log window, shared by the jobs it runs one at a time.
LogWindowState log_window;

int visible_lines(HWND w)
{
    RECT c;
    GetClientRect(w, &c);
    return std::max<int>(1, int(c.bottom) / log_window.line_height);
}

int client_width(HWND w)
{
    RECT c;
    GetClientRect(w, &c);
    return std::max<int>(1, int(c.right));
}

int text_width()
{
    const LogWindowState& s = log_window;
    return s.lines ? int(std::min<size_t>(s.lines->widest_line(), INT_MAX / 64)) * s.char_width + 2 * margin : 0;
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

    const int width = text_width(), view = client_width(w);
    s.left = std::clamp(s.left, 0, std::max(0, width - view));
    si.nMax = std::max(0, width - 1);
    si.nPage = UINT(view);
    si.nPos = s.left;
    SetScrollInfo(w, SB_HORZ, &si, TRUE);
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

void scroll_sideways(HWND w, int left)
{
    log_window.left = std::clamp(left, 0, std::max(0, text_width() - client_width(w)));
    update_scroll(w);
    InvalidateRect(w, nullptr, TRUE);
}

void paint(HWND w)
{
    LogWindowState& s = log_window;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(w, &ps);
    if (s.lines) {
        HGDIOBJ old = SelectObject(dc, s.font ? HGDIOBJ(s.font) : GetStockObject(ANSI_FIXED_FONT));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        const auto shown = s.lines->lines(s.top, size_t(visible_lines(w)) + 1);
        int y = 0;
        for (const std::string& l : shown) {
            TextOutA(dc, margin - s.left, y, l.data(), int(l.size()));
            y += s.line_height;
        }
        SelectObject(dc, old);
    }
    EndPaint(w, &ps);
}

// The position a scroll bar's thumb was dragged to.
int track_position(HWND w, int bar)
{
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_TRACKPOS;
    GetScrollInfo(w, bar, &si);
    return si.nTrackPos;
}

bool is_scroll_key(WPARAM key)
{
    return key == VK_PRIOR || key == VK_NEXT || key == VK_HOME || key == VK_END || key == VK_LEFT ||
           key == VK_RIGHT || key == VK_UP || key == VK_DOWN;
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
    case WM_WINDOWPOSCHANGED: {
        const auto* pos = reinterpret_cast<const WINDOWPOS*>(lparam);
        if (!s.placing && (~pos->flags & (SWP_NOMOVE | SWP_NOSIZE)))
            PostMessageA(GetWindow(w, GW_OWNER), wm_log_window_moved, 0, 0);
        return DefWindowProcA(w, msg, wparam, lparam);
    }
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
        case SB_THUMBPOSITION: top = track_position(w, SB_VERT); break;
        default: return 0;
        }
        scroll_to(w, top);
        return 0;
    }
    case WM_HSCROLL: {
        const int page = client_width(w);
        int left = s.left;
        switch (LOWORD(wparam)) {
        case SB_LINELEFT: left -= 4 * s.char_width; break;
        case SB_LINERIGHT: left += 4 * s.char_width; break;
        case SB_PAGELEFT: left -= page; break;
        case SB_PAGERIGHT: left += page; break;
        case SB_LEFT: left = 0; break;
        case SB_RIGHT: left = INT_MAX / 2; break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: left = track_position(w, SB_HORZ); break;
        default: return 0;
        }
        scroll_sideways(w, left);
        return 0;
    }
    case WM_MOUSEWHEEL:
        scroll_to(w, (long long)s.top - 3 * GET_WHEEL_DELTA_WPARAM(wparam) / WHEEL_DELTA);
        return 0;
    case WM_MOUSEHWHEEL:
        scroll_sideways(w, s.left + 4 * s.char_width * GET_WHEEL_DELTA_WPARAM(wparam) / WHEEL_DELTA);
        return 0;
    case WM_KEYDOWN:
        switch (wparam) {
        case VK_PRIOR: SendMessageA(w, WM_VSCROLL, SB_PAGEUP, 0); return 0;
        case VK_NEXT: SendMessageA(w, WM_VSCROLL, SB_PAGEDOWN, 0); return 0;
        case VK_HOME: SendMessageA(w, WM_VSCROLL, SB_TOP, 0); return 0;
        case VK_END: SendMessageA(w, WM_VSCROLL, SB_BOTTOM, 0); return 0;
        case VK_UP: SendMessageA(w, WM_VSCROLL, SB_LINEUP, 0); return 0;
        case VK_DOWN: SendMessageA(w, WM_VSCROLL, SB_LINEDOWN, 0); return 0;
        case VK_LEFT: SendMessageA(w, WM_HSCROLL, SB_LINELEFT, 0); return 0;
        case VK_RIGHT: SendMessageA(w, WM_HSCROLL, SB_LINERIGHT, 0); return 0;
        default: break;
        }
        [[fallthrough]];
    case WM_CHAR:
        // Typing belongs to the dialog: it gets the keyboard back, and the key with it.
        if (msg == WM_CHAR || !is_scroll_key(wparam)) {
            HWND owner = GetWindow(w, GW_OWNER);
            SetActiveWindow(owner);
            HWND focus = GetFocus();
            if (focus && focus != w) PostMessageA(focus, msg, wparam, lparam);
        }
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

void make_font()
{
    LogWindowState& s = log_window;
    if (s.font) return;
    LOGFONTA lf{};
    HDC dc = GetDC(nullptr);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    s.line_height = scaled_pixels(line_pixels, dpi);
    lf.lfHeight = -scaled_pixels(font_pixels, dpi);
    lf.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    lstrcpyA(lf.lfFaceName, "Courier New");
    s.font = CreateFontIndirectA(&lf);
    HGDIOBJ old = SelectObject(dc, s.font ? HGDIOBJ(s.font) : GetStockObject(ANSI_FIXED_FONT));
    TEXTMETRICA tm{};
    if (GetTextMetricsA(dc, &tm) && tm.tmAveCharWidth > 0) s.char_width = tm.tmAveCharWidth;
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
}

} // namespace

LogLines* log_window_create(HWND owner, const char* title, const RECT& place)
{
    LogWindowState& s = log_window;
    log_window_close();
    register_class();
    make_font();
    s.lines = std::make_unique<LogLines>(kept_lines);
    s.top = 0;
    s.left = 0;
    s.follow = true;
    s.placing = true;
    s.window = CreateWindowExA(0, log_window_class, title, WS_OVERLAPPEDWINDOW | WS_VSCROLL | WS_HSCROLL,
                               place.left, place.top, place.right - place.left, place.bottom - place.top, owner,
                               nullptr, program_instance, nullptr);
    if (s.window) {
        SetTimer(s.window, refresh_timer, refresh_ms, nullptr);
        ShowWindow(s.window, SW_SHOWNOACTIVATE);
        UpdateWindow(s.window);
        update_scroll(s.window);
    }
    s.placing = false;
    RECT r{};
    if (s.window) GetWindowRect(s.window, &r);
    test_log("log window \"%s\" %s rect %ld %ld %ld %ld", title, s.window ? "open" : "failed", r.left, r.top,
             r.right, r.bottom);
    return s.lines.get();
}

bool log_window_rect(RECT& r) { return log_window.window && GetWindowRect(log_window.window, &r); }

void log_window_close()
{
    LogWindowState& s = log_window;
    if (s.window) DestroyWindow(s.window);
    s.window = nullptr;
}
