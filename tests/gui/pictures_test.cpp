// The built-in pictures: sizes and descriptor fields, the arrays against their PNG
// sources, and the layout the upgrade flow draws into (frame, wording, the room
// left plain, buttons, spinner frames, glyph cells).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "all_pictures.h"
#include "sim/screenshot.h"

using guitest::all_pictures;
using guitest::NamedPicture;

namespace {

struct PicturesUnpacked : testing::Environment {  // as GuiInit would: these tests have no display
    void SetUp() override { ASSERT_EQ(GuiLoadPictures(), 0); }
};
[[maybe_unused]] testing::Environment* const unpacked = testing::AddGlobalTestEnvironment(new PicturesUnpacked);

constexpr std::uint16_t body = 0xCE79;
constexpr std::uint16_t title_blue = 0x001C;
constexpr std::uint16_t white = 0xFFFF;
constexpr std::uint16_t black = 0x0000;
constexpr std::uint16_t light_blue = 0x067F;

std::uint16_t px(const IMAGE_A555& image, int x, int y) {
    std::size_t at = static_cast<std::size_t>(y * image.pitch + x * 2);
    return static_cast<std::uint16_t>(image.data[at] | (image.data[at + 1] << 8));
}
int red(std::uint16_t p) { return p >> 11; }
int green(std::uint16_t p) { return (p >> 5) & 63; }
int blue(std::uint16_t p) { return p & 31; }
bool is_frame_blue(std::uint16_t p) { return red(p) == 0 && green(p) == 0 && blue(p) >= 16; }
// Gray in RGB565: red and blue equal, green (one bit finer) within rounding of twice as much.
bool is_gray(std::uint16_t p) { return red(p) == blue(p) && std::abs(2 * red(p) - green(p)) <= 2; }
bool is_bluish(std::uint16_t p) { return blue(p) >= 16 && blue(p) >= red(p) && 2 * blue(p) >= green(p); }

struct Box {
    int left, top, right, bottom;  // inclusive
    bool contains(int x, int y) const { return x >= left && x <= right && y >= top && y <= bottom; }
};

// The inked area of pixels for which `ink` holds, within `area`.
template <typename Ink>
std::optional<Box> ink_box(const IMAGE_A555& image, Box area, Ink ink) {
    std::optional<Box> box;
    for (int y = area.top; y <= area.bottom; ++y) {
        for (int x = area.left; x <= area.right; ++x) {
            if (!ink(px(image, x, y))) continue;
            if (!box) box = Box{x, y, x, y};
            box->left = std::min(box->left, x);
            box->right = std::max(box->right, x);
            box->top = std::min(box->top, y);
            box->bottom = std::max(box->bottom, y);
        }
    }
    return box;
}

// Every wording of a window's body, with the area its ink must lie in.
struct Wording {
    const char* text;
    Box area;
};

struct WindowLayout {
    const char* name;
    IMAGE_A555* image;
    std::vector<Wording> wordings;
    std::vector<Box> rooms;  // left plain body gray for run-time drawing
};

const Box body_area{3, 23, 268, 122};
const Box question{56, 82, 216, 94};

std::vector<WindowLayout> window_layouts() {
    return {
        {"dlg1",
         &dlg1,
         {{"Exist software ver.:", {15, 32, 184, 45}}, {"SD software ver.:", {14, 52, 184, 65}}, {"ARE YOU SURE ?", question}},
         {{195, 32, 268, 47}, {195, 52, 268, 67}, {75, 100, 116, 119}, {160, 100, 201, 119}}},
        {"dlg2",
         &dlg2,
         {{"Present map :", {15, 33, 138, 49}}, {"SD map :", {15, 53, 138, 69}}, {"ARE YOU SURE ?", question}},
         {{150, 35, 268, 50}, {150, 56, 268, 71}, {75, 100, 116, 119}, {160, 100, 201, 119}}},
        {"dlgUpt", &dlgUpt, {{"Updating. . .", {74, 34, 181, 51}}}, {{110, 60, 159, 109}}},
        {"msg0",
         &msg0,
         {{"Update Complete !", {3, 39, 268, 56}},
          {"Please remove SD card and", {13, 82, 268, 95}},
          {"restart the unit !", {13, 101, 268, 114}}},
         {}},
        {"msg1", &msg1, {{"Update Failed !", {3, 39, 268, 56}}, {"Please Try again !", {13, 82, 268, 99}}}, {}},
    };
}

std::string assets_dir() { return ASSETS_DIR; }

}  // namespace

