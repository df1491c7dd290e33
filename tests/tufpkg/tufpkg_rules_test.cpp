// tufpkg's rules of the device held against the device's own code.
#include <gtest/gtest.h>

#include <algorithm>

#include "../gui/display_fixture.h"
#include "gui/t4170img.h"
#include "tools/tufpkg/device_rules.h"

// The widths and rooms the warnings use are the device's own: each byte drawn by
// its text drawing, the dialogs' free gray where the versions go.
TEST(DeviceDialog, GlyphWidthsAndVersionRoomsAreTheDevicesOwn) {
    for (int byte = 1; byte < 256; ++byte) {
        const guitest::OpenDisplay display;
        const char text[] = {static_cast<char>(byte), '\0'};
        GuiShowString(0, 0, text);
        int drawn = 0;
        for (int x = 0; x < 640; ++x)
            for (int y = 0; y < 16; ++y)
                if (display.fake->pixel16(x, y) != 0) drawn = x + 1;
        EXPECT_EQ(tufpkg::glyph_width(static_cast<unsigned char>(byte)), drawn) << byte;
    }
    const auto room = [](const IMAGE_A555& window, int column, int row) {  // columns of body gray on all 16 rows
        const auto gray = [&](int x) {
            for (const std::uint8_t* p = window.data + row * window.pitch + 2 * x; p < window.data + (row + 16) * window.pitch; p += window.pitch)
                if (p[0] != 0x79 || p[1] != 0xCE) return false;
            return true;
        };
        int x = column;
        while (x < window.width && gray(x)) ++x;
        return x - column;
    };
    EXPECT_EQ(tufpkg::version_room(tufpkg::PackageKind::program), std::min(room(dlg1, 195, 32), room(dlg1, 195, 52)));
    EXPECT_EQ(tufpkg::version_room(tufpkg::PackageKind::map), std::min(room(dlg2, 150, 35), room(dlg2, 150, 56)));
    EXPECT_EQ(tufpkg::version_room(tufpkg::PackageKind::user_map), tufpkg::version_room(tufpkg::PackageKind::map));
}
