// Micro-benchmarks of the entry reader: the walk over many small entries and the
// loading of one large entry, stored and compressed.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "tuf/package_reader.h"

namespace {

std::string record(const std::string& name, std::uint8_t compressed, std::uint32_t size, std::uint32_t packed) {
    std::string raw(tuf::record_size, '\0');
    raw.replace(0, name.size(), name);
    raw[130] = 1;
    raw[131] = static_cast<char>(compressed);
    tuf::store_le32(reinterpret_cast<unsigned char*>(raw.data()) + 132, size);
    tuf::store_le32(reinterpret_cast<unsigned char*>(raw.data()) + 136, packed);
    return raw;
}

std::string header() {
    std::string raw(tuf::header_size, '\0');
    raw.replace(0, 3, "TUF");
    tuf::store_le32(reinterpret_cast<unsigned char*>(raw.data()) + 4, 160);
    return raw;
}

// A package file in /tmp that lives as long as the benchmark.
class ScratchPackage {
public:
    explicit ScratchPackage(const std::string& bytes) {
        path_ = "/tmp/tuf-benchmark-XXXXXX";
        const int fd = ::mkstemp(path_.data());
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
        ::close(fd);
    }
    ~ScratchPackage() { ::unlink(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

std::string text(std::size_t size) {
    std::string out;
    for (std::size_t line = 0; out.size() < size; ++line) out += "sector " + std::to_string(line % 977) + " road tile\n";
    out.resize(size);
    return out;
}

void walk(benchmark::State& state) {
    std::string bytes = header();
    const std::string data(4096, 'd');
    for (int i = 0; i < 4000; ++i) bytes += record("/f" + std::to_string(i), 0, 4096, 0) + data;
    const ScratchPackage package(bytes);
    for (auto _ : state) {
        tuf::PackageReader reader;
        reader.open(package.path());
        reader.seek(160);
        tuf::Entry entry;
        tuf::EntryBuffers buffers;
        tuf::BufferSink content;
        std::size_t entries = 0;
        while (tuf::next_entry(reader, entry).step == tuf::WalkStep::entry) {
            tuf::copy_file_data(reader, entry, buffers, content);
            tuf::finish_entry(reader, entry);
            ++entries;
        }
        benchmark::DoNotOptimize(entries);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(walk)->Name("walk 4000 stored entries of 4 KiB");

void load_large(benchmark::State& state) {
    const bool compressed = state.range(0) != 0;
    const std::string content = text(std::size_t{32} << 20);
    std::string data = content;
    if (compressed) {
        uLongf length = compressBound(static_cast<uLong>(content.size()));
        data.resize(length);
        compress2(reinterpret_cast<Bytef*>(data.data()), &length, reinterpret_cast<const Bytef*>(content.data()),
                  static_cast<uLong>(content.size()), 6);
        data.resize(length);
    }
    const ScratchPackage package(header() +
                                 record("/big", compressed ? 1 : 0, static_cast<std::uint32_t>(content.size()),
                                        static_cast<std::uint32_t>(data.size())) +
                                 data);
    for (auto _ : state) {
        tuf::PackageReader reader;
        reader.open(package.path());
        reader.seek(160);
        tuf::Entry entry;
        tuf::next_entry(reader, entry);
        tuf::EntryBuffers buffers;
        tuf::BufferSink loaded;
        loaded.bytes.reserve(content.size());
        if (tuf::copy_file_data(reader, entry, buffers, loaded, tuf::Inflation::one_pass) != 0)
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(loaded.bytes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(content.size()));
}
BENCHMARK(load_large)->Name("load one 32 MiB entry (0 stored, 1 compressed)")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
