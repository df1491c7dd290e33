#include "gui/t4170gui.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "gui/picture_pack.h"
#include "gui/t4170gui_internal.h"
#include "gui/t4170img.h"
#include "platform/device.h"

int DLG_X = 184;
int DLG_Y = 177;

namespace {

constexpr int dialog_width = 272;
constexpr int dialog_height = 126;

// The accelerator request issued once at start-up: _IO('G', 16).
constexpr unsigned long g2d_request = 0x4710;

// Set by GuiInit last, after the canvas is filled; a draw that sees it set sees
// the whole canvas.
std::atomic<int> fbstatus{0};
int fbfd = -1;
std::uint8_t* fbbuf = nullptr;
int fbsize = 0;
int fbwidth = 0;
int fbheight = 0;
int fbbpp = 0;
GuiCanvas fbcanv{};
GuiPixelWriter fbwriter = GuiPixelWriter::none;

// Draws from the dialog, the key worker and the spinner land one whole image at
// a time instead of racing on the same screen bytes, and GuiEnd unmaps the
// screen only between two draws.
std::mutex draw_mutex;

bool is_8bit_rgb(const fb_var_screeninfo& info) {
    return info.red.length == 8 && info.red.offset == 16 && info.green.length == 8 && info.green.offset == 8 &&
           info.blue.length == 8 && info.blue.offset == 0;
}

GuiPixelWriter writer_for(const fb_var_screeninfo& info) {
    switch (info.bits_per_pixel) {
        case 16: return GuiPixelWriter::copy16;
        case 24: return is_8bit_rgb(info) ? GuiPixelWriter::rgb888 : GuiPixelWriter::none;
        case 32: return is_8bit_rgb(info) ? GuiPixelWriter::xrgb8888 : GuiPixelWriter::none;
        default: return GuiPixelWriter::none;
    }
}

void accelerator_request() {
    const platform::DeviceCalls& dev = platform::device();
    int fd = dev.open("/dev/s3c-g2d", O_RDWR);
    if (fd < 0) return;  // no accelerator: nothing to ask, nothing to say
    dev.ioctl(fd, g2d_request, 0);
    dev.close(fd);
}

std::uint32_t expand565(std::uint16_t pixel) {
    std::uint32_t r = (pixel >> 11) & 0x1Fu, g = (pixel >> 5) & 0x3Fu, b = pixel & 0x1Fu;
    r = (r << 3) | (r >> 2);
    g = (g << 2) | (g >> 4);
    b = (b << 3) | (b >> 2);
    return (r << 16) | (g << 8) | b;
}

void convert_row(std::uint8_t* dst, const std::uint8_t* src, std::size_t pixels, GuiPixelWriter writer) {
    for (std::size_t i = 0; i < pixels; ++i) {
        auto pixel = static_cast<std::uint16_t>(src[2 * i] | (src[2 * i + 1] << 8));
        std::uint32_t rgb = expand565(pixel);
        if (writer == GuiPixelWriter::xrgb8888) {
            // The top byte opaque: a driver that honours per-pixel alpha would
            // otherwise show nothing at all.
            rgb |= 0xFF000000u;
            std::memcpy(dst + 4 * i, &rgb, 4);  // little-endian: blue, green, red, alpha
        } else {
            dst[3 * i] = static_cast<std::uint8_t>(rgb);
            dst[3 * i + 1] = static_cast<std::uint8_t>(rgb >> 8);
            dst[3 * i + 2] = static_cast<std::uint8_t>(rgb >> 16);
        }
    }
}

IMAGE_A555* const glyphs['z' - '!' + 1] = {
    &chr_33,  nullptr,  nullptr,  nullptr,  nullptr,  nullptr,  nullptr,  nullptr,  nullptr,  nullptr,  // ! .. *
    nullptr,  nullptr,  &chr_45,  &chr_46,  nullptr,  &chr_48,  &chr_49,  &chr_50,  &chr_51,  &chr_52,  // + .. 4
    &chr_53,  &chr_54,  &chr_55,  &chr_56,  &chr_57,  &chr_58,  nullptr,  nullptr,  nullptr,  nullptr,  // 5 .. >
    &chr_63,  nullptr,  &chr_65,  &chr_66,  &chr_67,  &chr_68,  &chr_69,  &chr_70,  &chr_71,  &chr_72,  // ? .. H
    &chr_73,  &chr_74,  &chr_75,  &chr_76,  &chr_77,  &chr_78,  &chr_79,  &chr_80,  &chr_81,  &chr_82,  // I .. R
    &chr_83,  &chr_84,  &chr_85,  &chr_86,  &chr_87,  &chr_88,  &chr_89,  &chr_90,  nullptr,  nullptr,  // S .. \ (92)
    nullptr,  nullptr,  &chr_95,  nullptr,  &chr_97,  &chr_98,  &chr_99,  &chr_100, &chr_101, &chr_102, // ] .. f
    &chr_103, &chr_104, &chr_105, &chr_106, &chr_107, &chr_108, &chr_109, &chr_110, &chr_111, &chr_112, // g .. p
    &chr_113, &chr_114, &chr_115, &chr_116, &chr_117, &chr_118, &chr_119, &chr_120, &chr_121, &chr_122, // q .. z
};

IMAGE_A555* glyph_for(unsigned char c) {
    if (c < '!' || c > 'z') return nullptr;
    return glyphs[c - '!'];
}

}  // namespace

