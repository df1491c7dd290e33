// Helper of bench/tuf/run.sh:
//   tuf_bench_tool measure CMD ARGS...   run CMD with its standard output discarded, print
//                                        "SECONDS PEAK_KIB" (wall time, ru_maxrss)
//   tuf_bench_tool extract PKG ROOT      tuf_extract(PKG, ROOT)
//   tuf_bench_tool extract-streamed PKG ROOT   the same where the memory cannot be told, so every
//                                        compressed file of 1 MiB and more is streamed
//   tuf_bench_tool floor PKG ROOT        the least an extraction must do: read the package whole,
//                                        one inflation per compressed file, one write per file,
//                                        one syncfs at the end
//   tuf_bench_tool text FILE SIZE [SEED] compressible text-like data
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tuf/memory_budget.h"
#include "tuf/package_reader.h"
#include "tuf/ttuf.h"

namespace {

int measure(char** command) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int null_device = ::open("/dev/null", O_WRONLY);
        if (null_device < 0 || ::dup2(null_device, STDOUT_FILENO) < 0) ::_exit(127);
        ::execvp(command[0], command);
        std::perror(command[0]);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%.4f %ld\n", elapsed.count(), usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

bool write_file(const std::string& path, const unsigned char* data, std::size_t length) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool written = tuf::write_all(fd, data, length);
    ::close(fd);
    return written;
}

int floor_extract(const char* package_path, const std::string& root) {
    const int fd = ::open(package_path, O_RDONLY);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) return 1;
    const auto size = static_cast<std::size_t>(status.st_size);
    tuf::EntryBuffer package;
    tuf::EntryBuffer output;
    tuf::Inflater inflater;
    if (!package.reserve(size)) return 1;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, package.data() + done, size - done);
        if (got <= 0) return 1;
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    std::size_t position = tuf::load_le32(package.data() + 4);
    while (position + tuf::record_size <= size) {
        unsigned char raw[tuf::record_size];
        std::memcpy(raw, package.data() + position, sizeof raw);
        ENTRYTUFFILE record;
        tuf::decode_record(raw, record);
        position += tuf::record_size;
        const std::string target = root + std::string(tuf::field_text(record.name, sizeof record.name));
        if (record.type == 0) {
            ::mkdir(target.c_str(), 0777);
            continue;
        }
        if (record.compressed == 1 && record.size > 0) {
            if (!output.reserve(std::size_t{record.size} + tuf::inflate_spare)) return 1;
            std::size_t length = 0;
            if (inflater.inflate(package.data() + position, record.packed_size, output.data(),
                                 std::size_t{record.size} + tuf::inflate_spare, length) != tuf::Inflater::Result::ok)
                return 1;
            if (!write_file(target, output.data(), length)) return 1;
            position += record.packed_size;
        } else {
            if (!write_file(target, package.data() + position, record.size)) return 1;
            position += record.size;
        }
        position += record.skip;
    }
    const int folder = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    const bool synced = folder >= 0 && ::syncfs(folder) == 0;
    if (folder >= 0) ::close(folder);
    return synced ? 0 : 1;
}

std::optional<std::uint64_t> unknown_memory() { return std::nullopt; }

// Words, numbers and line ends in proportions that deflate to about a third.
int text(const char* path, std::size_t size, unsigned seed) {
    static const char* const words[] = {"sector", "road", "tile", "index", "north", "south", "east", "west",
                                        "bridge", "river", "height", "map", "layer", "point", "route", "node"};
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return 1;
    std::string line;
    std::size_t written = 0;
    std::uint32_t state = seed;
    while (written < size) {
        line.clear();
        for (int word = 0; word < 8; ++word) {
            state = state * 1103515245u + 12345u;
            line += words[(state >> 16) % 16];
            line += ' ';
            if (word % 3 == 0) line += std::to_string((state >> 8) % 1000) + ' ';
        }
        line += '\n';
        const std::size_t part = std::min(line.size(), size - written);
        std::fwrite(line.data(), 1, part, out);
        written += part;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "measure" && argc > 2) return measure(argv + 2);
    if (mode == "extract" && argc == 4) return tuf_extract(argv[2], argv[3]) == 0 ? 0 : 1;
    if (mode == "extract-streamed" && argc == 4) {
        tuf::set_memory_available_source_for_testing(unknown_memory);
        return tuf_extract(argv[2], argv[3]) == 0 ? 0 : 1;
    }
    if (mode == "floor" && argc == 4) return floor_extract(argv[2], argv[3]);
    if (mode == "text" && argc >= 4)
        return text(argv[2], std::strtoull(argv[3], nullptr, 10),
                    argc > 4 ? static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)) : 1u);
    std::fprintf(stderr, "usage: %s measure CMD... | extract[-streamed] PKG ROOT | floor PKG ROOT | text FILE SIZE [SEED]\n",
                 argv[0]);
    return 2;
}
