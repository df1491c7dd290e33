// Whole screens: each state of the upgrade dialog drawn as the upgrade flow draws
// it, on a 640 x 480 fake screen, compared with the reference PNG of that state.
// A mismatch writes the actual picture beside the reference as NAME.actual.png;
// UPDATE_REFERENCES=1 rewrites the references instead.
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "display_fixture.h"
#include "gui/t4170img.h"
#include "sim/screenshot.h"

using guitest::OpenDisplay;

namespace {

struct Screen {
    const char* name;
    std::function<void()> draw;
};

void dialog(IMAGE_A555* window, int version_x, int current_y, const char* current, int new_y, const char* offered,
            bool yes_focused) {
    const int x = DLG_X, y = DLG_Y;
    GuiShowImage(x, y, window);
    GuiShowString(x + version_x, y + current_y, current);
    GuiShowString(x + version_x, y + new_y, offered);
    GuiShowImage(x + 75, y + 100, yes_focused ? &yes1 : &yes0);
    GuiShowImage(x + 160, y + 100, yes_focused ? &no0 : &no1);
}

const Screen screens[] = {
    {"dlg1_yes_focused", [] { dialog(&dlg1, 195, 32, "1.0.3", 52, "1.1.0", true); }},
    {"dlg1_no_focused", [] { dialog(&dlg1, 195, 32, "1.0.3", 52, "1.1.0", false); }},
    {"dlg2_map", [] { dialog(&dlg2, 150, 35, "2023.11", 56, "2024.03", true); }},
    {"dlg2_user_map", [] { dialog(&dlg2, 150, 35, "USR-7", 56, "USR-8_fix", false); }},
    {"dlgUpt_spinner",
     [] {
         GuiShowImage(DLG_X, DLG_Y, &dlgUpt);
         GuiShowImage(DLG_X + 110, DLG_Y + 60, &proc1);
     }},
    {"msg0", [] { GuiShowImage(DLG_X, DLG_Y, &msg0); }},
    {"msg1", [] { GuiShowImage(DLG_X, DLG_Y, &msg1); }},
};

std::string reference_path(const std::string& name) { return std::string(REFERENCE_DIR) + "/" + name + ".png"; }
std::string actual_path(const std::string& name) { return std::string(REFERENCE_DIR) + "/" + name + ".actual.png"; }

bool updating_references() {
    const char* value = std::getenv("UPDATE_REFERENCES");
    return value && std::string(value) == "1";
}

class Screens : public testing::TestWithParam<Screen> {};

}  // namespace

TEST_P(Screens, MatchTheReferencePicture) {
    const Screen& screen = GetParam();
    OpenDisplay display;
    ASSERT_EQ(display.init_result, 0);
    screen.draw();
    sim::Rgb565Image actual = sim::capture(*display.fake);

    std::string error;
    if (updating_references()) {
        ASSERT_TRUE(sim::write_png(reference_path(screen.name), actual, &error)) << error;
        std::filesystem::remove(actual_path(screen.name));
        return;
    }
    auto reference = sim::read_png_rgb565(reference_path(screen.name), &error);
    if (reference && *reference == actual) {
        std::filesystem::remove(actual_path(screen.name));
        return;
    }
    ASSERT_TRUE(sim::write_png(actual_path(screen.name), actual, &error)) << error;
    if (!reference) {
        FAIL() << error << "; the picture drawn is in " << actual_path(screen.name)
               << " (UPDATE_REFERENCES=1 makes it the reference)";
    }
    int differing = 0;
    for (std::size_t i = 0; i < actual.pixels.size() && i < reference->pixels.size(); ++i)
        differing += actual.pixels[i] != reference->pixels[i] ? 1 : 0;
    FAIL() << screen.name << " differs from its reference in " << differing << " pixels; see "
           << actual_path(screen.name);
}

INSTANTIATE_TEST_SUITE_P(DialogStates, Screens, testing::ValuesIn(screens),
                         [](const testing::TestParamInfo<Screen>& param_info) { return std::string(param_info.param.name); });
