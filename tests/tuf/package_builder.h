// Test helpers: a package builder that writes the format byte by byte (so damaged
// packages are as easy to make as good ones), temporary folders and file helpers.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tuf_test {

inline void put_le32(std::string& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// Copies `part` over `out` from `at` (the string must be long enough).
inline void overwrite(std::string& out, std::size_t at, std::string_view part) {
    for (std::size_t i = 0; i < part.size(); ++i) out[at + i] = part[i];
}

inline std::string zlib_compress(std::string_view data, int level = 6) {
    uLongf length = compressBound(static_cast<uLong>(data.size()));
    std::string out(length, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &length, reinterpret_cast<const Bytef*>(data.data()),
                  static_cast<uLong>(data.size()), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(length);
    return out;
}

// One entry record with the bytes that follow it, every field under the test's control.
struct Record {
    std::string name;             // cut or NUL-padded to 130 bytes
    std::uint8_t type = 1;
    std::uint8_t compressed = 0;
    std::uint32_t size = 0;
    std::uint32_t packed_size = 0;
    std::uint32_t skip = 0;
    std::string data;             // written after the record as it stands
    std::string after;            // written after the data (what `skip` passes over)
};

class PackageBuilder {
public:
    PackageBuilder() : bytes_(160, '\0') {
        overwrite(bytes_, 0, "TUF");
        put_le32(bytes_, 4, 160);
    }

    PackageBuilder& id(std::string_view text) { return text_field(8, 8, text); }
    PackageBuilder& version(std::string_view text) { return text_field(16, 16, text); }
    PackageBuilder& command(std::string_view text) { return text_field(32, 128, text); }
    PackageBuilder& data_offset(std::uint32_t offset) {
        put_le32(bytes_, 4, offset);
        return *this;
    }
    // Raw bytes into the header, e.g. a field filled to its end without a NUL.
    PackageBuilder& header_bytes(std::size_t at, std::string_view raw) {
        overwrite(bytes_, at, raw);
        return *this;
    }

    PackageBuilder& record(const Record& r) {
        std::string raw(144, '\0');
        overwrite(raw, 0, std::string_view(r.name).substr(0, 130));
        raw[130] = static_cast<char>(r.type);
        raw[131] = static_cast<char>(r.compressed);
        put_le32(raw, 132, r.size);
        put_le32(raw, 136, r.packed_size);
        put_le32(raw, 140, r.skip);
        bytes_ += raw;
        bytes_ += r.data;
        bytes_ += r.after;
        return *this;
    }
    PackageBuilder& dir(std::string_view name) { return record({std::string(name), 0, 0, 0, 0, 0, {}, {}}); }
    PackageBuilder& stored(std::string_view name, std::string_view content, std::uint32_t skip = 0) {
        return record({std::string(name), 1, 0, static_cast<std::uint32_t>(content.size()), 0, skip,
                       std::string(content), std::string(skip, 'S')});
    }
    PackageBuilder& compressed(std::string_view name, std::string_view content, std::uint32_t skip = 0) {
        const std::string packed = zlib_compress(content);
        return record({std::string(name), 1, 1, static_cast<std::uint32_t>(content.size()),
                       static_cast<std::uint32_t>(packed.size()), skip, packed, std::string(skip, 'S')});
    }
    PackageBuilder& raw(std::string_view bytes) {
        bytes_ += bytes;
        return *this;
    }

    const std::string& bytes() const { return bytes_; }
    void write(const std::string& path) const;

private:
    PackageBuilder& text_field(std::size_t at, std::size_t width, std::string_view text) {
        overwrite(bytes_, at, std::string(width, '\0'));
        overwrite(bytes_, at, text.substr(0, width));
        return *this;
    }
    std::string bytes_;
};

inline void write_file(const std::string& path, std::string_view data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline void PackageBuilder::write(const std::string& path) const { write_file(path, bytes_); }

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

inline bool is_link(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

// Temporary files of the file writer ("NAME.tuf-new") in one folder.
inline int temporaries_in(const std::string& folder) {
    int count = 0;
    if (DIR* listing = ::opendir(folder.c_str())) {
        while (const dirent* found = ::readdir(listing))
            count += std::string_view(found->d_name).ends_with(".tuf-new") ? 1 : 0;
        ::closedir(listing);
    }
    return count;
}

inline unsigned mode_of(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return 0;
    return static_cast<unsigned>(status.st_mode & 07777);
}

// A folder from mkdtemp, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tuf-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        ::nftw(
            path_.c_str(),
            [](const char* path, const struct stat*, int, struct FTW*) {
                ::remove(path);
                return 0;
            }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

// Pseudo-random bytes that zlib cannot make smaller.
inline std::string noise(std::size_t length, std::uint32_t seed = 12345) {
    std::string out(length, '\0');
    for (auto& c : out) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    return out;
}

}  // namespace tuf_test
