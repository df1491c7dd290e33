// Failures of the thread library and of memory allocation inside the pool,
// injected by link-time wrapping (fault_injection.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <regex>
#include <string>

#include "fault_injection.h"
#include "pool_probe.h"
#include "tdpool/tdpool.h"

namespace {

using pool_probe::probe;
using pool_probe::probe_routine;

constexpr unsigned long NO_MEMORY = 0x001;
constexpr unsigned long MUTEX_INIT_FAILED = 0x002;
constexpr unsigned long COND_INIT_FAILED = 0x010;
constexpr unsigned long WAKE_FAILED = 0x040;
constexpr unsigned long BROADCAST_FAILED = 0x080;
constexpr unsigned long CREATE_FAILED = 0x100;
constexpr unsigned long JOIN_FAILED = 0x200;
constexpr unsigned long QUEUE_FULL = 0x400;

tdpool* const untouched = reinterpret_cast<tdpool*>(0x5a5a);

// The report of one failure: the "file:function:line : " prefix, then the text.
std::string report(const std::string& function, const std::string& text) {
    return "tdpool\\.cpp:" + function + ":[0-9]+ : " + text;
}

class PoolFaults : public ::testing::Test {
protected:
    void SetUp() override {
        fault::disarm_all();
        fault::clear_thread_records();
        probe.reset(false);
    }
    void TearDown() override { fault::disarm_all(); }
};

TEST_F(PoolFaults, WorkerCreationFailureReturns0x100AndLeavesNoWorkerRunning) {
    tdpool* pool = untouched;
    ::testing::internal::CaptureStderr();
    fault::fail_pthread_create(3, EAGAIN);
    unsigned long result = tdpool_init(&pool, probe_routine, 4, 10, 0);
    std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(CREATE_FAILED, result);
    EXPECT_EQ(untouched, pool);
    EXPECT_TRUE(std::regex_match(err, std::regex(report("tdpool_init", "pthread_create 11\n"))));
    auto created = fault::created_threads();
    auto joined = fault::joined_threads();
    EXPECT_EQ(2u, created.size());
    EXPECT_EQ(created, joined);
    EXPECT_TRUE(probe.calls().empty());
}

TEST_F(PoolFaults, FirstWorkerCreationFailureJoinsNothing) {
    tdpool* pool = untouched;
    ::testing::internal::CaptureStderr();
    fault::fail_pthread_create(1, EPERM);
    EXPECT_EQ(CREATE_FAILED, tdpool_init(&pool, probe_routine, 2, 1, 1));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(untouched, pool);
    EXPECT_TRUE(fault::created_threads().empty());
    EXPECT_TRUE(fault::joined_threads().empty());
    EXPECT_TRUE(std::regex_match(err, std::regex(report("tdpool_init", "pthread_create 1\n"))));
}

TEST_F(PoolFaults, FailedWakeUpAfterAFailedCreationAddsTheBroadcastBit) {
    tdpool* pool = untouched;
    ::testing::internal::CaptureStderr();
    fault::fail_pthread_create(2, EAGAIN);
    fault::fail_pthread_cond_broadcast(1, EINVAL);
    unsigned long result = tdpool_init(&pool, probe_routine, 3, 4, 0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(CREATE_FAILED | BROADCAST_FAILED, result);
    EXPECT_EQ(untouched, pool);
    EXPECT_EQ(fault::created_threads(), fault::joined_threads());
    EXPECT_TRUE(std::regex_match(err, std::regex(report("tdpool_init", "pthread_cond_broadcast 22\n") +
                                                 report("tdpool_init", "pthread_create 11\n"))))
        << err;
}

TEST_F(PoolFaults, RecordOrIdArrayAllocationFailureReturns0x001) {
    for (int nth : {1, 2}) {
        tdpool* pool = untouched;
        ::testing::internal::CaptureStderr();
        fault::fail_malloc(nth);
        unsigned long result = tdpool_init(&pool, probe_routine, 2, 4, 0);
        fault::fail_malloc(0);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(NO_MEMORY, result) << "allocation " << nth;
        EXPECT_EQ(untouched, pool);
        EXPECT_TRUE(std::regex_match(err, std::regex(report("tdpool_init", "malloc\n")))) << err;
        EXPECT_TRUE(fault::created_threads().empty());
    }
}

TEST_F(PoolFaults, MutexInitialisationFailureReturns0x002) {
    tdpool* pool = untouched;
    ::testing::internal::CaptureStderr();
    fault::fail_pthread_mutex_init(1, ENOMEM);
    EXPECT_EQ(MUTEX_INIT_FAILED, tdpool_init(&pool, probe_routine, 1, 4, 0));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(untouched, pool);
    EXPECT_TRUE(std::regex_match(err, std::regex(report("tdpool_init", "pthread_mutex_init 12\n")))) << err;
}

TEST_F(PoolFaults, AnyConditionInitialisationFailureReturns0x010) {
    for (int nth : {1, 2, 3}) {
        tdpool* pool = untouched;
        ::testing::internal::CaptureStderr();
        fault::fail_pthread_cond_init(nth, EAGAIN);
        unsigned long result = tdpool_init(&pool, probe_routine, 1, 4, 0);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(COND_INIT_FAILED, result) << "condition " << nth;
        EXPECT_EQ(untouched, pool);
        EXPECT_TRUE(std::regex_match(err, std::regex(report("tdpool_init", "pthread_cond_init 11\n")))) << err;
        EXPECT_TRUE(fault::created_threads().empty());
    }
}

TEST_F(PoolFaults, FailedWakeOfTheWorkersReturns0x040AndTheItemStaysQueuedAndIsServed) {
    probe.reset(true);
    tdpool* pool = nullptr;
    ASSERT_EQ(0u, tdpool_init(&pool, probe_routine, 1, 1, 1));
    ASSERT_EQ(0u, tdpool_add_data(pool, "held", 4));
    ASSERT_TRUE(probe.wait_entered(1));  // taken: the queue is empty again

    ::testing::internal::CaptureStderr();
    fault::fail_pthread_cond_broadcast(1, EINVAL);
    unsigned long result = tdpool_add_data(pool, "kept", 4);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(WAKE_FAILED, result);
    EXPECT_TRUE(std::regex_match(err, std::regex(report("tdpool_add_data", "pthread_cond_signal 22\n")))) << err;

    EXPECT_EQ(QUEUE_FULL, tdpool_add_data(pool, "extra", 5));  // the queue of one holds "kept"
    probe.release();
    EXPECT_EQ(0u, tdpool_destroy(pool, 1));
    EXPECT_EQ((std::vector<std::string>{"held", "kept"}), pool_probe::payloads(probe.calls()));
}

TEST_F(PoolFaults, EitherFailedBroadcastOfDestroyAdds0x080AndTheWorkersAreStillJoined) {
    for (int nth : {1, 2}) {
        fault::clear_thread_records();
        tdpool* pool = nullptr;
        ASSERT_EQ(0u, tdpool_init(&pool, probe_routine, 2, 4, 0));
        ::testing::internal::CaptureStderr();
        fault::fail_pthread_cond_broadcast(nth, EINVAL);
        unsigned long result = tdpool_destroy(pool, 1);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(BROADCAST_FAILED, result) << "broadcast " << nth;
        EXPECT_TRUE(std::regex_match(err, std::regex(report("tdpool_destroy", "pthread_cond_broadcast 22\n")))) << err;
        EXPECT_EQ(2u, fault::joined_threads().size());
        EXPECT_EQ(fault::created_threads(), fault::joined_threads());
    }
}

TEST_F(PoolFaults, FailedJoinAdds0x200AndTheNextWorkersAreJoinedAllTheSame) {
    tdpool* pool = nullptr;
    ASSERT_EQ(0u, tdpool_init(&pool, probe_routine, 3, 4, 0));
    ::testing::internal::CaptureStderr();
    fault::fail_pthread_join(1, ESRCH);
    unsigned long result = tdpool_destroy(pool, 1);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(JOIN_FAILED, result);
    EXPECT_TRUE(std::regex_match(err, std::regex(report("tdpool_destroy", "pthread_join 3\n")))) << err;
    EXPECT_EQ(3u, fault::joined_threads().size());
    EXPECT_EQ(fault::created_threads(), fault::joined_threads());  // in creation order, index 0 first
}

// A refusing pool of two whose worker holds one item: its fullness shows how
// many items are queued.
class PoolAllocation : public PoolFaults {
protected:
    void SetUp() override {
        PoolFaults::SetUp();
        probe.reset(true);
        ASSERT_EQ(0u, tdpool_init(&pool_, probe_routine, 1, 2, 1));
        ASSERT_EQ(0u, tdpool_add_data(pool_, "held", 4));
        ASSERT_TRUE(probe.wait_entered(1));
        ASSERT_EQ(0u, tdpool_add_data(pool_, "one", 3));
    }
    void TearDown() override {
        probe.release();
        if (pool_ != nullptr) tdpool_destroy(pool_, 1);
        PoolFaults::TearDown();
    }
    tdpool* pool_ = nullptr;
};

TEST_F(PoolAllocation, ItemAllocationFailureReturns0x001AndLeavesTheQueueUnchanged) {
    ::testing::internal::CaptureStderr();
    fault::fail_malloc(1);
    unsigned long result = tdpool_add_data(pool_, "lost", 4);
    fault::fail_malloc(0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(NO_MEMORY, result);
    EXPECT_TRUE(std::regex_match(err, std::regex(report("tdpool_add_data", "malloc\n")))) << err;

    EXPECT_EQ(0u, tdpool_add_data(pool_, "two", 3));  // still room for exactly one
    EXPECT_EQ(QUEUE_FULL, tdpool_add_data(pool_, "three", 5));
    probe.release();
    EXPECT_EQ(0u, tdpool_destroy(pool_, 1));
    pool_ = nullptr;
    EXPECT_EQ((std::vector<std::string>{"held", "one", "two"}), pool_probe::payloads(probe.calls()));
}

TEST_F(PoolAllocation, CopyAllocationFailureReportsMllocAndLeavesTheQueueUnchanged) {
    ::testing::internal::CaptureStderr();
    fault::fail_malloc(2);
    unsigned long result = tdpool_add_data(pool_, "lost", 4);
    fault::fail_malloc(0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(NO_MEMORY, result);
    EXPECT_TRUE(std::regex_match(err, std::regex(report("tdpool_add_data", "mlloc\n")))) << err;

    EXPECT_EQ(0u, tdpool_add_data(pool_, "two", 3));
    EXPECT_EQ(QUEUE_FULL, tdpool_add_data(pool_, "three", 5));
    probe.release();
    EXPECT_EQ(0u, tdpool_destroy(pool_, 1));
    pool_ = nullptr;
    EXPECT_EQ((std::vector<std::string>{"held", "one", "two"}), pool_probe::payloads(probe.calls()));
}

TEST_F(PoolAllocation, EmptyItemNeedsOnlyOneAllocation) {
    const char nothing = 0;
    fault::fail_malloc(2);
    unsigned long result = tdpool_add_data(pool_, &nothing, 0);
    fault::fail_malloc(0);
    EXPECT_EQ(0u, result);
    probe.release();
    EXPECT_EQ(0u, tdpool_destroy(pool_, 1));
    pool_ = nullptr;
    auto calls = probe.calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_TRUE(calls[2].data_was_null);
}

}  // namespace