// --- Descriptors ------------------------------------------------------------------------

TEST(Pictures, EveryDescriptorHasItsSizeWithPitchWidthTimes2AndSizeHeightTimesPitch) {
    for (const NamedPicture& p : all_pictures()) {
        SCOPED_TRACE(p.name);
        EXPECT_EQ(p.image->reserved, 0);
        EXPECT_EQ(p.image->width, p.width);
        EXPECT_EQ(p.image->height, p.height);
        EXPECT_EQ(p.image->bpp, 16);
        EXPECT_EQ(p.image->pitch, p.width * 2);
        EXPECT_EQ(p.image->size, p.height * p.width * 2);
        EXPECT_NE(p.image->data, nullptr);
    }
}

TEST(Pictures, ThereAre68GlyphsOneForEachCharacterOfTheWidthTable) {
    std::set<char> characters;
    for (const NamedPicture& p : all_pictures())
        if (p.character) characters.insert(p.character);
    EXPECT_EQ(characters.size(), 68u);
    std::string expected = "!-.0123456789:?ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(std::string(characters.begin(), characters.end()), expected);
}

TEST(Pictures, EveryArrayHoldsExactlyThePixelsOfItsPngSource) {
    std::ifstream manifest(assets_dir() + "/pictures.txt");
    ASSERT_TRUE(manifest) << "cannot read " << assets_dir() << "/pictures.txt";
    std::map<std::string, const NamedPicture*> by_name;
    for (const NamedPicture& p : all_pictures()) by_name[p.name] = &p;

    std::set<std::string> listed;
    std::string line;
    while (std::getline(manifest, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string descriptor, array, size, file;
        ASSERT_TRUE(fields >> descriptor >> array >> size >> file) << line;
        ASSERT_TRUE(by_name.count(descriptor)) << "unknown picture " << descriptor;
        listed.insert(descriptor);
        const IMAGE_A555& image = *by_name[descriptor]->image;
        std::string error;
        auto png = sim::read_png_rgb565(assets_dir() + "/" + file, &error);
        ASSERT_TRUE(png) << error;
        ASSERT_EQ(png->width, image.width) << file;
        ASSERT_EQ(png->height, image.height) << file;
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x)
                ASSERT_EQ(px(image, x, y), png->at(x, y))
                    << descriptor << " differs from " << file << " at " << x << "," << y
                    << ": regenerate gui/t4170img.cpp with assetgen";
    }
    EXPECT_EQ(listed.size(), all_pictures().size());
}

// --- The five windows --------------------------------------------------------------------

TEST(Windows, AllFiveShareOneFrameAndTitleBar) {
    for (const WindowLayout& w : window_layouts()) {
        SCOPED_TRACE(w.name);
        for (int y = 0; y < 126; ++y) {
            for (int x = 0; x < 272; ++x) {
                if (body_area.contains(x, y)) continue;
                ASSERT_EQ(px(*w.image, x, y), px(dlg1, x, y)) << x << "," << y;
            }
        }
    }
}

TEST(Windows, TheBorderIsBlueAboutThreePixelsWide) {
    for (int y = 23; y < 126; ++y) {
        for (int x : {0, 1, 2, 269, 270, 271}) ASSERT_TRUE(is_frame_blue(px(dlg1, x, y))) << x << "," << y;
        if (y <= 122) {
            ASSERT_EQ(px(dlg1, 3, y), body) << y;
            ASSERT_EQ(px(dlg1, 268, y), body) << y;
        }
    }
    for (int x = 0; x < 272; ++x)
        for (int y : {123, 124, 125}) ASSERT_TRUE(is_frame_blue(px(dlg1, x, y))) << x << "," << y;
}

