#include "tdpool/tdpool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pool_probe.h"

namespace {

using pool_probe::probe;
using pool_probe::probe_routine;

constexpr unsigned long QUEUE_FULL = 0x400;
constexpr unsigned long CLOSING = 0x800;

class Pool : public ::testing::Test {
protected:
    void TearDown() override {
        probe.release();
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
        if (pool_ != nullptr) tdpool_destroy(pool_, 1);
    }

    // A pool whose routine holds the first item until probe.release().
    void make(int workers, int limit, int refuse_when_full, bool held) {
        probe.reset(held);
        ASSERT_EQ(0u, tdpool_init(&pool_, probe_routine, workers, limit, refuse_when_full));
        ASSERT_NE(nullptr, pool_);
    }

    unsigned long add(const std::string& bytes) {
        return tdpool_add_data(pool_, bytes.data(), static_cast<int>(bytes.size()));
    }

    // The first item enters the routine and stays there; the queue is empty again.
    void occupy_worker() {
        ASSERT_EQ(0u, add("held"));
        ASSERT_TRUE(probe.wait_entered(1));
    }

    unsigned long destroy(int finish) {
        tdpool* pool = pool_;
        pool_ = nullptr;
        return tdpool_destroy(pool, finish);
    }

    // Starts a destroy on a thread of its own; its result lands in destroy_result_.
    void destroy_in_background(int finish) {
        tdpool* pool = pool_;
        pool_ = nullptr;
        threads_.emplace_back([this, pool, finish] {
            destroyer_tid_.store(pool_probe::this_thread_tid());
            destroy_result_.store(tdpool_destroy(pool, finish));
            destroy_returned_.store(true);
        });
        background_pool_ = pool;
    }

    // Cancelling calls `comp` only while the pool is open and holds items: once it
    // stops calling it, the destroy under way has closed the pool.
    void wait_until_closing(tdpool* pool) {
        for (;;) {
            comp_calls.store(0);
            ASSERT_EQ(0u, tdpool_remove_data(pool, count_only));
            if (comp_calls.load() == 0) return;
            std::this_thread::yield();
        }
    }

    static int count_only(void*, int) {
        comp_calls.fetch_add(1);
        return 0;
    }

