// The sentence framing written a second way, one sentence at a time from each
// start character, to check the push parser against on whole byte streams.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sentence_model {

using Sentence = std::pair<std::string, std::string>;  // address, data

inline bool is_start(unsigned char c) { return c == '$' || c == '!'; }
inline bool drops(unsigned char c) { return (c < 0x20 && c != '\r' && c != '\n') || c > 0x7F; }
inline bool is_line_end(unsigned char c) { return c == '\r' || c == '\n'; }

// Sentences accepted in `bytes`, in order.
inline std::vector<Sentence> sentences(const std::string& bytes) {
    std::vector<Sentence> out;
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    while (i < n) {
        if (!is_start(at(i))) {
            ++i;
            continue;
        }
        // One attempt from the start character at i. `next` is where scanning
        // goes on when the attempt ends.
        std::size_t k = i + 1;
        std::string address, data;
        unsigned checksum = 0;
        bool aborted = false;
        for (;; ++k) {
            if (k == n || is_start(at(k))) { aborted = true; break; }
            unsigned char c = at(k);
            if (drops(c)) { aborted = true; ++k; break; }
            checksum ^= c;
            if (c == ',' || c == '*') break;
            address += static_cast<char>(c);
            if (address.size() > 8) { aborted = true; ++k; break; }
        }
        if (aborted) { i = k; continue; }
        ++k;
        bool with_checksum = false;
        for (;; ++k) {
            if (k == n || is_start(at(k))) { aborted = true; break; }
            unsigned char c = at(k);
            if (drops(c)) { aborted = true; ++k; break; }
            if (c == '*') { with_checksum = true; ++k; break; }
            if (is_line_end(c)) { ++k; break; }
            checksum ^= c;
            data += static_cast<char>(c);
            if (data.size() > 82) { aborted = true; ++k; break; }
        }
        if (aborted) { i = k; continue; }
        if (!with_checksum) {
            out.emplace_back(address, data);
            i = k;
            continue;
        }
        unsigned received = 0;
        bool complete = true;
        for (int digit = 0; digit < 2; ++digit, ++k) {
            if (k == n || is_start(at(k))) { complete = false; break; }
            unsigned char c = at(k);
            if (drops(c) || c > 'F') { complete = false; ++k; break; }
            unsigned value = (c <= '9' ? static_cast<unsigned>(c - 48) : static_cast<unsigned>(c - 55)) & 0xFFu;
            received = digit == 0 ? (value << 4) & 0xFFu : received | value;
        }
        if (complete && received == checksum) out.emplace_back(address, data);
        i = k;
    }
    return out;
}

}  // namespace sentence_model
