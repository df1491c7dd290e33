// upgsim: the device program on a PC. The host side checks the arguments, lays
// out the sandbox and starts it; upgsim runs again inside (--inner), where the
// device's fixed paths are real and the fakes stand in for the devices. The host
// side passes the keys in, shows the screen live (--window) and prints what
// became of each package.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim/key_controller.h"
#include "sim/upgsim_report.h"
#include "sim/upgsim_sandbox.h"
#include "sim/upgsim_session.h"
#include "sim/upgsim_window.h"
#include "tools/tufpkg/tool_support.h"
#include "upg_version.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* usage_text =
    "Usage: upgsim --rootfs DIR [--card DIR] [OPTION...] [PACKAGE]\n"
    "\n"
    "Runs the device program upgqx4170 on a simulated screen and key controller, in a\n"
    "sandbox. DIR (--rootfs, created if missing) is the device's root file system, with the\n"
    "PC's /usr (and /bin, /lib, ...) underneath it for the shell: whatever the program, the\n"
    "card's script and the packages' commands write, wherever they write it (/usr and /tmp\n"
    "included), lands in DIR. The card folder (--card, default: the current directory) is\n"
    "/QX4XX/MMC and the working directory. The sandbox has no network and no capabilities.\n"
    "\n"
    "PACKAGE, a package file anywhere on the PC, is the only package offered, as when it is\n"
    "named on the device's command line: one on the card by its name there, one in the\n"
    "rootfs by its path there, any other read-only at /.upgsim/package/NAME.\n"
    "\n"
    "Options:\n"
    "  --keys LIST       comma-separated keys 1..4 or left,right,ok,power, each sent once the\n"
    "                    program waits for a key; without it, on a terminal: arrows, Enter, p,\n"
    "                    Ctrl-C. A key typed before the first dialog is discarded, one typed\n"
    "                    while the program is busy is held until the next dialog\n"
    "  --window          the screen live in a window, which takes the same keys; closing it\n"
    "                    cuts the run off like a power cut\n"
    "  --scale N         the window N times the screen's size (1 to 8, default 1)\n"
    "  --screens DIR     a PNG of the screen each time it settles: 001.png, 002.png, ...; and of\n"
    "                    the updating window with its first spinner frame: 001_updating.png, ...\n"
    "  --force           let --screens replace the pictures of an earlier run in DIR\n"
    "  --screen WxH[xBPP]  the framebuffer (default 640x480x16)\n"
    "  --memory MIB      a device with MIB MiB of memory (16 or more): the program's\n"
    "                    /proc/meminfo says so and, where this user may make a memory cgroup,\n"
    "                    the sandbox can use no more (default: the PC's memory)\n"
    "  --json            the summary as JSON on standard output; the program's own output goes\n"
    "                    to standard error\n"
    "  --fast            the program's 5-second wait after an extraction lasts 0.2 s\n"
    "  -h, --help        this text\n"
    "  --version         the version of upgsim\n"
    "\n"
    "The summary lists each package offered: applied, skipped by the user, or failed and why\n"
    "(the extraction's status, the signature, an unknown ID, not a package), with the exit\n"
    "status of its command. Exit status: 0 when every package offered was applied or skipped\n"
    "and the program ended by itself (it returned, or the power key switched the device off);\n"
    "1 when a package failed or was left unanswered, the run was interrupted (Ctrl-C, the\n"
    "window closed, --keys used up) or the sandbox could not start; 2 for bad usage.\n";

struct Options {
    std::string rootfs, card, screens;
    std::vector<int> keys;
    bool keys_given = false;
    sim::FramebufferFormat format;
    bool window = false;
    int scale = 0;
    bool force = false;
    std::uint64_t memory_mib = 0;
    bool json = false;
    bool fast = false;
    bool timing = false;
    bool hold = false;
    bool inner = false;
    int control_fd = -1, status_fd = -1, screen_fd = -1;
    std::vector<std::string> program_args;
};

[[noreturn]] void fail_usage(const std::string& message) {
    std::fprintf(stderr, "upgsim: %s (upgsim --help lists the options)\n", message.c_str());
    std::exit(2);
}

