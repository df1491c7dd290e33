// Runs the tufpkg binary in a child process and collects its exit code and output.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "../tuf/package_builder.h"

namespace tufpkg_test {

struct ToolRun {
    int code;
    std::string out;
    std::string err;
};

// `prepare` runs in the child just before the program starts (limits, signals).
inline ToolRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                           const std::function<void()>& prepare = {}) {
    tuf_test::TempDir capture;
    const std::string out_path = capture / "out";
    const std::string err_path = capture / "err";
    const pid_t child = ::fork();
    if (child == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(125);
        if (prepare) prepare();
        std::vector<std::string> copies = arguments;
        copies.insert(copies.begin(), program);
        std::vector<char*> argv;
        for (auto& argument : copies) argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(126);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return {code, tuf_test::read_file(out_path), tuf_test::read_file(err_path)};
}

inline ToolRun tufpkg(const std::vector<std::string>& arguments, const std::function<void()>& prepare = {}) {
    return run_program(TUFPKG_PATH, arguments, prepare);
}

// The tool with standard output and error on a terminal (script(1) gives it one):
// everything it wrote there. `arguments` is one shell line.
inline ToolRun tufpkg_on_terminal(const std::string& arguments) {
    return run_program("/usr/bin/script", {"-qec", std::string(TUFPKG_PATH) + " " + arguments, "/dev/null"});
}

// Every path under `root` (relative, "/"-prefixed) with its content, or "<dir>".
inline std::map<std::string, std::string> snapshot(const std::string& root) {
    static std::map<std::string, std::string>* target = nullptr;
    static std::size_t prefix = 0;
    std::map<std::string, std::string> result;
    target = &result;
    prefix = root.size();
    ::nftw(
        root.c_str(),
        [](const char* path, const struct stat* status, int, struct FTW*) {
            const std::string full = path;
            if (full.size() == prefix) return 0;
            const std::string name = full.substr(prefix);
            if (S_ISDIR(status->st_mode))
                (*target)[name] = "<dir>";
            else if (S_ISREG(status->st_mode))
                (*target)[name] = tuf_test::read_file(full);
            else
                (*target)[name] = "<other>";
            return 0;
        },
        16, FTW_PHYS);
    target = nullptr;
    return result;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace tufpkg_test
