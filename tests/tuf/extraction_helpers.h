// Running an extraction with its standard output captured, in this process or in
// a forked child (for process-wide settings such as limits or the working folder).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "package_builder.h"
#include "tuf/ttuf.h"

namespace tuf_test {

struct Extraction {
    int result;
    std::string output;
};

inline Extraction extract(const std::string& package, const std::string& root) {
    testing::internal::CaptureStdout();
    const int result = tuf_extract(package.c_str(), root.c_str());
    std::fflush(stdout);
    return {result, testing::internal::GetCapturedStdout()};
}

// Runs `body` in a child whose standard output goes to `output_path`; the child's
// exit code is the body's result.
inline Extraction in_child(const std::string& output_path, const std::function<int()>& body) {
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        if (std::freopen(output_path.c_str(), "w", stdout) == nullptr) ::_exit(120);
        const int result = body();
        std::fflush(stdout);
        ::_exit(result);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    const int result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return {result, read_file(output_path)};
}

inline std::string info_lines(const std::string& package, const std::string& id, const std::string& version,
                              const std::string& command) {
    return "TUF File Info: " + package + "\n\t+ ID       : " + id + "\n\t+ Version  : " + version +
           "\n\t+ Command  : " + command + "\n";
}

}  // namespace tuf_test
