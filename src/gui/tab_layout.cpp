// Tab strip geometry and dialog template items.
#include "gui/tab_layout.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

TabRect tab_rect(const TabRect& frame, int count, int i, bool drawn, int row_height)
{
    const int w = (frame.right - frame.left) / std::max(2, count);
    TabRect r{frame.left + i * w, frame.top - row_height, frame.left + (i + 1) * w, frame.top};
    if (drawn && i > 0 && i == count - 1) r.right = frame.right;
    return r;
}

int tab_hit(const TabRect& frame, int count, int x, int y, int row_height)
{
    if (y < frame.top - row_height || y >= frame.top) return -1;
    for (int i = 0; i < count; ++i) {
        const TabRect r = tab_rect(frame, count, i, false, row_height);
        if (x >= r.left && x < r.right) return i;
    }
    return -1;
}

bool same_class(const std::string& a, const char* b)
{
    const size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

namespace {

// Reads words of a template, never past its end.
class TemplateReader {
public:
    TemplateReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool ok() const { return ok_; }
    uint16_t word()
    {
        if (pos_ + 2 > size_) {
            ok_ = false;
            pos_ = size_;
            return 0;
        }
        uint16_t v = uint16_t(data_[pos_] | data_[pos_ + 1] << 8);
        pos_ += 2;
        return v;
    }
    uint32_t dword()
    {
        uint32_t lo = word();
        return lo | uint32_t(word()) << 16;
    }
    // A string of 16-bit characters up to its zero, kept as their low bytes.
    std::string string()
    {
        std::vector<char> s;
        for (uint16_t c = word(); ok_ && c; c = word()) s.push_back(char(c & 0xFF));
        return std::string(s.data(), s.size());
    }
    // A name field: 0 (none), 0xFFFF and an ordinal, or a string.
    std::string name_or_ordinal(uint16_t& ordinal)
    {
        ordinal = 0;
        const size_t start = pos_;
        const uint16_t first = word();
        if (first == 0xFFFF) {
            ordinal = word();
            return std::string();
        }
        pos_ = start;
        return string();
    }
    void align4() { pos_ = std::min(size_, (pos_ + 3) & ~size_t(3)); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

const char* ordinal_class(uint16_t ordinal)
{
    static const char* const names[] = {"BUTTON", "EDIT", "STATIC", "LISTBOX", "SCROLLBAR", "COMBOBOX"};
    return ordinal >= 0x80 && ordinal <= 0x85 ? names[ordinal - 0x80] : "";
}

} // namespace

bool parse_dialog_template(const uint8_t* data, size_t size, std::vector<TemplateItem>& items)
{
    items.clear();
    TemplateReader r(data, size);
    const uint32_t style = r.dword();
    if (r.ok() && (style & 0xFFFF0000u) == 0xFFFF0000u && (style & 0xFFFF) == 1)
        return false; // DLGTEMPLATEEX (signature 0xFFFF, version 1)
    r.dword(); // extended style
    const uint16_t count = r.word();
    for (int k = 0; k < 4; ++k) r.word(); // x, y, cx, cy
    uint16_t ordinal;
    r.name_or_ordinal(ordinal); // menu
    r.name_or_ordinal(ordinal); // window class
    r.string();                 // title
    if (style & ds_setfont) {
        r.word();   // point size
        r.string(); // face name
    }
    for (int i = 0; i < count && r.ok(); ++i) {
        r.align4();
        TemplateItem it;
        it.style = r.dword();
        it.ex_style = r.dword();
        it.x = int16_t(r.word());
        it.y = int16_t(r.word());
        it.cx = int16_t(r.word());
        it.cy = int16_t(r.word());
        it.id = r.word();
        it.class_name = r.name_or_ordinal(ordinal);
        if (ordinal) it.class_name = ordinal_class(ordinal);
        it.title = r.name_or_ordinal(ordinal);
        if (ordinal) {
            char number[8];
            std::snprintf(number, sizeof number, "#%u", unsigned(ordinal));
            it.title = number;
        }
        const uint16_t extra = r.word(); // bytes of creation data that follow
        for (uint16_t k = 0; k < (extra + 1) / 2; ++k) r.word();
        if (r.ok()) items.push_back(it);
    }
    return r.ok();
}
