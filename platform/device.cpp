#include "platform/device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace platform {
namespace {

int real_open(const char* path, int flags) { return ::open(path, flags); }
int real_close(int fd) { return ::close(fd); }
int real_ioctl(int fd, unsigned long request, std::uintptr_t argument) { return ::ioctl(fd, request, argument); }
void* real_mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset) {
    return ::mmap(address, length, protection, flags, fd, offset);
}
int real_munmap(void* address, std::size_t length) { return ::munmap(address, length); }
ssize_t real_read(int fd, void* buffer, std::size_t count) { return ::read(fd, buffer, count); }
ssize_t real_write(int fd, const void* buffer, std::size_t count) { return ::write(fd, buffer, count); }

constexpr DeviceCalls real_calls{real_open, real_close, real_ioctl, real_mmap, real_munmap, real_read, real_write};

DeviceCalls current = real_calls;

}  // namespace

const DeviceCalls& device() { return current; }

const DeviceCalls& real_device() { return real_calls; }

DeviceCalls install_device(const DeviceCalls& calls) {
    DeviceCalls previous = current;
    current = calls;
    return previous;
}

}  // namespace platform
