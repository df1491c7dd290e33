// Fuzz inputs reach the package modules as files: each input is written to one
// temporary file that is reused for the whole run.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tuf_fuzz {

class InputFile {
public:
    InputFile() {
        const char* base = std::getenv("TMPDIR");
        path_ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tuf-fuzz-input-XXXXXX";
        fd_ = ::mkstemp(path_.data());
        if (fd_ < 0) {
            std::perror("tuf fuzz: mkstemp");
            std::abort();
        }
    }
    ~InputFile() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const char* write(const std::uint8_t* data, std::size_t size) {
        if (::ftruncate(fd_, 0) != 0 || (size > 0 && ::pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size))) {
            std::perror("tuf fuzz: writing the input");
            std::abort();
        }
        return path_.c_str();
    }

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace tuf_fuzz