TEST(Windows, TheTitleBarIsBlueLighterAtItsTopEdge) {
    const Box title_text{85, 5, 183, 20};
    for (int y = 0; y <= 22; ++y)
        for (int x = 0; x < 272; ++x)
            if (!title_text.contains(x, y)) {
                ASSERT_TRUE(is_bluish(px(dlg1, x, y))) << x << "," << y;
            }
    EXPECT_EQ(px(dlg1, 20, 15), title_blue);
    EXPECT_EQ(px(dlg1, 250, 21), title_blue);
    std::uint16_t top = px(dlg1, 20, 1);
    EXPECT_GT(red(top) + green(top) / 2, 0) << "the top edge is lighter than the bar";
}

TEST(Windows, TheTitleUpdateIsWhiteAndCentredInItsBox) {
    auto box = ink_box(dlg1, {0, 0, 271, 22}, [](std::uint16_t p) { return p == white; });
    ASSERT_TRUE(box);
    const Box title_text{85, 5, 183, 20};
    EXPECT_TRUE(title_text.contains(box->left, box->top) && title_text.contains(box->right, box->bottom));
    // Nearly the whole box is used: the text fills it, centred on the window.
    EXPECT_LE(box->left, 87);
    EXPECT_GE(box->right, 181);
    EXPECT_NEAR((box->left + box->right) / 2.0, 134.0, 2.0);
}

TEST(Windows, EveryWordingIsBlackAndInItsPlaceAndTheRestOfTheBodyIsPlain) {
    for (const WindowLayout& w : window_layouts()) {
        SCOPED_TRACE(w.name);
        for (const Wording& wording : w.wordings) {
            auto box = ink_box(*w.image, wording.area, [](std::uint16_t p) { return p == black; });
            EXPECT_TRUE(box) << wording.text << " has no black ink";
        }
        for (int y = body_area.top; y <= body_area.bottom; ++y) {
            for (int x = body_area.left; x <= body_area.right; ++x) {
                std::uint16_t p = px(*w.image, x, y);
                if (p == body) continue;
                bool in_wording = false;
                for (const Wording& wording : w.wordings) in_wording |= wording.area.contains(x, y);
                ASSERT_TRUE(in_wording) << "ink outside every wording at " << x << "," << y;
                ASSERT_TRUE(is_gray(p)) << "body text is gray-black";
            }
        }
    }
}

TEST(Windows, TheLabelsEndInOneColumn) {
    auto black_ink = [](std::uint16_t p) { return p != body; };
    // dlg1: both "ver.:" end at column 184; dlg2: both colons stand at 136-138.
    EXPECT_EQ(ink_box(dlg1, {15, 32, 194, 45}, black_ink)->right, 184);
    EXPECT_EQ(ink_box(dlg1, {14, 52, 194, 65}, black_ink)->right, 184);
    EXPECT_EQ(ink_box(dlg1, {15, 32, 194, 45}, black_ink)->left, 15);
    EXPECT_EQ(ink_box(dlg1, {3, 52, 194, 65}, black_ink)->left, 14);
    for (int top : {33, 53}) {
        auto colon = ink_box(dlg2, {130, top, 149, top + 16}, black_ink);
        ASSERT_TRUE(colon);
        EXPECT_EQ(colon->left, 136);
        EXPECT_EQ(colon->right, 138);
    }
}

TEST(Windows, TheHeadlinesOfTheMessagesAreCentred) {
    for (IMAGE_A555* image : {&msg0, &msg1}) {
        auto box = ink_box(*image, {3, 39, 268, 56}, [](std::uint16_t p) { return p != body; });
        ASSERT_TRUE(box);
        EXPECT_EQ(box->top, 39);
        EXPECT_EQ(box->bottom, 56);
        EXPECT_NEAR(box->left, 271 - box->right, 1);
    }
}

