// A stand-in for the device program on the emulated device: it uses the same
// devices the same way (blocking /dev/spi_key, a shared mapping of /dev/fb0,
// commands ended by a 0x00 byte) with a flow of the same shape (dialog, key,
// spinner, completion, power key, power-off sequence). It checks the harness and
// the guest parts without the real program.
//   guest_probe [--fail]    --fail: end after the spinner instead of waiting for power
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Screen {
    std::uint16_t* pixels = nullptr;
    int width = 0;
    int height = 0;

    void rect(int x, int y, int w, int h, std::uint16_t colour) {
        for (int row = y; row < y + h && row < height; ++row)
            for (int col = x; col < x + w && col < width; ++col) pixels[row * width + col] = colour;
    }
};

void send(int fd, const char* command) {
    if (::write(fd, command, std::strlen(command)) < 0) std::perror("write");
    const char nul = '\0';
    if (::write(fd, &nul, 1) < 0) std::perror("write");
}

// Blocks until a key sentence arrives; returns its four-character code.
std::string next_key(int fd, std::string& pending) {
    for (;;) {
        std::size_t end = pending.find('\n');
        if (end != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            std::size_t comma = line.find(',');
            if (line.rfind("$QXKBD,", 0) == 0 && comma != std::string::npos && line.size() >= comma + 8)
                return line.substr(comma + 4, 4);
            continue;
        }
        char buffer[64];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) continue;
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool fail = argc > 1 && std::strcmp(argv[1], "--fail") == 0;
    std::printf("guest_probe: start\n");
    int keys = ::open("/dev/spi_key", O_RDWR);
    if (keys < 0) {
        std::perror("open /dev/spi_key");
        return 1;
    }
    int fb = ::open("/dev/fb0", O_RDWR);
    if (fb < 0) {
        std::perror("open /dev/fb0");
        return 1;
    }
    fb_var_screeninfo info{};
    if (::ioctl(fb, FBIOGET_VSCREENINFO, &info) != 0) {
        std::perror("FBIOGET_VSCREENINFO");
        return 1;
    }
    std::printf("guest_probe: fb %ux%u bpp %u red %u/%u green %u/%u blue %u/%u\n", info.xres, info.yres,
                info.bits_per_pixel, info.red.offset, info.red.length, info.green.offset, info.green.length,
                info.blue.offset, info.blue.length);
    const std::size_t size = std::size_t{info.xres} * info.yres * 2;
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fb, 0);
    if (map == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    Screen screen{static_cast<std::uint16_t*>(map), static_cast<int>(info.xres), static_cast<int>(info.yres)};

    // Dialog: a window with two buttons, the first focused.
    screen.rect(184, 177, 272, 126, 0x001F);
    screen.rect(259, 277, 60, 20, 0xFFFF);
    screen.rect(344, 277, 60, 20, 0x7BEF);
    std::fflush(stdout);
    std::string pending;
    bool first_focused = true;
    for (;;) {
        std::string code = next_key(keys, pending);
        std::printf("guest_probe: key %s\n", code.c_str());
        std::fflush(stdout);
        send(keys, "$SOB\r\n");
        if (code == "0102") break;
        if (code == "0140" || code == "0110") {
            first_focused = !first_focused;
            screen.rect(259, 277, 60, 20, first_focused ? 0xFFFF : 0x7BEF);
            screen.rect(344, 277, 60, 20, first_focused ? 0x7BEF : 0xFFFF);
        }
    }
    // Updating: a spinner turns for two seconds, then the completion window.
    screen.rect(184, 177, 272, 126, 0x07E0);
    for (int frame = 0; frame < 20; ++frame) {
        screen.rect(294, 237, 20, 20, static_cast<std::uint16_t>(0xF800 | (frame % 6) * 4));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (fail) {
        screen.rect(184, 177, 272, 126, 0xF800);
        std::printf("guest_probe: failed\n");
        return 0;
    }
    screen.rect(184, 177, 272, 126, 0xFFE0);
    ::sync();
    for (;;) {
        if (next_key(keys, pending) != "0040") continue;
        send(keys, "$SNB3\r\n");
        send(keys, "$SLB255\r\n");
        send(keys, "$OFF\r\n");
        std::printf("guest_probe: power off sent\n");
        std::fflush(stdout);
        for (;;) ::pause();
    }
}
