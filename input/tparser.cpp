#include "input/tparser.h"

#include <cassert>
#include <cstring>

namespace {

enum : int32_t { IDLE = 0, ADDRESS = 1, DATA = 2, FIRST_DIGIT = 3, SECOND_DIGIT = 4 };

constexpr int ADDRESS_MAX = 8;
constexpr int DATA_MAX = 82;

// Digits are taken by plain arithmetic on the character, as the controller's own
// firmware does: anything up to 'F' contributes, only bytes above 'F' are refused.
inline bool digit_value(BYTE c, uint8_t* value) {
    if (c <= '9') {
        *value = static_cast<uint8_t>(c - 48);
        return true;
    }
    if (c <= 'F') {
        *value = static_cast<uint8_t>(c - 55);
        return true;
    }
    return false;
}

inline void parse_byte(tparser_t* p, BYTE c) {
    if (c == '$' || c == '!') {
        p->count = 0;
        p->checksum = 0;
        p->state = ADDRESS;
        return;
    }
    if ((c < 0x20 && c != '\r' && c != '\n') || c > 0x7F) {
        p->state = IDLE;
        return;
    }
    switch (p->state) {
    case ADDRESS:
        if (c == ',' || c == '*') {
            p->address[p->count] = 0;
            p->checksum ^= c;
            p->count = 0;
            p->state = DATA;
        } else {
            p->address[p->count] = c;
            p->checksum ^= c;
            p->count += 1;
            if (p->count > ADDRESS_MAX) p->state = IDLE;
        }
        break;
    case DATA:
        if (c == '*') {
            p->data[p->count] = 0;
            p->state = FIRST_DIGIT;
        } else if (c == '\r' || c == '\n') {
            p->data[p->count] = 0;
            p->decode(p->address, p->data);
            p->state = IDLE;
        } else {
            p->data[p->count] = c;
            p->checksum ^= c;
            p->count += 1;
            if (p->count > DATA_MAX) p->state = IDLE;
        }
        break;
    case FIRST_DIGIT: {
        uint8_t value;
        if (digit_value(c, &value)) {
            p->rx_checksum = static_cast<uint8_t>(value << 4);
            p->state = SECOND_DIGIT;
        } else {
            p->state = IDLE;
        }
        break;
    }
    case SECOND_DIGIT: {
        uint8_t value;
        if (digit_value(c, &value)) {
            p->rx_checksum = static_cast<uint8_t>(p->rx_checksum | value);
            if (p->rx_checksum == p->checksum) p->decode(p->address, p->data);
        }
        p->state = IDLE;
        break;
    }
    default:
        break;
    }
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
    for (int i = 0; i < len; ++i) parse_byte(tparserp, str[i]);
    return 0;
}
