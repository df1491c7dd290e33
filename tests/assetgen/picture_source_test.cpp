// assetgen's pieces: the manifest, PNG reading, the generated source.
#include "tools/assetgen/picture_source.h"

#include <gtest/gtest.h>
#include <zlib.h>
#include <png.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using assetgen::generate_source;
using assetgen::load_pictures;
using assetgen::load_png_rgb565;
using assetgen::parse_manifest;

namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "assetgen-test-XXXXXX").string();
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes an RGBA PNG of `width` x `height` from 4 bytes per pixel.
bool write_rgba(const std::string& path, int width, int height, const std::vector<std::uint8_t>& rgba) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGBA;
    return png_image_write_to_file(&image, path.c_str(), 0, rgba.data(), 0, nullptr) != 0;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(Manifest, ReadsOneEntryPerLineSkippingCommentsAndBlankLines) {
    std::string error;
    auto entries = parse_manifest("# pictures\n\ndlg1 gImage_dlg1 272x126 dlg1.png\n  chr_33  gImage_33  3x16  glyphs/chr_33.png\n",
                                  &error);
    ASSERT_TRUE(entries) << error;
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ((*entries)[0].descriptor, "dlg1");
    EXPECT_EQ((*entries)[0].array, "gImage_dlg1");
    EXPECT_EQ((*entries)[0].width, 272);
    EXPECT_EQ((*entries)[0].height, 126);
    EXPECT_EQ((*entries)[1].file, "glyphs/chr_33.png");
    EXPECT_EQ((*entries)[1].width, 3);
}

TEST(Manifest, RefusesMalformedLinesNamingTheLine) {
    const char* bad[] = {
        "dlg1 gImage_dlg1 272x126\n",                  // no file
        "dlg1 gImage_dlg1 272x126 dlg1.png extra\n",   // one field too many
        "dlg1 gImage_dlg1 0x126 dlg1.png\n",           // empty picture
        "dlg1 gImage_dlg1 272x dlg1.png\n",            // half a size
        "dlg1 gImage_dlg1 272*126 dlg1.png\n",         // not a size
        "1dlg gImage_dlg1 272x126 dlg1.png\n",         // not an identifier
        "dlg1 gImage-dlg1 272x126 dlg1.png\n",         // not an identifier
        "# ok\ndlg1 a 1x1 a.png\ndlg1 b 1x1 b.png\n",  // descriptor twice
        "dlg1 a 1x1 a.png\ndlg2 a 1x1 b.png\n",        // array twice
    };
    for (const char* text : bad) {
        std::string error;
        EXPECT_FALSE(parse_manifest(text, &error)) << text;
        EXPECT_NE(error.find("line "), std::string::npos) << text;
    }
    std::string error;
    EXPECT_FALSE(parse_manifest("# nothing\n\n", &error));
    EXPECT_EQ(error, "no pictures listed");
}

TEST(PngReading, TakesTheHighBitsOfEachChannelAsRgb565LittleEndian) {
    TempDir dir;
    ASSERT_TRUE(write_rgba(dir.file("p.png"), 3, 1, {255, 0, 0, 255, 0, 255, 0, 255, 206, 207, 206, 255}));
    int width = 0, height = 0;
    std::string error;
    auto pixels = load_png_rgb565(dir.file("p.png"), &width, &height, &error);
    ASSERT_TRUE(pixels) << error;
    EXPECT_EQ(width, 3);
    EXPECT_EQ(height, 1);
    EXPECT_EQ(*pixels, (std::vector<std::uint8_t>{0x00, 0xF8, 0xE0, 0x07, 0x79, 0xCE}));
}

TEST(PngReading, RefusesAPixelThatIsNotOpaque) {
    TempDir dir;
    ASSERT_TRUE(write_rgba(dir.file("a.png"), 2, 1, {1, 2, 3, 255, 1, 2, 3, 128}));
    int width = 0, height = 0;
    std::string error;
    EXPECT_FALSE(load_png_rgb565(dir.file("a.png"), &width, &height, &error));
    EXPECT_NE(error.find("pixel 1,0 is not opaque"), std::string::npos) << error;
}

TEST(PngReading, RefusesWhatIsNotAPng) {
    TempDir dir;
    std::ofstream(dir.file("x.png")) << "GIF89a";
    int width = 0, height = 0;
    std::string error;
    EXPECT_FALSE(load_png_rgb565(dir.file("x.png"), &width, &height, &error));
    EXPECT_FALSE(load_png_rgb565(dir.file("missing.png"), &width, &height, &error));
    EXPECT_NE(error.find("missing.png"), std::string::npos);
}

