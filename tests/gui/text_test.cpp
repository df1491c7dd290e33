// GuiShowString: one glyph per known byte, the pen moved by each glyph's width.
#include <string>

#include "display_fixture.h"
#include "gui/t4170img.h"

using guitest::OpenDisplay;
using guitest::shows;

namespace {

// The screen after drawing `text` at (x, y) on a fresh screen.
std::vector<std::uint16_t> screen_after(const std::string& text, int x = 100, int y = 40) {
    OpenDisplay display;
    EXPECT_EQ(GuiShowString(x, y, text.c_str()), 0);
    return guitest::screen16(*display.fake);
}

// Columns of row range [y, y+16) that anything was drawn on.
std::pair<int, int> drawn_columns(const std::vector<std::uint16_t>& screen, int y = 40) {
    int first = -1, last = -1;
    for (int x = 0; x < 640; ++x) {
        for (int row = y; row < y + 16; ++row) {
            if (screen[static_cast<std::size_t>(row * 640 + x)] != 0) {
                if (first < 0) first = x;
                last = x;
                break;
            }
        }
    }
    return {first, last};
}

}  // namespace

TEST(GuiShowString, OnePointZeroSpaceTwoPutsFourGlyphsWithNoGapForTheSpace) {
    OpenDisplay display;
    EXPECT_EQ(GuiShowString(100, 40, "1.0 2"), 0);
    EXPECT_TRUE(shows(*display.fake, 100, 40, chr_49));
    EXPECT_TRUE(shows(*display.fake, 110, 40, chr_46));
    EXPECT_TRUE(shows(*display.fake, 113, 40, chr_48));
    EXPECT_TRUE(shows(*display.fake, 123, 40, chr_50));
    EXPECT_EQ(drawn_columns(guitest::screen16(*display.fake)), std::make_pair(100, 132));
}

TEST(GuiShowString, Ver1Point2Covers48Pixels) {
    OpenDisplay display;
    GuiShowString(100, 40, "Ver1.2");
    EXPECT_TRUE(shows(*display.fake, 100, 40, chr_86));
    EXPECT_TRUE(shows(*display.fake, 110, 40, chr_101));
    EXPECT_TRUE(shows(*display.fake, 118, 40, chr_114));
    EXPECT_TRUE(shows(*display.fake, 125, 40, chr_49));
    EXPECT_TRUE(shows(*display.fake, 135, 40, chr_46));
    EXPECT_TRUE(shows(*display.fake, 138, 40, chr_50));
    EXPECT_EQ(drawn_columns(guitest::screen16(*display.fake)), std::make_pair(100, 147));
}

TEST(GuiShowString, MwMovesThePen26PixelsAndIlMovesIt6) {
    OpenDisplay display;
    GuiShowString(100, 40, "mwA");
    EXPECT_TRUE(shows(*display.fake, 126, 40, chr_65));
    GuiShowString(200, 100, "ilA");
    EXPECT_TRUE(shows(*display.fake, 206, 100, chr_65));
}

TEST(GuiShowString, BytesWithoutAGlyphDrawNothingAndLeaveThePen) {
    OpenDisplay display;
    const char unknown[] = " \t\n\r\"#$%&'()*+,/;<=>@[\\]^`{|}~\x7f\x80\xc3\xa9\xff";
    GuiShowString(100, 40, (std::string(unknown) + "A" + unknown + "B").c_str());
    EXPECT_TRUE(shows(*display.fake, 100, 40, chr_65));
    EXPECT_TRUE(shows(*display.fake, 110, 40, chr_66));
    EXPECT_EQ(drawn_columns(guitest::screen16(*display.fake)), std::make_pair(100, 119));
}

TEST(GuiShowString, ATrailingNewlineDrawsExactlyAsWithout) {
    EXPECT_EQ(screen_after("1.0.3\n"), screen_after("1.0.3"));
}

TEST(GuiShowString, AnEmptyTextOrOneWithoutGlyphsDrawsNothing) {
    std::vector<std::uint16_t> blank(640 * 480, 0);
    EXPECT_EQ(screen_after(""), blank);
    EXPECT_EQ(screen_after("  \n\t~"), blank);
}

TEST(GuiShowString, EveryGlyphCharacterDrawsItsOwnGlyph) {
    OpenDisplay display;
    struct Entry {
        char c;
        const IMAGE_A555* glyph;
    };
    const Entry entries[] = {{'!', &chr_33}, {'-', &chr_45}, {'.', &chr_46}, {'0', &chr_48}, {'9', &chr_57},
                             {':', &chr_58}, {'?', &chr_63}, {'A', &chr_65}, {'Z', &chr_90}, {'_', &chr_95},
                             {'a', &chr_97}, {'m', &chr_109}, {'z', &chr_122}};
    for (const Entry& e : entries) {
        char text[2] = {e.c, 0};
        GuiShowString(300, 200, text);
        EXPECT_TRUE(shows(*display.fake, 300, 200, *e.glyph)) << e.c;
    }
}

TEST(GuiShowString, ALongTextRunsOnPastTheDialogFrame) {
    OpenDisplay display;
    GuiShowString(DLG_X + 195, DLG_Y + 32, "mmmmmmmmmmmmmmm");
    EXPECT_TRUE(shows(*display.fake, DLG_X + 195 + 14 * 13, DLG_Y + 32, chr_109));
    EXPECT_GT(DLG_X + 195 + 14 * 13, DLG_X + 272);
}

TEST(GuiShowString, ATextPastTheScreenEdgeDrawsOnlyWhatIsOnTheScreen) {
    OpenDisplay display(sim::FramebufferFormat::rgb565(64, 48));
    GuiShowString(40, 40, "mmmm");
    for (int y = 40; y < 48; ++y) {
        for (int x = 40; x < 64; ++x) {
            std::size_t at = static_cast<std::size_t>((y - 40) * chr_109.pitch + ((x - 40) % 13) * 2);
            auto want = static_cast<std::uint16_t>(chr_109.data[at] | (chr_109.data[at + 1] << 8));
            ASSERT_EQ(display.fake->pixel16(x, y), want) << x << "," << y;
        }
    }
    EXPECT_TRUE(display.fake->guards_intact());
}
