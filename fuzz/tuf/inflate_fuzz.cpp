// Differential target of the extraction's inflation: every input goes through zlib's
// uncompress and through tuf::Inflater with the same capacity, and the two must agree
// on success, on the length and on every byte.
//
// Input: three bytes, little-endian, give the entry's size (below 1 MiB); the rest is
// the packed data. The capacity is the size + the spare capacity, as in the extraction.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "tuf/package_reader.h"

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

    if (ok != zlib_ok) __builtin_trap();
    if (ok && (length != zlib_length || std::memcmp(by_zlib.data(), by_inflater.data(), length) != 0))
        __builtin_trap();
    return 0;
}
