#include "tuf/tfile.h"

#include <sys/types.h>

#include <cassert>
#include <climits>
#include <cstdio>

int file_ver(char* str, int len) {
    assert(str != nullptr);
    assert(len > 1);
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%s - %s", "LINUX", "10.12.14");
    for (int i = 0; i < len - 1; ++i) str[i] = i < length ? text[i] : '\0';
    str[len - 1] = '\0';
    return len > length ? 0 : 1;
}

int file_get_data(const char* filename, void* buffer, long size) {
    assert(filename != nullptr);
    assert(buffer != nullptr);
    assert(size > 0);
    std::FILE* file = std::fopen(filename, "rb");
    if (file == nullptr) return 1;
    const std::size_t got = std::fread(buffer, 1, static_cast<std::size_t>(size), file);
    std::fclose(file);
    return got == static_cast<std::size_t>(size) ? 0 : 3;
}

long file_get_size(const char* filename) {
    assert(filename != nullptr);
    std::FILE* file = std::fopen(filename, "rb");
    if (file == nullptr) return -1;
    if (fseeko(file, 0, SEEK_END) != 0) {
        std::fclose(file);
        return -1;
    }
    const off_t position = ftello(file);
    std::fclose(file);
    // A length that a long cannot hold (over 2 GiB on a 32-bit build) cannot be
    // reported truthfully, so it is reported as unknown.
    if (position < 0 || position > LONG_MAX) return -1;
    return static_cast<long>(position);
}