bool parse_screen(const std::string& text, sim::FramebufferFormat& format) {
    int width = 0, height = 0, bpp = 16;
    char tail = 0;
    int fields = std::sscanf(text.c_str(), "%dx%dx%d%c", &width, &height, &bpp, &tail);
    if (fields == 2) bpp = 16;
    else if (fields != 3) return false;
    if (width <= 0 || height <= 0 || width > 8192 || height > 8192) return false;
    if (bpp == 16) format = sim::FramebufferFormat::rgb565(width, height);
    else if (bpp == 32) format = sim::FramebufferFormat::xrgb8888(width, height);
    else if (bpp == 24) format = sim::FramebufferFormat::rgb888(width, height);
    else if (bpp == 8) format = sim::FramebufferFormat::other(width, height, bpp);
    else return false;
    return true;
}

std::string format_text(const sim::FramebufferFormat& format) {
    return std::to_string(format.width) + "x" + std::to_string(format.height) + "x" +
           std::to_string(format.bits_per_pixel);
}

// The keys of a --keys list; the first name that is no key is returned in *bad.
bool parse_keys(const std::string& list, std::vector<int>& keys, std::string* bad) {
    std::stringstream stream(list);
    std::string name;
    while (std::getline(stream, name, ',')) {
        int code = sim::KeyController::key_code(name);
        if (code == 0) {
            *bad = name;
            return false;
        }
        keys.push_back(code);
    }
    return !list.empty() && list.back() != ',';
}

std::optional<unsigned long long> parse_count(const std::string& text, unsigned long long low, unsigned long long high) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) return std::nullopt;
    const unsigned long long value = std::stoull(text);
    if (value < low || value > high) return std::nullopt;
    return value;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail_usage(word + " needs a value");
            return argv[++i];
        };
        if (word == "--rootfs") options.rootfs = value();
        else if (word == "--card") options.card = value();
        else if (word == "--screens") options.screens = value();
        else if (word == "--keys") {
            options.keys_given = true;
            std::string list = value(), bad;
            if (!parse_keys(list, options.keys, &bad))
                fail_usage("bad key '" + bad + "' in --keys '" + list + "': the keys are left, right, ok, power or 1..4");
        } else if (word == "--screen") {
            std::string text = value();
            if (!parse_screen(text, options.format)) fail_usage("bad --screen '" + text + "'");
        } else if (word == "--window") options.window = true;
        else if (word == "--scale") {
            std::string text = value();
            auto scale = parse_count(text, 1, 8);
            if (!scale) fail_usage("bad --scale '" + text + "': a whole number from 1 to 8");
            options.scale = static_cast<int>(*scale);
        } else if (word == "--force") options.force = true;
        else if (word == "--memory") {
            std::string text = value();
            auto mib = parse_count(text, 16, 1u << 20);
            if (!mib) fail_usage("bad --memory '" + text + "': a whole number of MiB from 16 to 1048576");
            options.memory_mib = *mib;
        } else if (word == "--json") options.json = true;
        else if (word == "--fast") options.fast = true;
        else if (word == "--timing") options.timing = true;
        else if (word == "--hold") options.hold = true;
        else if (word == "--inner") options.inner = true;
        else if (word == "--control-fd") options.control_fd = std::atoi(value().c_str());
        else if (word == "--status-fd") options.status_fd = std::atoi(value().c_str());
        else if (word == "--screen-fd") options.screen_fd = std::atoi(value().c_str());
        else if (word == "-h" || word == "--help") {
            std::fputs(usage_text, stdout);
            std::exit(0);
        } else if (word == "--version") {
            std::fputs("upgsim " UPG_VERSION "\n", stdout);
            std::exit(0);
        } else if (word == "--") {
            options.program_args.insert(options.program_args.end(), argv + i + 1, argv + argc);
            break;
        } else if (word.size() > 1 && word[0] == '-' && !options.inner) {
            fail_usage("unknown option " + word);
        } else {
            options.program_args.push_back(word);
        }
    }
    return options;
}

