// The one reader of the package layout: header decoding, the entry walk and the
// loading of an entry's data. `tuf_extract` and the host tool `tufpkg` both walk
// packages through it, so they cannot disagree about where an entry ends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tuf/ttuf.h"

struct libdeflate_decompressor;
struct z_stream_s;

// Private steps of the extraction, visible here for tests and tools.
int tuf_create_dir(const char* root, const char* path);
// `length` is a size_t rather than an int so that files of 2 GiB and more are
// written whole instead of being taken for empty.
int tuf_create_file(const char* root, const char* path, const void* content, std::size_t length);
int do_add(const char* root, const char* path, int flag, const char* sub);

namespace tuf {

inline constexpr std::size_t header_size = 160;
inline constexpr std::size_t record_size = 144;
// Offsets at or above this are not positions the format allows.
inline constexpr std::uint64_t max_data_offset = 0x80000000u;
// Spare capacity of the inflation target beyond the record's size.
inline constexpr std::size_t inflate_spare = 512;
// Pieces in which file data is copied, and inflated when it is streamed: the memory
// a file takes when it is not held whole.
inline constexpr std::size_t copy_chunk = std::size_t{1} << 20;
inline constexpr std::size_t stream_input_chunk = std::size_t{256} << 10;
// Largest count passed to one read or write call: a 32-bit kernel refuses counts of
// 2 GiB and more.
inline constexpr std::size_t max_io_chunk = std::size_t{1} << 30;

inline std::uint32_t load_le32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline void store_le32(unsigned char* bytes, std::uint32_t value) {
    bytes[0] = static_cast<unsigned char>(value);
    bytes[1] = static_cast<unsigned char>(value >> 8);
    bytes[2] = static_cast<unsigned char>(value >> 16);
    bytes[3] = static_cast<unsigned char>(value >> 24);
}

// A text field ends at its first NUL, or at the field's end when it has none.
inline std::string_view field_text(const char* field, std::size_t width) {
    std::size_t length = 0;
    while (length < width && field[length] != '\0') ++length;
    return {field, length};
}

inline bool field_terminated(const char* field, std::size_t width) {
    return field_text(field, width).size() < width;
}

void decode_header(const unsigned char (&raw)[header_size], HEADTUFFILE& header);
void encode_header(const HEADTUFFILE& header, unsigned char (&raw)[header_size]);
void decode_record(const unsigned char (&raw)[record_size], ENTRYTUFFILE& record);
void encode_record(const ENTRYTUFFILE& record, unsigned char (&raw)[record_size]);

// `size` + the spare capacity, or false when the sum does not fit a SizeType
// (a 32-bit size_t on the device).
template <typename SizeType>
bool inflate_capacity(std::uint32_t size, SizeType& capacity) {
    const std::uint64_t wanted = std::uint64_t{size} + inflate_spare;
    if (wanted > static_cast<std::uint64_t>(static_cast<SizeType>(-1))) return false;
    capacity = static_cast<SizeType>(wanted);
    return true;
}

// A buffer that is kept from one entry to the next. Large ones are mapped on
// 2 MiB boundaries and advised as huge pages: first touches of fresh memory, not
// copying, dominate the time of a one-shot read of a big file.
class EntryBuffer {
public:
    EntryBuffer() = default;
    EntryBuffer(const EntryBuffer&) = delete;
    EntryBuffer& operator=(const EntryBuffer&) = delete;
    ~EntryBuffer() { release(); }

    // Makes room for `size` bytes. A buffer larger than `size` by more than
    // `slack` is given back first, so what is held stays close to what the
    // current entry needs. False when the memory cannot be had.
    bool reserve(std::size_t size);
    void release();

    unsigned char* data() const { return data_; }
    std::size_t capacity() const { return capacity_; }
    bool huge() const { return mapped_ != nullptr; }

