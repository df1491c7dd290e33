#include "sim/screenshot.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "sim/fake_framebuffer.h"

namespace sim {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void set_error(std::string* error, const std::string& text) {
    if (error) *error = text;
}

// libpng reports errors by longjmp; these keep everything that must survive the
// jump outside the function that calls setjmp.
struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriter() { png_destroy_write_struct(&png, &info); }
};

struct PngReader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngReader() { png_destroy_read_struct(&png, &info, nullptr); }
};

bool write_rows(std::FILE* file, PngWriter& writer, int width, int height, std::vector<png_bytep>& rows) {
    if (setjmp(png_jmpbuf(writer.png))) return false;
    png_init_io(writer.png, file);
    png_set_IHDR(writer.png, writer.info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(writer.png, writer.info);
    png_write_image(writer.png, rows.data());
    png_write_end(writer.png, nullptr);
    return true;
}

bool read_rows(std::FILE* file, PngReader& reader, Rgb565Image& image, std::vector<std::uint8_t>& buffer,
               std::vector<png_bytep>& rows) {
    if (setjmp(png_jmpbuf(reader.png))) return false;
    png_init_io(reader.png, file);
    png_read_info(reader.png, reader.info);
    png_uint_32 width = png_get_image_width(reader.png, reader.info);
    png_uint_32 height = png_get_image_height(reader.png, reader.info);
    int color_type = png_get_color_type(reader.png, reader.info);
    if (png_get_bit_depth(reader.png, reader.info) == 16) png_set_strip_16(reader.png);
    if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(reader.png);
    if (color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_expand_gray_1_2_4_to_8(reader.png);
        png_set_gray_to_rgb(reader.png);
    }
    png_set_strip_alpha(reader.png);
    png_set_interlace_handling(reader.png);
    png_read_update_info(reader.png, reader.info);
    if (width == 0 || height == 0 || width > 16384 || height > 16384) return false;
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    buffer.resize(static_cast<std::size_t>(width) * height * 3);
    rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = buffer.data() + static_cast<std::size_t>(y) * width * 3;
    png_read_image(reader.png, rows.data());
    png_read_end(reader.png, nullptr);
    return true;
}

}  // namespace

std::uint32_t rgb565_to_rgb888(std::uint16_t pixel) {
    std::uint32_t r = (pixel >> 11) & 0x1Fu, g = (pixel >> 5) & 0x3Fu, b = pixel & 0x1Fu;
    r = (r << 3) | (r >> 2);
    g = (g << 2) | (g >> 4);
    b = (b << 3) | (b >> 2);
    return (r << 16) | (g << 8) | b;
}

std::uint16_t rgb888_to_rgb565(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return static_cast<std::uint16_t>(((red >> 3) << 11) | ((green >> 2) << 5) | (blue >> 3));
}

bool write_png_rgb565(const std::string& path, const std::uint8_t* pixels, int width, int height,
                      std::size_t pitch_bytes, std::string* error) {
    if (width <= 0 || height <= 0 || pitch_bytes < static_cast<std::size_t>(width) * 2) {
        set_error(error, "bad picture size");
        return false;
    }
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = pixels + static_cast<std::size_t>(y) * pitch_bytes;
        std::uint8_t* dst = rgb.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 3;
        rows[static_cast<std::size_t>(y)] = dst;
        for (int x = 0; x < width; ++x) {
            auto pixel = static_cast<std::uint16_t>(src[2 * x] | (src[2 * x + 1] << 8));
            std::uint32_t c = rgb565_to_rgb888(pixel);
            dst[3 * x] = static_cast<std::uint8_t>(c >> 16);
            dst[3 * x + 1] = static_cast<std::uint8_t>(c >> 8);
            dst[3 * x + 2] = static_cast<std::uint8_t>(c);
        }
    }
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        set_error(error, "cannot create " + path + ": " + std::strerror(errno));
        return false;
    }
    PngWriter writer;
    writer.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (writer.png) writer.info = png_create_info_struct(writer.png);
    if (!writer.info || !write_rows(file.get(), writer, width, height, rows)) {
        set_error(error, "cannot write PNG " + path);
        return false;
    }
    if (std::fflush(file.get()) != 0) {
        set_error(error, "cannot write " + path + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

bool write_png(const std::string& path, const Rgb565Image& image, std::string* error) {
    if (image.pixels.size() != static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height)) {
        set_error(error, "picture size does not match its pixels");
        return false;
    }
    std::vector<std::uint8_t> bytes(image.pixels.size() * 2);
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(image.pixels[i]);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(image.pixels[i] >> 8);
    }
    return write_png_rgb565(path, bytes.data(), image.width, image.height,
                            static_cast<std::size_t>(image.width) * 2, error);
}

bool write_png(const std::string& path, const FakeFramebuffer& framebuffer, std::string* error) {
    return write_png(path, capture(framebuffer), error);
}

Rgb565Image capture(const FakeFramebuffer& framebuffer) {
    Rgb565Image image;
    image.width = framebuffer.width();
    image.height = framebuffer.height();
    image.pixels = framebuffer.rgb565();
    return image;
}

std::optional<Rgb565Image> read_png_rgb565(const std::string& path, std::string* error) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        set_error(error, "cannot open " + path + ": " + std::strerror(errno));
        return std::nullopt;
    }
    PngReader reader;
    reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (reader.png) reader.info = png_create_info_struct(reader.png);
    Rgb565Image image;
    std::vector<std::uint8_t> buffer;
    std::vector<png_bytep> rows;
    if (!reader.info || !read_rows(file.get(), reader, image, buffer, rows)) {
        set_error(error, "not a readable PNG: " + path);
        return std::nullopt;
    }
    image.pixels.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height));
    for (std::size_t i = 0; i < image.pixels.size(); ++i)
        image.pixels[i] = rgb888_to_rgb565(buffer[3 * i], buffer[3 * i + 1], buffer[3 * i + 2]);
    return image;
}

}  // namespace sim