TEST(Windows, TheRoomLeftForVersionsButtonsAndSpinnerIsPlainBodyGray) {
    for (const WindowLayout& w : window_layouts()) {
        SCOPED_TRACE(w.name);
        for (const Box& room : w.rooms)
            for (int y = room.top; y <= room.bottom; ++y)
                for (int x = room.left; x <= room.right; ++x) ASSERT_EQ(px(*w.image, x, y), body) << x << "," << y;
    }
}

// --- Buttons -----------------------------------------------------------------------------

TEST(Buttons, UnfocusedOnesAreABlackWordOnBodyGrayWithoutBorder) {
    for (IMAGE_A555* button : {&yes0, &no0}) {
        for (int x = 0; x < 42; ++x) EXPECT_EQ(px(*button, x, 0), body);
        for (int x = 0; x < 42; ++x) EXPECT_EQ(px(*button, x, 19), body);
        for (int y = 0; y < 20; ++y) EXPECT_EQ(px(*button, 0, y), body);
        for (int y = 0; y < 20; ++y) EXPECT_EQ(px(*button, 41, y), body);
        auto word = ink_box(*button, {0, 0, 41, 19}, [](std::uint16_t p) { return p != body; });
        ASSERT_TRUE(word);
        EXPECT_EQ(word->top, 3);
        EXPECT_EQ(word->bottom, 15);
        EXPECT_TRUE(ink_box(*button, {0, 0, 41, 19}, [](std::uint16_t p) { return p == black; }));
    }
}

TEST(Buttons, FocusedOnesHaveALightBlueBandLeftRightAndBottomAroundABlueFace) {
    for (IMAGE_A555* button : {&yes1, &no1}) {
        for (int y = 0; y < 20; ++y)
            for (int x : {0, 1, 40, 41}) ASSERT_EQ(px(*button, x, y), light_blue) << x << "," << y;
        for (int x = 0; x < 42; ++x)
            for (int y : {18, 19}) ASSERT_EQ(px(*button, x, y), light_blue) << x << "," << y;
        int blue_face = 0;
        for (int y = 0; y < 18; ++y)
            for (int x = 2; x < 40; ++x) blue_face += is_bluish(px(*button, x, y)) ? 1 : 0;
        EXPECT_GT(blue_face, 38 * 18 / 2);
        auto word = ink_box(*button, {2, 0, 39, 17}, [](std::uint16_t p) { return p == white; });
        ASSERT_TRUE(word);
        EXPECT_GE(word->top, 3);
        EXPECT_LE(word->bottom, 15);
    }
}

TEST(Buttons, BothFormsPutTheWordInTheSamePlace) {
    auto dark = [](std::uint16_t p) { return red(p) < 8; };  // the black word on gray
    auto light = [](std::uint16_t p) { return red(p) > 24; };  // the white word on blue
    for (auto [plain, focused] : {std::pair{&yes0, &yes1}, std::pair{&no0, &no1}}) {
        auto a = ink_box(*plain, {2, 0, 39, 17}, dark);
        auto b = ink_box(*focused, {2, 0, 39, 17}, light);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a->left, b->left);
        EXPECT_EQ(a->right, b->right);
        EXPECT_EQ(a->top, b->top);
        EXPECT_EQ(a->bottom, b->bottom);
    }
}

// --- Spinner -----------------------------------------------------------------------------

