// Pictures of the screen as PNG files: any RGB565 buffer written out, and PNG
// files read back as RGB565 for comparisons.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class FakeFramebuffer;

// An RGB565 picture, row after row, width * height values.
struct Rgb565Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint16_t> pixels;

    std::uint16_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
    bool operator==(const Rgb565Image&) const = default;
};

// RGB565 to 8-bit channels and back. Expanding repeats the high bits into the low
// ones, so reading back a written PNG gives exactly the RGB565 values again.
std::uint32_t rgb565_to_rgb888(std::uint16_t pixel);  // 0x00RRGGBB
std::uint16_t rgb888_to_rgb565(std::uint8_t red, std::uint8_t green, std::uint8_t blue);

// Writes `height` rows of `width` RGB565 pixels, little-endian, rows `pitch_bytes`
// apart, as an 8-bit RGB PNG. Returns false (and says why in *error) on failure.
bool write_png_rgb565(const std::string& path, const std::uint8_t* pixels, int width, int height,
                      std::size_t pitch_bytes, std::string* error = nullptr);
bool write_png(const std::string& path, const Rgb565Image& image, std::string* error = nullptr);
// The fake framebuffer's screen, converted to RGB565 whatever its format.
bool write_png(const std::string& path, const FakeFramebuffer& framebuffer, std::string* error = nullptr);

// Reads any PNG (gray, palette, RGB, with or without alpha; alpha is dropped) as
// RGB565. Empty on failure, with the reason in *error.
std::optional<Rgb565Image> read_png_rgb565(const std::string& path, std::string* error = nullptr);

// The fake framebuffer's screen as an RGB565 picture.
Rgb565Image capture(const FakeFramebuffer& framebuffer);

}  // namespace sim
