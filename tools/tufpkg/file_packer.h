// The packing of tufpkg create: files read and compressed by a pool of workers,
// handed to the writer in the package's order. What a file becomes depends only
// on its bytes and the level, never on the number of workers, so every run of the
// same tree gives the same package.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct libdeflate_compressor;

namespace tufpkg {

struct Item {
    std::string name;  // entry name: "/" + relative path
    std::string path;  // where it is on this machine
    bool directory;
    std::uint64_t size;
};

struct PackOptions {
    int level = 7;
    bool store = false;        // every file as is
    bool dereference = false;  // a file may have become a symbolic link since the walk: follow it
    unsigned jobs = 1;
};

// A file ready for the package: its data as it goes after the record.
struct PackedFile {
    std::string error;  // the file could not be packed; the package must not be written
    bool compressed = false;
    std::unique_ptr<unsigned char[]> data;
    std::size_t length = 0;
};

class FilePacker {
public:
    FilePacker(const std::vector<Item>& items, const PackOptions& options);
    FilePacker(const FilePacker&) = delete;
    FilePacker& operator=(const FilePacker&) = delete;
    ~FilePacker();

    // Waits up to `patience` for item `index` (taken in increasing order); true
    // when it is there, in `packed`. The writer takes each item once and gives its
    // memory back by dropping it.
    bool take(std::size_t index, std::chrono::milliseconds patience, PackedFile& packed);

private:
    void work();
    PackedFile pack(const Item& item, libdeflate_compressor* compressor) const;

    const std::vector<Item>& items_;
    const PackOptions options_;
    std::mutex mutex_;
    std::condition_variable admitted_;  // room for more data in memory
    std::condition_variable finished_;  // an item is packed
    std::vector<PackedFile> results_;
    std::vector<bool> ready_;
    std::size_t next_ = 0;             // next item to hand to a worker
    std::uint64_t bytes_held_ = 0;     // sizes of the items handed out and not yet taken
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// Bytes of file data the workers may hold at once; one file larger than this is
// still packed, alone.
inline constexpr std::uint64_t packing_memory = std::uint64_t{256} << 20;

}  // namespace tufpkg
