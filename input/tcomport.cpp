#include "input/tcomport.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>

#include "platform/device.h"

namespace {
constexpr unsigned long SPI_KEY_MODE = 0x802;
constexpr std::uintptr_t SPI_KEY_MODE_ARGUMENT = 2;
}  // namespace

int tcom_init(const char* path) {
    std::puts(">> Use SPI!!!");
    int fd = platform::device().open(path, O_RDWR);
    if (fd < 0) return fd;
    // The scripts and the package command must not keep the controller open: a
    // daemon they start would compete with the next run's reader.
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    platform::device().ioctl(fd, SPI_KEY_MODE, SPI_KEY_MODE_ARGUMENT);
    return fd;
}

int tcom_read(int fd, void* buf, int size) {
    return static_cast<int>(platform::device().read(fd, buf, static_cast<std::size_t>(size)));
}

namespace {
// A write interrupted by a signal is made again, so no command is lost to it.
void write_retrying(int fd, const void* data, std::size_t length) {
    while (platform::device().write(fd, data, length) < 0 && errno == EINTR) {
    }
}
}  // namespace

void tcom_write(int fd, const void* data, int len) {
    // The controller takes a command as its text followed by a NUL of its own.
    static const char terminator = 0;
    write_retrying(fd, data, static_cast<std::size_t>(len));
    write_retrying(fd, &terminator, 1);
}

int tcom_close(int fd) { return platform::device().close(fd); }
