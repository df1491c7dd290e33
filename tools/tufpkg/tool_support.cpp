#include "tool_support.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tufpkg {

Arguments::Arguments(int argc, char** argv, std::vector<std::string> value_options, std::vector<std::string> flags) {
    bool options_done = false;
    for (int i = 0; i < argc; ++i) {
        const std::string argument = argv[i];
        if (options_done || argument.size() < 2 || argument[0] != '-') {
            positional_.push_back(argument);
            continue;
        }
        if (argument == "--") {
            options_done = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            help_ = true;
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (std::find(value_options.begin(), value_options.end(), name) != value_options.end()) {
            if (equals != std::string::npos) {
                values_.emplace_back(name, argument.substr(equals + 1));
            } else if (i + 1 < argc) {
                values_.emplace_back(name, argv[++i]);
            } else {
                throw UsageError("option " + name + " needs a value");
            }
            continue;
        }
        if (equals == std::string::npos && std::find(flags.begin(), flags.end(), name) != flags.end()) {
            flags_.push_back(name);
            continue;
        }
        throw UsageError("unknown option " + argument);
    }
}

std::optional<std::string> Arguments::value(std::string_view option) const {
    std::optional<std::string> found;
    for (const auto& [name, value] : values_)
        if (name == option) found = value;
    return found;
}

bool Arguments::flag(std::string_view option) const {
    return std::find(flags_.begin(), flags_.end(), option) != flags_.end();
}

std::string Arguments::required(std::string_view option) const {
    auto found = value(option);
    if (!found) throw UsageError("missing " + std::string(option));
    return *found;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

// Length of the valid UTF-8 sequence at `at`, or 0.
std::size_t utf8_length(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        minimum = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        minimum = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    std::uint32_t code = lead & (0x3fu >> (length - 1));
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xc0) != 0x80) return 0;
        code = code << 6 | (next & 0x3fu);
    }
    if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

}  // namespace

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const std::size_t length = utf8_length(text, i);
            if (length > 0) {
                out.append(text.substr(i, length));
                i += length;
                continue;
            }
        }
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += static_cast<char>(byte);
        }
        ++i;
    }
    return out + "\"";
}

std::string percent(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

std::string counted(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string human_bytes(std::uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

Progress::Progress(std::string label, std::uint64_t total, Unit unit, bool quiet)
    : label_(std::move(label)),
      total_(total),
      unit_(unit),
      enabled_(!quiet && ::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() { clear(); }

void Progress::clear() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
}

void Progress::update(std::uint64_t done, std::string_view current) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - start_).count();
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    const bool bytes = unit_ == Unit::bytes;
    std::string line = label_ + " " + (bytes ? human_bytes(done) : std::to_string(done)) + " / " +
                       (bytes ? human_bytes(total_) : std::to_string(total_)) + "  " + percent(done, total_) + "  " +
                       elapsed;
    if (!current.empty()) line += "  " + printable(current);
    winsize size{};
    const std::size_t columns = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col : 80;
    if (line.size() > columns - 1) line.resize(columns - 1);
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    shown_ = true;
}

void Progress::print_line(const std::string& line) {
    clear();
    std::printf("%s\n", line.c_str());
    if (enabled_) std::fflush(stdout);
}

bool finish_output(const std::string& command) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && std::ferror(stdout) == 0) return true;
    std::fprintf(stderr, "tufpkg%s%s: cannot write to standard output%s%s\n", command.empty() ? "" : " ",
                 command.c_str(), error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
    return false;
}

bool open_package(const std::string& path, OpenedPackage& package, std::string& why) {
    if (!package.reader.open(path.c_str())) {
        why = printable(path) + ": cannot open: " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        why = printable(path) + ": a folder, not a package";
        return false;
    }
    package.size = package.reader.file_size();
    unsigned char raw[tuf::header_size];
    const std::size_t got = package.reader.read(raw, sizeof raw);
    if (got != sizeof raw) {
        why = printable(path) + ": not a package: " +
              (package.reader.failed() ? std::string("cannot read its header")
                                       : std::to_string(got) + " bytes, shorter than the 160-byte header");
        return false;
    }
    if (std::memcmp(raw, "TUF", 3) != 0) {
        why = printable(path) + ": not a package: it does not begin with \"TUF\"";
        return false;
    }
    tuf::decode_header(raw, package.header);
    return true;
}

std::string where(std::size_t entry, std::uint64_t offset) {
    if (entry == 0) return "header";
    return "entry " + std::to_string(entry) + " at offset " + std::to_string(offset);
}

}  // namespace tufpkg
