// upgsim: the device program on a PC. The host side checks the arguments and
// starts a bubblewrap sandbox that runs upgsim again inside (--inner), where the
// device's fixed paths are real and the fakes stand in for the devices.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/key_controller.h"
#include "sim/upgsim_sandbox.h"
#include "sim/upgsim_session.h"
#include "upg_version.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* usage_text =
    "Usage: upgsim --rootfs DIR [--card DIR] [OPTION...] [PACKAGE...]\n"
    "\n"
    "Runs the device program upgqx4170 on a simulated screen and key controller, inside a\n"
    "bubblewrap sandbox: DIR (--rootfs, created if missing) is the device's root file system,\n"
    "the card folder (--card, default: the current directory) is /QX4XX/MMC and the working\n"
    "directory. PACKAGE is passed to the program unchanged, as the device sees it (a name on\n"
    "the card, or a path inside the rootfs).\n"
    "\n"
    "Options:\n"
    "  --keys LIST       comma-separated keys 1..4 or left,right,ok,power, each sent once the\n"
    "                    program is idle; without it, on a terminal: arrows, Enter, p, Ctrl-C\n"
    "  --screens DIR     a PNG of the screen each time it settles: 001.png, 002.png, ...; and of\n"
    "                    the updating window with its first spinner frame: 001_updating.png, ...\n"
    "  --screen WxH[xBPP]  the framebuffer (default 640x480x16)\n"
    "  --fast            the program's 5-second wait after an extraction lasts 0.2 s\n"
    "  -h, --help        this text\n"
    "  --version         the version of upgsim\n";

struct Options {
    std::string rootfs, card, screens;
    std::vector<int> keys;
    bool keys_given = false;
    sim::FramebufferFormat format;
    bool fast = false;
    bool timing = false;
    bool hold = false;
    bool inner = false;
    int control_fd = -1, status_fd = -1;
    std::vector<std::string> program_args;
};

[[noreturn]] void fail_usage(const std::string& message) {
    std::fprintf(stderr, "upgsim: %s\n\n%s", message.c_str(), usage_text);
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

bool parse_keys(const std::string& list, std::vector<int>& keys) {
    std::stringstream stream(list);
    std::string name;
    while (std::getline(stream, name, ',')) {
        int code = sim::KeyController::key_code(name);
        if (code == 0) return false;
        keys.push_back(code);
    }
    return true;
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
            std::string list = value();
            if (!parse_keys(list, options.keys)) fail_usage("bad --keys list '" + list + "'");
        } else if (word == "--screen") {
            std::string text = value();
            if (!parse_screen(text, options.format)) fail_usage("bad --screen '" + text + "'");
        } else if (word == "--fast") options.fast = true;
        else if (word == "--timing") options.timing = true;
        else if (word == "--hold") options.hold = true;
        else if (word == "--inner") options.inner = true;
        else if (word == "--control-fd") options.control_fd = std::atoi(value().c_str());
        else if (word == "--status-fd") options.status_fd = std::atoi(value().c_str());
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
};

void take_status_line(const std::string& line, Outcome& outcome) {
    if (line == "started") outcome.started = true;
    else if (line.rfind("screen ", 0) == 0) outcome.screens.push_back(line.substr(7));
    else if (line.rfind("applied ", 0) == 0) outcome.applied = std::atoi(line.c_str() + 8);
    else if (line.rfind("end ", 0) == 0) outcome.end = line.substr(4);
}

std::string absolute(const std::string& path) {
    std::error_code error;
    fs::path result = fs::weakly_canonical(fs::absolute(path), error);
    return error ? fs::absolute(path).string() : result.string();
}