GuiCanvas GuiCurrentCanvas() { return fbcanv; }
GuiPixelWriter GuiCurrentWriter() { return fbwriter; }
bool GuiIsOpen() { return fbstatus.load(std::memory_order_acquire) == 1; }

void setXYDlg(int x, int y) {
    DLG_X = x;
    DLG_Y = y;
}

int GuiLoadPictures(void) {
    static std::mutex mutex;
    static bool ready = false;
    std::lock_guard lock(mutex);
    if (!ready) ready = gui_unpack_builtin_pictures();
    return ready ? 0 : 1;
}

int GuiInit(void) {
    fbstatus.store(0);
    // Here and not before main: a failure is then a start-up failure like any other.
    if (GuiLoadPictures() != 0) {
        std::printf("Error : the built-in pictures cannot be unpacked\n");
        return 1;
    }
    accelerator_request();

    const platform::DeviceCalls& dev = platform::device();
    fbfd = dev.open("/dev/fb0", O_RDWR);
    if (fbfd < 0) {
        std::printf("Error : open(...)\n");
        std::printf("Error : fb_init(...)\n");
        return 1;
    }
    // Not for the scripts and the package command run meanwhile.
    ::fcntl(fbfd, F_SETFD, FD_CLOEXEC);

    fb_var_screeninfo info{};
    if (dev.ioctl(fbfd, FBIOGET_VSCREENINFO, reinterpret_cast<std::uintptr_t>(&info)) != 0) {
        std::printf("Error : ioctl(...)\n");
        dev.close(fbfd);
        std::printf("Error : fb_init(...)\n");
        return 1;
    }

    // The pictures are RGB565; other depths would need a conversion we do not
    // have, and drawing them unconverted gives a sheared, wrongly coloured screen.
    GuiPixelWriter writer = writer_for(info);
    if (writer == GuiPixelWriter::none) {
        std::printf("Error : unsupported screen format : %u bpp, red %u %u, green %u %u, blue %u %u\n",
                    info.bits_per_pixel, info.red.length, info.red.offset, info.green.length, info.green.offset,
                    info.blue.length, info.blue.offset);
        dev.close(fbfd);
        std::printf("Error : fb_init(...)\n");
        return 1;
    }

    long long size = static_cast<long long>(info.xres) * info.yres * (info.bits_per_pixel / 8);
    if (size > 0x7FFFFFFF) {
        std::printf("Error : unsupported screen size : %u x %u\n", info.xres, info.yres);
        dev.close(fbfd);
        std::printf("Error : fb_init(...)\n");
        return 1;
    }
    fbsize = static_cast<int>(size);

    void* mapping = dev.mmap(nullptr, static_cast<std::size_t>(fbsize), PROT_READ | PROT_WRITE, MAP_SHARED, fbfd, 0);
    if (mapping == MAP_FAILED) {
        std::printf("Error : mmap(...)\n");
        dev.close(fbfd);
        std::printf("Error : fb_init(...)\n");
        return 1;
    }

    fbbuf = static_cast<std::uint8_t*>(mapping);
    fbwidth = static_cast<int>(info.xres);
    fbbpp = static_cast<int>(info.bits_per_pixel);
    fbheight = static_cast<int>(info.yres);

    std::printf("Frame Buffer Info :\n");
    std::printf("+ Width  : %d\n", fbwidth);
    std::printf("+ Height : %d\n", fbheight);
    std::printf("+ Size   : %d\n", fbsize);
    std::printf("+ BPP    : %d\n", fbbpp);
    std::printf("+ Red    : %d %d\n", static_cast<int>(info.red.length), static_cast<int>(info.red.offset));
    std::printf("+ Green  : %d %d\n", static_cast<int>(info.green.length), static_cast<int>(info.green.offset));
    std::printf("+ Blue   : %d %d\n", static_cast<int>(info.blue.length), static_cast<int>(info.blue.offset));

    {
        std::lock_guard lock(draw_mutex);
        fbcanv.width = fbwidth;
        fbcanv.height = fbheight;
        fbcanv.bpp = fbbpp;
        fbcanv.pitch = fbwidth * (fbbpp / 8);
        fbcanv.buffer = fbbuf;
        fbwriter = writer;
    }
    fbstatus.store(1, std::memory_order_release);

    setXYDlg((fbwidth - dialog_width) / 2, (fbheight - dialog_height) / 2);
    return 0;
}

