#include "fault_injection.h"

#include <cerrno>
#include <cstddef>
#include <mutex>

namespace fault {
namespace {

// Countdowns: 0 is disarmed; the call that brings one to 0 fails. Only the
// pointer-free state is touched inside malloc, so malloc itself never allocates.
thread_local int malloc_countdown = 0;

struct Countdown {
    std::mutex mutex;
    int remaining = 0;
    int error = 0;

    void arm(int nth, int with_error) {
        std::lock_guard lock(mutex);
        remaining = nth;
        error = with_error;
    }
    // The error to report for this call, or 0.
    int take() {
        std::lock_guard lock(mutex);
        if (remaining > 0 && --remaining == 0) return error;
        return 0;
    }
};

Countdown create_failure, join_failure, broadcast_failure, mutex_init_failure, cond_init_failure;

std::mutex records_mutex;
std::vector<pthread_t> created;
std::vector<pthread_t> joined;

}  // namespace

void fail_malloc(int nth) { malloc_countdown = nth; }
void fail_pthread_create(int nth, int error) { create_failure.arm(nth, error); }
void fail_pthread_join(int nth, int error) { join_failure.arm(nth, error); }
void fail_pthread_cond_broadcast(int nth, int error) { broadcast_failure.arm(nth, error); }
void fail_pthread_mutex_init(int nth, int error) { mutex_init_failure.arm(nth, error); }
void fail_pthread_cond_init(int nth, int error) { cond_init_failure.arm(nth, error); }

void disarm_all() {
    malloc_countdown = 0;
    create_failure.arm(0, 0);
    join_failure.arm(0, 0);
    broadcast_failure.arm(0, 0);
    mutex_init_failure.arm(0, 0);
    cond_init_failure.arm(0, 0);
}

void clear_thread_records() {
    std::lock_guard lock(records_mutex);
    created.clear();
    joined.clear();
}

std::vector<pthread_t> created_threads() {
    std::lock_guard lock(records_mutex);
    return created;
}

std::vector<pthread_t> joined_threads() {
    std::lock_guard lock(records_mutex);
    return joined;
}

}  // namespace fault

extern "C" {

void* __real_malloc(std::size_t size);
int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* arg);
int __real_pthread_join(pthread_t thread, void** result);
int __real_pthread_cond_broadcast(pthread_cond_t* condition);
int __real_pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attributes);
int __real_pthread_cond_init(pthread_cond_t* condition, const pthread_condattr_t* attributes);

void* __wrap_malloc(std::size_t size) {
    if (fault::malloc_countdown > 0 && --fault::malloc_countdown == 0) {
        errno = ENOMEM;
        return nullptr;
    }
    return __real_malloc(size);
}

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* arg) {
    if (int error = fault::create_failure.take(); error != 0) return error;
    int result = __real_pthread_create(thread, attributes, start, arg);
    if (result == 0) {
        std::lock_guard lock(fault::records_mutex);
        fault::created.push_back(*thread);
    }
    return result;
}

int __wrap_pthread_join(pthread_t thread, void** result) {
    int error = __real_pthread_join(thread, result);
    if (error != 0) return error;
    {
        std::lock_guard lock(fault::records_mutex);
        fault::joined.push_back(thread);
    }
    return fault::join_failure.take();
}

int __wrap_pthread_cond_broadcast(pthread_cond_t* condition) {
    int result = __real_pthread_cond_broadcast(condition);
    if (int error = fault::broadcast_failure.take(); error != 0) return error;
    return result;
}

int __wrap_pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attributes) {
    if (int error = fault::mutex_init_failure.take(); error != 0) return error;
    return __real_pthread_mutex_init(mutex, attributes);
}

int __wrap_pthread_cond_init(pthread_cond_t* condition, const pthread_condattr_t* attributes) {
    if (int error = fault::cond_init_failure.take(); error != 0) return error;
    return __real_pthread_cond_init(condition, attributes);
}

}  // extern "C"
