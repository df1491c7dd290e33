// upgsim as a child process for the tests and benchmarks: its standard output
// and error collected apart, text awaited on either, signals sent to it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace test {

class Upgsim {
public:
    // `environment`: "NAME=VALUE" sets a variable, "NAME" removes it; `input`: the
    // descriptor to give as standard input (default /dev/null).
    explicit Upgsim(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& path_env = "", const std::vector<std::string>& environment = {},
                    int input = -1) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::dup2(input >= 0 ? input : ::open("/dev/null", O_RDONLY), STDIN_FILENO);
            if (!path_env.empty()) ::setenv("PATH", path_env.c_str(), 1);
            for (const std::string& variable : environment) {
                const auto equals = variable.find('=');
                if (equals == std::string::npos) ::unsetenv(variable.c_str());
                else ::setenv(variable.substr(0, equals).c_str(), variable.c_str() + equals + 1, 1);
            }
            std::vector<std::string> words = {program};
            words.insert(words.end(), arguments.begin(), arguments.end());
            std::vector<char*> argv;
            for (auto& word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_fd_ = out[0];
        err_fd_ = err[0];
    }

    ~Upgsim() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0) ::close(out_fd_);
        if (err_fd_ >= 0) ::close(err_fd_);
    }

    // Reads until `text` has appeared in the standard output (or error); false on timeout.
    bool wait_for_out(const std::string& text) { return wait_for(out_, text); }
    bool wait_for_err(const std::string& text) { return wait_for(err_, text); }

    void signal(int id) { ::kill(pid_, id); }

    // Reads everything and returns the exit status (-1 on timeout or a signal).
    int finish() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
        while ((out_fd_ >= 0 || err_fd_ >= 0) && std::chrono::steady_clock::now() < deadline) read_some(200);
        if (out_fd_ >= 0 || err_fd_ >= 0) ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    bool wait_for(const std::string& stream, const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (stream.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline || (out_fd_ < 0 && err_fd_ < 0)) return false;
            read_some(200);
        }
        return true;
    }

    void read_some(int timeout_ms) {
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (::poll(fds, 2, timeout_ms) <= 0) return;
        take(fds[0], out_fd_, out_);
        take(fds[1], err_fd_, err_);
    }

    static void take(const pollfd& fd, int& descriptor, std::string& into) {
        if (descriptor < 0 || !(fd.revents & (POLLIN | POLLHUP))) return;
        char buffer[4096];
        ssize_t n = ::read(descriptor, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else {
            ::close(descriptor);
            descriptor = -1;
        }
    }

    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    bool reaped_ = false;
    std::string out_, err_;
};

}  // namespace test