int run_host(Options options) {
    if (options.rootfs.empty()) fail_usage("--rootfs DIR is required");
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
    if (!options.screens.empty()) {
        options.screens = absolute(options.screens);
        fs::create_directories(options.screens, error);
        if (!fs::is_directory(options.screens)) {
            std::fprintf(stderr, "upgsim: cannot create the screens folder %s\n", options.screens.c_str());
            return 1;
        }
    }

    int control[2], status[2], exec_error[2];
    if (::pipe2(control, 0) != 0 || ::pipe2(status, 0) != 0 || ::pipe2(exec_error, O_CLOEXEC) != 0 ||
        ::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("upgsim: pipe");
        return 1;
    }
    ::fcntl(control[1], F_SETFD, FD_CLOEXEC);
    ::fcntl(status[0], F_SETFD, FD_CLOEXEC);

    sim::SandboxLayout layout;
    layout.rootfs = options.rootfs;
    layout.card = options.card;
    layout.executable = sim::own_executable();
    layout.confined = true;
    std::vector<std::string> inner = {"--inner", "--control-fd", std::to_string(control[0]), "--status-fd",
                                      std::to_string(status[1]), "--screen", format_text(options.format)};
    if (!options.screens.empty()) {
        const std::string inside = std::string(sim::inside_dir) + "/screens";
        layout.binds.emplace_back(options.screens, inside);
        inner.insert(inner.end(), {"--screens", inside});
    }
    if (options.keys_given) {
        std::string list;
        for (int code : options.keys) list += (list.empty() ? "" : ",") + std::to_string(code);
        inner.insert(inner.end(), {"--keys", list});
    }
    if (options.fast) inner.push_back("--fast");
    if (options.timing) inner.push_back("--timing");
    if (options.hold) inner.push_back("--hold");
    inner.push_back("--");
    inner.insert(inner.end(), options.program_args.begin(), options.program_args.end());

    std::vector<std::string> notes;
    std::vector<std::string> command = sim::sandbox_command(*bwrap, layout, inner, &notes);
    for (const auto& note : notes) std::fprintf(stderr, "upgsim: %s\n", note.c_str());

    const bool interactive = !options.keys_given && ::isatty(STDIN_FILENO);

    struct sigaction action{};
    action.sa_handler = forward_signal;
    sigemptyset(&action.sa_mask);
    for (int id : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(id, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child < 0) {
        std::perror("upgsim: fork");
        return 1;
    }
    if (child == 0) {
        // Its own process group: the terminal's signals reach only this side,
        // which passes them on once.
        ::setpgid(0, 0);
        for (int id : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) signal(id, SIG_DFL);
        std::vector<char*> raw;
        for (auto& word : command) raw.push_back(word.data());
        raw.push_back(nullptr);
        ::execv(raw[0], raw.data());
        int code = errno;
        ssize_t n = ::write(exec_error[1], &code, sizeof code);
        (void)n;
        ::_exit(127);
    }
    ::close(control[0]);
    ::close(status[1]);
    ::close(exec_error[1]);
    int exec_errno = 0;
    if (::read(exec_error[0], &exec_errno, sizeof exec_errno) == static_cast<ssize_t>(sizeof exec_errno)) {
        std::fprintf(stderr, "upgsim: cannot run %s: %s\n", bwrap->c_str(), std::strerror(exec_errno));
        ::waitpid(child, nullptr, 0);
        return 1;
    }
    ::close(exec_error[0]);

    if (interactive) {
        raw_terminal();
        std::fprintf(stderr, "upgsim: keys: left/right arrows move the focus, Enter answers, p is the power key, "
                             "Ctrl-C interrupts\r\n");
    }

    Outcome outcome;
    TerminalKeys terminal;
    std::string pending;
    bool status_open = true;
    while (status_open) {
        pollfd fds[3] = {{status[0], POLLIN, 0}, {signal_pipe[0], POLLIN, 0}, {interactive ? STDIN_FILENO : -1, POLLIN, 0}};
        int ready = ::poll(fds, 3, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLIN) {
            char requests[16];
            ssize_t n = ::read(signal_pipe[0], requests, sizeof requests);
            if (n > 0) {
                ssize_t w = ::write(control[1], requests, static_cast<std::size_t>(n));
                (void)w;
            }
        }
        if (interactive && (fds[2].revents & POLLIN)) {
            char bytes[32];
            ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
            std::string requests = n > 0 ? terminal.feed(bytes, n) : std::string();
            if (!requests.empty()) {
                ssize_t w = ::write(control[1], requests.data(), requests.size());
                (void)w;
            }
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
    int wait_status = 0;
    while (::waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
    }
    restore_terminal();

    if (!outcome.started) {
        std::fprintf(stderr,
                     "upgsim: the sandbox could not start (bwrap exited with status %d; its message is above).\n"
                     "        bwrap needs user namespaces, or root, to build the sandbox.\n",
                     WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status));
        return 1;
    }

    std::string how;
    bool good = false;
    if (WIFSIGNALED(wait_status) || (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) > 128)) {
        int id = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : WEXITSTATUS(wait_status) - 128;
        how = "killed by signal " + std::to_string(id) + " (" + strsignal(id) + ")";
    } else {
        int code = WEXITSTATUS(wait_status);
        if (outcome.end == "poweroff") {
            how = "powered off by the power key";
            good = true;
        } else if (outcome.end.rfind("returned ", 0) == 0) {
            how = "returned " + outcome.end.substr(9);
            good = code == 0;
        } else if (outcome.end == "waiting") {
            how = "still waiting for a key when --keys ran out";
        } else {
            how = "ended with exit status " + std::to_string(code);
            good = code == 0 && outcome.end == "exit";
        }
    }

    std::printf("\n=== upgsim summary ===\n");
    std::printf("program          : %s\n", how.c_str());
    if (outcome.applied >= 0) std::printf("packages applied : %d\n", outcome.applied);
    else std::printf("packages applied : unknown\n");
    const fs::path version = fs::path(options.rootfs) / "cmap" / "version.txt";
    std::ifstream file(version, std::ios::binary);
    if (file) {
        std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::printf("version file     : %s\n", version.c_str());
        std::stringstream lines(content);
        std::string line;
        while (std::getline(lines, line)) std::printf("    %s\n", line.c_str());
        if (!content.empty() && content.back() != '\n') std::printf("    (no newline after the last line)\n");
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
    return good ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parse(argc, argv);
    if (options.inner) return run_inner(options);
    return run_host(std::move(options));
}
