// The tab strip: a frame control of a dialog turned into a row of tabs with a raised border.
// Each page's controls are built from a dialog template as direct children of the dialog and
// are shown or hidden by tab; they live as long as the dialog, so their contents survive page
// switches.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gui/tab_layout.h"
#include "gui/win32/app.h"

namespace {

struct TabPage {
    std::string label;
    int id = 0;
    std::vector<int> controls; // control ids in creation order
};

struct TabStrip {
    HWND frame = nullptr;
    HWND dialog = nullptr;
    WNDPROC frame_previous = nullptr;
    WNDPROC dialog_previous = nullptr;
    std::vector<TabPage> tabs;
    int current = 0;
    bool raised_text = false;
};

constexpr int max_strips = 32;

// Every strip of the process and the drawing objects they share.
struct TabStrips {
    TabStrip* strips[max_strips] = {};
    int count = 0;
    HPEN shadow_pen = nullptr;
    HFONT label_font = nullptr;
    // The scale of the first strip's dialog, as a DPI: its font's height against the 13 pixels of
    // the dialog font at 96 DPI. The row and its labels grow with the dialog's text.
    int dpi = 96;
};
// Process-wide: a window class's procedure finds its strip here by window handle.
TabStrips tab_strips;

TabStrip* strip_of_dialog(HWND dialog)
{
    for (int i = 0; i < tab_strips.count; ++i)
        if (tab_strips.strips[i]->dialog == dialog) return tab_strips.strips[i];
    return nullptr;
}

TabStrip* strip_of_frame(HWND frame)
{
    for (int i = 0; i < tab_strips.count; ++i)
        if (tab_strips.strips[i]->frame == frame) return tab_strips.strips[i];
    return nullptr;
}

int row_height() { return scaled_pixels(tab_row_height, tab_strips.dpi); }

// The frame's rectangle in the dialog's client coordinates.
TabRect frame_rect(const TabStrip& s)
{
    RECT r;
    GetWindowRect(s.frame, &r);
    POINT a{r.left, r.top}, b{r.right, r.bottom};
    ScreenToClient(s.dialog, &a);
    ScreenToClient(s.dialog, &b);
    return TabRect{int(a.x), int(a.y), int(b.x), int(b.y)};
}

void line(HDC dc, HPEN pen, std::initializer_list<POINT> points)
{
    SelectObject(dc, pen);
    std::vector<POINT> p(points);
    Polyline(dc, p.data(), int(p.size()));
}

// The tab row, drawn on the dialog.
void paint_tabs(TabStrip& s, HDC dc)
{
    const TabRect f = frame_rect(s);
    const int n = int(s.tabs.size());
    HPEN black = HPEN(GetStockObject(BLACK_PEN)), white = HPEN(GetStockObject(WHITE_PEN));
    HPEN shadow = tab_strips.shadow_pen;
    SetBkMode(dc, TRANSPARENT);
    HGDIOBJ old_pen = SelectObject(dc, black);
    HGDIOBJ dialog_font = HGDIOBJ(SendMessageA(s.dialog, WM_GETFONT, 0, 0));
    for (int i = 0; i < n; ++i) {
        const TabRect t = tab_rect(f, n, i, true, row_height());
        const bool selected = i == s.current;
        const int l = t.left, r = t.right - 1, top = t.top + (selected ? 0 : 2), b = t.bottom;
        line(dc, black, {{l, b}, {l, top + 4}, {l + 4, top}, {r - 4, top}, {r, top + 4}, {r, b}});
        line(dc, white, {{l + 1, b}, {l + 1, top + 4}, {l + 4, top + 1}, {r - 4, top + 1}});
        line(dc, shadow, {{r - 1, top + 4}, {r - 1, b}});
        if (selected) {
            line(dc, white, {{l + 2, b}, {l + 2, top + 4}, {l + 4, top + 2}, {r - 4, top + 2}});
            line(dc, shadow, {{r - 2, top + 4}, {r - 2, b}});
        }
        const int dx = scaled_pixels(5, tab_strips.dpi), dy = scaled_pixels(4, tab_strips.dpi);
        RECT label{t.left + dx + 1, t.top + dy + 1, t.right - dx + 1, t.bottom - dy + 1};
        HGDIOBJ old_font = SelectObject(dc, selected && dialog_font ? dialog_font : HGDIOBJ(tab_strips.label_font));
        if (s.raised_text) {
            SetTextColor(dc, RGB(255, 255, 255));
            DrawTextA(dc, s.tabs[size_t(i)].label.c_str(), -1, &label, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
        }
        OffsetRect(&label, -1, -1);
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        DrawTextA(dc, s.tabs[size_t(i)].label.c_str(), -1, &label, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
        if (selected && GetFocus() == s.frame) {
            InflateRect(&label, 2, 0);
            DrawFocusRect(dc, &label);
        }
        SelectObject(dc, old_font);
    }
    SelectObject(dc, old_pen);
}

// The raised border, drawn by the frame itself; its top edge stays open under the selected tab.
void paint_frame(TabStrip& s, HDC dc)
{
    RECT c;
    GetClientRect(s.frame, &c);
    const int n = int(s.tabs.size());
    const TabRect f = frame_rect(s);
    const TabRect sel = tab_rect(f, n, s.current, true, row_height());
    const int gap_l = sel.left - f.left, gap_r = sel.right - f.left;
    const int w = c.right - 1, h = c.bottom - 1;
    HPEN black = HPEN(GetStockObject(BLACK_PEN)), white = HPEN(GetStockObject(WHITE_PEN));
    HGDIOBJ old_pen = SelectObject(dc, black);
    line(dc, black, {{0, 0}, {0, h}, {w, h}, {w, -1}});
    line(dc, white, {{1, 1}, {1, h - 1}});
    line(dc, white, {{2, 1}, {2, h - 2}});
    line(dc, tab_strips.shadow_pen, {{2, h - 1}, {w - 1, h - 1}, {w - 1, 0}});
    line(dc, tab_strips.shadow_pen, {{3, h - 2}, {w - 2, h - 2}, {w - 2, 1}});
    // The top edge left and right of the selected tab.
    if (gap_l > 0) {
        line(dc, black, {{0, 0}, {gap_l, 0}});
        line(dc, white, {{1, 1}, {gap_l + 1, 1}});
    }
    line(dc, black, {{gap_r - 1, 0}, {w, 0}});
    line(dc, white, {{gap_r - 1, 1}, {w - 1, 1}});
    SelectObject(dc, old_pen);
}

void invalidate_tab_row(TabStrip& s)
{
    const TabRect f = frame_rect(s);
    RECT r{f.left, f.top - row_height(), f.right, f.top + 3};
    InvalidateRect(s.dialog, &r, TRUE);
    InvalidateRect(s.frame, nullptr, TRUE);
}

void remove_strip(TabStrip* s)
{
    SetWindowLongPtrA(s->frame, GWLP_WNDPROC, LONG_PTR(s->frame_previous));
    SetWindowLongPtrA(s->dialog, GWLP_WNDPROC, LONG_PTR(s->dialog_previous));
    TabStrips& all = tab_strips;
    int at = 0;
    while (at < all.count && all.strips[at] != s) ++at;
    for (int i = at; i + 1 < all.count; ++i) all.strips[i] = all.strips[i + 1];
    if (at < all.count) all.strips[--all.count] = nullptr;
    delete s;
    if (all.count == 0) {
        DeleteObject(all.shadow_pen);
        if (all.label_font) DeleteObject(all.label_font);
        all.shadow_pen = nullptr;
        all.label_font = nullptr;
    }
}

LRESULT CALLBACK frame_proc(HWND frame, UINT msg, WPARAM wparam, LPARAM lparam)
{
    TabStrip* s = strip_of_frame(frame);
    if (!s) return DefWindowProcA(frame, msg, wparam, lparam);
    const WNDPROC previous = s->frame_previous;
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(frame, &ps);
        paint_frame(*s, dc);
        EndPaint(frame, &ps);
        return 0;
    }
    case WM_GETDLGCODE: return DLGC_WANTARROWS;
    case WM_SETFOCUS:
    case WM_KILLFOCUS: invalidate_tab_row(*s); break;
    case WM_KEYDOWN:
        if (wparam == VK_LEFT || wparam == VK_RIGHT) {
            const int step = wparam == VK_LEFT ? -1 : 1;
            tab_strip_activate(s->dialog, tab_step(s->current, int(s->tabs.size()), step), false);
            return 0;
        }
        break;
    case WM_NCDESTROY: {
        remove_strip(s);
        return CallWindowProcA(previous, frame, msg, wparam, lparam);
    }
    default: break;
    }
    return CallWindowProcA(previous, frame, msg, wparam, lparam);
}

LRESULT CALLBACK dialog_proc(HWND dialog, UINT msg, WPARAM wparam, LPARAM lparam)
{
    TabStrip* s = strip_of_dialog(dialog);
    if (!s) return DefDlgProcA(dialog, msg, wparam, lparam);
    if (msg == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(dialog, &ps);
        paint_tabs(*s, dc);
        EndPaint(dialog, &ps);
        return 0;
    }
    if (msg == WM_LBUTTONDOWN) {
        const int hit = tab_strip_hit(dialog, short(LOWORD(lparam)), short(HIWORD(lparam)));
        if (hit >= 0 && hit != s->current) tab_strip_activate(dialog, hit, false);
        if (hit >= 0) SetFocus(s->frame);
    }
    return CallWindowProcA(s->dialog_previous, dialog, msg, wparam, lparam);
}

// Builds a page's controls from its dialog template (the frame's own copy is skipped).
int page_controls_from_template(TabStrip& s, HINSTANCE instance, int frame_id, TabPage& page,
                                const char* template_name)
{
    HRSRC res = FindResourceA(instance, template_name, MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    if (!res) return 0;
    HGLOBAL loaded = LoadResource(instance, res);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return 0;
    std::vector<TemplateItem> items;
    if (!parse_dialog_template(static_cast<const uint8_t*>(data), SizeofResource(instance, res), items))
        return 0;
    HWND previous = s.frame;
    // The last control built so far: the new page goes behind it in the tab order.
    for (const TabPage& t : s.tabs)
        for (int id : t.controls)
            if (HWND h = GetDlgItem(s.dialog, id)) previous = h;
    const WPARAM font = WPARAM(SendMessageA(s.dialog, WM_GETFONT, 0, 0));
    for (const TemplateItem& it : items) {
        if (it.id == frame_id) continue;
        // x, y, cx and cy are mapped one by one, as the dialog manager maps them.
        RECT pos{it.x, it.y, it.cx, it.cy};
        MapDialogRect(s.dialog, &pos);
        HWND h = CreateWindowExA(it.ex_style | WS_EX_NOPARENTNOTIFY, it.class_name.c_str(),
                                 it.title.c_str(), it.style, pos.left, pos.top, pos.right, pos.bottom,
                                 s.dialog, HMENU(INT_PTR(it.id)), instance, nullptr);
        if (!h) return 0;
        page.controls.push_back(it.id);
        SendMessageA(h, WM_SETFONT, font, 0);
        SetWindowPos(h, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
        previous = h;
    }
    return 1;
}

} // namespace

int tab_strip_create(HWND dialog, HINSTANCE instance, int frame_id, const TabDefinition* defs, int count)
{
    TabStrips& all = tab_strips;
    if (all.count >= max_strips) return 0;
    HWND frame = GetDlgItem(dialog, frame_id);
    if (!frame) return 0;
    if (!all.shadow_pen) {
        all.shadow_pen = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
        RECT units{0, 0, 4, 8};
        MapDialogRect(dialog, &units);
        all.dpi = units.bottom > 0 ? MulDiv(96, int(units.bottom), 13) : 96;
        LOGFONTA lf{};
        lf.lfHeight = -scaled_pixels(13, all.dpi);
        lf.lfWeight = FW_NORMAL;
        lstrcpyA(lf.lfFaceName, "Arial");
        all.label_font = CreateFontIndirectA(&lf);
        if (!all.label_font) all.label_font = HFONT(GetStockObject(SYSTEM_FONT));
    }
    auto* s = new TabStrip;
    s->frame = frame;
    s->dialog = dialog;
    all.strips[all.count++] = s;
    s->frame_previous = WNDPROC(SetWindowLongPtrA(frame, GWLP_WNDPROC, LONG_PTR(&frame_proc)));
    s->dialog_previous = WNDPROC(SetWindowLongPtrA(dialog, GWLP_WNDPROC, LONG_PTR(&dialog_proc)));
    for (int i = 0; i < count; ++i) {
        TabPage page;
        page.label = defs[i].label;
        page.id = int(s->tabs.size());
        if (!page_controls_from_template(*s, instance, frame_id, page, defs[i].template_name)) {
            s->tabs.push_back(std::move(page)); // the controls built so far stay with their tab
            return 0;
        }
        s->tabs.push_back(std::move(page));
    }
    tab_strip_select(dialog, 0);
    return 1;
}

int tab_strip_select(HWND dialog, int tab)
{
    TabStrip* s = strip_of_dialog(dialog);
    if (!s) return 0;
    s->current = tab;
    for (const TabPage& t : s->tabs)
        for (int id : t.controls)
            if (HWND h = GetDlgItem(dialog, id))
                SetWindowPos(h, nullptr, 0, 0, 0, 0,
                             SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW |
                                 (t.id == tab ? SWP_SHOWWINDOW : SWP_HIDEWINDOW));
    return 1;
}

void tab_strip_set_text_style(HWND dialog, int flags)
{
    if (TabStrip* s = strip_of_dialog(dialog)) s->raised_text = (flags & 1) != 0;
}

int tab_strip_hit(HWND dialog, int x, int y)
{
    TabStrip* s = strip_of_dialog(dialog);
    return s ? tab_hit(frame_rect(*s), int(s->tabs.size()), x, y, row_height()) : -1;
}

int tab_strip_current(HWND dialog)
{
    TabStrip* s = strip_of_dialog(dialog);
    return s ? s->current : -1;
}

void tab_strip_test_log(HWND dialog)
{
    TabStrip* s = strip_of_dialog(dialog);
    if (!s) return;
    HDC dc = GetDC(dialog);
    HGDIOBJ dialog_font = HGDIOBJ(SendMessageA(dialog, WM_GETFONT, 0, 0));
    const int n = int(s->tabs.size());
    for (int i = 0; i < n; ++i) {
        // The label's room as paint_tabs gives it, in the font it is drawn with when selected and
        // when not.
        const TabRect t = tab_rect(frame_rect(*s), n, i, true, row_height());
        const int dx = scaled_pixels(5, tab_strips.dpi), dy = scaled_pixels(4, tab_strips.dpi);
        const std::string& label = s->tabs[size_t(i)].label;
        SIZE need{0, 0};
        for (HGDIOBJ font : {dialog_font, HGDIOBJ(tab_strips.label_font)}) {
            HGDIOBJ old = SelectObject(dc, font);
            SIZE e{0, 0};
            GetTextExtentPoint32A(dc, label.c_str(), int(label.size()), &e);
            SelectObject(dc, old);
            need.cx = std::max(need.cx, e.cx);
            need.cy = std::max(need.cy, e.cy);
        }
        test_log("tab %d label \"%s\" need %ld %ld room %d %d", i, label.c_str(), need.cx, need.cy,
                 t.right - t.left - 2 * dx, t.bottom - t.top - 2 * dy + 2);
    }
    ReleaseDC(dialog, dc);
}

int tab_strip_count(HWND dialog)
{
    TabStrip* s = strip_of_dialog(dialog);
    return s ? int(s->tabs.size()) : 0;
}

const int* tab_strip_controls(HWND dialog, int tab, int& count)
{
    count = 0;
    TabStrip* s = strip_of_dialog(dialog);
    if (!s || tab < 0 || tab >= int(s->tabs.size())) return nullptr;
    count = int(s->tabs[size_t(tab)].controls.size());
    return s->tabs[size_t(tab)].controls.data();
}

void tab_strip_activate(HWND dialog, int tab, bool focus_page)
{
    TabStrip* s = strip_of_dialog(dialog);
    if (!s || tab < 0 || tab >= int(s->tabs.size())) return;
    HWND focus = GetFocus();
    const int old = s->current;
    tab_strip_select(dialog, tab);
    // A focused control that is now hidden hands the focus on: to the new page's first control
    // that takes it, or to the strip.
    bool focus_hidden = false;
    for (int id : s->tabs[size_t(old)].controls)
        if (focus && GetDlgItem(dialog, id) == focus) focus_hidden = old != tab;
    if (focus_page || focus_hidden) {
        HWND target = s->frame;
        if (focus_page)
            for (int id : s->tabs[size_t(tab)].controls) {
                HWND h = GetDlgItem(dialog, id);
                if (h && (GetWindowLongA(h, GWL_STYLE) & WS_TABSTOP) && IsWindowEnabled(h)) {
                    target = h;
                    break;
                }
            }
        SendMessageA(dialog, WM_NEXTDLGCTL, WPARAM(target), TRUE);
    }
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    test_log("tab %d", tab);
}
