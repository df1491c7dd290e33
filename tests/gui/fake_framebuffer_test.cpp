// The fake framebuffer and the screenshots that the display tests and upgsim rely on.
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/device.h"
#include "sim/fake_framebuffer.h"
#include "sim/screenshot.h"

using sim::FakeFramebuffer;
using sim::FramebufferCall;
using sim::FramebufferFormat;

namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "gui-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
};

}  // namespace

TEST(FakeScreen, AnswersTheScreenInfoRequestWithItsFormat) {
    FakeFramebuffer fake(FramebufferFormat::xrgb8888(320, 200));
    const platform::DeviceCalls& dev = platform::device();
    int fd = dev.open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    fb_var_screeninfo info{};
    ASSERT_EQ(dev.ioctl(fd, FBIOGET_VSCREENINFO, reinterpret_cast<std::uintptr_t>(&info)), 0);
    EXPECT_EQ(info.xres, 320u);
    EXPECT_EQ(info.yres, 200u);
    EXPECT_EQ(info.bits_per_pixel, 32u);
    EXPECT_EQ(info.red.offset, 16u);
    EXPECT_EQ(info.green.length, 8u);
    EXPECT_NE(dev.ioctl(fd, FBIOGET_FSCREENINFO, 0), 0);
    EXPECT_EQ(dev.close(fd), 0);
}

