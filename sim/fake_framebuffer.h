// A framebuffer in memory behind the device seam: answers "/dev/fb0" (and, when
// asked to, "/dev/s3c-g2d") for the display module, so tests and upgsim can run
// the display on any screen size and pixel format and fail any of its calls.
//
// The screen memory is a memfd. The program maps it through the real mmap, so
// its writes land in shared pages that the fake reads through a second mapping of
// its own. That view outlives the program's mapping (the picture stays after
// GuiEnd), and a watcher thread reading it does not share addresses with the
// drawing threads. Guard areas before and after the screen let tests check that
// nothing was written outside the mapping.
#pragma once

#include <linux/fb.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/device.h"

namespace sim {

// What FBIOGET_VSCREENINFO reports: visible size and pixel layout.
struct FramebufferFormat {
    int width = 640;
    int height = 480;
    int bits_per_pixel = 16;
    fb_bitfield red{11, 5, 0};
    fb_bitfield green{5, 6, 0};
    fb_bitfield blue{0, 5, 0};
    fb_bitfield transp{0, 0, 0};
    // Rows of the virtual screen (for panning or double buffering), reported as
    // yres_virtual; 0: as many as are visible. The fake holds only the visible
    // rows, so a program that maps more than those is refused.
    int virtual_height = 0;

    static FramebufferFormat rgb565(int width, int height);
    static FramebufferFormat xrgb8888(int width, int height);  // 32 bits: blue in the lowest byte
    static FramebufferFormat rgb888(int width, int height);    // 24 bits: bytes blue, green, red
    // Any depth, colour fields left zero (for screens the display must refuse).
    static FramebufferFormat other(int width, int height, int bits_per_pixel);

    int bytes_per_pixel() const { return bits_per_pixel / 8; }
    int pitch() const { return width * bytes_per_pixel(); }
    std::size_t size() const;  // width * height * bytes per pixel: what the display maps
};

// The calls of the display that can be made to fail.
enum class FramebufferCall { open, screen_info, map, unmap, close };

class FakeFramebuffer {
public:
    static constexpr const char* device_path = "/dev/fb0";
    static constexpr const char* accelerator_path = "/dev/s3c-g2d";
    static constexpr std::uint8_t guard_byte = 0xA5;
    static constexpr std::uint8_t initial_byte = 0x00;

    // Installs itself on the device seam; at most one exists at a time. Fakes
    // installed later must be removed first (the seam is a stack).
    explicit FakeFramebuffer(const FramebufferFormat& format = FramebufferFormat{}, bool with_accelerator = true);
    ~FakeFramebuffer();  // restores the previous device table, releases what the program left mapped
    FakeFramebuffer(const FakeFramebuffer&) = delete;
    FakeFramebuffer& operator=(const FakeFramebuffer&) = delete;

    const FramebufferFormat& format() const { return format_; }
    int width() const { return format_.width; }
    int height() const { return format_.height; }
    int pitch() const { return format_.pitch(); }
    std::size_t size() const { return format_.size(); }

    // Makes `call` fail (errno EIO; ENOMEM for the map) from now on, until cleared.
    void fail(FramebufferCall call, bool failing = true);
    void fail_nothing();

    // The screen memory, size() bytes, row after row of pitch() bytes.
    std::uint8_t* pixels() { return screen_; }
    const std::uint8_t* pixels() const { return screen_; }
    void fill(std::uint8_t byte);
    // The 16-bit little-endian value at (x, y) of a 16-bit screen.
    std::uint16_t pixel16(int x, int y) const;
    // The raw value of any depth at (x, y), little-endian (up to 32 bits).
    std::uint32_t pixel_raw(int x, int y) const;
    // The whole screen as RGB565 (width * height values), converted by the format's
    // colour fields; a 16-bit screen is returned as it stands.
    std::vector<std::uint16_t> rgb565() const;
    // True when the guard areas around the screen still hold guard_byte.
    bool guards_intact() const;
    // Runs `hook` each time the program unmaps the screen, before the mapping
    // goes: what still writes to the screen then would write to unmapped memory.
    void on_unmap(std::function<void()> hook);

    // Settling: each call compares the screen with the picture seen at the last
    // call and counts a change when they differ. A watcher polls it and calls the
    // screen settled when the count stays the same for a while.
    std::uint64_t poll_changes();
    std::uint64_t changes() const { return changes_.load(); }

    // What the program did.
    int open_count() const { return open_count_.load(); }      // successful opens of /dev/fb0
    int close_count() const { return close_count_.load(); }    // successful closes
    int map_count() const { return map_count_.load(); }        // successful maps
    int unmap_count() const { return unmap_count_.load(); }    // successful unmaps
    int open_descriptors() const;                              // /dev/fb0 descriptors still open
    bool mapped() const;                                       // the program holds a mapping
    int last_open_flags() const { return last_open_flags_.load(); }
    std::size_t last_map_length() const { return last_map_length_.load(); }
    // The accelerator: whether it exists, and the requests issued on it (request, argument).
    bool has_accelerator() const { return with_accelerator_; }
    struct AcceleratorRequest {
        unsigned long request;
        std::uintptr_t argument;
    };
    std::vector<AcceleratorRequest> accelerator_requests() const;
    int accelerator_open_descriptors() const;

private:
    struct Mapping {
        void* base;               // start of the whole mapped window, guards included
        std::size_t length;       // its length
        void* screen;             // what the program got
        std::size_t screen_length;
    };

    static int fake_open(const char* path, int flags);
    static int fake_close(int fd);
    static int fake_ioctl(int fd, unsigned long request, std::uintptr_t argument);
    static void* fake_mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset);
    static int fake_munmap(void* address, std::size_t length);

    bool failing(FramebufferCall call) const;
    bool is_screen_fd(int fd) const;
    bool is_accelerator_fd(int fd) const;

    FramebufferFormat format_;
    bool with_accelerator_;
    platform::DeviceCalls previous_{};

    int memfd_ = -1;
    std::size_t guard_ = 0;        // bytes of guard before and after the screen
    std::size_t total_ = 0;        // guard + screen + guard
    std::uint8_t* view_ = nullptr; // the fake's own mapping of the whole memfd
    std::uint8_t* screen_ = nullptr;

    std::atomic<unsigned> failing_{0};
    std::atomic<int> open_count_{0}, close_count_{0}, map_count_{0}, unmap_count_{0};
    std::atomic<int> last_open_flags_{-1};
    std::atomic<std::size_t> last_map_length_{0};
    std::atomic<std::uint64_t> changes_{0};

    mutable std::mutex mutex_;  // guards the sets below
    std::vector<int> screen_fds_;
    std::vector<int> accelerator_fds_;
    std::vector<Mapping> mappings_;
    std::vector<AcceleratorRequest> accelerator_requests_;
    std::vector<std::uint8_t> last_seen_;  // for poll_changes
    std::function<void()> unmap_hook_;
};

}  // namespace sim