    static constexpr std::size_t huge_threshold = std::size_t{2} << 20;
    static constexpr std::size_t slack = std::size_t{1} << 20;

private:
    unsigned char* data_ = nullptr;
    std::size_t capacity_ = 0;
    void* mapped_ = nullptr;
    std::size_t mapped_length_ = 0;
};

// Largest buffer an EntryBuffer may take; tests lower it to make allocations fail.
void set_buffer_limit_for_testing(std::size_t limit);

// Sees every byte a PackageReader reads from its file, once each, in the file's order
// (a signature check fed by the one read of a package).
class ReadObserver {
public:
    virtual void observe(const unsigned char* data, std::size_t length) = 0;

protected:
    ~ReadObserver() = default;
};

// What tuf_extract_checked asks of the check it is given, beside every byte read.
class PackageCheck : public ReadObserver {
public:
    // The package's header as read; false refuses it before anything is staged.
    virtual bool accept_header(const HEADTUFFILE& header) = 0;
    // Once the whole file has been read: true lets the staged files be put in place.
    virtual bool accept_whole() = 0;

protected:
    ~PackageCheck() = default;
};

// Sequential reader of a package file with 64-bit positions. Small reads are
// served from a block buffer; large ones go straight into the caller's memory.
// With an observer, the file is read from its start without a gap and never twice:
// bytes passed over are read rather than seeked over, and a seek back is possible
// only into the block still held.
class PackageReader {
public:
    PackageReader() = default;
    PackageReader(const PackageReader&) = delete;
    PackageReader& operator=(const PackageReader&) = delete;
    ~PackageReader();

    bool open(const char* path, ReadObserver* observer = nullptr);
    bool is_open() const { return fd_ >= 0; }
    // Absolute seek; false when the system refuses it (or, with an observer, when it
    // goes back before the block held).
    bool seek(std::uint64_t offset);
    // Moves forward by `count` bytes; a position past the end simply reads as the end.
    bool skip(std::uint64_t count);
    // Reads up to `count` bytes; fewer only at the end of the file or on a read error.
    std::size_t read(void* destination, std::size_t count);
    // Reads what is left of the file (for the observer); false on a read error.
    bool read_to_end();
    bool failed() const { return failed_; }
    std::uint64_t position() const { return position_; }
    // Length of the file when it was opened, or UINT64_MAX when it cannot be taken.
    std::uint64_t file_size() const { return size_; }

private:
    bool fill();
    bool seek_observed(std::uint64_t offset);

    int fd_ = -1;
    bool failed_ = false;
    ReadObserver* observer_ = nullptr;
    std::uint64_t position_ = 0;     // logical position of the next byte handed out
    std::uint64_t file_offset_ = 0;  // the file's own position: block_[block_end_] lies there
    std::uint64_t size_ = UINT64_MAX;
    unsigned char* block_ = nullptr;
    std::size_t block_begin_ = 0;
    std::size_t block_end_ = 0;
    static constexpr std::size_t block_size = std::size_t{128} << 10;
};

struct Entry {
    std::uint64_t offset = 0;  // position of the record
    ENTRYTUFFILE record{};

    std::string_view name() const { return field_text(record.name, sizeof record.name); }
    bool name_terminated() const { return field_terminated(record.name, sizeof record.name); }
    bool is_directory() const { return record.type == 0; }
    bool is_compressed() const { return record.compressed == 1; }
    // Bytes of data that follow the record.
    std::uint64_t data_length() const {
        if (is_directory() || record.size == 0) return 0;
        return is_compressed() ? record.packed_size : record.size;
    }
};

enum class WalkStep {
    entry,       // `entry` holds the next record
    end,         // the end of the file; `stray` bytes of an incomplete record were before it
    read_error,  // a read failed before the end of the file
};

struct WalkResult {
    WalkStep step;
    std::size_t stray = 0;
};

WalkResult next_entry(PackageReader& reader, Entry& entry);

// Passes over the bytes an entry has after its data. Directories have none.
bool finish_entry(PackageReader& reader, const Entry& entry);

// Writes `length` bytes through `write_call` (the system's write by default), in
// calls of at most `max_io_chunk` bytes, retrying after EINTR. False when a call
// fails or writes nothing.
using WriteCall = ssize_t (*)(int fd, const void* data, std::size_t count);
bool write_all(int fd, const void* data, std::size_t length, WriteCall write_call = nullptr);

// Reads until `length` bytes are in or the file ends, in calls of at most
// `max_io_chunk` bytes, retrying after EINTR. The number of bytes read (less than
// `length` only at the end of the file), or -1 when a call fails (errno says why).
ssize_t read_all(int fd, void* data, std::size_t length);

// One-shot inflation of whole zlib streams (libdeflate), with one decompressor taken
// on first use and kept for every later stream. Accepts and refuses what zlib's
// `uncompress` does: bytes after the end of the stream are ignored; a preset
// dictionary, a window over 32 KiB, a wrong check value, a damaged or truncated
// stream, or more output than `capacity` fail. One difference: a symbol that the
// format reserves or that an incomplete code leaves unused (zlib: "invalid
// literal/length code", "invalid distance code") is decoded as some length or
// literal, so such a stream passes when its Adler-32 matches that output.
class Inflater {
public:
    enum class Result { ok, no_memory, failed };

