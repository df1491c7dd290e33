#include "tuf/package_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tuf/memory_budget.h"

namespace tuf {

namespace {

std::atomic<std::size_t> buffer_limit{static_cast<std::size_t>(-1)};

constexpr std::size_t page_size = 4096;
constexpr std::size_t huge_page_size = std::size_t{2} << 20;

std::size_t round_up(std::size_t value, std::size_t unit) { return (value + unit - 1) / unit * unit; }

void copy_bytes(char* field, const unsigned char* raw, std::size_t width) { std::memcpy(field, raw, width); }

}  // namespace

void set_buffer_limit_for_testing(std::size_t limit) { buffer_limit.store(limit); }

void decode_header(const unsigned char (&raw)[header_size], HEADTUFFILE& header) {
    copy_bytes(header.magic, raw, 4);
    header.data_offset = load_le32(raw + 4);
    copy_bytes(header.id, raw + 8, sizeof header.id);
    copy_bytes(header.version, raw + 16, sizeof header.version);
    copy_bytes(header.command, raw + 32, sizeof header.command);
}

void encode_header(const HEADTUFFILE& header, unsigned char (&raw)[header_size]) {
    std::memcpy(raw, header.magic, 4);
    store_le32(raw + 4, header.data_offset);
    std::memcpy(raw + 8, header.id, sizeof header.id);
    std::memcpy(raw + 16, header.version, sizeof header.version);
    std::memcpy(raw + 32, header.command, sizeof header.command);
}

void decode_record(const unsigned char (&raw)[record_size], ENTRYTUFFILE& record) {
    copy_bytes(record.name, raw, sizeof record.name);
    record.type = raw[130];
    record.compressed = raw[131];
    record.size = load_le32(raw + 132);
    record.packed_size = load_le32(raw + 136);
    record.skip = load_le32(raw + 140);
}

void encode_record(const ENTRYTUFFILE& record, unsigned char (&raw)[record_size]) {
    std::memcpy(raw, record.name, sizeof record.name);
    raw[130] = record.type;
    raw[131] = record.compressed;
    store_le32(raw + 132, record.size);
    store_le32(raw + 136, record.packed_size);
    store_le32(raw + 140, record.skip);
}

// ---- EntryBuffer -------------------------------------------------------------

bool EntryBuffer::reserve(std::size_t size) {
    if (data_ != nullptr && capacity_ >= size && capacity_ - size <= slack) return true;
    release();
    if (size > buffer_limit.load()) return false;

    if (size >= huge_threshold && size <= static_cast<std::size_t>(-1) - 2 * huge_page_size) {
        // Over-map by one huge page and trim, so the buffer starts on a 2 MiB boundary.
        const std::size_t length = round_up(size, page_size);
        const std::size_t total = length + huge_page_size;
        void* mapping = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping != MAP_FAILED) {
            const auto base = reinterpret_cast<std::uintptr_t>(mapping);
            const std::uintptr_t aligned = (base + huge_page_size - 1) & ~std::uintptr_t{huge_page_size - 1};
            if (aligned > base) ::munmap(mapping, aligned - base);
            const std::uintptr_t tail = aligned + length;
            if (base + total > tail) ::munmap(reinterpret_cast<void*>(tail), base + total - tail);
            mapped_ = reinterpret_cast<void*>(aligned);
            mapped_length_ = length;
            ::madvise(mapped_, mapped_length_, MADV_HUGEPAGE);
            data_ = static_cast<unsigned char*>(mapped_);
            capacity_ = size;
            return true;
        }
    }
    data_ = static_cast<unsigned char*>(std::malloc(size == 0 ? 1 : size));
    if (data_ == nullptr) return false;
    capacity_ = size;
    return true;
}

