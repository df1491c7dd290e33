#include "tools/assetgen/picture_source.h"

#include <libdeflate.h>
#include <png.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <new>
#include <set>
#include <sstream>

namespace assetgen {
namespace {

void set_error(std::string* error, const std::string& text) {
    if (error) *error = text;
}

bool is_identifier(const std::string& name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

bool parse_size(const std::string& text, int* width, int* height) {
    int w = 0, h = 0;
    char x = 0, rest = 0;
    if (std::sscanf(text.c_str(), "%d%c%d%c", &w, &x, &h, &rest) != 3 || x != 'x') return false;
    if (w <= 0 || h <= 0 || w > 4096 || h > 4096) return false;
    *width = w;
    *height = h;
    return true;
}

std::string folder_of(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::optional<std::vector<PictureEntry>> parse_manifest(const std::string& text, std::string* error) {
    std::vector<PictureEntry> entries;
    std::set<std::string> names;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        std::istringstream fields(line);
        PictureEntry entry;
        std::string size, extra;
        if (!(fields >> entry.descriptor >> entry.array >> size >> entry.file) || (fields >> extra)) {
            set_error(error, "line " + std::to_string(number) + ": expected 'descriptor array WIDTHxHEIGHT file'");
            return std::nullopt;
        }
        if (!is_identifier(entry.descriptor) || !is_identifier(entry.array)) {
            set_error(error, "line " + std::to_string(number) + ": names must be identifiers");
            return std::nullopt;
        }
        if (!parse_size(size, &entry.width, &entry.height)) {
            set_error(error, "line " + std::to_string(number) + ": bad size '" + size + "'");
            return std::nullopt;
        }
        if (!names.insert(entry.descriptor).second || !names.insert(entry.array).second) {
            set_error(error, "line " + std::to_string(number) + ": name used twice");
            return std::nullopt;
        }
        entries.push_back(entry);
    }
    if (entries.empty()) {
        set_error(error, "no pictures listed");
        return std::nullopt;
    }
    return entries;
}

std::optional<std::vector<std::uint8_t>> load_png_rgb565(const std::string& path, int* width, int* height,
                                                         std::string* error) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        set_error(error, path + ": " + image.message);
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> rgba(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) {
        set_error(error, path + ": " + image.message);
        png_image_free(&image);
        return std::nullopt;
    }
    std::vector<std::uint8_t> pixels(rgba.size() / 2);
    for (std::size_t i = 0; i < rgba.size() / 4; ++i) {
        const std::uint8_t* p = &rgba[4 * i];
        if (p[3] != 0xFF) {
            set_error(error, path + ": pixel " + std::to_string(i % image.width) + "," +
                                 std::to_string(i / image.width) + " is not opaque");
            return std::nullopt;
        }
        auto value = static_cast<std::uint16_t>(((p[0] >> 3) << 11) | ((p[1] >> 2) << 5) | (p[2] >> 3));
        pixels[2 * i] = static_cast<std::uint8_t>(value);
        pixels[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    return pixels;
}

std::optional<std::vector<Picture>> load_pictures(const std::string& manifest_path, std::string* error) {
    std::ifstream in(manifest_path);
    if (!in) {
        set_error(error, "cannot read " + manifest_path);
        return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string why;
    auto entries = parse_manifest(text.str(), &why);
    if (!entries) {
        set_error(error, manifest_path + ": " + why);
        return std::nullopt;
    }
    std::vector<Picture> pictures;
    for (const PictureEntry& entry : *entries) {
        int width = 0, height = 0;
        std::string path = folder_of(manifest_path) + entry.file;
        auto pixels = load_png_rgb565(path, &width, &height, error);
        if (!pixels) return std::nullopt;
        if (width != entry.width || height != entry.height) {
            set_error(error, path + ": " + std::to_string(width) + "x" + std::to_string(height) + ", " +
                                 entry.descriptor + " must be " + std::to_string(entry.width) + "x" +
                                 std::to_string(entry.height));
            return std::nullopt;
        }
        pictures.push_back({entry, std::move(*pixels)});
    }
    return pictures;
}

std::vector<std::uint8_t> pack(const std::vector<std::uint8_t>& bytes) {
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> deflater(
        libdeflate_alloc_compressor(12), libdeflate_free_compressor);
    if (deflater == nullptr) throw std::bad_alloc();
    std::vector<std::uint8_t> packed(libdeflate_zlib_compress_bound(deflater.get(), bytes.size()));
    packed.resize(libdeflate_zlib_compress(deflater.get(), bytes.data(), bytes.size(), packed.data(), packed.size()));
    return packed;
}

std::string generate_source(const std::vector<Picture>& pictures, const std::string& command) {
    std::vector<std::uint8_t> all;
    for (const Picture& picture : pictures) all.insert(all.end(), picture.pixels.begin(), picture.pixels.end());
    const std::vector<std::uint8_t> packed = pack(all);

    std::ostringstream out;
    out << "// Generated from the PNG files of assets/ by tools/assetgen; edit the PNG files, not this one.\n"
        << "// Command (from the top of the source tree): " << command << "\n"
        << "#include \"gui/t4170img.h\"\n"
        << "#include \"gui/picture_pack.h\"\n\n"
        << "namespace {\n\n"
        << "// Every picture's RGB565 pixels, one after the other (" << all.size() << " bytes), as one zlib\n"
        << "// stream; unpacked into `pixels` by GuiLoadPictures.\n"
        << "const uint8_t packed[" << packed.size() << "] = {";
    char byte[8];
    for (std::size_t i = 0; i < packed.size(); ++i) {
        if (i % 24 == 0) out << "\n    ";
        std::snprintf(byte, sizeof byte, "0x%02X,", packed[i]);
        out << byte;
    }
    out << "\n};\n"
        << "alignas(4) uint8_t pixels[" << all.size() << "];\n"
        << "\n}  // namespace\n\n"
        << "bool gui_unpack_builtin_pictures() { return gui_unpack_pictures(packed, sizeof packed, pixels, sizeof pixels); }\n\n";
    std::size_t offset = 0;
    for (const Picture& picture : pictures) {
        const PictureEntry& e = picture.entry;
        out << "IMAGE_A555 " << e.descriptor << " = {0, " << e.width << ", " << e.height << ", 16, " << e.width * 2
            << ", " << e.width * 2 * e.height << ", pixels + " << offset << "};  // " << e.file << "\n";
        offset += picture.pixels.size();
    }
    return out.str();
}

}  // namespace assetgen
