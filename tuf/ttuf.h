// TUF packages: check, extraction, header writer and version text.
#pragma once

#include <cstdint>

// Package header, 160 bytes at the start of the file. Integers are stored
// little-endian; readers decode them explicitly.
struct HEADTUFFILE {
    char magic[4];          // "TUF" and one zero byte
    uint32_t data_offset;   // position of the first entry record
    char id[8];
    char version[16];
    char command[128];
};
static_assert(sizeof(HEADTUFFILE) == 160);
typedef HEADTUFFILE _HEADTUFFILE;

// Entry record, 144 bytes, followed by the entry's data and `skip` bytes (files only).
struct ENTRYTUFFILE {
    char name[130];
    uint8_t type;           // 0 directory, anything else a file
    uint8_t compressed;     // 1: the data is one zlib stream
    uint32_t size;          // length of the file as extracted
    uint32_t packed_size;   // length of the zlib stream
    uint32_t skip;          // bytes between the data and the next record
};
static_assert(sizeof(ENTRYTUFFILE) == 144);

namespace tuf {
class PackageCheck;
}

int tuf_is_tuf_file(const char* path, HEADTUFFILE* header);
int tuf_extract(const char* path, const char* root);
// The extraction of a package that `check` must accept whole (a signed one): the file
// is opened once and read once, every byte of it seen by `check`; its files are staged
// beside their targets and put in place, in package order, only when `check` accepts
// the header and then all the bytes, before the command runs. On any failure every
// staged file is removed (folders made stay). The codes of tuf_extract, and
// tuf_refused when `check` refused the package.
int tuf_extract_checked(const char* path, const char* root, tuf::PackageCheck& check);
constexpr int tuf_refused = 12;
int do_cmd(const char* cmd);
int tuf_compress(const char* root, const char* path, const char* id, const char* version, const char* command,
                 int flag);
int tuf_ver(char* str, int len);
