// minisign key and signature files, and the streamed check of a signed file.
#include "tuf/tsign.h"

#include "tuf/package_reader.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/random.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view untrusted_prefix = "untrusted comment: ";
constexpr std::string_view trusted_prefix = "trusted comment: ";
constexpr std::size_t key_bytes = 2 + sign_key_id_size + sign_public_key_size;
constexpr std::size_t signature_bytes = 2 + sign_key_id_size + sign_signature_size;
constexpr std::size_t hash_bytes = crypto_generichash_BYTES_MAX;  // BLAKE2b-512
constexpr std::size_t read_block = std::size_t{128} << 10;

// Verification draws no random numbers, yet sodium_init seeds the library's
// generator, and the default one may wait for the kernel's entropy pool at boot
// (getrandom, or a poll on /dev/random), which on a quiet embedded device can take
// minutes. This source never waits: getrandom without waiting for the pool
// (GRND_INSECURE, Linux 5.6), else /dev/urandom (which on kernels from 5.18 first
// spends seconds gathering jitter while the pool is empty), else zeros; the only
// thing seeded from it at start-up is a guard-page canary we never use.
void never_waiting_bytes(void* const buffer, const std::size_t size) {
#ifndef GRND_INSECURE
    constexpr unsigned GRND_INSECURE = 0x0004;
#endif
    if (::getrandom(buffer, size, GRND_INSECURE) == static_cast<ssize_t>(size)) return;
    std::memset(buffer, 0, size);
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    (void)tuf::read_all(fd, buffer, size);
    ::close(fd);
}

std::uint32_t never_waiting_random() {
    std::uint32_t value = 0;
    never_waiting_bytes(&value, sizeof value);
    return value;
}

const char* never_waiting_name() { return "urandom, never waiting"; }

randombytes_implementation never_waiting_source = {never_waiting_name, never_waiting_random, nullptr, nullptr,
                                                   never_waiting_bytes, nullptr};

bool sodium_ready() {
    static const bool ready = [] {
        const int saved_errno = errno;
        randombytes_set_implementation(&never_waiting_source);
        const bool started = sodium_init() >= 0;
        errno = saved_errno;
        return started;
    }();
    return ready;
}

// The file's lines, each without its "\n" and one "\r" before it. Text with a NUL
// byte is not a minisign file.
bool split_lines(std::string_view text, std::vector<std::string_view>& lines) {
    if (text.find('\0') != std::string_view::npos) return false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    // Blank lines may follow the last line that counts; nothing else may.
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return true;
}

// Standard base64 with padding, of exactly `size` bytes: no other length, no
// spaces, nothing after it.
bool decode(std::string_view line, unsigned char* out, std::size_t size) {
    if (line.size() != sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL) - 1) return false;
    std::size_t decoded = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out, size, line.data(), line.size(), nullptr, &decoded, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    return decoded == size && end == line.data() + line.size();
}

bool starts_with(std::string_view line, std::string_view prefix) { return line.substr(0, prefix.size()) == prefix; }

// Reads a small file whole; sign_no_file, sign_unreadable or sign_malformed (too large).
int read_small_file(const char* path, std::string& text) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? sign_no_file : sign_unreadable;
    text.assign(sign_max_file_size + 1, '\0');
    const ssize_t length = tuf::read_all(fd, text.data(), text.size());
    const int saved_errno = errno;
    ::close(fd);
    errno = saved_errno;
    if (length < 0) return sign_unreadable;
    text.resize(static_cast<std::size_t>(length));
    return text.size() > sign_max_file_size ? sign_malformed : sign_ok;
}

// Feeds the whole file to `stream`, read in blocks.
int hash_file(const char* path, sign_stream_t& stream) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return sign_read_error;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const std::unique_ptr<unsigned char[]> block(new unsigned char[read_block]);
    ssize_t n = 0;
    while ((n = tuf::read_all(fd, block.get(), read_block)) > 0)
        sign_stream_update(&stream, block.get(), static_cast<std::size_t>(n));
    ::close(fd);
    return n < 0 ? sign_read_error : sign_ok;
}

// A prehashed signature made with `key`: what is known before anything is hashed.
int signer_status(const sign_signature_t& signature, const sign_key_t& key) {
    if (!signature.prehashed) return sign_legacy;
    if (std::memcmp(signature.key_id, key.id, sign_key_id_size) != 0) return sign_other_key;
    return sign_ok;
}

}  // namespace

