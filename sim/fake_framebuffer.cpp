#include "sim/fake_framebuffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace sim {
namespace {

std::atomic<FakeFramebuffer*> active{nullptr};

unsigned bit(FramebufferCall call) { return 1u << static_cast<unsigned>(call); }

// One colour field of a raw pixel, scaled to 8 bits.
std::uint32_t channel8(std::uint32_t raw, const fb_bitfield& field) {
    if (field.length == 0 || field.length > 16) return 0;
    std::uint32_t value = (raw >> field.offset) & ((1u << field.length) - 1u);
    if (field.length >= 8) return value >> (field.length - 8);
    // Repeat the high bits into the low ones, as the screenshots do.
    std::uint32_t result = 0;
    int shift = 8 - static_cast<int>(field.length);
    for (; shift > -static_cast<int>(field.length); shift -= static_cast<int>(field.length)) {
        result |= shift >= 0 ? value << shift : value >> -shift;
    }
    return result & 0xFFu;
}

}  // namespace

FramebufferFormat FramebufferFormat::rgb565(int width, int height) {
    FramebufferFormat format;
    format.width = width;
    format.height = height;
    return format;
}

FramebufferFormat FramebufferFormat::xrgb8888(int width, int height) {
    FramebufferFormat format;
    format.width = width;
    format.height = height;
    format.bits_per_pixel = 32;
    format.red = {16, 8, 0};
    format.green = {8, 8, 0};
    format.blue = {0, 8, 0};
    return format;
}

FramebufferFormat FramebufferFormat::rgb888(int width, int height) {
    FramebufferFormat format = xrgb8888(width, height);
    format.bits_per_pixel = 24;
    return format;
}

FramebufferFormat FramebufferFormat::other(int width, int height, int bits_per_pixel) {
    FramebufferFormat format;
    format.width = width;
    format.height = height;
    format.bits_per_pixel = bits_per_pixel;
    format.red = format.green = format.blue = {0, 0, 0};
    return format;
}

std::size_t FramebufferFormat::size() const {
    if (width <= 0 || height <= 0 || bits_per_pixel < 8) return 0;
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
           static_cast<std::size_t>(bytes_per_pixel());
}

FakeFramebuffer::FakeFramebuffer(const FramebufferFormat& format, bool with_accelerator)
    : format_(format), with_accelerator_(with_accelerator) {
    FakeFramebuffer* expected = nullptr;
    bool installed_alone = active.compare_exchange_strong(expected, this);
    assert(installed_alone && "only one FakeFramebuffer at a time");
    (void)installed_alone;

    guard_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    total_ = guard_ + format_.size() + guard_;
    memfd_ = memfd_create("fake-fb0", MFD_CLOEXEC);
    if (memfd_ < 0 || ftruncate(memfd_, static_cast<off_t>(total_)) != 0) {
        std::perror("FakeFramebuffer: memfd");
        std::abort();
    }
    void* view = ::mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_SHARED, memfd_, 0);
    if (view == MAP_FAILED) {
        std::perror("FakeFramebuffer: mmap");
        std::abort();
    }
    view_ = static_cast<std::uint8_t*>(view);
    screen_ = view_ + guard_;
    std::memset(view_, guard_byte, guard_);
    std::memset(screen_, initial_byte, format_.size());
    std::memset(screen_ + format_.size(), guard_byte, guard_);

    platform::DeviceCalls calls = platform::device();
    calls.open = fake_open;
    calls.close = fake_close;
    calls.ioctl = fake_ioctl;
    calls.mmap = fake_mmap;
    calls.munmap = fake_munmap;
    previous_ = platform::install_device(calls);
}

FakeFramebuffer::~FakeFramebuffer() {
    platform::install_device(previous_);
    active.store(nullptr);
    for (const Mapping& mapping : mappings_) ::munmap(mapping.base, mapping.length);
    for (int fd : screen_fds_) ::close(fd);
    for (int fd : accelerator_fds_) ::close(fd);
    ::munmap(view_, total_);
    ::close(memfd_);
}

void FakeFramebuffer::fail(FramebufferCall call, bool failing_now) {
    if (failing_now)
        failing_.fetch_or(bit(call));
    else
        failing_.fetch_and(~bit(call));
}

void FakeFramebuffer::fail_nothing() { failing_.store(0); }

bool FakeFramebuffer::failing(FramebufferCall call) const { return (failing_.load() & bit(call)) != 0; }

void FakeFramebuffer::fill(std::uint8_t byte) { std::memset(screen_, byte, size()); }

