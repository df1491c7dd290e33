// Key handlers for the key path tests: they record the codes they get, and one
// of them can be held inside its call until the test lets it go.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "input/t4170input.h"
#include "sim/key_controller.h"

namespace key_log {

class Log {
public:
    void reset(bool hold) {
        std::lock_guard lock(mutex_);
        codes_.clear();
        held_ = hold;
    }
    void release() {
        std::lock_guard lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }
    void add(int code) {
        std::unique_lock lock(mutex_);
        codes_.push_back(code);
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
    }
    bool wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return codes_.size() >= count; });
    }
    std::vector<int> codes() const {
        std::lock_guard lock(mutex_);
        return codes_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> codes_;
    bool held_ = false;
};

inline Log received;

inline void record(int code) { received.add(code); }

inline void record_and_remove_self(int code) {
    received.add(code);
    InputSetHandler(nullptr);
}

inline std::string key(int code) { return sim::KeyController::key_sentence(code); }

}  // namespace key_log