int run_inner(const Options& options) {
    sim::SessionOptions session;
    session.format = options.format;
    session.screens_dir = options.screens;
    session.keys = options.keys;
    session.keys_given = options.keys_given;
    session.fast = options.fast;
    session.timing = options.timing;
    session.hold = options.hold;
    session.control_fd = options.control_fd;
    session.status_fd = options.status_fd;
    session.screen_fd = options.screen_fd;
    session.output_to_stderr = options.json;
    session.program_args = options.program_args;
    return sim::run_session(session);
}

// ---- host side ----

int signal_pipe[2] = {-1, -1};

void forward_signal(int id) {
    char request = id == SIGINT ? 'I' : 'T';
    ssize_t n = ::write(signal_pipe[1], &request, 1);
    (void)n;
}

termios saved_terminal;
bool terminal_raw = false;

void restore_terminal() {
    if (terminal_raw) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    terminal_raw = false;
}

void raw_terminal() {
    if (::tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return;
    termios raw = saved_terminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
        terminal_raw = true;
        std::atexit(restore_terminal);
    }
}

// Terminal bytes to control requests: arrows, Enter, p, digits 1..4, Ctrl-C.
class TerminalKeys {
public:
    std::string feed(const char* bytes, ssize_t count) {
        std::string out;
        for (ssize_t i = 0; i < count; ++i) {
            char c = bytes[i];
            if (escape_ == 1) {
                escape_ = c == '[' || c == 'O' ? 2 : 0;
                continue;
            }
            if (escape_ == 2) {
                escape_ = 0;
                if (c == 'D') out += '1';
                else if (c == 'C') out += '2';
                continue;
            }
            if (c == 0x1B) escape_ = 1;
            else if (c == '\r' || c == '\n') out += '3';
            else if (c == 'p' || c == 'P') out += '4';
            else if (c >= '1' && c <= '4') out += c;
            else if (c == 0x03) out += 'I';
        }
        return out;
    }

private:
    int escape_ = 0;
};

struct Outcome {
    bool started = false;
    std::string end;  // "returned 0", "poweroff", "exit", "waiting"
    int applied = -1;
    std::vector<std::string> screens;
    std::vector<sim::PackageResult> packages;
    bool interrupted = false;    // a signal or Ctrl-C was passed to the program
    bool window_closed = false;  // the run was cut off
};

void take_status_line(const std::string& line, Outcome& outcome) {
    int index = 0;
    sim::PackageResult result;
    if (line == "started") outcome.started = true;
    else if (line.rfind("screen ", 0) == 0) outcome.screens.push_back(line.substr(7));
    else if (line.rfind("applied ", 0) == 0) outcome.applied = std::atoi(line.c_str() + 8);
    else if (line.rfind("end ", 0) == 0) outcome.end = line.substr(4);
    else if (sim::decode_result(line, &index, &result) && index >= 0 && index < 1000) {
        if (outcome.packages.size() <= static_cast<std::size_t>(index)) outcome.packages.resize(index + 1);
        outcome.packages[index] = result;
    }
}

void send(int fd, const std::string& bytes) {
    if (bytes.empty()) return;
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    (void)n;
}

std::string absolute(const std::string& path) {
    std::error_code error;
    fs::path result = fs::weakly_canonical(fs::absolute(path), error);
    return error ? fs::absolute(path).string() : result.string();
}

// `path` relative to `dir` when it lies inside it.
std::optional<fs::path> inside(const fs::path& path, const std::string& dir) {
    const fs::path relative = path.lexically_relative(absolute(dir));
    if (relative.empty() || relative == "." || *relative.begin() == "..") return std::nullopt;
    return relative;
}

// PACKAGE as the device names it: as on the card, by its path in the rootfs, or
// in upgsim's folder, where the sandbox shows it. A name that is no file on the
// PC is taken as the device's own: on the card, or a path in the rootfs.
std::optional<std::string> device_path(const std::string& package, const Options& options,
                                       sim::SandboxLayout& layout) {
    std::error_code error;
    if (fs::exists(package, error)) {
        const fs::path pc = absolute(package);
        if (auto relative = inside(pc, options.card)) return relative->string();
        if (auto relative = inside(pc, options.rootfs)) return "/" + relative->string();
        const std::string at = std::string(sim::inside_dir) + "/package/" + pc.filename().string();
        layout.binds.push_back({pc.string(), at, false});
        return at;
    }
    if (fs::path(package).is_relative() && fs::exists(fs::path(options.card) / package, error)) return package;
    if (fs::path(package).is_absolute() && fs::exists(options.rootfs + package, error)) return package;
    return std::nullopt;
}