    Inflater() = default;
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater() { release(); }

    // Takes the decompressor (once); false when the memory cannot be had.
    bool ready();
    // On `ok`, `length` is the number of bytes written to `output`.
    Result inflate(const unsigned char* input, std::size_t input_length, unsigned char* output,
                   std::size_t capacity, std::size_t& length);
    void release();

private:
    libdeflate_decompressor* decompressor_ = nullptr;
};

// Inflation of a zlib stream in pieces (zlib's inflate), for files whose whole content
// cannot be held. Accepts and refuses exactly what zlib's `uncompress` does.
class StreamInflater {
public:
    enum class Result { more, end, no_memory, failed };

    StreamInflater() = default;
    StreamInflater(const StreamInflater&) = delete;
    StreamInflater& operator=(const StreamInflater&) = delete;
    ~StreamInflater() { release(); }

    // Prepares for a new stream; false when zlib's state cannot be had.
    bool start();
    // Inflates from `input` (all of it is taken, or kept for the next call when the
    // output is full) into `output`; `produced` is the number of bytes written there.
    // `more` asks for another call: with more input when `input` was used up
    // (`input_left` says how much is kept), or with fresh output room.
    Result inflate(const unsigned char* input, std::size_t input_length, unsigned char* output,
                   std::size_t capacity, std::size_t& produced, std::size_t& input_left);
    void release();

private:
    z_stream_s* stream_ = nullptr;
};

// What one extraction holds from one entry to the next; `release` gives it all back.
struct EntryBuffers {
    EntryBuffer output;
    EntryBuffer input;
    Inflater inflater;
    StreamInflater stream;
    // Pieces of a copy and of a streamed inflation; tests make them small.
    std::size_t copy_piece = copy_chunk;
    std::size_t input_piece = stream_input_chunk;

    void release() {
        output.release();
        input.release();
        inflater.release();
        stream.release();
    }
};

// Receives a file's content in order. `start` is called once before the first piece,
// when the data is known to be in the package (and, inflated in one pass, known
// good); a non-zero result of `start` or `put` ends the copy with that result.
class ContentSink {
public:
    virtual int start() = 0;
    virtual int put(const unsigned char* data, std::size_t length) = 0;

protected:
    ~ContentSink() = default;
};

enum class Inflation {
    chosen,    // in one pass when the buffers fit comfortably in the memory the device has
    one_pass,  // in one pass unless its buffers cannot be had
    streamed,  // always in pieces
};

// Hands a file entry's content (the reader stands just after its record) to `sink`:
// stored data is copied in pieces of `copy_chunk`; a compressed stream is inflated in
// one call (libdeflate) or in pieces (zlib), as `way` says. The reader is left at
// the end of the data. Returns 0; 2 when the data reaches beyond the end of the
// package or a read fails; 6 when not even the buffers of the streamed way can be
// had; 8 when the stream is damaged or does not inflate to `size`; or the sink's own
// non-zero result (callers tell it apart by asking the sink).
int copy_file_data(PackageReader& reader, const Entry& entry, EntryBuffers& buffers, ContentSink& sink,
                   Inflation way = Inflation::chosen);

// Collects a file's content in memory (tools, tests, fuzzing).
class BufferSink final : public ContentSink {
public:
    std::vector<unsigned char> bytes;
    int start() override {
        bytes.clear();
        return 0;
    }
    int put(const unsigned char* data, std::size_t length) override {
        bytes.insert(bytes.end(), data, data + length);
        return 0;
    }
};

}  // namespace tuf