int sign_parse_key(const char* text, std::size_t length, sign_key_t* key) {
    assert(key != nullptr && (text != nullptr || length == 0));
    std::vector<std::string_view> lines;
    if (text == nullptr || !split_lines(std::string_view(text, length), lines)) return sign_malformed;
    if (lines.size() != 2 || !starts_with(lines[0], untrusted_prefix)) return sign_malformed;
    unsigned char raw[key_bytes];
    if (!decode(lines[1], raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd') return sign_malformed;
    std::memcpy(key->id, raw + 2, sign_key_id_size);
    std::memcpy(key->public_key, raw + 2 + sign_key_id_size, sign_public_key_size);
    return sign_ok;
}

int sign_parse_signature(const char* text, std::size_t length, sign_signature_t* signature) {
    assert(signature != nullptr && (text != nullptr || length == 0));
    std::vector<std::string_view> lines;
    if (text == nullptr || !split_lines(std::string_view(text, length), lines)) return sign_malformed;
    if (lines.size() != 4 || !starts_with(lines[0], untrusted_prefix) || !starts_with(lines[2], trusted_prefix))
        return sign_malformed;
    unsigned char raw[signature_bytes];
    if (!decode(lines[1], raw, sizeof raw) || raw[0] != 'E' || (raw[1] != 'D' && raw[1] != 'd')) return sign_malformed;
    unsigned char global[sign_signature_size];
    if (!decode(lines[3], global, sizeof global)) return sign_malformed;
    signature->prehashed = raw[1] == 'D';
    std::memcpy(signature->key_id, raw + 2, sign_key_id_size);
    std::memcpy(signature->signature, raw + 2 + sign_key_id_size, sign_signature_size);
    signature->trusted_comment.assign(lines[2].substr(trusted_prefix.size()));
    std::memcpy(signature->global_signature, global, sign_signature_size);
    return sign_ok;
}

int sign_load_key(const char* path, sign_key_t* key) {
    assert(path != nullptr && key != nullptr);
    std::string text;
    const int status = read_small_file(path, text);
    return status != sign_ok ? status : sign_parse_key(text.data(), text.size(), key);
}

int sign_load_signature(const char* path, sign_signature_t* signature) {
    assert(path != nullptr && signature != nullptr);
    std::string text;
    const int status = read_small_file(path, text);
    return status != sign_ok ? status : sign_parse_signature(text.data(), text.size(), signature);
}

std::string sign_signature_path(const char* path) {
    assert(path != nullptr);
    return std::string(path) + sign_suffix;
}

int sign_check_signer(const char* path, const sign_key_t* key) {
    assert(path != nullptr && key != nullptr);
    sign_signature_t signature;
    const int status = sign_load_signature(sign_signature_path(path).c_str(), &signature);
    return status != sign_ok ? status : signer_status(signature, *key);
}

int sign_verify(const char* path, const sign_signature_t* signature, const sign_key_t* key) {
    assert(path != nullptr && signature != nullptr && key != nullptr);
    sign_stream_t stream;
    if (const int status = sign_stream_begin(&stream, signature, key); status != sign_ok) return status;
    if (const int status = hash_file(path, stream); status != sign_ok) return status;
    return sign_stream_end(&stream);
}

int sign_verify_file(const char* path, const sign_key_t* key, sign_signature_t* signature) {
    assert(path != nullptr && key != nullptr);
    sign_signature_t local;
    sign_signature_t& into = signature != nullptr ? *signature : local;
    const int status = sign_load_signature(sign_signature_path(path).c_str(), &into);
    return status != sign_ok ? status : sign_verify(path, &into, key);
}

struct sign_stream_t::state {
    crypto_generichash_state hash;
    std::uint8_t signature[sign_signature_size];
    std::uint8_t public_key[sign_public_key_size];
};

sign_stream_t::sign_stream_t() = default;
sign_stream_t::~sign_stream_t() = default;

int sign_stream_begin(sign_stream_t* stream, const sign_signature_t* signature, const sign_key_t* key) {
    assert(stream != nullptr && signature != nullptr && key != nullptr);
    stream->begun.reset();
    if (const int status = signer_status(*signature, *key); status != sign_ok) return status;
    if (!sodium_ready()) return sign_read_error;

    std::vector<unsigned char> signed_comment(signature->signature, signature->signature + sign_signature_size);
    signed_comment.insert(signed_comment.end(), signature->trusted_comment.begin(), signature->trusted_comment.end());
    if (crypto_sign_verify_detached(signature->global_signature, signed_comment.data(), signed_comment.size(),
                                    key->public_key) != 0)
        return sign_comment_altered;

    auto state = std::make_unique<sign_stream_t::state>();
    crypto_generichash_init(&state->hash, nullptr, 0, hash_bytes);
    std::memcpy(state->signature, signature->signature, sign_signature_size);
    std::memcpy(state->public_key, key->public_key, sign_public_key_size);
    stream->begun = std::move(state);
    return sign_ok;
}

void sign_stream_update(sign_stream_t* stream, const void* data, std::size_t length) {
    assert(stream != nullptr && stream->begun && (data != nullptr || length == 0));
    crypto_generichash_update(&stream->begun->hash, static_cast<const unsigned char*>(data),
                              static_cast<unsigned long long>(length));
}

int sign_stream_end(sign_stream_t* stream) {
    assert(stream != nullptr && stream->begun);
    const std::unique_ptr<sign_stream_t::state> state = std::move(stream->begun);
    unsigned char hash[hash_bytes];
    crypto_generichash_final(&state->hash, hash, sizeof hash);
    return crypto_sign_verify_detached(state->signature, hash, sizeof hash, state->public_key) == 0 ? sign_ok
                                                                                                   : sign_mismatch;
}

const char* sign_status_text(int status) {
    switch (status) {
        case sign_ok: return "signature verified";
        case sign_no_file: return "no signature file";
        case sign_unreadable: return "the signature file cannot be read";
        case sign_malformed: return "the signature file is not in minisign's format";
        case sign_legacy: return "legacy signature over the whole file (not prehashed), refused";
        case sign_other_key: return "signed with another key";
        case sign_comment_altered: return "the trusted comment does not match its signature";
        case sign_mismatch: return "the file does not match its signature (changed or cut since it was signed)";
        case sign_read_error: return "the signed file cannot be read";
        default: return "unknown signature status";
    }
}

std::string sign_key_id_text(const std::uint8_t* id) {
    assert(id != nullptr);
    char text[2 * sign_key_id_size + 1];
    for (std::size_t i = 0; i < sign_key_id_size; ++i)
        std::snprintf(text + 2 * i, 3, "%02X", static_cast<unsigned>(id[sign_key_id_size - 1 - i]));
    return text;
}
