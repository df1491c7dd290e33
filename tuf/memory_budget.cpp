#include "tuf/memory_budget.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>

namespace tuf {

namespace {

std::optional<std::uint64_t> available_from_kernel() {
    const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    // The whole file is about 1.5 KB.
    char text[4096];
    const ssize_t length = read_all(fd, text, sizeof text);
    ::close(fd);
    if (length < 0) return std::nullopt;
    return parse_mem_available(std::string_view(text, static_cast<std::size_t>(length)));
}

std::atomic<MemoryAvailableSource> source{nullptr};

}  // namespace

std::optional<std::uint64_t> parse_mem_available(std::string_view meminfo) {
    // The value of one "Key:   N kB" line, in bytes.
    const auto field = [meminfo](std::string_view key) -> std::optional<std::uint64_t> {
        std::size_t at = 0;
        while (at < meminfo.size()) {
            std::size_t end = meminfo.find('\n', at);
            if (end == std::string_view::npos) end = meminfo.size();
            const std::string_view line = meminfo.substr(at, end - at);
            at = end + 1;
            if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ':') continue;
            std::size_t i = key.size() + 1;
            while (i < line.size() && line[i] == ' ') ++i;
            if (i == line.size() || line[i] < '0' || line[i] > '9') return std::nullopt;
            std::uint64_t kib = 0;
            for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
                if (kib > (UINT64_MAX >> 10) / 10) return std::nullopt;
                kib = kib * 10 + static_cast<std::uint64_t>(line[i] - '0');
            }
            if (line.substr(i) != " kB") return std::nullopt;
            return kib << 10;
        }
        return std::nullopt;
    };
    if (const auto available = field("MemAvailable")) return available;
    const auto free = field("MemFree");
    const auto buffers = field("Buffers");
    const auto cached = field("Cached");
    if (!free || !buffers || !cached) return std::nullopt;
    const std::uint64_t estimate = *free + *buffers + *cached;
    const std::uint64_t shared = field("Shmem").value_or(0);
    return estimate > shared ? estimate - shared : 0;
}

void set_memory_available_source_for_testing(MemoryAvailableSource replacement) { source.store(replacement); }

std::uint64_t one_pass_need(const Entry& entry) {
    return std::uint64_t{entry.record.size} + inflate_spare + entry.record.packed_size;
}

bool fits_in_one_pass(const Entry& entry, const EntryBuffers& held) {
    const std::uint64_t reusable = std::uint64_t{held.output.capacity()} + held.input.capacity();
    const std::uint64_t need = one_pass_need(entry);
    // The many small files of a package do not each cost a read of /proc/meminfo.
    if (need <= reusable || need - reusable < unchecked_need) return true;
    const MemoryAvailableSource installed = source.load();
    const std::optional<std::uint64_t> available = installed != nullptr ? installed() : available_from_kernel();
    if (!available || *available <= memory_reserve) return false;
    return need - reusable <= (*available - memory_reserve) / 2;
}

}  // namespace tuf