    tdpool* pool_ = nullptr;
    tdpool* background_pool_ = nullptr;
    std::vector<std::thread> threads_;
    std::atomic<pid_t> destroyer_tid_{0};
    std::atomic<unsigned long> destroy_result_{~0ul};
    std::atomic<bool> destroy_returned_{false};
    static inline std::atomic<int> comp_calls{0};
};

TEST_F(Pool, EmptyItemReachesTheRoutineAsNullPointerAndSizeZero) {
    make(1, 4, 0, false);
    const char byte = 'x';
    ASSERT_EQ(0u, tdpool_add_data(pool_, &byte, 0));
    ASSERT_EQ(0u, destroy(1));
    auto calls = probe.calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_TRUE(calls[0].data_was_null);
    EXPECT_EQ(0, calls[0].size);
}

TEST_F(Pool, OneWorkerHandsItemsOnInTheOrderOfTheirAdds) {
    make(1, 10, 0, false);
    std::vector<std::string> sent;
    for (int i = 0; i < 200; ++i) {
        sent.push_back("item " + std::to_string(i));
        ASSERT_EQ(0u, add(sent.back()));
    }
    ASSERT_EQ(0u, destroy(1));
    EXPECT_EQ(sent, pool_probe::payloads(probe.calls()));
}

TEST_F(Pool, AddKeepsACopySoTheCallerMayReuseItsBufferAtOnce) {
    make(1, 4, 0, true);
    occupy_worker();
    char buffer[8];
    std::memcpy(buffer, "first", 6);
    ASSERT_EQ(0u, tdpool_add_data(pool_, buffer, 6));
    std::memcpy(buffer, "other", 6);
    probe.release();
    ASSERT_EQ(0u, destroy(1));
    auto calls = probe.calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(std::string("first", 6), calls[1].bytes);
}

TEST_F(Pool, RefusingPoolAnswersQueueFullAndQueuesNothing) {
    make(1, 3, 1, true);
    occupy_worker();
    for (const char* item : {"a", "b", "c"}) ASSERT_EQ(0u, add(item));
    EXPECT_EQ(QUEUE_FULL, add("refused"));
    EXPECT_EQ(QUEUE_FULL, add("refused too"));
    probe.release();
    ASSERT_EQ(0u, destroy(1));
    EXPECT_EQ((std::vector<std::string>{"held", "a", "b", "c"}), pool_probe::payloads(probe.calls()));
}

TEST_F(Pool, RefusingPoolWithFullQueueAnswersQueueFullEvenWhileClosing) {
    make(1, 2, 1, true);
    occupy_worker();
    ASSERT_EQ(0u, add("a"));
    ASSERT_EQ(0u, add("b"));
    destroy_in_background(1);
    wait_until_closing(background_pool_);
    EXPECT_EQ(QUEUE_FULL, tdpool_add_data(background_pool_, "c", 1));
    probe.release();
    threads_.back().join();
    EXPECT_EQ(0u, destroy_result_.load());
    EXPECT_EQ((std::vector<std::string>{"held", "a", "b"}), pool_probe::payloads(probe.calls()));
}

TEST_F(Pool, BlockingPoolKeepsTheProducerWaitingUntilAWorkerTakesAnItem) {
    make(1, 2, 0, true);
    occupy_worker();
    ASSERT_EQ(0u, add("a"));
    ASSERT_EQ(0u, add("b"));
    std::atomic<pid_t> producer{0};
    std::atomic<bool> returned{false};
    std::atomic<unsigned long> result{~0ul};
    threads_.emplace_back([&] {
        producer.store(pool_probe::this_thread_tid());
        result.store(tdpool_add_data(pool_, "c", 1));
        returned.store(true);
    });
    ASSERT_TRUE(pool_probe::wait_until_asleep(producer));
    EXPECT_FALSE(returned.load());
    probe.release();
    threads_.back().join();
    EXPECT_EQ(0u, result.load());
    ASSERT_EQ(0u, destroy(1));
    EXPECT_EQ((std::vector<std::string>{"held", "a", "b", "c"}), pool_probe::payloads(probe.calls()));
}

TEST_F(Pool, EveryTakeOfAOneItemPoolWakesTheWaitingProducersAndEachItemArrivesOnce) {
    make(1, 1, 0, true);
    occupy_worker();
    ASSERT_EQ(0u, add("queued"));
    constexpr int producers = 4;
    std::array<std::atomic<pid_t>, producers> tids{};
    std::array<std::atomic<unsigned long>, producers> results{};
    for (int i = 0; i < producers; ++i) {
        results[static_cast<std::size_t>(i)].store(~0ul);
        threads_.emplace_back([&, i] {
            tids[static_cast<std::size_t>(i)].store(pool_probe::this_thread_tid());
            results[static_cast<std::size_t>(i)].store(add("p" + std::to_string(i)));
        });
    }
    for (auto& tid : tids) ASSERT_TRUE(pool_probe::wait_until_asleep(tid));
    probe.release();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
    ASSERT_EQ(0u, destroy(1));
    for (auto& r : results) EXPECT_EQ(0u, r.load());
    auto got = pool_probe::payloads(probe.calls());
    std::sort(got.begin(), got.end());
    EXPECT_EQ((std::vector<std::string>{"held", "p0", "p1", "p2", "p3", "queued"}), got);
}

TEST_F(Pool, ProducerWaitingForRoomWhenDestroyBeginsLeavesWithClosing) {
    make(1, 1, 0, true);
    occupy_worker();
    ASSERT_EQ(0u, add("queued"));
    std::atomic<pid_t> producer{0};
    std::atomic<unsigned long> result{~0ul};
    threads_.emplace_back([&, pool = pool_] {
        producer.store(pool_probe::this_thread_tid());
        result.store(tdpool_add_data(pool, "waiting", 7));
    });
    ASSERT_TRUE(pool_probe::wait_until_asleep(producer));
    destroy_in_background(0);
    threads_.front().join();  // the producer: woken by the destroy, not by a take
    EXPECT_EQ(CLOSING, result.load());
    EXPECT_FALSE(destroy_returned_.load());  // the held routine call is still running
    probe.release();
    threads_.back().join();
    EXPECT_EQ(0u, destroy_result_.load());
    EXPECT_EQ((std::vector<std::string>{"held"}), pool_probe::payloads(probe.calls()));
}

TEST_F(Pool, EveryAddAfterDestroyBeganIsRefusedAsClosing) {
    make(1, 4, 0, true);
    occupy_worker();
    ASSERT_EQ(0u, add("a"));
    destroy_in_background(1);
    wait_until_closing(background_pool_);
    EXPECT_EQ(CLOSING, tdpool_add_data(background_pool_, "late", 4));
    const char nothing = 0;
    EXPECT_EQ(CLOSING, tdpool_add_data(background_pool_, &nothing, 0));
    probe.release();
    threads_.back().join();
    EXPECT_EQ(0u, destroy_result_.load());
    EXPECT_EQ((std::vector<std::string>{"held", "a"}), pool_probe::payloads(probe.calls()));
}

TEST_F(Pool, DestroyWithFinishHandsOnEveryQueuedItemAndReturnsAfterTheLastCall) {
    make(1, 8, 0, true);
    occupy_worker();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(0u, add(std::to_string(i)));
    destroy_in_background(1);
    wait_until_closing(background_pool_);
    EXPECT_FALSE(destroy_returned_.load());
    probe.release();
    threads_.back().join();
    EXPECT_EQ(0u, destroy_result_.load());
    EXPECT_EQ(6, probe.finished());
    EXPECT_EQ((std::vector<std::string>{"held", "0", "1", "2", "3", "4"}), pool_probe::payloads(probe.calls()));
}

TEST_F(Pool, DestroyWithoutFinishDropsUntakenItemsAndWaitsForTheRunningCall) {
    make(1, 8, 0, true);
    occupy_worker();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(0u, add(std::to_string(i)));
    destroy_in_background(0);
    ASSERT_TRUE(pool_probe::wait_until_asleep(destroyer_tid_));  // joining the held worker
    EXPECT_FALSE(destroy_returned_.load());
    probe.release();
    threads_.back().join();
    EXPECT_EQ(0u, destroy_result_.load());
    EXPECT_EQ(1, probe.finished());
    EXPECT_EQ((std::vector<std::string>{"held"}), pool_probe::payloads(probe.calls()));
}

TEST_F(Pool, SecondDestroyWhileTheFirstIsUnderWayReturnsAtOnceAndChangesNothing) {
    make(1, 4, 0, true);
    occupy_worker();
    ASSERT_EQ(0u, add("a"));
    destroy_in_background(1);
    wait_until_closing(background_pool_);
    EXPECT_EQ(0u, tdpool_destroy(background_pool_, 0));
    probe.release();
    threads_.back().join();
    EXPECT_EQ(0u, destroy_result_.load());
    // finish 1 of the first destroy still holds: "a" was not dropped.
    EXPECT_EQ((std::vector<std::string>{"held", "a"}), pool_probe::payloads(probe.calls()));
}

TEST_F(Pool, CancelledItemsStillCountTowardsTheLimitButNeverReachTheRoutine) {
    make(1, 3, 1, true);
    occupy_worker();
    for (const char* item : {"a", "b", "c"}) ASSERT_EQ(0u, add(item));
    EXPECT_EQ(0u, tdpool_remove_all(pool_));
    EXPECT_EQ(QUEUE_FULL, add("d"));
    destroy_in_background(1);
    wait_until_closing(background_pool_);
    probe.release();
    threads_.back().join();
    EXPECT_EQ(0u, destroy_result_.load());
    EXPECT_EQ((std::vector<std::string>{"held"}), pool_probe::payloads(probe.calls()));
}

struct Offer {
    std::string bytes;
    int size;
};
std::vector<Offer> offers;

int cancel_b_only(void* data, int size) {
    std::string bytes = size > 0 ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : "";
    offers.push_back({bytes, size});
    if (bytes == "b") return 1;
    if (bytes == "c") return 2;
    if (bytes == "d") return -1;
    return 0;
}

int record_offer(void* data, int size) {
    std::string bytes = size > 0 ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : "";
    offers.push_back({bytes, size});
    return 0;
}

TEST_F(Pool, RemoveDataCancelsOnlyWhereCompReturnsExactlyOneAndOffersCancelledItemsAgain) {
    make(1, 8, 0, true);
    occupy_worker();
    for (const char* item : {"a", "b", "c", "d"}) ASSERT_EQ(0u, add(item));
    offers.clear();
    EXPECT_EQ(0u, tdpool_remove_data(pool_, cancel_b_only));
    ASSERT_EQ(4u, offers.size());
    EXPECT_EQ("a", offers[0].bytes);
    EXPECT_EQ("d", offers[3].bytes);

    offers.clear();
    EXPECT_EQ(0u, tdpool_remove_data(pool_, record_offer));
    ASSERT_EQ(4u, offers.size());
    EXPECT_EQ((std::vector<int>{1, -1, 1, 1}),
              (std::vector<int>{offers[0].size, offers[1].size, offers[2].size, offers[3].size}));

    probe.release();
    ASSERT_EQ(0u, destroy(1));
    EXPECT_EQ((std::vector<std::string>{"held", "a", "c", "d"}), pool_probe::payloads(probe.calls()));
}

TEST_F(Pool, CancellingAnEmptyPoolReturnsZeroWithoutCallingComp) {
    make(1, 4, 0, false);
    offers.clear();
    EXPECT_EQ(0u, tdpool_remove_data(pool_, record_offer));
    EXPECT_EQ(0u, tdpool_remove_all(pool_));
    EXPECT_TRUE(offers.empty());
}

TEST_F(Pool, CancellingAClosingPoolCancelsNothingAndDoesNotCallComp) {
    make(1, 4, 0, true);
    occupy_worker();
    ASSERT_EQ(0u, add("a"));
    ASSERT_EQ(0u, add("b"));
    destroy_in_background(1);
    wait_until_closing(background_pool_);
    offers.clear();
    EXPECT_EQ(0u, tdpool_remove_data(background_pool_, cancel_b_only));
    EXPECT_EQ(0u, tdpool_remove_all(background_pool_));
    EXPECT_TRUE(offers.empty());
    probe.release();
    threads_.back().join();
    EXPECT_EQ((std::vector<std::string>{"held", "a", "b"}), pool_probe::payloads(probe.calls()));
}

TEST_F(Pool, RoutineFailingChangesNothing) {
    make(1, 2, 0, false);
    probe.set_result(-5);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(0u, add(std::to_string(i)));
    EXPECT_EQ(0u, destroy(1));
    EXPECT_EQ(6u, probe.calls().size());
}

// Every item of every producer reaches exactly one routine call.
std::array<std::atomic<int>, 8 * 3000> deliveries;

int count_delivery(void* data, int size) {
    if (size == sizeof(int)) {
        int id;
        std::memcpy(&id, data, sizeof id);
        deliveries[static_cast<std::size_t>(id)].fetch_add(1);
    }
    return 0;
}

TEST(PoolUnderLoad, ManyProducersAndWorkersDeliverEveryItemExactlyOnce) {
    constexpr int producers = 8, per_producer = 3000;
    for (auto& d : deliveries) d.store(0);
    tdpool* pool = nullptr;
    ASSERT_EQ(0u, tdpool_init(&pool, count_delivery, 4, 10, 0));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < per_producer; ++i) {
                int id = p * per_producer + i;
                if (tdpool_add_data(pool, &id, sizeof id) != 0) failures.fetch_add(1);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(0u, tdpool_destroy(pool, 1));
    EXPECT_EQ(0, failures.load());
    int wrong = 0;
    for (auto& d : deliveries)
        if (d.load() != 1) ++wrong;
    EXPECT_EQ(0, wrong);
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::strchr("()|=*+?.[]{}^$\\", c) != nullptr) out += '\\';
        out += c;
    }
    return out;
}