bool is_run_picture(const std::string& name) {
    if (name.size() < 7 || name.compare(name.size() - 4, 4, ".png") != 0) return false;
    for (int i = 0; i < 3; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    const std::string rest = name.substr(3, name.size() - 7);
    return rest.empty() || rest.rfind("_updating", 0) == 0;
}

// The pictures of an earlier run in the screens folder.
std::vector<fs::path> earlier_pictures(const std::string& dir) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error))
        if (is_run_picture(entry.path().filename().string())) found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    return found;
}

// /proc/meminfo of a device with `mib` MiB after start-up, in the proportions of
// the emulated 128 MiB device (about 78 MiB available before the program starts).
std::string device_meminfo(std::uint64_t mib) {
    const std::uint64_t total = mib * 1024;
    const std::pair<const char*, std::uint64_t> lines[] = {
        {"MemTotal:", total},         {"MemFree:", total * 46 / 100}, {"MemAvailable:", total * 61 / 100},
        {"Buffers:", total * 2 / 100}, {"Cached:", total * 16 / 100}, {"SwapCached:", 0},
        {"SwapTotal:", 0},            {"SwapFree:", 0}};
    std::string text;
    for (const auto& [name, kib] : lines) {
        char line[64];
        std::snprintf(line, sizeof line, "%-16s%8llu kB\n", name, static_cast<unsigned long long>(kib));
        text += line;
    }
    return text;
}

