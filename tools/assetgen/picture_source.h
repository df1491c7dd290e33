// Turns the PNG sources of the built-in pictures into the C++ source of their
// descriptors and constant RGB565 pixel arrays.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace assetgen {

// One line of the manifest: "descriptor array WIDTHxHEIGHT file".
struct PictureEntry {
    std::string descriptor;
    std::string array;
    int width = 0;
    int height = 0;
    std::string file;  // relative to the manifest's folder
};

struct Picture {
    PictureEntry entry;
    std::vector<std::uint8_t> pixels;  // RGB565, little-endian, rows of width * 2 bytes
};

// Blank lines and lines starting with '#' are skipped. Names must be C++
// identifiers, sizes positive, descriptors and arrays unique.
std::optional<std::vector<PictureEntry>> parse_manifest(const std::string& text, std::string* error);

// Reads an opaque PNG as RGB565 (each channel's high bits); a pixel that is not
// fully opaque is refused, since the blitter copies every pixel as it is.
std::optional<std::vector<std::uint8_t>> load_png_rgb565(const std::string& path, int* width, int* height,
                                                         std::string* error);

// Loads every picture of the manifest, checking each size against its line.
std::optional<std::vector<Picture>> load_pictures(const std::string& manifest_path, std::string* error);

// The generated file; `command` is recorded in its header.
std::string generate_source(const std::vector<Picture>& pictures, const std::string& command);

}  // namespace assetgen
