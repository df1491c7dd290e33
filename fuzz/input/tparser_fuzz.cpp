// Fuzz target for the sentence parser. Invariants, whatever the bytes:
//  - every delivered address has at most 8 and every data field at most 82
//    characters, each NUL-terminated inside its buffer;
//  - the record stays in states 0 to 4 with `count` inside the field's buffer;
//  - the callbacks are the same whatever the chunking (one call, one byte per
//    call, and chunks whose sizes are taken from the input itself).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "input/tparser.h"

namespace {

std::vector<std::string>* delivered = nullptr;

void check(bool condition) {
    if (!condition) std::abort();
}

int record(BYTE* address, BYTE* data) {
    check(std::memchr(address, 0, 9) != nullptr);
    check(std::memchr(data, 0, 83) != nullptr);
    const std::size_t address_length = std::strlen(reinterpret_cast<const char*>(address));
    const std::size_t data_length = std::strlen(reinterpret_cast<const char*>(data));
    check(address_length <= 8 && data_length <= 82);
    delivered->push_back(std::string(reinterpret_cast<const char*>(address), address_length) + '\0' +
                         std::string(reinterpret_cast<const char*>(data), data_length));
    return 0;
}

void check_record(const tparser_t& parser) {
    check(parser.state >= 0 && parser.state <= 4);
    check(parser.count >= 0 && parser.count <= 83);
}

std::vector<std::string> parse(const uint8_t* bytes, std::size_t size, std::size_t (*next_chunk)(std::size_t at)) {
    std::vector<std::string> out;
    delivered = &out;
    tparser_t parser;
    tparser_init(&parser, record);
    for (std::size_t at = 0; at < size;) {
        std::size_t chunk = next_chunk(at);
        if (chunk == 0) {  // an empty call, then on with one byte
            check(tparser_parser(&parser, bytes + at, 0) == 0);
            chunk = 1;
        }
        if (chunk > size - at) chunk = size - at;
        check(tparser_parser(&parser, bytes + at, static_cast<int>(chunk)) == 0);
        check_record(parser);
        at += chunk;
    }
    check(tparser_parser(&parser, bytes, 0) == 0);
    delivered = nullptr;
    return out;
}

const uint8_t* input = nullptr;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    input = data;
    const auto whole = parse(data, size, [](std::size_t) { return static_cast<std::size_t>(-1); });
    const auto bytewise = parse(data, size, [](std::size_t) { return std::size_t{1}; });
    // Chunk sizes 0..63 read from the input, as a reader of 63 bytes would see them.
    const auto chunked = parse(data, size, [](std::size_t at) { return static_cast<std::size_t>(input[at] % 64); });
    check(whole == bytewise);
    check(whole == chunked);
    return 0;
}
