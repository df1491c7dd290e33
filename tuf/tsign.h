// minisign signatures: the public key file, the signature file beside a signed file
// ("NAME.minisig"), and the check of a file against both. Only the prehashed form
// ("ED": Ed25519 over the BLAKE2b-512 hash of the file) is accepted, so a file of any
// size is checked in one streamed pass with a fixed buffer; the trusted comment is
// checked by its global signature. Verification is libsodium's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

constexpr std::size_t sign_key_id_size = 8;
constexpr std::size_t sign_public_key_size = 32;
constexpr std::size_t sign_signature_size = 64;
// A key or signature file larger than this is not one minisign wrote.
constexpr std::size_t sign_max_file_size = 16384;
constexpr const char* sign_suffix = ".minisig";

struct sign_key_t {
    std::uint8_t id[sign_key_id_size];
    std::uint8_t public_key[sign_public_key_size];
};

struct sign_signature_t {
    bool prehashed = false;  // "ED"; false for the legacy "Ed" form
    std::uint8_t key_id[sign_key_id_size] = {};
    std::uint8_t signature[sign_signature_size] = {};
    std::string trusted_comment;
    std::uint8_t global_signature[sign_signature_size] = {};
};

enum sign_status : int {
    sign_ok = 0,
    sign_no_file,          // the key or signature file does not exist
    sign_unreadable,       // it exists but cannot be read
    sign_malformed,        // it is not in minisign's format
    sign_legacy,           // a legacy signature over the whole file: refused
    sign_other_key,        // the signature was made with another key
    sign_comment_altered,  // the trusted comment does not match its global signature
    sign_mismatch,         // the file changed (or was cut) since it was signed
    sign_read_error,       // the signed file cannot be read
};

// Parsers of the two file formats, over the file's bytes. sign_ok or sign_malformed.
int sign_parse_key(const char* text, std::size_t length, sign_key_t* key);
int sign_parse_signature(const char* text, std::size_t length, sign_signature_t* signature);

// Reads and parses a file: sign_no_file when it does not exist, sign_unreadable
// when it cannot be read (errno tells why), else as the parser.
int sign_load_key(const char* path, sign_key_t* key);
int sign_load_signature(const char* path, sign_signature_t* signature);

// "PATH.minisig".
std::string sign_signature_path(const char* path);

// The cheap check made before a file is offered: a prehashed signature made with
// `key` lies beside `path`. Nothing of the file itself is read.
int sign_check_signer(const char* path, const sign_key_t* key);

// The whole check of `path` against `signature`: key ID, trusted comment, then
// the file read once through BLAKE2b-512.
int sign_verify(const char* path, const sign_signature_t* signature, const sign_key_t* key);
// The same with the signature read from beside `path`; `signature`, when given,
// receives what was read.
int sign_verify_file(const char* path, const sign_key_t* key, sign_signature_t* signature = nullptr);

// The same check over bytes as they are read, so a file read once for another purpose
// (a package laid down while it is read) is checked by that one read: begun against a
// loaded signature (key ID and trusted comment are checked then), fed every byte of the
// file in order, and ended once, which tells whether those bytes are the signed ones.
struct sign_stream_t {
    sign_stream_t();
    ~sign_stream_t();
    sign_stream_t(const sign_stream_t&) = delete;
    sign_stream_t& operator=(const sign_stream_t&) = delete;

    struct state;
    std::unique_ptr<state> begun;  // null until sign_stream_begin succeeds
};
// sign_ok, or the status that refuses the signature before anything is hashed.
int sign_stream_begin(sign_stream_t* stream, const sign_signature_t* signature, const sign_key_t* key);
void sign_stream_update(sign_stream_t* stream, const void* data, std::size_t length);
// sign_ok or sign_mismatch; the stream is then no longer begun.
int sign_stream_end(sign_stream_t* stream);

// One line of text for a status, e.g. for "Error : signature of ... : TEXT".
const char* sign_status_text(int status);
// The key ID as minisign prints it: 16 hexadecimal digits, last byte first.
std::string sign_key_id_text(const std::uint8_t* id);
