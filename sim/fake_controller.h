// A key controller behind the device seam. While an instance lives, opening
// "/dev/spi_key" through platform::device() yields the program's end of a socket
// pair, so the program's real reads and writes work on it; the other end
// (peer_fd) is the controller's, for a sim::KeyController or for a test feeding
// bytes. Every device call is recorded, and open, read or write can be made to
// fail on demand. Calls on other paths and descriptors go to the table that was
// installed before.
//
// One instance at a time: install it before the threads that use the device
// start and destroy it after they have ended (after InputEnd).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device.h"

namespace sim {

struct IoctlCall {
    int fd;
    unsigned long request;
    std::uintptr_t argument;
};

class FakeController {
public:
    static constexpr const char* device_path = "/dev/spi_key";

    // Creates the socket pair and installs the fake table; throws std::system_error
    // if the socket pair can't be made or another FakeController is installed.
    FakeController();
    // Restores the table that was installed before and closes the ends still open.
    ~FakeController();
    FakeController(const FakeController&) = delete;
    FakeController& operator=(const FakeController&) = delete;

    // The controller's end of the link; stays owned by the fake.
    int peer_fd() const { return peer_fd_; }
    // The program's end as handed out by open; -1 before the open and after close.
    int device_fd() const;

    // Controller to program. feed() sends the bytes as one chunk: no read of the
    // program returns bytes of two chunks. feed_chunks() sends each chunk so.
    // Bytes written to peer_fd() directly are not chunked by the fake.
    bool feed(std::string_view bytes);
    bool feed_chunks(const std::vector<std::string>& chunks);
    // The controller hangs up: the program's reads return 0 from then on.
    void close_peer();

    // The next `count` calls fail: open and write return -1 with errno `error`;
    // read returns -1 with errno `error`, or 0 when `error` is 0.
    void fail_open(int count, int error);
    void fail_read(int count, int error);
    void fail_write(int count, int error);

    // What the program did on the device.
    int open_count() const;                    // successful opens of device_path
    int last_open_flags() const;               // flags of the last open of device_path
    bool device_closed() const;                // the program closed its end
    std::vector<IoctlCall> ioctls() const;
    std::vector<long> read_results() const;    // result of every read on the device not ended by a signal
    std::vector<std::string> writes() const;   // bytes of every successful write, one entry per write
    std::string written() const;               // the same, concatenated
    int failed_writes() const;

    // Wait until that many writes / reads have been recorded; false on timeout.
    bool wait_for_writes(std::size_t count, std::chrono::milliseconds timeout) const;
    bool wait_for_reads(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    static int fake_open(const char* path, int flags);
    static int fake_close(int fd);
    static int fake_ioctl(int fd, unsigned long request, std::uintptr_t argument);
    static ssize_t fake_read(int fd, void* buffer, std::size_t count);
    static ssize_t fake_write(int fd, const void* buffer, std::size_t count);
    ssize_t read_device(int fd, void* buffer, std::size_t count);
    bool take_read_failure(ssize_t& result);
    ssize_t write_device(int fd, const void* buffer, std::size_t count);

    platform::DeviceCalls previous_{};
    int program_fd_ = -1;  // the program's end, until handed out by open
    int device_fd_ = -1;   // the program's end after open
    int peer_fd_ = -1;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<std::size_t> chunks_;  // sizes of fed chunks not yet read
    int open_failures_ = 0, open_errno_ = 0;
    int read_failures_ = 0, read_errno_ = 0;
    int write_failures_ = 0, write_errno_ = 0;
    int open_count_ = 0;
    int last_open_flags_ = -1;
    bool device_closed_ = false;
    std::vector<IoctlCall> ioctls_;
    std::vector<long> read_results_;
    std::vector<std::string> writes_;
    int failed_writes_ = 0;
};

}  // namespace sim
