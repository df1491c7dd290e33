// Differential target of the extraction's inflation: every input goes through zlib's
// uncompress and through tuf::Inflater with the same capacity, and the two must agree
// on success, on the length and on every byte. The same input, as the data of one
// package entry, also goes through the streamed way (in small pieces), which must
// accept exactly the entries uncompress inflates to their size, with the same bytes.
//
// Input: three bytes, little-endian; the low 20 bits give the entry's size (below
// 1 MiB), the high 4 the size of the streamed way's pieces; the rest is the packed
// data. The capacity is the size + the spare capacity, as in the extraction.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "fuzz_package_file.h"
#include "tuf/package_reader.h"

namespace {

// The packed data as the one entry of a package, extracted the streamed way.
int extract_streamed(const std::uint8_t* packed, std::size_t length, std::size_t size, std::size_t piece,
                     tuf::BufferSink& out) {
    static tuf_fuzz::InputFile file;
    std::vector<std::uint8_t> package(tuf::header_size + tuf::record_size);
    std::memcpy(package.data(), "TUF", 3);
    tuf::store_le32(package.data() + 4, tuf::header_size);
    unsigned char* record = package.data() + tuf::header_size;
    std::memcpy(record, "/f", 2);
    record[130] = 1;
    record[131] = 1;
    tuf::store_le32(record + 132, static_cast<std::uint32_t>(size));
    tuf::store_le32(record + 136, static_cast<std::uint32_t>(length));
    package.insert(package.end(), packed, packed + length);
    tuf::PackageReader reader;
    tuf::Entry entry;
    if (!reader.open(file.write(package.data(), package.size())) || !reader.seek(tuf::header_size) ||
        tuf::next_entry(reader, entry).step != tuf::WalkStep::entry)
        __builtin_trap();
    static tuf::EntryBuffers buffers;
    buffers.copy_piece = buffers.input_piece = piece;
    const int result = tuf::copy_file_data(reader, entry, buffers, out, tuf::Inflation::streamed);
    if (result == 0 && reader.position() != tuf::header_size + tuf::record_size + entry.data_length()) __builtin_trap();
    return result;
}

// The one known difference. zlib refuses a stream that uses a symbol the format
// reserves (lengths 286 and 287, distances 30 and 31 in a fixed-code block) or a code
// an incomplete code leaves unused; libdeflate decodes such a symbol as some length
// or literal, and the stream passes when its Adler-32 and length match that output.
bool zlib_refuses_an_undefined_symbol(const std::uint8_t* packed, std::size_t length, std::size_t capacity) {
    z_stream stream{};
    if (::inflateInit(&stream) != Z_OK) return false;
    std::vector<unsigned char> out(capacity);
    stream.next_in = const_cast<std::uint8_t*>(packed);
    stream.avail_in = static_cast<uInt>(length);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = ::inflate(&stream, Z_FINISH);
    const bool undefined = result == Z_DATA_ERROR && stream.msg != nullptr &&
                           (std::strcmp(stream.msg, "invalid literal/length code") == 0 ||
                            std::strcmp(stream.msg, "invalid distance code") == 0);
    ::inflateEnd(&stream);
    return undefined;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t entry_size = (data[0] | std::size_t{data[1]} << 8 | std::size_t{data[2]} << 16) & 0xfffff;
    const std::size_t piece = 1 + (std::size_t{data[2]} >> 4) * 4099;
    const std::size_t capacity = entry_size + tuf::inflate_spare;
    const std::uint8_t* packed = data + 3;
    const std::size_t packed_length = size - 3;

    std::vector<unsigned char> by_zlib(capacity);
    uLongf zlib_length = static_cast<uLongf>(capacity);
    const bool zlib_ok = ::uncompress(by_zlib.data(), &zlib_length, packed, static_cast<uLong>(packed_length)) == Z_OK;

    // One inflater for every input, as one extraction keeps one for every entry.
    static tuf::Inflater inflater;
    std::vector<unsigned char> by_inflater(capacity);
    std::size_t length = 0;
    const tuf::Inflater::Result result = inflater.inflate(packed, packed_length, by_inflater.data(), capacity, length);
    if (result == tuf::Inflater::Result::no_memory) return 0;
    const bool ok = result == tuf::Inflater::Result::ok;

    // An empty file has no data in a package, whatever follows its record.
    tuf::BufferSink streamed;
    const int streamed_result = extract_streamed(packed, packed_length, entry_size, piece, streamed);
    const bool inflates_to_size = (zlib_ok && zlib_length == entry_size) || entry_size == 0;
    if (streamed_result != (inflates_to_size ? 0 : 8)) __builtin_trap();
    if (inflates_to_size && (streamed.bytes.size() != entry_size ||
                             !std::equal(streamed.bytes.begin(), streamed.bytes.end(), by_zlib.begin())))
        __builtin_trap();

    if (ok && !zlib_ok && zlib_refuses_an_undefined_symbol(packed, packed_length, capacity)) return 0;
    if (ok != zlib_ok) __builtin_trap();
    if (ok && (length != zlib_length || std::memcmp(by_zlib.data(), by_inflater.data(), length) != 0))
        __builtin_trap();
    return 0;
}

#ifdef UPG_LIBFUZZER
// zlib and libdeflate are not instrumented, so coverage cannot lead the fuzzer into
// them. Half of the mutations therefore start from a fresh, valid stream of content
// taken from the input, made with a random level, strategy and window, which the
// ordinary mutations then damage in later rounds.
extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
    std::minstd_rand pick(seed);
    if (size > 3 && pick() % 2 == 0) {
        std::vector<unsigned char> content(pick() % 20000);
        for (std::size_t i = 0; i < content.size(); ++i) content[i] = data[3 + (i * 7 + i / 64) % (size - 3)];
        z_stream stream{};
        const int level = static_cast<int>(pick() % 10);
        const int window = 9 + static_cast<int>(pick() % 7);
        const int strategy = static_cast<int>(pick() % 5);
        if (::deflateInit2(&stream, level, Z_DEFLATED, window, 8, strategy) == Z_OK) {
            std::vector<unsigned char> packed(::deflateBound(&stream, static_cast<uLong>(content.size())));
            stream.next_in = content.data();
            stream.avail_in = static_cast<uInt>(content.size());
            stream.next_out = packed.data();
            stream.avail_out = static_cast<uInt>(packed.size());
            const bool done = ::deflate(&stream, Z_FINISH) == Z_STREAM_END;
            const std::size_t packed_length = stream.total_out;
            ::deflateEnd(&stream);
            if (done && packed_length + 3 <= max_size) {
                // The size is the content's, or near it.
                const std::size_t entry_size = content.size() + pick() % 3 - 1;
                data[0] = static_cast<std::uint8_t>(entry_size);
                data[1] = static_cast<std::uint8_t>(entry_size >> 8);
                data[2] = static_cast<std::uint8_t>(entry_size >> 16);
                std::memcpy(data + 3, packed.data(), packed_length);
                return packed_length + 3;
            }
        }
    }
    return LLVMFuzzerMutate(data, size, max_size);
}
#endif
