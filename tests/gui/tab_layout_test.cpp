// Tab strip geometry, dialog template items and the log lines shared with the worker.
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "gui/log_lines.h"
#include "gui/tab_layout.h"
#include "support/test_support.h"

namespace {

TEST(TabStrip, TabsAndHits)
{
    const TabRect f{10, 50, 410, 300};
    EXPECT_EQ(tab_rect(f, 5, 2, false).left, 170);
    EXPECT_EQ(tab_rect(f, 5, 2, false).right, 250);
    EXPECT_EQ(tab_rect(f, 3, 2, true).right, 410); // the last one is stretched when drawn
    EXPECT_EQ(tab_rect(f, 3, 2, false).right, 409);
    EXPECT_EQ(tab_rect(f, 1, 0, true).right, 210); // one tab: half the width, not stretched
    struct Hit {
        int x, y, tab;
    } hits[] = {{180, 40, 2}, {10, 25, 0}, {409, 49, 4}, {180, 50, -1}, {180, 24, -1}, {9, 40, -1}, {410, 40, -1}};
    for (const Hit& h : hits) EXPECT_EQ(tab_hit(f, 5, h.x, h.y), h.tab) << h.x << "," << h.y;
    EXPECT_EQ(tab_hit(f, 3, 409, 40), -1); // hits use the plain width
    // At 150% the row is 38 pixels high.
    EXPECT_EQ(scaled_pixels(tab_row_height, 144), 38);
    EXPECT_EQ(tab_hit(f, 5, 180, 50 - 38, scaled_pixels(tab_row_height, 144)), 2);
    EXPECT_EQ(tab_rect(f, 5, 2, false, 38).top, 12);
    EXPECT_EQ(tab_step(0, 5, -1), 4);
    EXPECT_EQ(tab_step(4, 5, 1), 0);
}

constexpr uint32_t WS_CHILD_STYLE = 0x40000000;

// A DLGTEMPLATE with DS_SETFONT and two items: an ordinal-class button and a named class.
kxtest::Bytes dialog_template(bool cut)
{
    kxtest::Bytes b;
    auto str = [&b](const char* s) {
        for (; *s; ++s) b.le16(uint8_t(*s));
        b.le16(0);
    };
    b.le32(ds_setfont | WS_CHILD_STYLE).le32(0).le16(2).le16(0).le16(0).le16(250).le16(260);
    b.le16(0).le16(0);
    str("");
    b.le16(8);
    str("MS Sans Serif");
    while (b.size() % 4) b.u8(0);
    b.le32(0x50010000).le32(4).le16(10).le16(260).le16(40).le16(23).le16(302);
    b.le16(0xFFFF).le16(0x80);
    str("Convert");
    b.le16(0);
    while (b.size() % 4) b.u8(0);
    b.le32(0x50000007).le32(0).le16(0xFFF6).le16(25).le16(270).le16(230).le16(1010);
    str("Static");
    b.le16(0xFFFF).le16(7);
    b.le16(0);
    if (cut) b.data.resize(b.size() - 3);
    return b;
}
TEST(TabStrip, DialogTemplateItems)
{
    std::vector<TemplateItem> items;
    kxtest::Bytes t = dialog_template(false);
    ASSERT_TRUE(parse_dialog_template(t.data.data(), t.size(), items));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(std::tie(items[0].id, items[0].class_name, items[0].title, items[0].ex_style, items[0].cy, items[1].x),
              std::make_tuple(302, "BUTTON", "Convert", 4u, 23, -10));
    EXPECT_TRUE(same_class(items[1].class_name, "STATIC"));
    EXPECT_EQ(items[1].title, "#7");

    t = dialog_template(true);
    EXPECT_FALSE(parse_dialog_template(t.data.data(), t.size(), items));
    EXPECT_EQ(items.size(), 1u);
    const uint8_t extended[64] = {1, 0, 0xFF, 0xFF}; // DLGTEMPLATEEX
    EXPECT_FALSE(parse_dialog_template(extended, sizeof extended, items));
}

TEST(LogWindowLines, WorkerAppendsWhilePainterReads)
{
    LogLines lines(100);
    std::thread job([&lines] {
        for (int i = 0; i < 1000; ++i) {
            lines.draw_text("line ");
            lines.draw_text(std::to_string(i));
            lines.move_to_line(0);
            lines.repaint();
        }
        lines.draw_text("last");
        lines.repaint(); // within the interval: kept back
        lines.flush();
    });
    size_t seen = 0;
    while (seen < 100) {
        if (lines.take_changes()) seen = lines.line_count();
        for (const std::string& l : lines.lines(0, 100)) ASSERT_TRUE(l.empty() || l.rfind("line", 0) == 0 || l == "last");
    }
    job.join();
    ASSERT_EQ(lines.line_count(), 100u); // the oldest lines were dropped
    EXPECT_EQ(lines.lines(98, 5), (std::vector<std::string>{"line 999", "last"}));
    lines.take_changes();
    EXPECT_FALSE(lines.take_changes());
    EXPECT_EQ(lines.widest_line(), 8u); // "line 999"
}

} // namespace
