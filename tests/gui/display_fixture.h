// Helpers shared by the display tests: an open display on a fake screen, images
// built in the test, and what GuiInit/GuiEnd print.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gui/t4170gui.h"
#include "gui/t4170gui_internal.h"
#include "sim/fake_framebuffer.h"

namespace guitest {

// Runs `what` and returns everything it printed on standard output.
inline std::string stdout_of(const std::function<void()>& what) {
    testing::internal::CaptureStdout();
    what();
    return testing::internal::GetCapturedStdout();
}

// An image whose pixels count up from `first`, so that every byte tells where it came from.
struct TestImage {
    std::vector<std::uint8_t> bytes;
    IMAGE_A555 image{};

    TestImage(int width, int height, int pitch, std::uint16_t first = 0x1001) {
        bytes.resize(static_cast<std::size_t>(height > 0 ? height : 0) * static_cast<std::size_t>(pitch > 0 ? pitch : 0));
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
            auto value = static_cast<std::uint16_t>(first + i / 2);
            bytes[i] = static_cast<std::uint8_t>(value);
            bytes[i + 1] = static_cast<std::uint8_t>(value >> 8);
        }
        if (bytes.size() % 2) bytes.back() = 0x5A;
        image = {0, width, height, 16, pitch, height * pitch, bytes.data()};
    }
    std::uint16_t pixel(int x, int y) const {
        std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(image.pitch) + static_cast<std::size_t>(x) * 2;
        return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
    }
};

// A fake screen with the display opened on it; GuiEnd on destruction.
class OpenDisplay {
public:
    explicit OpenDisplay(const sim::FramebufferFormat& format = sim::FramebufferFormat::rgb565(640, 480),
                         bool with_accelerator = true)
        : fake(std::make_unique<sim::FakeFramebuffer>(format, with_accelerator)) {
        init_output = stdout_of([this] { init_result = GuiInit(); });
    }
    ~OpenDisplay() {
        stdout_of([] { GuiEnd(); });
    }
    OpenDisplay(const OpenDisplay&) = delete;
    OpenDisplay& operator=(const OpenDisplay&) = delete;

    std::unique_ptr<sim::FakeFramebuffer> fake;
    int init_result = -1;
    std::string init_output;
};

// The whole screen as 16-bit values (16-bit screens only).
inline std::vector<std::uint16_t> screen16(const sim::FakeFramebuffer& fake) {
    std::vector<std::uint16_t> out;
    for (int y = 0; y < fake.height(); ++y)
        for (int x = 0; x < fake.width(); ++x) out.push_back(fake.pixel16(x, y));
    return out;
}

// True when the screen at (x, y) shows exactly `image` (16-bit screens, image wholly inside).
inline bool shows(const sim::FakeFramebuffer& fake, int x, int y, const IMAGE_A555& image) {
    for (int row = 0; row < image.height; ++row) {
        for (int col = 0; col < image.pitch / 2; ++col) {
            std::size_t at = static_cast<std::size_t>(row) * static_cast<std::size_t>(image.pitch) + static_cast<std::size_t>(col) * 2;
            auto want = static_cast<std::uint16_t>(image.data[at] | (image.data[at + 1] << 8));
            if (fake.pixel16(x + col, y + row) != want) return false;
        }
    }
    return true;
}

}  // namespace guitest
