#include "sim/fake_controller.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace sim {

namespace {

std::atomic<FakeController*> active{nullptr};

// The peer may have hung up: a write must then fail with EPIPE, not kill the
// process with SIGPIPE.
ssize_t send_all(int fd, const char* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fd, bytes + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

FakeController::FakeController() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw std::system_error(errno, std::generic_category(), "socketpair");
    FakeController* expected = nullptr;
    if (!active.compare_exchange_strong(expected, this)) {
        ::close(ends[0]);
        ::close(ends[1]);
        throw std::system_error(EBUSY, std::generic_category(), "a FakeController is already installed");
    }
    program_fd_ = ends[0];
    peer_fd_ = ends[1];
    platform::DeviceCalls calls = platform::device();
    calls.open = fake_open;
    calls.close = fake_close;
    calls.ioctl = fake_ioctl;
    calls.read = fake_read;
    calls.write = fake_write;
    previous_ = platform::install_device(calls);
}

FakeController::~FakeController() {
    platform::install_device(previous_);
    active.store(nullptr);
    if (program_fd_ >= 0) ::close(program_fd_);
    if (device_fd_ >= 0) ::close(device_fd_);
    if (peer_fd_ >= 0) ::close(peer_fd_);
}

int FakeController::device_fd() const {
    std::lock_guard lock(mutex_);
    return device_fd_;
}

bool FakeController::feed(std::string_view bytes) { return feed_chunks({std::string(bytes)}); }

bool FakeController::feed_chunks(const std::vector<std::string>& chunks) {
    if (peer_fd_ < 0) return false;
    {
        // Announced before the bytes are sent, so a read that finds them limits
        // itself to their chunk.
        std::lock_guard lock(mutex_);
        for (const std::string& chunk : chunks)
            if (!chunk.empty()) chunks_.push_back(chunk.size());
    }
    for (const std::string& chunk : chunks)
        if (!chunk.empty() && send_all(peer_fd_, chunk.data(), chunk.size()) < 0) return false;
    return true;
}

void FakeController::close_peer() {
    if (peer_fd_ >= 0) ::close(peer_fd_);
    peer_fd_ = -1;
}

void FakeController::fail_open(int count, int error) {
    std::lock_guard lock(mutex_);
    open_failures_ = count;
    open_errno_ = error;
}

void FakeController::fail_read(int count, int error) {
    std::lock_guard lock(mutex_);
    read_failures_ = count;
    read_errno_ = error;
}

void FakeController::fail_write(int count, int error) {
    std::lock_guard lock(mutex_);
    write_failures_ = count;
    write_errno_ = error;
}

int FakeController::open_count() const {
    std::lock_guard lock(mutex_);
    return open_count_;
}

int FakeController::last_open_flags() const {
    std::lock_guard lock(mutex_);
    return last_open_flags_;
}

bool FakeController::device_closed() const {
    std::lock_guard lock(mutex_);
    return device_closed_;
}

std::vector<IoctlCall> FakeController::ioctls() const {
    std::lock_guard lock(mutex_);
    return ioctls_;
}

std::vector<long> FakeController::read_results() const {
    std::lock_guard lock(mutex_);
    return read_results_;
}

std::vector<std::string> FakeController::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::string FakeController::written() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const std::string& w : writes_) all += w;
    return all;
}

int FakeController::failed_writes() const {
    std::lock_guard lock(mutex_);
    return failed_writes_;
}

bool FakeController::wait_for_writes(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return writes_.size() >= count; });
}

bool FakeController::wait_for_reads(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return read_results_.size() >= count; });
}

int FakeController::fake_open(const char* path, int flags) {
    FakeController* self = active.load();
    if (std::strcmp(path, device_path) != 0) return self->previous_.open(path, flags);
    std::lock_guard lock(self->mutex_);
    if (self->open_failures_ > 0) {
        --self->open_failures_;
        errno = self->open_errno_;
        return -1;
    }
    if (self->program_fd_ < 0) {  // one open per fake: the link has one program end
        errno = EBUSY;
        return -1;
    }
    self->device_fd_ = self->program_fd_;
    self->program_fd_ = -1;
    // Inherited by the program's children unless O_CLOEXEC is asked for, as the kernel does.
    ::fcntl(self->device_fd_, F_SETFD, (flags & O_CLOEXEC) != 0 ? FD_CLOEXEC : 0);
    ++self->open_count_;
    self->last_open_flags_ = flags;
    self->changed_.notify_all();
    return self->device_fd_;
}

