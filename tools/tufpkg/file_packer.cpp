#include "file_packer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libdeflate.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "tool_support.h"
#include "tuf/package_reader.h"

namespace tufpkg {

namespace {

// Data that does not shrink is found from samples before the whole file is
// compressed in vain: a file of at least `sampled_from` bytes whose samples at
// its start, middle and end all fail to save 1/32 of their size is stored.
constexpr std::size_t sample_size = std::size_t{64} << 10;
constexpr std::size_t sampled_from = std::size_t{1} << 20;

bool incompressible(libdeflate_compressor* compressor, const unsigned char* data, std::size_t size,
                    unsigned char* scratch) {
    if (size < sampled_from) return false;
    const std::size_t starts[] = {0, size / 2 - sample_size / 2, size - sample_size};
    for (const std::size_t start : starts)
        if (::libdeflate_zlib_compress(compressor, data + start, sample_size, scratch,
                                       sample_size - sample_size / 32) != 0)
            return false;
    return true;
}

}  // namespace

FilePacker::FilePacker(const std::vector<Item>& items, const PackOptions& options)
    : items_(items), options_(options), results_(items.size()), ready_(items.size(), false) {
    const unsigned jobs = std::max(1u, options.jobs);
    for (unsigned i = 0; i < jobs; ++i) workers_.emplace_back([this] { work(); });
}

FilePacker::~FilePacker() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    admitted_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

bool FilePacker::take(std::size_t index, std::chrono::milliseconds patience, PackedFile& packed) {
    std::unique_lock lock(mutex_);
    if (!finished_.wait_for(lock, patience, [&] { return ready_[index]; })) return false;
    packed = std::move(results_[index]);
    bytes_held_ -= items_[index].size;
    lock.unlock();
    admitted_.notify_all();
    return true;
}

void FilePacker::work() {
    libdeflate_compressor* compressor = options_.store ? nullptr : ::libdeflate_alloc_compressor(options_.level);
    for (;;) {
        std::size_t index = 0;
        {
            std::unique_lock lock(mutex_);
            admitted_.wait(lock, [&] {
                return stopping_ || next_ >= items_.size() || bytes_held_ == 0 ||
                       bytes_held_ + items_[next_].size <= packing_memory;
            });
            if (stopping_ || next_ >= items_.size()) break;
            index = next_++;
            bytes_held_ += items_[index].size;
        }
        PackedFile packed;
        if (!options_.store && compressor == nullptr)
            packed.error = "out of memory for the compressor";
        else
            packed = pack(items_[index], compressor);
        {
            const std::lock_guard lock(mutex_);
            results_[index] = std::move(packed);
            ready_[index] = true;
        }
        finished_.notify_all();
    }
    if (compressor != nullptr) ::libdeflate_free_compressor(compressor);
}

PackedFile FilePacker::pack(const Item& item, libdeflate_compressor* compressor) const {
    PackedFile packed;
    if (item.directory) return packed;
    const std::string path = printable(item.path);
    // Not blocking: something put at the name since the walk (a FIFO) must not hang the run.
    const Descriptor fd(::open(item.path.c_str(),
                               O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (options_.dereference ? 0 : O_NOFOLLOW)));
    struct stat status {};
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0) {
        packed.error = path + ": " + std::strerror(errno);
        return packed;
    }
    if (!S_ISREG(status.st_mode)) {
        packed.error = path + ": no longer a regular file";
        return packed;
    }
    const auto size = static_cast<std::size_t>(item.size);
    try {
        packed.data = std::make_unique_for_overwrite<unsigned char[]>(size == 0 ? 1 : size);
        const ssize_t got = tuf::read_all(fd.get(), packed.data.get(), size);
        if (got < 0) {
            packed.error = path + ": " + std::strerror(errno);
            return packed;
        }
        unsigned char more = 0;
        if (static_cast<std::size_t>(got) != size || tuf::read_all(fd.get(), &more, 1) != 0) {
            packed.error = path + ": changed size while being packed (" + std::to_string(size) +
                           " bytes when its folder was read)";
            return packed;
        }
        packed.length = size;
        if (options_.store || size < 2) return packed;
        auto out = std::make_unique_for_overwrite<unsigned char[]>(size);
        if (incompressible(compressor, packed.data.get(), size, out.get())) return packed;
        const std::size_t length = ::libdeflate_zlib_compress(compressor, packed.data.get(), size, out.get(), size - 1);
        if (length == 0) return packed;
        packed.data = std::move(out);
        packed.length = length;
        packed.compressed = true;
    } catch (const std::bad_alloc&) {
        packed.error = path + ": out of memory for its " + std::to_string(size) + " bytes";
    }
    return packed;
}

}  // namespace tufpkg
