// The device seam: every system call that the display and the key input make on
// their devices (/dev/fb0, /dev/s3c-g2d, /dev/spi_key) goes through this table.
//
// The device program uses the real calls. Tests and upgsim install fakes that
// answer for their own device paths and descriptors and hand every other call on
// to the table that was installed before them, so fakes stack and any one call
// can be made to fail on demand. Install fakes before the threads that use the
// devices start, and remove them after those threads have ended.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace platform {

struct DeviceCalls {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    // The argument is passed on as the third, untyped argument of ioctl: an integer
    // or the address of the request's structure.
    int (*ioctl)(int fd, unsigned long request, std::uintptr_t argument);
    void* (*mmap)(void* address, std::size_t length, int protection, int flags, int fd, off_t offset);
    int (*munmap)(void* address, std::size_t length);
    ssize_t (*read)(int fd, void* buffer, std::size_t count);
    ssize_t (*write)(int fd, const void* buffer, std::size_t count);
};

// The table the device modules call through.
const DeviceCalls& device();

// The plain system calls.
const DeviceCalls& real_device();

// Installs `calls` as the current table and returns the table it replaces, which
// the installer keeps to forward what is not its own and to restore on removal.
DeviceCalls install_device(const DeviceCalls& calls);

}  // namespace platform
