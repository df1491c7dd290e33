// A minisign key pair made by Debian's minisign at test time, and signatures made
// with it, for the tests that sign packages they build (host only: minisign is a
// host program).
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace tuf_test {

// Runs minisign with `arguments`, its output discarded; throws when it fails.
inline void minisign(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "minisign");
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int failed = ::posix_spawnp(&child, "minisign", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (failed != 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("minisign " + arguments[1] + " failed (is Debian's minisign installed?)");
}

class MinisignKey {
public:
    // Makes KEY.pub and KEY.sec (no password) in `folder`.
    MinisignKey(const std::string& folder, const std::string& name = "key")
        : public_key_(folder + "/" + name + ".pub"), secret_key_(folder + "/" + name + ".sec") {
        minisign({"-G", "-W", "-f", "-p", public_key_, "-s", secret_key_});
    }

    const std::string& public_key() const { return public_key_; }

    // Signs `file` into FILE.minisig, or into `signature` when given.
    void sign(const std::string& file, const std::string& signature = "") const {
        minisign({"-S", "-s", secret_key_, "-m", file, "-x", signature.empty() ? file + ".minisig" : signature});
    }

private:
    std::string public_key_, secret_key_;
};

}  // namespace tuf_test