std::uint32_t FakeFramebuffer::pixel_raw(int x, int y) const {
    assert(x >= 0 && x < width() && y >= 0 && y < height());
    int bytes = std::min(format_.bytes_per_pixel(), 4);
    const std::uint8_t* at = screen_ + static_cast<std::size_t>(y) * static_cast<std::size_t>(pitch()) +
                             static_cast<std::size_t>(x) * static_cast<std::size_t>(format_.bytes_per_pixel());
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

std::uint16_t FakeFramebuffer::pixel16(int x, int y) const {
    assert(format_.bits_per_pixel == 16);
    return static_cast<std::uint16_t>(pixel_raw(x, y));
}

std::vector<std::uint16_t> FakeFramebuffer::rgb565() const {
    std::vector<std::uint16_t> out(static_cast<std::size_t>(std::max(width(), 0)) *
                                   static_cast<std::size_t>(std::max(height(), 0)));
    std::size_t i = 0;
    for (int y = 0; y < height(); ++y) {
        for (int x = 0; x < width(); ++x, ++i) {
            std::uint32_t raw = pixel_raw(x, y);
            if (format_.bits_per_pixel == 16) {
                out[i] = static_cast<std::uint16_t>(raw);
                continue;
            }
            std::uint32_t r = channel8(raw, format_.red);
            std::uint32_t g = channel8(raw, format_.green);
            std::uint32_t b = channel8(raw, format_.blue);
            out[i] = static_cast<std::uint16_t>(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
        }
    }
    return out;
}

void FakeFramebuffer::on_unmap(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    unmap_hook_ = std::move(hook);
}

bool FakeFramebuffer::guards_intact() const {
    const std::uint8_t* after = screen_ + size();
    return std::all_of(view_, screen_, [](std::uint8_t b) { return b == guard_byte; }) &&
           std::all_of(after, after + guard_, [](std::uint8_t b) { return b == guard_byte; });
}

std::uint64_t FakeFramebuffer::poll_changes() {
    std::lock_guard lock(mutex_);
    if (last_seen_.size() != size() || std::memcmp(last_seen_.data(), screen_, size()) != 0) {
        last_seen_.assign(screen_, screen_ + size());
        changes_.fetch_add(1);
    }
    return changes_.load();
}

int FakeFramebuffer::open_descriptors() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(screen_fds_.size());
}

int FakeFramebuffer::accelerator_open_descriptors() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(accelerator_fds_.size());
}

bool FakeFramebuffer::mapped() const {
    std::lock_guard lock(mutex_);
    return !mappings_.empty();
}

std::vector<FakeFramebuffer::AcceleratorRequest> FakeFramebuffer::accelerator_requests() const {
    std::lock_guard lock(mutex_);
    return accelerator_requests_;
}

bool FakeFramebuffer::is_screen_fd(int fd) const {
    std::lock_guard lock(mutex_);
    return std::find(screen_fds_.begin(), screen_fds_.end(), fd) != screen_fds_.end();
}

bool FakeFramebuffer::is_accelerator_fd(int fd) const {
    std::lock_guard lock(mutex_);
    return std::find(accelerator_fds_.begin(), accelerator_fds_.end(), fd) != accelerator_fds_.end();
}

