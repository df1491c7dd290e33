#include "input/tparser.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>

namespace {

enum : int32_t { IDLE = 0, ADDRESS = 1, DATA = 2, FIRST_DIGIT = 3, SECOND_DIGIT = 4 };

constexpr int ADDRESS_MAX = 8;
constexpr int DATA_MAX = 82;

// What each byte is to the framing, looked up once per byte.
enum : uint8_t {
    START = 0x01,         // "$" or "!"
    DROP = 0x02,          // control bytes other than CR and LF, bytes above 0x7F
    ADDRESS_CHAR = 0x04,  // stored in the address (CR and LF included)
    DATA_CHAR = 0x08,     // stored in the data (commas included)
    SEPARATOR = 0x10,     // "," or "*"
    STAR = 0x20,
    LINE_END = 0x40,
};

constexpr auto byte_flags = [] {
    struct Table {
        uint8_t of[256];
    } table{};
    for (int c = 0; c < 256; ++c) {
        uint8_t f = 0;
        if (c == '$' || c == '!') f = START;
        else if (c < 0x20 && c != '\r' && c != '\n') f = DROP;
        else if (c > 0x7F) f = DROP;
        else if (c == ',') f = SEPARATOR | DATA_CHAR;
        else if (c == '*') f = SEPARATOR | STAR;
        else if (c == '\r' || c == '\n') f = LINE_END | ADDRESS_CHAR;
        else f = ADDRESS_CHAR | DATA_CHAR;
        table.of[c] = f;
    }
    return table;
}();

// Checksum digits are taken by plain arithmetic on the character: anything up
// to 'F' contributes (c - 48 up to '9', c - 55 above, modulo 256); only bytes
// above 'F' are refused (NOT_A_DIGIT). Start and dropping bytes never get here.
constexpr int NOT_A_DIGIT = 0x100;
constexpr auto digit_values = [] {
    struct Table {
        int16_t of[256];
    } table{};
    for (int c = 0; c < 256; ++c)
        table.of[c] = static_cast<int16_t>(c <= '9' ? (c - 48) & 0xFF : c <= 'F' ? c - 55 : NOT_A_DIGIT);
    return table;
}();

// Stores the run of field characters at s (up to `room` of them) at out, folding
// each into the checksum; stops at the first byte that is not a field character.
struct Run {
    std::ptrdiff_t taken;
    uint8_t checksum;
};
inline Run take_run(const BYTE* s, std::ptrdiff_t room, BYTE* out, uint8_t field_char, uint8_t checksum) {
    std::ptrdiff_t i = 0;
    for (; i < room; ++i) {
        const BYTE c = s[i];
        if ((byte_flags.of[c] & field_char) == 0) break;
        checksum ^= c;
        out[i] = c;
    }
    return {i, checksum};
}

// Takes the scalars by value: the locals of the parsing loop never have their
// address taken, so stores into the field buffers can't be thought to touch them.
void deliver(tparser_t* p, int32_t state, uint8_t checksum, uint8_t rx_checksum, int32_t count) {
    p->state = state;
    p->checksum = checksum;
    p->rx_checksum = rx_checksum;
    p->count = count;
    p->decode(p->address, p->data);
}

}  // namespace

int tparser_init(tparser_t* tparserp, int (*decode)(BYTE* address, BYTE* data)) {
    assert(tparserp != nullptr);
    assert(decode != nullptr);
    std::memset(tparserp, 0, sizeof *tparserp);
    tparserp->decode = decode;
    tparserp->state = IDLE;
    return 0;
}

int tparser_parser(tparser_t* tparserp, const BYTE* str, int len) {
    assert(tparserp != nullptr);
    assert(str != nullptr);
    assert(len >= 0);

    // The record's scalars live in locals while bytes are consumed (the stores into
    // the field buffers would otherwise force them back to memory on every byte);
    // they are written back before each callback and at the end.
    tparser_t* const p = tparserp;
    int32_t state = p->state;
    uint8_t checksum = p->checksum;
    uint8_t rx_checksum = p->rx_checksum;
    int32_t count = p->count;
    // A run of bytes is taken per state, and the states are tried in the order in
    // which a sentence passes through them, so a whole sentence usually takes one
    // round of the loop. Each byte still meets the rules in their order: start
    // character, dropping byte, then the rule of the state.
    const BYTE* s = str;
    const BYTE* const end = str + len;
    while (s != end) {
        if (state == IDLE) {
            while (s != end && (byte_flags.of[*s] & START) == 0) ++s;
            if (s == end) break;
            ++s;
            count = 0;
            checksum = 0;
            state = ADDRESS;
        }
        if (state == ADDRESS && s != end) {
            // Address characters up to the 9th, which is stored and drops the sentence.
            const Run run = take_run(s, std::min<std::ptrdiff_t>(end - s, ADDRESS_MAX + 1 - count),
                                     p->address + count, ADDRESS_CHAR, checksum);
            s += run.taken;
            count += static_cast<int32_t>(run.taken);
            checksum = run.checksum;
            if (count > ADDRESS_MAX) {
                state = IDLE;
                continue;
            }
            if (s == end) break;
            const BYTE c = *s++;
            const uint8_t f = byte_flags.of[c];
            if (f & START) {
                count = 0;
                checksum = 0;
                continue;
            }
            if (f & DROP) {
                state = IDLE;
                continue;
            }
            checksum ^= c;  // the separator
            p->address[count] = 0;
            count = 0;
            state = DATA;
        }
        if (state == DATA && s != end) {
            const Run run = take_run(s, std::min<std::ptrdiff_t>(end - s, DATA_MAX + 1 - count), p->data + count,
                                     DATA_CHAR, checksum);
            s += run.taken;
            count += static_cast<int32_t>(run.taken);
            checksum = run.checksum;
            if (count > DATA_MAX) {
                state = IDLE;
                continue;
            }
            if (s == end) break;
            const BYTE c = *s++;
            const uint8_t f = byte_flags.of[c];
            if (f & START) {
                count = 0;
                checksum = 0;
                state = ADDRESS;
                continue;
            }
            if (f & DROP) {
                state = IDLE;
                continue;
            }
            p->data[count] = 0;
            if (f & LINE_END) {
                deliver(p, state, checksum, rx_checksum, count);
                state = IDLE;
                continue;
            }
            state = FIRST_DIGIT;  // the star
        }
        while ((state == FIRST_DIGIT || state == SECOND_DIGIT) && s != end) {
            const BYTE c = *s++;
            const uint8_t f = byte_flags.of[c];
            const int value = digit_values.of[c];
            if (f & START) {
                count = 0;
                checksum = 0;
                state = ADDRESS;
            } else if ((f & DROP) || value == NOT_A_DIGIT) {
                state = IDLE;
            } else if (state == FIRST_DIGIT) {
                rx_checksum = static_cast<uint8_t>(value << 4);
                state = SECOND_DIGIT;
            } else {
                rx_checksum = static_cast<uint8_t>(rx_checksum | value);
                if (rx_checksum == checksum) deliver(p, state, checksum, rx_checksum, count);
                state = IDLE;
            }
        }
    }
    p->state = state;
    p->checksum = checksum;
    p->rx_checksum = rx_checksum;
    p->count = count;
    return 0;
}
