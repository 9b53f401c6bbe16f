// The tab strip's geometry and the dialog templates its pages are built from, as plain logic:
// where each tab lies above the frame, which tab a click hits, and the items of a standard
// (non-extended) dialog template resource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TabRect {
    int left = 0, top = 0, right = 0, bottom = 0;
};

constexpr int tab_row_height = 25; // pixels of the tab row directly above the frame, at 96 DPI

// Pixels of a length given for 96 DPI on a screen of `dpi` (the tab row, its labels' font and the
// log window's lines grow with the screen's scale, as the dialog's own controls do).
constexpr int scaled_pixels(int pixels, int dpi) { return dpi > 0 ? (pixels * dpi + 48) / 96 : pixels; }

// Tab i of `count` above `frame` (dialog client pixels) in a row `row_height` pixels high: each
// tab is (frame width) / max(2, count) wide; drawn, the last tab is stretched to the frame's right
// edge unless it is tab 0.
TabRect tab_rect(const TabRect& frame, int count, int i, bool drawn, int row_height = tab_row_height);
// The tab under a point of the dialog's client area, or -1.
int tab_hit(const TabRect& frame, int count, int x, int y, int row_height = tab_row_height);
// The tab Ctrl+Tab (step +1) or Ctrl+Shift+Tab (step -1) selects, wrapping around.
inline int tab_step(int current, int count, int step)
{
    return count > 0 ? ((current + step) % count + count) % count : 0;
}

// One control of a dialog template.
struct TemplateItem {
    uint32_t style = 0;
    uint32_t ex_style = 0;
    int x = 0, y = 0, cx = 0, cy = 0; // dialog units
    int id = 0;
    std::string class_name; // "BUTTON", "EDIT", "STATIC", "LISTBOX", "SCROLLBAR", "COMBOBOX" or the
                            // template's own name, as stored
    std::string title;      // the text (low bytes of the template's characters); an ordinal
                            // title gives "#n"
};

constexpr uint32_t ds_setfont = 0x40;

// Reads the items of a DLGTEMPLATE (not DLGTEMPLATEEX). False when the bytes do not hold a whole
// template of that kind; `items` then holds the items read before the fault.
bool parse_dialog_template(const uint8_t* data, size_t size, std::vector<TemplateItem>& items);

// True when two class names are the same window class (case is not significant: templates store
// "Button" or "BUTTON" as the resource compiler writes them).
bool same_class(const std::string& a, const char* b);