int ignore(void*, int) { return 0; }

TEST(PoolPreconditions, BrokenArgumentsStopTheProcessNamingTheCondition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    tdpool* pool = nullptr;
    EXPECT_DEATH(tdpool_init(&pool, ignore, 0, 1, 0), escaped("num_worker_threads > 0"));
    EXPECT_DEATH(tdpool_init(&pool, ignore, 1, 0, 0), escaped("max_queue_size > 0"));
    EXPECT_DEATH(tdpool_init(&pool, ignore, 1, 1, 2),
                 escaped("(do_not_block_when_full == 0) || (do_not_block_when_full == 1)"));
    EXPECT_DEATH(tdpool_init(nullptr, ignore, 1, 1, 0), "tpoolp");
    EXPECT_DEATH(tdpool_init(&pool, nullptr, 1, 1, 0), "routine");
    ASSERT_EQ(0u, tdpool_init(&pool, ignore, 1, 1, 0));
    EXPECT_DEATH(tdpool_add_data(pool, "x", -1), escaped("size >= 0"));
    EXPECT_DEATH(tdpool_add_data(pool, nullptr, 0), "args");
    EXPECT_DEATH(tdpool_destroy(pool, 2), escaped("finish == 0 || finish == 1"));
    EXPECT_DEATH(tdpool_remove_data(pool, nullptr), "comp");
    EXPECT_DEATH(tdpool_remove_all(nullptr), "tpool");
    EXPECT_EQ(0u, tdpool_destroy(pool, 1));
}

}  // namespace
