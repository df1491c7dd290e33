// Whether the device can really give the memory an entry's data needs. Under Linux's
// overcommit a large malloc or mmap succeeds whether or not the kernel can back it; the
// shortage shows only when the pages are touched, and then the kernel's out-of-memory
// killer ends the program in the middle of an apply. The extraction asks here first, so
// a file that cannot fit ends it with code 6 before anything of that file is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "tuf/package_reader.h"

namespace tuf {

// Memory left to the system beyond an entry's buffers: the kernel, the page cache of the
// package being read and of the files being written, the program's other threads.
inline constexpr std::uint64_t memory_reserve = std::uint64_t{4} << 20;
// Below this much new memory an entry is not checked.
inline constexpr std::uint64_t unchecked_need = std::uint64_t{1} << 20;

// MemAvailable of a /proc/meminfo text, in bytes; nothing when the text has no such line
// (kernels before 3.14).
std::optional<std::uint64_t> parse_mem_available(std::string_view meminfo);

// Where the available memory is read; tests install their own. Nothing: unknown.
using MemoryAvailableSource = std::optional<std::uint64_t> (*)();
// Null puts back the kernel's figure (/proc/meminfo).
void set_memory_available_source_for_testing(MemoryAvailableSource source);

// Bytes the entry's data takes: the output buffer (size + spare capacity) and, for a
// compressed entry, the input buffer.
std::uint64_t entry_memory_need(const Entry& entry);

// True when the system can give what the entry needs beyond the buffers already held (which
// are reused or given back first), keeping `memory_reserve` for everything else. Where the
// available memory is unknown, or the new need is below `unchecked_need`, the answer is
// true: the allocation itself decides.
// When the answer is false, `shortage` (if given) says what the entry needs and what it
// could have had: the buffers held plus what the system gives beyond its reserve.
struct MemoryShortage {
    std::uint64_t need = 0;
    std::uint64_t obtainable = 0;
};
bool entry_memory_available(const Entry& entry, const EntryBuffers& held, MemoryShortage* shortage = nullptr);

}  // namespace tuf
