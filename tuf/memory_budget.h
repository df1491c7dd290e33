// Whether a compressed file may be inflated in one pass, its whole content held in
// memory. Under Linux's overcommit a large buffer is granted whether or not the kernel
// can back it; the shortage shows only when the pages are touched, and then the
// out-of-memory killer ends the program in the middle of an apply. So the whole-file
// buffers are taken only when they fit comfortably in the memory the device has; any
// other file is streamed in pieces of fixed size.
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
// Below this much new memory an entry is inflated in one pass without asking.
inline constexpr std::uint64_t unchecked_need = std::uint64_t{1} << 20;

// The memory the system can give, in bytes, from a /proc/meminfo text: MemAvailable, or
// on kernels before 3.14, which do not have it, MemFree + Buffers + Cached less Shmem
// (page cache that cannot be dropped). Nothing when neither can be read.
std::optional<std::uint64_t> parse_mem_available(std::string_view meminfo);

// Where the available memory is read; tests install their own. Nothing: unknown.
using MemoryAvailableSource = std::optional<std::uint64_t> (*)();
// Null puts back the kernel's figure (/proc/meminfo).
void set_memory_available_source_for_testing(MemoryAvailableSource source);

// Bytes the entry's one-pass inflation takes: the output buffer (size + spare capacity)
// and the input buffer.
std::uint64_t one_pass_need(const Entry& entry);

// True when the one-pass buffers of a compressed entry, beyond those already held (which
// are reused or given back first), take at most half of what the system can give after
// `memory_reserve`. False when the available memory is unknown, unless the new need is
// below `unchecked_need`.
bool fits_in_one_pass(const Entry& entry, const EntryBuffers& held);

}  // namespace tuf
