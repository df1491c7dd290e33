// Differential target of the extraction's inflation: every input goes through zlib's
// uncompress and through tuf::Inflater with the same capacity, and the two must agree
// on success, on the length and on every byte.
//
// Input: three bytes, little-endian, give the entry's size (below 1 MiB); the rest is
// the packed data. The capacity is the size + the spare capacity, as in the extraction.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "tuf/package_reader.h"

namespace {

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
