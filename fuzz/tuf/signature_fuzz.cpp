// Fuzzes the minisign parsers (public key file, signature file) and, for what
// parses as a signature, the whole check against the corpus's key over the input
// file itself, which no signature can truly sign.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_package_file.h"
#include "tuf/tsign.h"

namespace {
sign_key_t corpus_key;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (sign_load_key(SIGNATURE_FUZZ_KEY, &corpus_key) != sign_ok) {
        std::fprintf(stderr, "signature fuzz: cannot load %s\n", SIGNATURE_FUZZ_KEY);
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    sign_key_t key;
    if (sign_parse_key(text, size, &key) == sign_ok && size < 2 * sign_public_key_size) __builtin_trap();

    sign_signature_t signature;
    const int parsed = sign_parse_signature(text, size, &signature);
    if (parsed != sign_ok && parsed != sign_malformed) __builtin_trap();
    if (parsed != sign_ok) return 0;
    if (signature.trusted_comment.size() > size) __builtin_trap();
    static tuf_fuzz::InputFile input;
    const char* path = input.write(data, size);
    if (sign_verify(path, &signature, &corpus_key) == sign_ok) __builtin_trap();
    return 0;
}