void EntryBuffer::release() {
    if (mapped_ != nullptr) {
        ::munmap(mapped_, mapped_length_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    mapped_ = nullptr;
    mapped_length_ = 0;
    capacity_ = 0;
}

// ---- PackageReader -----------------------------------------------------------

PackageReader::~PackageReader() {
    if (fd_ >= 0) ::close(fd_);
    std::free(block_);
}

bool PackageReader::open(const char* path, ReadObserver* observer) {
    if (block_ == nullptr) {
        block_ = static_cast<unsigned char*>(std::malloc(block_size));
        if (block_ == nullptr) return false;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return false;
    // The card is read from start to end: a larger read-ahead keeps it busy while
    // the data already read is inflated and written.
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    observer_ = observer;
    position_ = file_offset_ = 0;
    block_begin_ = block_end_ = 0;
    failed_ = false;
    struct stat status {};
    size_ = ::fstat(fd_, &status) == 0 && status.st_size >= 0 ? static_cast<std::uint64_t>(status.st_size) : UINT64_MAX;
    return true;
}

bool PackageReader::seek(std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
    if (observer_ != nullptr) return seek_observed(offset);
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
    position_ = file_offset_ = offset;
    block_begin_ = block_end_ = 0;
    return true;
}

bool PackageReader::seek_observed(std::uint64_t offset) {
    // Past the end already (a skip beyond it): nothing more is handed out.
    if (position_ > file_offset_) {
        if (offset < position_) return false;
        position_ = offset;
        return true;
    }
    const std::uint64_t block_start = file_offset_ - block_end_;
    if (offset < block_start) return false;
    while (offset > file_offset_) {
        if (!fill()) {
            if (failed_) return false;
            block_begin_ = block_end_;
            position_ = offset;
            return true;
        }
    }
    block_begin_ = block_end_ - static_cast<std::size_t>(file_offset_ - offset);
    position_ = offset;
    return true;
}

bool PackageReader::skip(std::uint64_t count) {
    const std::size_t buffered = block_end_ - block_begin_;
    if (count <= buffered) {
        block_begin_ += static_cast<std::size_t>(count);
        position_ += count;
        return true;
    }
    if (count > static_cast<std::uint64_t>(INT64_MAX) - position_) return false;
    return seek(position_ + count);
}

bool PackageReader::read_to_end() {
    while (fill()) {
    }
    block_begin_ = block_end_;
    position_ = std::max(position_, file_offset_);
    return !failed_;
}

bool PackageReader::fill() {
    for (;;) {
        const ssize_t got = ::read(fd_, block_, block_size);
        if (got > 0) {
            block_begin_ = 0;
            block_end_ = static_cast<std::size_t>(got);
            file_offset_ += block_end_;
            if (observer_ != nullptr) observer_->observe(block_, block_end_);
            return true;
        }
        if (got == 0) return false;
        if (errno != EINTR) {
            failed_ = true;
            return false;
        }
    }
}

std::size_t PackageReader::read(void* destination, std::size_t count) {
    auto* out = static_cast<unsigned char*>(destination);
    std::size_t done = 0;
    // Beyond the end of what was read (a skip past the end): bytes the file may have
    // gained since are not in their place.
    if (position_ > file_offset_) return 0;
    while (done < count) {
        if (block_begin_ < block_end_) {
            const std::size_t part = std::min(block_end_ - block_begin_, count - done);
            std::memcpy(out + done, block_ + block_begin_, part);
            block_begin_ += part;
            done += part;
            position_ += part;
            continue;
        }
        const std::size_t remaining = count - done;
        if (remaining < block_size) {
            if (!fill()) break;
            continue;
        }
        // Large reads bypass the block buffer: one read into the caller's memory.
        block_begin_ = block_end_ = 0;
        const ssize_t got = ::read(fd_, out + done, std::min(remaining, max_io_chunk));
        if (got > 0) {
            if (observer_ != nullptr) observer_->observe(out + done, static_cast<std::size_t>(got));
            done += static_cast<std::size_t>(got);
            position_ += static_cast<std::uint64_t>(got);
            file_offset_ += static_cast<std::uint64_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            failed_ = true;
            break;
        }
    }
    return done;
}

// ---- writing and inflation ---------------------------------------------------

bool write_all(int fd, const void* data, std::size_t length, WriteCall write_call) {
    if (write_call == nullptr) write_call = ::write;
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t wrote = write_call(fd, bytes + done, std::min(length - done, max_io_chunk));
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

ssize_t read_all(int fd, void* data, std::size_t length) {
    auto* bytes = static_cast<unsigned char*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = ::read(fd, bytes + done, std::min(length - done, max_io_chunk));
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return static_cast<ssize_t>(done);
}

bool Inflater::ready() {
    if (decompressor_ == nullptr) decompressor_ = ::libdeflate_alloc_decompressor();
    return decompressor_ != nullptr;
}

Inflater::Result Inflater::inflate(const unsigned char* input, std::size_t input_length, unsigned char* output,
                                   std::size_t capacity, std::size_t& length) {
    if (!ready()) return Result::no_memory;
    // libdeflate checks the two header bytes, the window size, the absence of a
    // preset dictionary and the Adler-32 after the stream, and ignores what follows
    // it, as zlib does.
    std::size_t produced = 0;
    if (::libdeflate_zlib_decompress(decompressor_, input, input_length, output, capacity, &produced) !=
        LIBDEFLATE_SUCCESS)
        return Result::failed;
    length = produced;
    return Result::ok;
}

void Inflater::release() {
    if (decompressor_ != nullptr) ::libdeflate_free_decompressor(decompressor_);
    decompressor_ = nullptr;
}

bool StreamInflater::start() {
    if (stream_ != nullptr) return ::inflateReset(stream_) == Z_OK;
    stream_ = new (std::nothrow) z_stream{};
    if (stream_ == nullptr) return false;
    if (::inflateInit(stream_) != Z_OK) {
        delete stream_;
        stream_ = nullptr;
        return false;
    }
    return true;
}

StreamInflater::Result StreamInflater::inflate(const unsigned char* input, std::size_t input_length,
                                               unsigned char* output, std::size_t capacity, std::size_t& produced,
                                               std::size_t& input_left) {
    // zlib counts in 32-bit units; the pieces given here are far smaller.
    stream_->next_in = const_cast<unsigned char*>(input);
    stream_->avail_in = static_cast<uInt>(input_length);
    stream_->next_out = output;
    stream_->avail_out = static_cast<uInt>(capacity);
    const int result = ::inflate(stream_, Z_NO_FLUSH);
    produced = capacity - stream_->avail_out;
    input_left = stream_->avail_in;
    switch (result) {
        case Z_STREAM_END: return Result::end;
        case Z_OK: return Result::more;
        // No progress: the input ran out before the end of the stream.
        case Z_BUF_ERROR: return input_length == 0 ? Result::failed : Result::more;
        case Z_MEM_ERROR: return Result::no_memory;
        default: return Result::failed;  // damaged, a preset dictionary, a wrong check value
    }
}

void StreamInflater::release() {
    if (stream_ == nullptr) return;
    ::inflateEnd(stream_);
    delete stream_;
    stream_ = nullptr;
}

// ---- the walk ----------------------------------------------------------------

WalkResult next_entry(PackageReader& reader, Entry& entry) {
    entry.offset = reader.position();
    unsigned char raw[record_size];
    const std::size_t got = reader.read(raw, record_size);
    if (got == record_size) {
        decode_record(raw, entry.record);
        return {WalkStep::entry, 0};
    }
    if (reader.failed()) return {WalkStep::read_error, got};
    return {WalkStep::end, got};
}

bool finish_entry(PackageReader& reader, const Entry& entry) {
    if (entry.is_directory() || entry.record.skip == 0) return true;
    return reader.skip(entry.record.skip);
}

namespace {

int copy_stored(PackageReader& reader, std::size_t size, EntryBuffers& buffers, ContentSink& sink) {
    if (buffers.input.capacity() > EntryBuffer::slack) buffers.input.release();
    const std::size_t chunk = std::min(size, buffers.copy_piece);
    if (!buffers.output.reserve(chunk)) return 6;
    if (const int started = sink.start(); started != 0) return started;
    for (std::size_t done = 0; done < size;) {
        const std::size_t part = std::min(chunk, size - done);
        if (reader.read(buffers.output.data(), part) != part) return 2;
        if (const int put = sink.put(buffers.output.data(), part); put != 0) return put;
        done += part;
    }
    return 0;
}

// The whole stream read and inflated before the sink is started; -1 when its buffers
// cannot be had, so the caller streams instead.
int inflate_in_one_pass(PackageReader& reader, const Entry& entry, EntryBuffers& buffers, ContentSink& sink) {
    std::size_t capacity = 0;
    if (!inflate_capacity(entry.record.size, capacity)) return -1;
    const std::size_t packed = entry.record.packed_size;
    if (buffers.input.capacity() > packed + EntryBuffer::slack) buffers.input.release();
    if (!buffers.inflater.ready() || !buffers.output.reserve(capacity) || !buffers.input.reserve(packed)) {
        buffers.output.release();
        buffers.input.release();
        return -1;
    }
    if (reader.read(buffers.input.data(), packed) != packed) return 2;
    std::size_t inflated = 0;
    switch (buffers.inflater.inflate(buffers.input.data(), packed, buffers.output.data(), capacity, inflated)) {
        case Inflater::Result::ok: break;
        case Inflater::Result::no_memory: return 6;
        case Inflater::Result::failed: return 8;
    }
    if (inflated != entry.record.size) return 8;
    if (const int started = sink.start(); started != 0) return started;
    return sink.put(buffers.output.data(), inflated);
}

int inflate_streamed(PackageReader& reader, const Entry& entry, EntryBuffers& buffers, ContentSink& sink) {
    const std::size_t size = entry.record.size;
    std::uint64_t packed_left = entry.record.packed_size;
    const auto input_chunk = static_cast<std::size_t>(std::min<std::uint64_t>(packed_left, buffers.input_piece));
    // One byte more than the file when it is small, so a stream that runs on is seen at once.
    const std::size_t output_chunk = size < buffers.copy_piece ? size + 1 : buffers.copy_piece;
    if (!buffers.output.reserve(output_chunk) || !buffers.input.reserve(input_chunk) || !buffers.stream.start())
        return 6;
    if (const int started = sink.start(); started != 0) return started;
    std::size_t produced_total = 0;
    std::size_t input_length = 0;
    const unsigned char* input = buffers.input.data();
    for (;;) {
        if (input_length == 0 && packed_left > 0) {
            const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(packed_left, input_chunk));
            if (reader.read(buffers.input.data(), part) != part) return 2;
            packed_left -= part;
            input = buffers.input.data();
            input_length = part;
        }
        std::size_t produced = 0;
        std::size_t left = 0;
        const StreamInflater::Result result =
            buffers.stream.inflate(input, input_length, buffers.output.data(), output_chunk, produced, left);
        if (result == StreamInflater::Result::no_memory) return 6;
        // Asking for more without having taken or given anything would never end.
        if (result == StreamInflater::Result::failed ||
            (result == StreamInflater::Result::more && produced == 0 && left == input_length && left > 0))
            return 8;
        input += input_length - left;
        input_length = left;
        if (produced > size - produced_total) return 8;
        if (produced > 0) {
            if (const int put = sink.put(buffers.output.data(), produced); put != 0) return put;
            produced_total += produced;
        }
        if (result == StreamInflater::Result::end) break;
    }
    if (produced_total != size) return 8;
    // Bytes after the end of the stream belong to the entry's data and are passed over.
    return reader.skip(packed_left) ? 0 : 2;
}

}  // namespace

int copy_file_data(PackageReader& reader, const Entry& entry, EntryBuffers& buffers, ContentSink& sink,
                   Inflation way) {
    const std::uint64_t length = entry.data_length();
    const std::uint64_t package_size = reader.file_size();
    if (package_size != UINT64_MAX &&
        (reader.position() > package_size || length > package_size - reader.position()))
        return 2;
    if (entry.record.size == 0) return sink.start();
    if (!entry.is_compressed()) return copy_stored(reader, entry.record.size, buffers, sink);
    if (way == Inflation::one_pass || (way == Inflation::chosen && fits_in_one_pass(entry, buffers))) {
        const int result = inflate_in_one_pass(reader, entry, buffers, sink);
        if (result >= 0) return result;
    }
    return inflate_streamed(reader, entry, buffers, sink);
}

}  // namespace tuf