int FakeFramebuffer::fake_open(const char* path, int flags) {
    FakeFramebuffer* self = active.load();
    bool screen = std::strcmp(path, device_path) == 0;
    bool accelerator = std::strcmp(path, accelerator_path) == 0;
    if (!screen && !accelerator) return self->previous_.open(path, flags);

    if (accelerator && !self->with_accelerator_) {
        errno = ENOENT;
        return -1;
    }
    if (screen) {
        self->last_open_flags_.store(flags);
        if (self->failing(FramebufferCall::open)) {
            errno = EIO;
            return -1;
        }
    }
    // A descriptor of our own memfd: a real, unique number that nothing else owns,
    // inherited by the program's children unless O_CLOEXEC is asked for, as the kernel does.
    int fd = fcntl(self->memfd_, (flags & O_CLOEXEC) != 0 ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
    if (fd < 0) return -1;
    std::lock_guard lock(self->mutex_);
    if (screen) {
        self->screen_fds_.push_back(fd);
        self->open_count_.fetch_add(1);
    } else {
        self->accelerator_fds_.push_back(fd);
    }
    return fd;
}

int FakeFramebuffer::fake_close(int fd) {
    FakeFramebuffer* self = active.load();
    bool screen = self->is_screen_fd(fd);
    if (!screen && !self->is_accelerator_fd(fd)) return self->previous_.close(fd);

    {
        std::lock_guard lock(self->mutex_);
        auto& fds = screen ? self->screen_fds_ : self->accelerator_fds_;
        fds.erase(std::find(fds.begin(), fds.end(), fd));
    }
    // Like Linux, a failed close still releases the descriptor.
    ::close(fd);
    if (screen && self->failing(FramebufferCall::close)) {
        errno = EIO;
        return -1;
    }
    if (screen) self->close_count_.fetch_add(1);
    return 0;
}

int FakeFramebuffer::fake_ioctl(int fd, unsigned long request, std::uintptr_t argument) {
    FakeFramebuffer* self = active.load();
    if (self->is_accelerator_fd(fd)) {
        std::lock_guard lock(self->mutex_);
        self->accelerator_requests_.push_back({request, argument});
        return 0;
    }
    if (!self->is_screen_fd(fd)) return self->previous_.ioctl(fd, request, argument);

    if (request != FBIOGET_VSCREENINFO) {
        errno = EINVAL;
        return -1;
    }
    if (self->failing(FramebufferCall::screen_info)) {
        errno = EIO;
        return -1;
    }
    fb_var_screeninfo info{};
    info.xres = info.xres_virtual = static_cast<__u32>(self->format_.width);
    info.yres = static_cast<__u32>(self->format_.height);
    info.yres_virtual = static_cast<__u32>(std::max(self->format_.height, self->format_.virtual_height));
    info.bits_per_pixel = static_cast<__u32>(self->format_.bits_per_pixel);
    info.red = self->format_.red;
    info.green = self->format_.green;
    info.blue = self->format_.blue;
    info.transp = self->format_.transp;
    std::memcpy(reinterpret_cast<void*>(argument), &info, sizeof info);
    return 0;
}

void* FakeFramebuffer::fake_mmap(void* address, std::size_t length, int protection, int flags, int fd,
                                 off_t offset) {
    FakeFramebuffer* self = active.load();
    if (!self->is_screen_fd(fd)) return self->previous_.mmap(address, length, protection, flags, fd, offset);

    self->last_map_length_.store(length);
    if (self->failing(FramebufferCall::map)) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    if (offset != 0 || length == 0 || length > self->size()) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    // The whole memfd, so that a stray write before or after the screen lands in
    // a guard area instead of someone else's memory.
    void* base = ::mmap(nullptr, self->total_, protection, flags, self->memfd_, 0);
    if (base == MAP_FAILED) return MAP_FAILED;
    void* screen = static_cast<std::uint8_t*>(base) + self->guard_;
    std::lock_guard lock(self->mutex_);
    self->mappings_.push_back({base, self->total_, screen, length});
    self->map_count_.fetch_add(1);
    return screen;
}

int FakeFramebuffer::fake_munmap(void* address, std::size_t length) {
    FakeFramebuffer* self = active.load();
    std::function<void()> hook;
    {
        std::lock_guard lock(self->mutex_);
        bool screen = std::any_of(self->mappings_.begin(), self->mappings_.end(),
                                  [address](const Mapping& m) { return m.screen == address; });
        if (screen) hook = self->unmap_hook_;
    }
    if (hook) hook();

    Mapping mapping{};
    {
        std::lock_guard lock(self->mutex_);
        auto it = std::find_if(self->mappings_.begin(), self->mappings_.end(),
                               [address](const Mapping& m) { return m.screen == address; });
        if (it == self->mappings_.end()) {
            // Not ours, unless it lies inside one of our windows: that would be a
            // wrong address or length from the program.
            bool inside = std::any_of(self->mappings_.begin(), self->mappings_.end(), [address](const Mapping& m) {
                auto* p = static_cast<std::uint8_t*>(address);
                auto* b = static_cast<std::uint8_t*>(m.base);
                return p >= b && p < b + m.length;
            });
            if (inside) {
                errno = EINVAL;
                return -1;
            }
            return self->previous_.munmap(address, length);
        }
        if (length != it->screen_length) {
            errno = EINVAL;
            return -1;
        }
        if (self->failing(FramebufferCall::unmap)) {
            errno = EINVAL;
            return -1;
        }
        mapping = *it;
        self->mappings_.erase(it);
    }
    ::munmap(mapping.base, mapping.length);
    self->unmap_count_.fetch_add(1);
    return 0;
}

}  // namespace sim
