// Builds TUF packages byte by byte for the upgrade-flow tests, including ones the
// package tool would never make (entries under missing folders, unknown IDs).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace test {

class PackageBuilder {
public:
    PackageBuilder(const std::string& id, const std::string& version, const std::string& command = "") {
        bytes_.assign(160, 0);
        std::memcpy(bytes_.data(), "TUF", 3);
        put32(4, 160);
        std::memcpy(bytes_.data() + 8, id.data(), std::min<std::size_t>(id.size(), 8));
        std::memcpy(bytes_.data() + 16, version.data(), std::min<std::size_t>(version.size(), 16));
        std::memcpy(bytes_.data() + 32, command.data(), std::min<std::size_t>(command.size(), 127));
    }

    PackageBuilder& dir(const std::string& name) { return record(name, 0, 0, 0, 0, {}); }

    PackageBuilder& file(const std::string& name, const std::string& content, bool compressed = false) {
        if (!compressed || content.empty())
            return record(name, 1, 0, static_cast<std::uint32_t>(content.size()), 0, content);
        uLongf packed_size = compressBound(static_cast<uLong>(content.size()));
        std::string packed(packed_size, '\0');
        compress(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
                 reinterpret_cast<const Bytef*>(content.data()), static_cast<uLong>(content.size()));
        packed.resize(packed_size);
        return record(name, 1, 1, static_cast<std::uint32_t>(content.size()), static_cast<std::uint32_t>(packed.size()),
                      packed);
    }

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

    bool write(const std::string& path) const {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
        return static_cast<bool>(out);
    }

private:
    void put32(std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes_[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }

    PackageBuilder& record(const std::string& name, std::uint8_t type, std::uint8_t compressed, std::uint32_t size,
                           std::uint32_t packed_size, const std::string& data) {
        const std::size_t at = bytes_.size();
        bytes_.resize(at + 144, 0);
        std::memcpy(bytes_.data() + at, name.data(), std::min<std::size_t>(name.size(), 129));
        bytes_[at + 130] = type;
        bytes_[at + 131] = compressed;
        put32(at + 132, size);
        put32(at + 136, packed_size);
        put32(at + 140, 0);
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return *this;
    }

    std::vector<std::uint8_t> bytes_;
};

}  // namespace test
