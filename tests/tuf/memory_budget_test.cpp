#include "tuf/memory_budget.h"

#include <gtest/gtest.h>

namespace {

TEST(MemoryBudget, MemAvailableIsReadInKibibytes) {
    const char* meminfo =
        "MemTotal:         118068 kB\nMemFree:           84700 kB\nMemAvailable:      91236 kB\nBuffers: 0 kB\n";
    EXPECT_EQ(tuf::parse_mem_available(meminfo), std::uint64_t{91236} * 1024);
    EXPECT_EQ(tuf::parse_mem_available("MemTotal: 118068 kB\nMemFree: 84700 kB\n"), std::nullopt);
    EXPECT_EQ(tuf::parse_mem_available("MemAvailable: lots\n"), std::nullopt);
}

std::optional<std::uint64_t> ten_mib() { return std::uint64_t{10} << 20; }

TEST(MemoryBudget, BuffersAlreadyHeldCountAsAvailable) {
    tuf::set_memory_available_source_for_testing(ten_mib);
    tuf::Entry entry;
    entry.record.type = 1;
    entry.record.size = (std::uint32_t{8} << 20) - 512;  // 8 MiB with the spare capacity
    tuf::EntryBuffers held;
    EXPECT_FALSE(tuf::entry_memory_available(entry, held));  // 8 MiB + the reserve > 10 MiB
    ASSERT_TRUE(held.output.reserve(std::size_t{3} << 20));
    EXPECT_TRUE(tuf::entry_memory_available(entry, held));  // 5 MiB more + the reserve
    tuf::set_memory_available_source_for_testing(nullptr);
}

std::optional<std::uint64_t> nothing_left() { return std::uint64_t{0}; }

TEST(MemoryBudget, EntriesNeedingLessThanOneMebibyteAreNotChecked) {
    tuf::set_memory_available_source_for_testing(nothing_left);
    tuf::Entry entry;
    entry.record.type = 1;
    entry.record.size = (std::uint32_t{1} << 20) - 513;
    const tuf::EntryBuffers held;
    EXPECT_TRUE(tuf::entry_memory_available(entry, held));
    entry.record.size += 1;
    EXPECT_FALSE(tuf::entry_memory_available(entry, held));
    tuf::set_memory_available_source_for_testing(nullptr);
}

}  // namespace
