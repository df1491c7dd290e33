#include "tuf/memory_budget.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>

namespace tuf {

namespace {

std::optional<std::uint64_t> available_from_kernel() {
    const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    // The whole file is about 1.5 KB; MemAvailable is its third line.
    char text[4096];
    const ssize_t length = read_all(fd, text, sizeof text);
    ::close(fd);
    if (length < 0) return std::nullopt;
    return parse_mem_available(std::string_view(text, static_cast<std::size_t>(length)));
}

std::atomic<MemoryAvailableSource> source{nullptr};

}  // namespace

std::optional<std::uint64_t> parse_mem_available(std::string_view meminfo) {
    constexpr std::string_view key = "MemAvailable:";
    std::size_t at = 0;
    while (at < meminfo.size()) {
        std::size_t end = meminfo.find('\n', at);
        if (end == std::string_view::npos) end = meminfo.size();
        const std::string_view line = meminfo.substr(at, end - at);
        at = end + 1;
        if (line.substr(0, key.size()) != key) continue;
        std::size_t i = key.size();
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
}

void set_memory_available_source_for_testing(MemoryAvailableSource replacement) { source.store(replacement); }

std::uint64_t entry_memory_need(const Entry& entry) {
    std::uint64_t need = std::uint64_t{entry.record.size} + inflate_spare;
    if (entry.is_compressed()) need += entry.record.packed_size;
    return need;
}

bool entry_memory_available(const Entry& entry, const EntryBuffers& held, MemoryShortage* shortage) {
    const std::uint64_t reusable = std::uint64_t{held.output.capacity()} + held.input.capacity();
    const std::uint64_t need = entry_memory_need(entry);
    // The many small files of a package do not each cost a read of /proc/meminfo.
    if (need <= reusable || need - reusable < unchecked_need) return true;
    const MemoryAvailableSource installed = source.load();
    const std::optional<std::uint64_t> available = installed != nullptr ? installed() : available_from_kernel();
    if (!available) return true;
    if (need - reusable + memory_reserve <= *available) return true;
    if (shortage != nullptr)
        *shortage = {need, reusable + (*available > memory_reserve ? *available - memory_reserve : 0)};
    return false;
}

}  // namespace tuf