namespace {

// Clockwise angle from the top, in degrees, of the centre of the pixels whose
// gray level lies in [low, high].
std::optional<double> angle_of(const IMAGE_A555& frame, int low, int high) {
    double sx = 0, sy = 0;
    int n = 0;
    for (int y = 0; y < 50; ++y) {
        for (int x = 0; x < 50; ++x) {
            int level = green(px(frame, x, y)) * 4;
            if (level < low || level > high) continue;
            sx += x + 0.5 - 25.0;
            sy += y + 0.5 - 25.0;
            ++n;
        }
    }
    if (n == 0) return std::nullopt;
    double degrees = std::atan2(sx, -sy) * 180.0 / M_PI;
    return degrees < 0 ? degrees + 360.0 : degrees;
}

double angle_difference(double a, double b) {
    double d = std::fmod(a - b + 540.0, 360.0) - 180.0;
    return d;
}

}  // namespace

TEST(Spinner, FramesTurnTheBlackHead60DegreesClockwiseEachStartingAtTheTop) {
    IMAGE_A555* frames[] = {&proc0, &proc1, &proc2, &proc3, &proc4, &proc5};
    for (int k = 0; k < 6; ++k) {
        SCOPED_TRACE(k);
        auto head = angle_of(*frames[k], 0, 8);
        ASSERT_TRUE(head);
        EXPECT_NEAR(angle_difference(*head, 60.0 * k), 0.0, 6.0);
        // The next darker gray trails counter-clockwise behind the head.
        auto tail = angle_of(*frames[k], 36, 64);
        ASSERT_TRUE(tail);
        EXPECT_NEAR(angle_difference(*tail, 60.0 * k - 45.0), 0.0, 8.0);
    }
}

TEST(Spinner, FramesAreAWheelOnBodyGray) {
    for (IMAGE_A555* frame : {&proc0, &proc1, &proc2, &proc3, &proc4, &proc5}) {
        for (int y = 0; y < 50; ++y) {
            for (int x = 0; x < 50; ++x) {
                double r = std::hypot(x + 0.5 - 25.0, y + 0.5 - 25.0);
                std::uint16_t p = px(*frame, x, y);
                if (r > 24.0 || r < 7.5) {
                    ASSERT_EQ(p, body) << x << "," << y;
                }
                ASSERT_TRUE(is_gray(p)) << "shades of gray";
            }
        }
    }
}

// --- Glyphs ------------------------------------------------------------------------------

namespace {

std::uint16_t cell_colour(char c) {
    if ((c >= '0' && c <= '9') || c == '-') return 0x8410;
    if (c == '.' || c == '!') return 0x8430;
    return white;
}

}  // namespace

TEST(Glyphs, EachIsABlackCharacterInAnOpaqueCellOfItsColour) {
    for (const NamedPicture& p : all_pictures()) {
        if (!p.character) continue;
        SCOPED_TRACE(p.name);
        std::uint16_t cell = cell_colour(p.character);
        // The right-most column keeps the characters apart.
        for (int y = 0; y < 16; ++y) ASSERT_EQ(px(*p.image, p.width - 1, y), cell);
        EXPECT_TRUE(ink_box(*p.image, {0, 0, p.width - 1, 15}, [](std::uint16_t v) { return v == black; }));
    }
}

TEST(Glyphs, CapitalsAndDigitsStandOnRows3To12) {
    for (const NamedPicture& p : all_pictures()) {
        char c = p.character;
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) || c == 'J' || c == 'Q') continue;
        SCOPED_TRACE(p.name);
        std::uint16_t cell = cell_colour(c);
        auto box = ink_box(*p.image, {0, 0, p.width - 1, 15}, [cell](std::uint16_t v) { return v != cell; });
        ASSERT_TRUE(box);
        EXPECT_EQ(box->top, 3);
        EXPECT_EQ(box->bottom, 12);
    }
}

TEST(Glyphs, DescendersReachRow15) {
    for (const NamedPicture& p : all_pictures()) {
        if (std::string("gjpqy").find(p.character) == std::string::npos || !p.character) continue;
        SCOPED_TRACE(p.name);
        auto box = ink_box(*p.image, {0, 0, p.width - 1, 15}, [](std::uint16_t v) { return v != white; });
        ASSERT_TRUE(box);
        EXPECT_EQ(box->bottom, 15);
    }
}