std::vector<std::string> version_lines(const fs::path& version, bool* present, bool* newline_at_end) {
    std::error_code error;
    std::ifstream file;
    if (fs::is_regular_file(version, error)) file.open(version, std::ios::binary);  // never a FIFO's wait
    *present = file.is_open();
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    *newline_at_end = content.empty() || content.back() == '\n';
    std::vector<std::string> lines;
    std::stringstream stream(content);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

void print_summary(const Options& options, const Outcome& outcome, const std::string& how, int applied, int status) {
    const fs::path version = fs::path(options.rootfs) / "cmap" / "version.txt";
    bool present = false, newline_at_end = true;
    const std::vector<std::string> lines = version_lines(version, &present, &newline_at_end);
    if (options.json) {
        std::string json = "{\n  \"program\": " + tufpkg::json_string(how) + ",\n  \"interrupted\": " +
                           (outcome.interrupted ? "true" : "false") + ",\n  \"window_closed\": " +
                           (outcome.window_closed ? "true" : "false") + ",\n  \"packages\": [";
        for (std::size_t i = 0; i < outcome.packages.size(); ++i) {
            const sim::PackageResult& p = outcome.packages[i];
            json += std::string(i ? "," : "") + "\n    {\"path\": " + tufpkg::json_string(p.path) +
                    ", \"outcome\": " + tufpkg::json_string(sim::outcome_word(p.outcome)) +
                    ", \"reason\": " + (p.reason.empty() ? "null" : tufpkg::json_string(p.reason)) +
                    ", \"extraction_status\": " + (p.extraction ? std::to_string(*p.extraction) : "null") +
                    ", \"command_exit_status\": " + (p.command_status ? std::to_string(*p.command_status) : "null") +
                    "}";
        }
        json += std::string(outcome.packages.empty() ? "" : "\n  ") + "],\n  \"packages_applied\": " +
                std::to_string(applied) + ",\n  \"version_file\": ";
        if (present) {
            json += "[";
            for (std::size_t i = 0; i < lines.size(); ++i) json += (i ? ", " : "") + tufpkg::json_string(lines[i]);
            json += "]";
        } else {
            json += "null";
        }
        json += ",\n  \"screens\": [";
        for (std::size_t i = 0; i < outcome.screens.size(); ++i)
            json += (i ? ", " : "") + tufpkg::json_string(outcome.screens[i]);
        json += "],\n  \"rootfs\": " + tufpkg::json_string(options.rootfs) + ",\n  \"exit_status\": " +
                std::to_string(status) + "\n}\n";
        std::fputs(json.c_str(), stdout);
        return;
    }
    std::printf("\n=== upgsim summary ===\n");
    std::printf("program          : %s\n", how.c_str());
    for (const sim::PackageResult& p : outcome.packages)
        std::printf("package          : %s: %s\n", p.path.c_str(), sim::describe_outcome(p).c_str());
    std::printf("packages applied : %d\n", applied);
    if (present) {
        std::printf("version file     : %s\n", version.c_str());
        for (const std::string& line : lines) std::printf("    %s\n", line.c_str());
        if (!newline_at_end) std::printf("    (no newline after the last line)\n");
    } else {
        std::printf("version file     : %s (none)\n", version.c_str());
    }
    if (options.screens.empty()) {
        std::printf("screens          : not written (no --screens)\n");
    } else if (outcome.screens.empty()) {
        std::printf("screens          : none written to %s\n", options.screens.c_str());
    } else {
        std::printf("screens          : %zu written to %s (%s", outcome.screens.size(), options.screens.c_str(),
                    outcome.screens.front().c_str());
        if (outcome.screens.size() > 1) std::printf(" ... %s", outcome.screens.back().c_str());
        std::printf(")\n");
    }
    std::printf("root file system : %s\n", options.rootfs.c_str());
    std::printf("exit status      : %d\n", status);
}

int run_host(Options options) {
    if (options.rootfs.empty()) fail_usage("--rootfs DIR is required");
    if (options.program_args.size() > 1)
        fail_usage("one PACKAGE at most, as on the device, whose program offers a single named package (" +
                   std::to_string(options.program_args.size()) + " given)");
    if (options.scale != 0 && !options.window) fail_usage("--scale is for --window");
    if (options.force && options.screens.empty()) fail_usage("--force is for --screens");
    auto bwrap = sim::find_bwrap();
    if (!bwrap) {
        std::fprintf(stderr,
                     "upgsim: bubblewrap (bwrap) was not found on PATH; it runs the program in its sandbox.\n"
                     "        Install it with: sudo apt-get install bubblewrap\n");
        return 1;
    }

    std::error_code error;
    options.rootfs = absolute(options.rootfs);
    options.card = absolute(options.card.empty() ? "." : options.card);
    for (const auto& [name, path] : {std::pair{"--rootfs", options.rootfs}, std::pair{"--card", options.card}}) {
        if (path == "/") {
            std::fprintf(stderr, "upgsim: %s / would let the program write the host's own root file system; "
                                 "give it a folder of its own\n", name);
            return 1;
        }
    }
    fs::create_directories(fs::path(options.rootfs) / "cmap", error);
    if (error || !fs::is_directory(options.rootfs)) {
        std::fprintf(stderr, "upgsim: cannot create the rootfs %s: %s\n", options.rootfs.c_str(),
                     error.message().c_str());
        return 1;
    }
    if (!fs::is_directory(options.card)) {
        std::fprintf(stderr, "upgsim: the card folder %s does not exist\n", options.card.c_str());
        return 1;
    }

    sim::SandboxLayout layout;
    layout.rootfs = options.rootfs;
    layout.card = options.card;
    layout.executable = sim::own_executable();
    layout.confined = true;
    std::vector<std::string> program_args;
    if (!options.program_args.empty()) {
        auto path = device_path(options.program_args[0], options, layout);
        if (!path) fail_usage("PACKAGE '" + options.program_args[0] + "' is on neither the PC, the card nor the rootfs");
        program_args.push_back(*path);
    }
    if (!options.screens.empty()) {
        options.screens = absolute(options.screens);
        fs::create_directories(options.screens, error);
        if (!fs::is_directory(options.screens)) {
            std::fprintf(stderr, "upgsim: cannot create the screens folder %s\n", options.screens.c_str());
            return 1;
        }
        auto earlier = earlier_pictures(options.screens);
        if (!earlier.empty() && !options.force)
            fail_usage("the screens folder " + options.screens + " holds pictures of an earlier run (" +
                       earlier.front().filename().string() + ", ...): give --force to replace them");
        for (const auto& picture : earlier) fs::remove(picture, error);
    }

    std::unique_ptr<sim::Window> window;
    sim::SharedScreen shared;
    int screen_fd = -1;
    if (options.window) {
        std::string why;
        window = sim::Window::open(options.format.width, options.format.height, std::max(options.scale, 1), &why);
        if (!window) {
            std::fprintf(stderr, "upgsim: --window needs a display, and there is none: %s\n", why.c_str());
            return 2;
        }
        screen_fd = shared.create(options.format.width, options.format.height);
        if (screen_fd < 0) {
            std::perror("upgsim: shared memory for the window");
            return 1;
        }
    }

    if (!fs::exists(fs::path(options.rootfs) / "cmap" / "version.txt"))
        std::fprintf(stderr, "upgsim: warning: %s/cmap/version.txt does not exist: the device shows \"!!!\" as its "
                             "versions and writes a new file after an apply\n", options.rootfs.c_str());

    int control[2], status[2], report[2];
    if (::pipe2(control, 0) != 0 || ::pipe2(status, 0) != 0 || ::pipe2(report, O_CLOEXEC) != 0 ||
        ::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("upgsim: pipe");
        return 1;
    }
    ::fcntl(control[1], F_SETFD, FD_CLOEXEC);
    ::fcntl(status[0], F_SETFD, FD_CLOEXEC);

    std::vector<std::string> inner = {"--inner", "--control-fd", std::to_string(control[0]), "--status-fd",
                                      std::to_string(status[1]), "--screen", format_text(options.format)};
    if (screen_fd >= 0) inner.insert(inner.end(), {"--screen-fd", std::to_string(screen_fd)});
    if (!options.screens.empty()) {
        const std::string at = std::string(sim::inside_dir) + "/screens";
        layout.binds.push_back({options.screens, at, true});
        inner.insert(inner.end(), {"--screens", at});
    }
    if (options.keys_given) {
        std::string list;
        for (int code : options.keys) list += (list.empty() ? "" : ",") + std::to_string(code);
        inner.insert(inner.end(), {"--keys", list});
    }
    if (options.memory_mib != 0) {
        layout.files.emplace_back("/proc/meminfo", device_meminfo(options.memory_mib));
        layout.memory_limit = options.memory_mib << 20;
    }
    for (const auto& [flag, on] : {std::pair{"--fast", options.fast}, std::pair{"--timing", options.timing},
                                   std::pair{"--hold", options.hold}, std::pair{"--json", options.json}})
        if (on) inner.push_back(flag);
    inner.push_back("--");
    inner.insert(inner.end(), program_args.begin(), program_args.end());

    sim::Sandbox sandbox;
    std::string why;
    if (!sandbox.prepare(*bwrap, layout, inner, &why)) {
        std::fprintf(stderr, "upgsim: %s\n", why.c_str());
        return 1;
    }
    for (const auto& note : sandbox.notes()) std::fprintf(stderr, "upgsim: %s\n", note.c_str());
    if (options.memory_mib != 0 && sandbox.memory_limited())
        std::fprintf(stderr, "upgsim: a device of %llu MiB: its /proc/meminfo, and a memory cgroup holding the "
                             "sandbox to %llu MiB\n",
                     static_cast<unsigned long long>(options.memory_mib),
                     static_cast<unsigned long long>(options.memory_mib));

    const bool interactive = !options.keys_given && ::isatty(STDIN_FILENO);

    struct sigaction action{};
    action.sa_handler = forward_signal;
    sigemptyset(&action.sa_mask);
    for (int id : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(id, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const pid_t child = sandbox.start(report[1], &why);
    if (child < 0) {
        std::fprintf(stderr, "upgsim: the sandbox could not start: %s\n", why.c_str());
        return 1;
    }
    ::close(control[0]);
    ::close(status[1]);
    ::close(report[1]);
    if (screen_fd >= 0) ::close(screen_fd);
    std::string failure;
    char text[512];
    for (ssize_t n; (n = ::read(report[0], text, sizeof text)) > 0 || (n < 0 && errno == EINTR);)
        if (n > 0) failure.append(text, static_cast<std::size_t>(n));
    ::close(report[0]);
    if (!failure.empty()) {
        std::fputs(failure.c_str(), stderr);
        sim::wait_for_sandbox(child);
        return 1;
    }

    if (interactive) {
        raw_terminal();
        std::fprintf(stderr, "upgsim: keys: left/right arrows move the focus, Enter answers, p is the power key, "
                             "Ctrl-C interrupts\r\n");
    }

    Outcome outcome;
    TerminalKeys terminal;
    std::string pending;
    std::uint32_t shown = 0;
    sim::Rgb565Image picture;
    bool status_open = true;
    while (status_open) {
        pollfd fds[3] = {{status[0], POLLIN, 0}, {signal_pipe[0], POLLIN, 0}, {interactive ? STDIN_FILENO : -1, POLLIN, 0}};
        int ready = ::poll(fds, 3, window ? 15 : -1);
        if (ready < 0 && errno != EINTR) break;
        if (window) {
            if (shared.take(picture, shown)) window->show(picture);
            std::string keys;
            if (!window->handle_events(keys)) {
                // As a power cut: nothing more of the program runs.
                outcome.window_closed = true;
                window.reset();
                ::kill(child, SIGKILL);
            }
            send(control[1], keys);
        }
        if (ready <= 0) continue;
        if (fds[1].revents & POLLIN) {
            char requests[16];
            ssize_t n = ::read(signal_pipe[0], requests, sizeof requests);
            if (n > 0) {
                outcome.interrupted = true;
                send(control[1], std::string(requests, static_cast<std::size_t>(n)));
            }
        }
        if (interactive && (fds[2].revents & POLLIN)) {
            char bytes[32];
            ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
            std::string requests = n > 0 ? terminal.feed(bytes, n) : std::string();
            if (requests.find('I') != std::string::npos) outcome.interrupted = true;
            send(control[1], requests);
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char bytes[512];
            ssize_t n = ::read(status[0], bytes, sizeof bytes);
            if (n <= 0) {
                status_open = false;
            } else {
                pending.append(bytes, static_cast<std::size_t>(n));
                std::size_t end;
                while ((end = pending.find('\n')) != std::string::npos) {
                    take_status_line(pending.substr(0, end), outcome);
                    pending.erase(0, end + 1);
                }
            }
        }
    }
    const int wait_status = sim::wait_for_sandbox(child);
    sandbox.clean_up();
    restore_terminal();

    if (!outcome.started) {
        std::fprintf(stderr,
                     "upgsim: the sandbox could not start (bwrap exited with status %d; its message is above).\n"
                     "        bwrap needs user namespaces, or root, to build the sandbox.\n",
                     WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status));
        return 1;
    }

    std::string how;
    bool ended_by_itself = false;
    if (outcome.window_closed) {
        how = "cut off: the window was closed, as a power cut";
    } else if (WIFSIGNALED(wait_status) || (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) > 128)) {
        int id = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : WEXITSTATUS(wait_status) - 128;
        how = "killed by signal " + std::to_string(id) + " (" + strsignal(id) + ")";
    } else {
        int code = WEXITSTATUS(wait_status);
        if (outcome.end == "poweroff") {
            how = "powered off by the power key";
            ended_by_itself = true;
        } else if (outcome.end.rfind("returned ", 0) == 0) {
            how = "returned " + outcome.end.substr(9);
            ended_by_itself = code == 0;
        } else if (outcome.end == "waiting") {
            how = "still waiting for a key when --keys ran out";
        } else {
            how = "ended with exit status " + std::to_string(code);
        }
    }
    if (outcome.interrupted) how += " (interrupted)";
    int applied = 0;
    bool every_package_answered = true;
    for (const sim::PackageResult& p : outcome.packages) {
        applied += p.outcome == sim::Outcome::applied;
        every_package_answered = every_package_answered &&
                                 (p.outcome == sim::Outcome::applied || p.outcome == sim::Outcome::skipped);
    }
    if (outcome.applied >= 0) applied = outcome.applied;
    const int exit_status = ended_by_itself && every_package_answered && !outcome.interrupted ? 0 : 1;
    print_summary(options, outcome, how, applied, exit_status);
    return exit_status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parse(argc, argv);
    if (options.inner) return run_inner(options);
    return run_host(std::move(options));
}
