// Parser throughput on a stream of key sentences against a plain XOR loop over the
// same bytes (the floor), and the key latency from the controller's write of a
// key sentence to the key handler's call.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "input/t4170input.h"
#include "input/tparser.h"
#include "ratio_reporter.h"
#include "sim/fake_controller.h"
#include "sim/key_controller.h"

namespace {

const std::string& key_stream() {
    static const std::string stream = [] {
        std::string s;
        for (int i = 0; s.size() < (1u << 20); ++i) s += sim::KeyController::key_sentence(i % 4 + 1);
        return s;
    }();
    return stream;
}

long sentences_seen = 0;

int count_sentence(BYTE*, BYTE* data) {
    sentences_seen += data[3];
    return 0;
}

void BM_ParserKeySentences(benchmark::State& state) {
    const std::string& stream = key_stream();
    tparser_t parser;
    tparser_init(&parser, count_sentence);
    for (auto _ : state) {
        tparser_parser(&parser, reinterpret_cast<const BYTE*>(stream.data()), static_cast<int>(stream.size()));
        benchmark::DoNotOptimize(sentences_seen);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_ParserKeySentences)->Repetitions(7);

void BM_XorFloor(benchmark::State& state) {
    const std::string& stream = key_stream();
    for (auto _ : state) {
        unsigned char x = 0;
        for (char c : stream) {
            x = static_cast<unsigned char>(x ^ static_cast<unsigned char>(c));
            benchmark::DoNotOptimize(x);  // a byte loop, as the parser's is: no vectorising
        }
        benchmark::DoNotOptimize(x);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_XorFloor)->Repetitions(7);

double thread_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The two loops taken in turns over the same buffer, each pass timed on this
// thread's CPU clock: the ratio of each pair is immune to load that comes and
// goes on a shared machine. Reports the median ratio of the pairs.
void BM_ParserOverXorInTurns(benchmark::State& state) {
    const std::string& stream = key_stream();
    const auto* bytes = reinterpret_cast<const BYTE*>(stream.data());
    tparser_t parser;
    tparser_init(&parser, count_sentence);
    std::vector<double> ratios;
    for (auto _ : state) {
        double t0 = thread_seconds();
        tparser_parser(&parser, bytes, static_cast<int>(stream.size()));
        benchmark::DoNotOptimize(sentences_seen);
        double t1 = thread_seconds();
        unsigned char x = 0;
        for (char c : stream) {
            x = static_cast<unsigned char>(x ^ static_cast<unsigned char>(c));
            benchmark::DoNotOptimize(x);
        }
        benchmark::DoNotOptimize(x);
        double t2 = thread_seconds();
        if (t1 > t0 && t2 > t1) ratios.push_back((t2 - t1) / (t1 - t0));
    }
    std::sort(ratios.begin(), ratios.end());
    state.counters["ratio"] = ratios.empty() ? 0.0 : ratios[ratios.size() / 2];
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_ParserOverXorInTurns)->MinTime(2.0);

using Clock = std::chrono::steady_clock;
std::atomic<int> handled{0};
std::atomic<Clock::rep> handled_at{0};

void timestamp_key(int) {
    handled_at.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    handled.fetch_add(1, std::memory_order_release);
    handled.notify_one();
}

void BM_KeyLatency(benchmark::State& state) {
    constexpr int keys = 10000;
    std::vector<double> micros;
    micros.reserve(keys);
    for (auto _ : state) {
        sim::FakeController controller;
        if (InputInit() != 0) {
            state.SkipWithError("InputInit failed");
            return;
        }
        InputSetHandler(timestamp_key);
        handled.store(0);
        for (int i = 0; i < keys; ++i) {
            const std::string sentence = sim::KeyController::key_sentence(i % 4 + 1);
            const Clock::time_point sent = Clock::now();
            controller.feed(sentence);
            int seen;
            while ((seen = handled.load(std::memory_order_acquire)) <= i) handled.wait(seen);
            const auto at = Clock::time_point(Clock::duration(handled_at.load(std::memory_order_relaxed)));
            micros.push_back(std::chrono::duration<double, std::micro>(at - sent).count());
        }
        InputEnd();
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["keys"] = static_cast<double>(micros.size());
}
BENCHMARK(BM_KeyLatency)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bench::RatioReporter::print_ratio("parser MB/s vs XOR byte loop (medians of the separate runs)",
                                      reporter.value("BM_ParserKeySentences", "bytes_per_second"),
                                      reporter.value("BM_XorFloor", "bytes_per_second"), 0.5);
    const double in_turns = reporter.value("BM_ParserOverXorInTurns", "ratio");
    if (in_turns > 0)
        std::printf("parser speed / XOR byte loop speed, passes in turns on the thread's CPU clock: %.2fx "
                    "(target >= 0.50x) %s\n",
                    in_turns, in_turns >= 0.5 ? "ok" : "BELOW TARGET");
    const double median = reporter.value("BM_KeyLatency", "median_us");
    const double p99 = reporter.value("BM_KeyLatency", "p99_us");
    if (median > 0)
        std::printf("key latency over 10000 keys: median %.1f us, p99 %.1f us (target median < 200 us) %s\n",
                    median, p99, median < 200.0 ? "ok" : "ABOVE TARGET");
    benchmark::Shutdown();
    return 0;
}