TEST(FakeScreen, WritesThroughTheProgramsMappingShowInItsPixels) {
    FakeFramebuffer fake(FramebufferFormat::rgb565(16, 8));
    const platform::DeviceCalls& dev = platform::device();
    int fd = dev.open("/dev/fb0", O_RDWR);
    void* map = dev.mmap(nullptr, fake.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    static_cast<std::uint8_t*>(map)[2 * (3 * 16 + 5)] = 0x34;
    static_cast<std::uint8_t*>(map)[2 * (3 * 16 + 5) + 1] = 0x12;
    EXPECT_EQ(fake.pixel16(5, 3), 0x1234);
    EXPECT_TRUE(fake.mapped());
    EXPECT_EQ(dev.munmap(map, fake.size()), 0);
    EXPECT_FALSE(fake.mapped());
    // The picture stays readable after the program let go of it.
    EXPECT_EQ(fake.pixel16(5, 3), 0x1234);
    dev.close(fd);
}

TEST(FakeScreen, NoticesWritesJustOutsideTheScreen) {
    FakeFramebuffer fake(FramebufferFormat::rgb565(16, 8));
    const platform::DeviceCalls& dev = platform::device();
    int fd = dev.open("/dev/fb0", O_RDWR);
    auto* map = static_cast<std::uint8_t*>(dev.mmap(nullptr, fake.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    EXPECT_TRUE(fake.guards_intact());
    map[fake.size()] = 0;
    EXPECT_FALSE(fake.guards_intact());
    map[fake.size()] = FakeFramebuffer::guard_byte;
    map[-1] = 0;
    EXPECT_FALSE(fake.guards_intact());
    dev.munmap(map, fake.size());
    dev.close(fd);
}

TEST(FakeScreen, FailsEachCallOnDemand) {
    FakeFramebuffer fake;
    const platform::DeviceCalls& dev = platform::device();
    fake.fail(FramebufferCall::open);
    EXPECT_EQ(dev.open("/dev/fb0", O_RDWR), -1);
    fake.fail(FramebufferCall::open, false);
    int fd = dev.open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    fb_var_screeninfo info{};
    fake.fail(FramebufferCall::screen_info);
    EXPECT_EQ(dev.ioctl(fd, FBIOGET_VSCREENINFO, reinterpret_cast<std::uintptr_t>(&info)), -1);
    fake.fail(FramebufferCall::map);
    EXPECT_EQ(dev.mmap(nullptr, fake.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED);
    fake.fail_nothing();
    void* map = dev.mmap(nullptr, fake.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    fake.fail(FramebufferCall::unmap);
    EXPECT_EQ(dev.munmap(map, fake.size()), -1);
    EXPECT_TRUE(fake.mapped());
    fake.fail(FramebufferCall::close);
    EXPECT_EQ(dev.close(fd), -1);
    EXPECT_EQ(fake.open_descriptors(), 0);  // like Linux, the descriptor is gone all the same
}

TEST(FakeScreen, RefusesAMappingLargerThanTheScreen) {
    FakeFramebuffer fake(FramebufferFormat::rgb565(16, 8));
    const platform::DeviceCalls& dev = platform::device();
    int fd = dev.open("/dev/fb0", O_RDWR);
    EXPECT_EQ(dev.mmap(nullptr, fake.size() + 1, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED);
    dev.close(fd);
}

TEST(FakeScreen, TheAcceleratorExistsOnlyWhenAskedFor) {
    {
        FakeFramebuffer fake(FramebufferFormat{}, false);
        EXPECT_EQ(platform::device().open("/dev/s3c-g2d", O_RDWR), -1);
    }
    FakeFramebuffer fake(FramebufferFormat{}, true);
    const platform::DeviceCalls& dev = platform::device();
    int fd = dev.open("/dev/s3c-g2d", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(dev.ioctl(fd, 0x4710, 0), 0);
    EXPECT_EQ(dev.close(fd), 0);
    ASSERT_EQ(fake.accelerator_requests().size(), 1u);
    EXPECT_EQ(fake.accelerator_requests()[0].request, 0x4710u);
}

TEST(FakeScreen, HandsOtherPathsToThePreviousTableAndRestoresItOnRemoval) {
    const platform::DeviceCalls before = platform::device();
    {
        FakeFramebuffer fake;
        int fd = platform::device().open("/dev/null", O_RDONLY);
        ASSERT_GE(fd, 0);
        char byte = 0;
        EXPECT_EQ(platform::device().read(fd, &byte, 1), 0);
        EXPECT_EQ(platform::device().close(fd), 0);
        EXPECT_EQ(fake.open_count(), 0);
    }
    EXPECT_EQ(platform::device().open, before.open);
    EXPECT_EQ(platform::device().munmap, before.munmap);
}

TEST(FakeScreen, CountsAChangeOnlyWhenTheScreenDiffers) {
    FakeFramebuffer fake(FramebufferFormat::rgb565(8, 4));
    std::uint64_t first = fake.poll_changes();
    EXPECT_EQ(fake.poll_changes(), first);
    fake.pixels()[3] = 7;
    EXPECT_EQ(fake.poll_changes(), first + 1);
    EXPECT_EQ(fake.poll_changes(), first + 1);
    EXPECT_EQ(fake.changes(), first + 1);
}

TEST(FakeScreen, ConvertsAnyScreenToRgb565) {
    FakeFramebuffer fake(FramebufferFormat::xrgb8888(2, 1));
    std::uint32_t pixels[2] = {0x00FF8000u, 0x00FFFFFFu};
    std::memcpy(fake.pixels(), pixels, sizeof pixels);
    EXPECT_EQ(fake.rgb565(), (std::vector<std::uint16_t>{0xFC00, 0xFFFF}));
}

TEST(Screenshot, Rgb565SurvivesTheTripThroughEightBitChannels) {
    for (std::uint32_t v = 0; v <= 0xFFFF; ++v) {
        std::uint32_t c = sim::rgb565_to_rgb888(static_cast<std::uint16_t>(v));
        ASSERT_EQ(sim::rgb888_to_rgb565(static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8),
                                        static_cast<std::uint8_t>(c)),
                  v);
    }
    EXPECT_EQ(sim::rgb565_to_rgb888(0xFFFF), 0xFFFFFFu);
    EXPECT_EQ(sim::rgb565_to_rgb888(0x001C), 0x0000E7u);
}

TEST(Screenshot, APngWrittenFromAFakeScreenReadsBackTheSame) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    FakeFramebuffer fake(FramebufferFormat::rgb565(33, 17));
    for (std::size_t i = 0; i < fake.size(); ++i) fake.pixels()[i] = static_cast<std::uint8_t>(i * 37 + 11);
    std::string error;
    ASSERT_TRUE(sim::write_png(dir.file("screen.png"), fake, &error)) << error;
    auto back = sim::read_png_rgb565(dir.file("screen.png"), &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(*back, sim::capture(fake));
    EXPECT_EQ(back->at(32, 16), fake.pixel16(32, 16));
}

TEST(Screenshot, WritesRowsAPitchApart) {
    TempDir dir;
    std::uint8_t rows[2 * 8] = {0x00, 0xF8, 0xE0, 0x07, 0xAA, 0xAA, 0xAA, 0xAA,   // red, green, then padding
                                0x1F, 0x00, 0xFF, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA};  // blue, white
    ASSERT_TRUE(sim::write_png_rgb565(dir.file("pitch.png"), rows, 2, 2, 8));
    auto back = sim::read_png_rgb565(dir.file("pitch.png"));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->pixels, (std::vector<std::uint16_t>{0xF800, 0x07E0, 0x001F, 0xFFFF}));
}

TEST(Screenshot, ReportsWhatItCannotReadOrWrite) {
    TempDir dir;
    std::string error;
    EXPECT_FALSE(sim::read_png_rgb565(dir.file("missing.png"), &error));
    EXPECT_NE(error.find("missing.png"), std::string::npos);
    std::ofstream(dir.file("garbage.png")) << "not a picture at all";
    EXPECT_FALSE(sim::read_png_rgb565(dir.file("garbage.png"), &error));
    sim::Rgb565Image image{2, 2, {1, 2, 3, 4}};
    EXPECT_FALSE(sim::write_png(dir.file("no/such/dir.png"), image, &error));
    sim::Rgb565Image wrong{3, 2, {1, 2}};
    EXPECT_FALSE(sim::write_png(dir.file("wrong.png"), wrong, &error));
}
