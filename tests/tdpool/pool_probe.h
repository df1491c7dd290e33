// What the pool tests watch the pool with: a routine that records every call and
// can be held inside a call until the test lets it go, and a way to tell that a
// thread is asleep (waiting inside the pool).
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tdpool/tdpool.h"

namespace pool_probe {

struct Call {
    std::string bytes;
    int size;
    bool data_was_null;
};

// One probe per process, reset by each test's fixture: the pool's routine is a
// plain function without a context argument.
class Probe {
public:
    void reset(bool held) {
        std::lock_guard lock(mutex_);
        calls_.clear();
        entered_ = 0;
        finished_ = 0;
        held_ = held;
        result_ = 0;
    }

    // Calls after this one pass through; the one held now returns.
    void release() {
        std::lock_guard lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }

    void set_result(int result) {
        std::lock_guard lock(mutex_);
        result_ = result;
    }

    bool wait_entered(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return entered_ >= count; });
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    int finished() const {
        std::lock_guard lock(mutex_);
        return finished_;
    }

    int routine(void* data, int size) {
        std::unique_lock lock(mutex_);
        Call call{data == nullptr ? std::string() : std::string(static_cast<const char*>(data),
                                                                static_cast<std::size_t>(size)),
                  size, data == nullptr};
        calls_.push_back(call);
        ++entered_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
        ++finished_;
        return result_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    int entered_ = 0;
    int finished_ = 0;
    bool held_ = false;
    int result_ = 0;
};

inline Probe probe;

inline int probe_routine(void* data, int size) { return probe.routine(data, size); }

inline std::vector<std::string> payloads(const std::vector<Call>& calls) {
    std::vector<std::string> out;
    for (const Call& call : calls) out.push_back(call.bytes);
    return out;
}

inline pid_t this_thread_tid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// State letter of a thread of this process from /proc ('S' while it waits on a
// condition variable or in a join).
inline char thread_state(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return '?';
    return text[close + 2];
}

// A thread that announced its tid and is about to enter a pool call: returns once
// the thread sleeps, i.e. waits inside the pool.
inline bool wait_until_asleep(const std::atomic<pid_t>& tid) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        pid_t t = tid.load();
        if (t != 0 && thread_state(t) == 'S') return true;
        std::this_thread::yield();
    }
    return false;
}

}  // namespace pool_probe