TEST(LoadPictures, RefusesAPngOfTheWrongSize) {
    TempDir dir;
    ASSERT_TRUE(write_rgba(dir.file("b.png"), 2, 1, std::vector<std::uint8_t>(8, 255)));
    std::ofstream(dir.file("m.txt")) << "b gImage_b 2x2 b.png\n";
    std::string error;
    EXPECT_FALSE(load_pictures(dir.file("m.txt"), &error));
    EXPECT_NE(error.find("2x1, b must be 2x2"), std::string::npos) << error;
}

TEST(LoadPictures, ReadsTheFilesRelativeToTheManifest) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("sub"));
    ASSERT_TRUE(write_rgba(dir.file("sub/b.png"), 1, 2, std::vector<std::uint8_t>(8, 255)));
    std::ofstream(dir.file("m.txt")) << "b gImage_b 1x2 sub/b.png\n";
    std::string error;
    auto pictures = load_pictures(dir.file("m.txt"), &error);
    ASSERT_TRUE(pictures) << error;
    ASSERT_EQ(pictures->size(), 1u);
    EXPECT_EQ((*pictures)[0].pixels, std::vector<std::uint8_t>(4, 0xFF));
}

// The pictures' pixels, one after the other, as one zlib stream that zlib itself
// inflates; each descriptor points at its picture's place in the unpacked pixels.
TEST(GeneratedSource, HoldsTheCommandOnePackedStreamAndTheDescriptors) {
    assetgen::Picture yes0{{"yes0", "gImage_yes0", 2, 1, "yes0.png"}, {0x79, 0xCE, 0x00, 0xF8}};
    assetgen::Picture no0{{"no0", "gImage_no0", 1, 2, "no0.png"}, {0x01, 0x02, 0x03, 0x04}};
    std::string source = generate_source({yes0, no0}, "assetgen assets/pictures.txt gui/t4170img.cpp");
    EXPECT_EQ(source.rfind("// Generated from the PNG files of assets/ by tools/assetgen; edit the PNG files, not this one.\n"
                           "// Command (from the top of the source tree): assetgen assets/pictures.txt gui/t4170img.cpp\n",
                           0),
              0u)
        << source;
    EXPECT_NE(source.find("alignas(4) uint8_t pixels[8];\n"), std::string::npos) << source;
    EXPECT_NE(source.find("IMAGE_A555 yes0 = {0, 2, 1, 16, 4, 4, pixels + 0};  // yes0.png\n"), std::string::npos);
    EXPECT_NE(source.find("IMAGE_A555 no0 = {0, 1, 2, 16, 2, 4, pixels + 4};  // no0.png\n"), std::string::npos);

    std::vector<std::uint8_t> packed;
    const std::size_t start = source.find("packed[");
    const std::size_t end = source.find("};", start);
    ASSERT_NE(start, std::string::npos);
    for (std::size_t at = source.find("0x", start); at < end; at = source.find("0x", at + 4))
        packed.push_back(static_cast<std::uint8_t>(std::stoi(source.substr(at + 2, 2), nullptr, 16)));
    std::vector<std::uint8_t> pixels(16);
    uLongf length = pixels.size();
    ASSERT_EQ(uncompress(pixels.data(), &length, packed.data(), packed.size()), Z_OK);
    pixels.resize(length);
    EXPECT_EQ(pixels, (std::vector<std::uint8_t>{0x79, 0xCE, 0x00, 0xF8, 0x01, 0x02, 0x03, 0x04}));
}

TEST(GeneratedSource, TheCommittedPictureSourceIsWhatTheAssetsGive) {
    std::string error;
    auto pictures = load_pictures(std::string(SOURCE_DIR) + "/assets/pictures.txt", &error);
    ASSERT_TRUE(pictures) << error;
    EXPECT_EQ(pictures->size(), 83u);
    std::string expected = generate_source(*pictures, "assetgen assets/pictures.txt gui/t4170img.cpp");
    EXPECT_TRUE(expected == read_file(std::string(SOURCE_DIR) + "/gui/t4170img.cpp"))
        << "gui/t4170img.cpp is out of date: run assetgen assets/pictures.txt gui/t4170img.cpp";
}
