// Shared pieces of the tufpkg subcommands: argument handling, exit codes, text
// and JSON quoting, and the progress line.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tuf/package_reader.h"

namespace tufpkg {

enum ExitCode : int { exit_ok = 0, exit_problem = 1, exit_usage = 2 };

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An open file descriptor, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(-1); }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// The arguments of one subcommand: options with a value ("--id X" or "--id=X"),
// flags, and positional arguments. Unknown options are usage errors.
class Arguments {
public:
    Arguments(int argc, char** argv, std::vector<std::string> value_options, std::vector<std::string> flags);

    bool help() const { return help_; }
    std::optional<std::string> value(std::string_view option) const;
    bool flag(std::string_view option) const;
    const std::vector<std::string>& positional() const { return positional_; }
    // The value of a required option, or a usage error naming it.
    std::string required(std::string_view option) const;

private:
    std::vector<std::pair<std::string, std::string>> values_;
    std::vector<std::string> flags_;
    std::vector<std::string> positional_;
    bool help_ = false;
};

// Text for a terminal: control bytes and backslashes become \xNN escapes.
std::string printable(std::string_view text);
// A JSON string literal; bytes that are not valid UTF-8 become \u00NN.
std::string json_string(std::string_view text);

std::string percent(std::uint64_t part, std::uint64_t whole);
// "1 file", "2 files".
std::string counted(std::uint64_t count, const char* one, const char* many);
// "512 B", "4.0 KiB", "12.3 MiB".
std::string human_bytes(std::uint64_t bytes);

// A one-line progress display on standard error, like pv's: done and total, the
// share, the time taken and what is being worked on. Only on a terminal, and not
// with --quiet.
class Progress {
public:
    enum class Unit { bytes, entries };
    Progress(std::string label, std::uint64_t total, Unit unit = Unit::entries, bool quiet = false);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();
    // Redrawn at most ten times a second.
    void update(std::uint64_t done, std::string_view current = {});
    // A line on standard output that does not run into the progress line.
    void print_line(const std::string& line);

private:
    void clear();

    std::string label_;
    std::uint64_t total_;
    Unit unit_;
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_{};
};

// A package opened for reading, its header decoded.
struct OpenedPackage {
    tuf::PackageReader reader;
    HEADTUFFILE header{};
    std::uint64_t size = 0;
};

// Opens `path` and reads its header. On failure `why` says what is wrong and
// the result is false.
bool open_package(const std::string& path, OpenedPackage& package, std::string& why);

// "entry N at offset X" (N 0 is the header).
std::string where(std::size_t entry, std::uint64_t offset);

// The minisign signature beside a package ("PKG.minisig"), checked when a key
// file is given.
struct SignatureCheck {
    std::string file;
    bool present = false;   // the signature file exists
    bool checked = false;   // a key was given
    bool verified = false;
    std::string status;     // a short name: "ok", "mismatch", "other_key", "bad_key"...
    std::string message;
    bool names_file = false;  // the message ends with the signature file's name
    std::string key_id;
    std::string trusted_comment;
};
SignatureCheck check_signature(const std::string& path, const std::optional<std::string>& key_path);
// {"file":...,"present":...,"verified":true|false|null,...}
std::string signature_json(const SignatureCheck& check);

// Flushes standard output; false (with a message) when anything written to it
// was lost, e.g. on a full disk.
bool finish_output(const std::string& command);

int run_create(int argc, char** argv);
int run_list(int argc, char** argv);
int run_check(int argc, char** argv);
int run_extract(int argc, char** argv);
int run_verify(int argc, char** argv);

}  // namespace tufpkg