int GuiEnd(void) {
    // A draw that has found the display open finishes before the mapping goes.
    // GuiEnd is never called from a signal handler, so it may wait for the lock.
    std::lock_guard lock(draw_mutex);
    // Only the call that finds the display open releases it: a second GuiEnd
    // (after the normal teardown) must not touch descriptors or addresses that
    // may belong to something else by then.
    if (fbstatus.exchange(0) != 1) return 0;

    const platform::DeviceCalls& dev = platform::device();
    bool failed = false;
    if (dev.munmap(fbbuf, static_cast<std::size_t>(fbsize)) != 0) {
        std::printf("Error : munmap(...)\n");
        failed = true;
    }
    if (dev.close(fbfd) != 0) {
        std::printf("Error : close(...)\n");
        failed = true;
    }
    if (failed) std::printf("Error : fb_end(...)\n");
    return 0;
}

int GuiShowImage(int x, int y, IMAGE_A555* img) {
    assert(img != nullptr);
    if (static_cast<long long>(img->height) * img->pitch != img->size) return 0;
    if (img->height <= 0) return 0;
    if (img->pitch <= 0 || img->data == nullptr) return 0;

    std::lock_guard lock(draw_mutex);
    if (fbstatus.load(std::memory_order_acquire) != 1) return 0;

    // Only the part of the image that lies on the screen is drawn.
    const long long top = std::max<long long>(y, 0);
    const long long bottom = std::min<long long>(static_cast<long long>(y) + img->height, fbcanv.height);
    if (top >= bottom) return 0;
    const std::size_t screen_pitch = static_cast<std::size_t>(fbcanv.pitch);
    const std::size_t image_pitch = static_cast<std::size_t>(img->pitch);

    if (fbwriter == GuiPixelWriter::copy16) {
        // Bytes, not pixels: the image is copied pitch bytes a row, whatever its width says.
        const long long start = static_cast<long long>(x) * 2;
        const long long left = std::max<long long>(start, 0);
        const long long right = std::min<long long>(start + img->pitch, fbcanv.pitch);
        if (left >= right) return 0;
        const std::size_t count = static_cast<std::size_t>(right - left);
        const std::uint8_t* src =
            img->data + static_cast<std::size_t>(top - y) * image_pitch + static_cast<std::size_t>(left - start);
        std::uint8_t* dst = fbcanv.buffer + static_cast<std::size_t>(top) * screen_pitch + static_cast<std::size_t>(left);
        for (long long row = top; row < bottom; ++row) {
            std::memcpy(dst, src, count);
            src += image_pitch;
            dst += screen_pitch;
        }
        return 0;
    }

    const long long pixels = img->pitch / 2;
    const long long left = std::max<long long>(x, 0);
    const long long right = std::min<long long>(static_cast<long long>(x) + pixels, fbcanv.width);
    if (left >= right) return 0;
    const std::size_t bytes_per_pixel = static_cast<std::size_t>(fbcanv.bpp / 8);
    const std::uint8_t* src =
        img->data + static_cast<std::size_t>(top - y) * image_pitch + static_cast<std::size_t>(left - x) * 2;
    std::uint8_t* dst =
        fbcanv.buffer + static_cast<std::size_t>(top) * screen_pitch + static_cast<std::size_t>(left) * bytes_per_pixel;
    for (long long row = top; row < bottom; ++row) {
        convert_row(dst, src, static_cast<std::size_t>(right - left), fbwriter);
        src += image_pitch;
        dst += screen_pitch;
    }
    return 0;
}

int GuiShowString(int x, int y, const char* text) {
    assert(text != nullptr);
    int pen = x;
    for (const char* p = text; *p != '\0'; ++p) {
        IMAGE_A555* glyph = glyph_for(static_cast<unsigned char>(*p));
        if (glyph == nullptr) continue;
        GuiShowImage(pen, y, glyph);
        pen += glyph->width;
    }
    return 0;
}
