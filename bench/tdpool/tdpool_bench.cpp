// Items per second through a one-worker pool of 10, against a plain bounded queue
// (std::mutex + std::condition_variable + std::deque, same bound, same copy per
// item) measured in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "../input/ratio_reporter.h"
#include "tdpool/tdpool.h"

namespace {

constexpr int bound = 10;
constexpr int batch = 1000;
constexpr int item_size = 16;

std::atomic<long> consumed{0};
std::atomic<long> checksum{0};

int consume(void* data, int size) {
    checksum.fetch_add(static_cast<const unsigned char*>(data)[size - 1], std::memory_order_relaxed);
    consumed.fetch_add(1, std::memory_order_release);
    return 0;
}

void wait_consumed(long total) {
    while (consumed.load(std::memory_order_acquire) < total) std::this_thread::yield();
}

void BM_PoolOneWorker(benchmark::State& state) {
    tdpool* pool = nullptr;
    if (tdpool_init(&pool, consume, 1, bound, 0) != 0) {
        state.SkipWithError("tdpool_init failed");
        return;
    }
    consumed.store(0);
    unsigned char item[item_size] = {};
    long total = 0;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            item[item_size - 1] = static_cast<unsigned char>(i);
            tdpool_add_data(pool, item, item_size);
        }
        total += batch;
        wait_consumed(total);
    }
    tdpool_destroy(pool, 1);
    state.SetItemsProcessed(total);
}
BENCHMARK(BM_PoolOneWorker)->UseRealTime()->MinTime(0.5)->Repetitions(5);

// The baseline: the same hand-off written with the standard library.
class BoundedQueue {
public:
    void push(const void* data, int size) {
        std::vector<unsigned char> copy(static_cast<const unsigned char*>(data),
                                        static_cast<const unsigned char*>(data) + size);
        std::unique_lock lock(mutex_);
        not_full_.wait(lock, [&] { return items_.size() < bound; });
        items_.push_back(std::move(copy));
        not_empty_.notify_one();
    }
    bool pop(std::vector<unsigned char>& out) {
        std::unique_lock lock(mutex_);
        not_empty_.wait(lock, [&] { return !items_.empty() || stopping_; });
        if (items_.empty()) return false;
        out = std::move(items_.front());
        items_.pop_front();
        not_full_.notify_all();
        return true;
    }
    void stop() {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        not_empty_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable not_empty_, not_full_;
    std::deque<std::vector<unsigned char>> items_;
    bool stopping_ = false;
};

void BM_BaselineMutexConditionDeque(benchmark::State& state) {
    BoundedQueue queue;
    consumed.store(0);
    std::thread worker([&] {
        std::vector<unsigned char> item;
        while (queue.pop(item)) consume(item.data(), static_cast<int>(item.size()));
    });
    unsigned char item[item_size] = {};
    long total = 0;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            item[item_size - 1] = static_cast<unsigned char>(i);
            queue.push(item, item_size);
        }
        total += batch;
        wait_consumed(total);
    }
    queue.stop();
    worker.join();
    state.SetItemsProcessed(total);
}
BENCHMARK(BM_BaselineMutexConditionDeque)->UseRealTime()->MinTime(0.5)->Repetitions(5);

// Batches through the pool and through the baseline in turns, both hand-offs
// alive at once (the idle one sleeps): each pair of batches meets the same load
// on a shared machine. Reports the median of (baseline time / pool time).
void BM_PoolOverBaselineInTurns(benchmark::State& state) {
    tdpool* pool = nullptr;
    if (tdpool_init(&pool, consume, 1, bound, 0) != 0) {
        state.SkipWithError("tdpool_init failed");
        return;
    }
    BoundedQueue queue;
    consumed.store(0);
    std::thread worker([&] {
        std::vector<unsigned char> item;
        while (queue.pop(item)) consume(item.data(), static_cast<int>(item.size()));
    });
    unsigned char item[item_size] = {};
    long total = 0;
    std::vector<double> ratios;
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < batch; ++i) tdpool_add_data(pool, item, item_size);
        total += batch;
        wait_consumed(total);
        const auto t1 = Clock::now();
        for (int i = 0; i < batch; ++i) queue.push(item, item_size);
        total += batch;
        wait_consumed(total);
        const auto t2 = Clock::now();
        ratios.push_back(std::chrono::duration<double>(t2 - t1).count() /
                         std::chrono::duration<double>(t1 - t0).count());
    }
    queue.stop();
    worker.join();
    tdpool_destroy(pool, 1);
    std::sort(ratios.begin(), ratios.end());
    state.counters["ratio"] = ratios.empty() ? 0.0 : ratios[ratios.size() / 2];
    state.SetItemsProcessed(total);
}
BENCHMARK(BM_PoolOverBaselineInTurns)->UseRealTime()->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bench::RatioReporter::print_ratio("pool items/s vs mutex+cv+deque (medians of the separate runs)",
                                      reporter.value("BM_PoolOneWorker", "items_per_second"),
                                      reporter.value("BM_BaselineMutexConditionDeque", "items_per_second"),
                                      0.8);
    const double in_turns = reporter.value("BM_PoolOverBaselineInTurns", "ratio");
    if (in_turns > 0)
        std::printf("pool speed / mutex+cv+deque speed, batches in turns: %.2fx (target >= 0.80x) %s\n", in_turns,
                    in_turns >= 0.8 ? "ok" : "BELOW TARGET");
    benchmark::Shutdown();
    return 0;
}
