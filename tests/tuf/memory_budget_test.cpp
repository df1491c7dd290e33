#include "tuf/memory_budget.h"

#include <gtest/gtest.h>

namespace {

TEST(MemoryBudget, MemAvailableIsReadInKibibytesOrEstimatedOnOldKernels) {
    const char* meminfo =
        "MemTotal:         118068 kB\nMemFree:           84700 kB\nMemAvailable:      91236 kB\nBuffers: 0 kB\n";
    EXPECT_EQ(tuf::parse_mem_available(meminfo), std::uint64_t{91236} * 1024);
    // Before Linux 3.14: free memory and the page cache that can be dropped.
    EXPECT_EQ(tuf::parse_mem_available("MemFree: 50000 kB\nBuffers: 1000 kB\nCached: 20000 kB\nShmem: 3000 kB\n"),
              std::uint64_t{68000} * 1024);
    EXPECT_EQ(tuf::parse_mem_available("MemTotal: 118068 kB\nMemFree: 84700 kB\n"), std::nullopt);
    EXPECT_EQ(tuf::parse_mem_available("MemAvailable: lots\n"), std::nullopt);
}

std::optional<std::uint64_t> fourteen_mib() { return std::uint64_t{14} << 20; }

tuf::Entry compressed_entry(std::uint32_t one_pass_need) {
    tuf::Entry entry;
    entry.record.type = 1;
    entry.record.compressed = 1;
    entry.record.size = one_pass_need - 512;
    return entry;
}

TEST(MemoryBudget, OnePassTakesAtMostHalfOfWhatCanBeHadAndHeldBuffersCount) {
    tuf::set_memory_available_source_for_testing(fourteen_mib);
    const tuf::Entry entry = compressed_entry(std::uint32_t{8} << 20);
    tuf::EntryBuffers held;
    EXPECT_FALSE(tuf::fits_in_one_pass(entry, held));  // 8 MiB > (14 MiB - the reserve) / 2
    ASSERT_TRUE(held.output.reserve(std::size_t{3} << 20));
    EXPECT_TRUE(tuf::fits_in_one_pass(entry, held));  // 5 MiB more
    tuf::set_memory_available_source_for_testing(nullptr);
}

std::optional<std::uint64_t> nothing_left() { return std::uint64_t{0}; }
std::optional<std::uint64_t> unknown() { return std::nullopt; }

TEST(MemoryBudget, SmallNeedsAreNotCheckedAndUnknownMemoryMeansStreaming) {
    tuf::Entry entry = compressed_entry((std::uint32_t{1} << 20) - 1);
    const tuf::EntryBuffers held;
    for (const auto source : {nothing_left, unknown}) {
        tuf::set_memory_available_source_for_testing(source);
        entry.record.size = (std::uint32_t{1} << 20) - 513;
        EXPECT_TRUE(tuf::fits_in_one_pass(entry, held));
        entry.record.size += 1;
        EXPECT_FALSE(tuf::fits_in_one_pass(entry, held));
    }
    tuf::set_memory_available_source_for_testing(nullptr);
}

}  // namespace