int FakeController::fake_close(int fd) {
    FakeController* self = active.load();
    {
        std::lock_guard lock(self->mutex_);
        if (fd >= 0 && fd == self->device_fd_) {
            self->device_fd_ = -1;
            self->device_closed_ = true;
            self->changed_.notify_all();
        }
    }
    return self->previous_.close(fd);
}

int FakeController::fake_ioctl(int fd, unsigned long request, std::uintptr_t argument) {
    FakeController* self = active.load();
    {
        std::lock_guard lock(self->mutex_);
        if (fd >= 0 && fd == self->device_fd_) {
            // What the request selects is the controller's business: it is recorded
            // and answered with success.
            self->ioctls_.push_back({fd, request, argument});
            self->changed_.notify_all();
            return 0;
        }
    }
    return self->previous_.ioctl(fd, request, argument);
}

ssize_t FakeController::fake_read(int fd, void* buffer, std::size_t count) {
    FakeController* self = active.load();
    bool ours;
    {
        std::lock_guard lock(self->mutex_);
        ours = fd >= 0 && fd == self->device_fd_;
    }
    return ours ? self->read_device(fd, buffer, count) : self->previous_.read(fd, buffer, count);
}

bool FakeController::take_read_failure(ssize_t& result) {
    std::lock_guard lock(mutex_);
    if (read_failures_ == 0) return false;
    --read_failures_;
    read_results_.push_back(read_errno_ == 0 ? 0 : -1);
    changed_.notify_all();
    result = read_errno_ == 0 ? 0 : -1;
    errno = read_errno_;
    return true;
}

ssize_t FakeController::read_device(int fd, void* buffer, std::size_t count) {
    // Wait for the bytes first, so that the chunk they belong to is known when
    // the size of the read is chosen. A failure armed meanwhile ends the wait
    // (it comes before bytes fed after it), and so does a signal, as it ends a
    // blocking read whose handler does not restart it.
    pollfd ready{fd, POLLIN, 0};
    for (;;) {
        if (ssize_t failed = 0; take_read_failure(failed)) return failed;
        const int found = ::poll(&ready, 1, 10);
        if (found < 0) return -1;
        std::lock_guard lock(mutex_);
        if (found > 0 && read_failures_ == 0) break;
    }
    std::size_t limit = count;
    {
        std::lock_guard lock(mutex_);
        if (!chunks_.empty()) limit = std::min(count, chunks_.front());
    }
    ssize_t n = ::read(fd, buffer, limit);
    int saved = errno;
    {
        std::lock_guard lock(mutex_);
        std::size_t taken = n > 0 ? static_cast<std::size_t>(n) : 0;
        while (taken > 0 && !chunks_.empty()) {
            std::size_t part = std::min(taken, chunks_.front());
            chunks_.front() -= part;
            taken -= part;
            if (chunks_.front() == 0) chunks_.pop_front();
        }
        read_results_.push_back(static_cast<long>(n));
        changed_.notify_all();
    }
    errno = saved;
    return n;
}

ssize_t FakeController::fake_write(int fd, const void* buffer, std::size_t count) {
    FakeController* self = active.load();
    bool ours;
    {
        std::lock_guard lock(self->mutex_);
        ours = fd >= 0 && fd == self->device_fd_;
        if (ours && self->write_failures_ > 0) {
            --self->write_failures_;
            ++self->failed_writes_;
            self->changed_.notify_all();
            errno = self->write_errno_;
            return -1;
        }
    }
    return ours ? self->write_device(fd, buffer, count) : self->previous_.write(fd, buffer, count);
}

ssize_t FakeController::write_device(int fd, const void* buffer, std::size_t count) {
    ssize_t n = ::send(fd, buffer, count, MSG_NOSIGNAL);
    int saved = errno;
    {
        std::lock_guard lock(mutex_);
        if (n >= 0)
            writes_.emplace_back(static_cast<const char*>(buffer), static_cast<std::size_t>(n));
        else
            ++failed_writes_;
        changed_.notify_all();
    }
    errno = saved;
    return n;
}

}  // namespace sim
