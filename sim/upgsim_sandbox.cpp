#include "sim/upgsim_sandbox.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr const char* sandbox_env = "UPGSIM_SANDBOX";
// Made in every temporary test root: a test that deletes or writes fixed paths
// only runs where "/" carries it.
constexpr const char* test_root_marker = "upgsim-test-root";

// Host folders the shell and the dynamic loader need beside /usr. On a merged
// /usr they are symbolic links, which are recreated inside.
constexpr const char* library_dirs[] = {"bin", "sbin", "lib", "lib32", "lib64", "libx32"};

}  // namespace

std::optional<std::string> find_bwrap() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty()) {
            std::string candidate = dir + "/bwrap";
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::string inside_executable(const SandboxLayout& layout) {
    return std::string(inside_dir) + "/" + fs::path(layout.executable).filename().string();
}

std::vector<std::string> sandbox_command(const std::string& bwrap, const SandboxLayout& layout,
                                         const std::vector<std::string>& arguments, std::vector<std::string>* notes) {
    std::vector<std::string> command = {bwrap, "--bind", layout.rootfs, "/", "--ro-bind", "/usr", "/usr"};
    for (const char* name : library_dirs) {
        const std::string host = std::string("/") + name;
        struct stat host_info{};
        if (::lstat(host.c_str(), &host_info) != 0) continue;
        const std::string in_rootfs = layout.rootfs + host;
        struct stat rootfs_info{};
        const bool in_rootfs_exists = ::lstat(in_rootfs.c_str(), &rootfs_info) == 0;
        if (S_ISLNK(host_info.st_mode)) {
            char target[PATH_MAX];
            ssize_t length = ::readlink(host.c_str(), target, sizeof target - 1);
            if (length <= 0) continue;
            target[length] = '\0';
            if (!in_rootfs_exists) {
                command.insert(command.end(), {"--symlink", target, host});
                continue;
            }
            if (S_ISLNK(rootfs_info.st_mode)) {
                char existing[PATH_MAX];
                ssize_t existing_length = ::readlink(in_rootfs.c_str(), existing, sizeof existing - 1);
                if (existing_length == length && std::memcmp(existing, target, static_cast<std::size_t>(length)) == 0)
                    continue;  // made by an earlier run
            }
            if (notes != nullptr)
                notes->push_back(in_rootfs + " hides the host's " + host + "; the host's is mounted over it read-only");
            command.insert(command.end(), {"--ro-bind", host, host});
        } else if (S_ISDIR(host_info.st_mode)) {
            command.insert(command.end(), {"--ro-bind", host, host});
        }
    }
    command.insert(command.end(), {"--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp"});
    command.insert(command.end(), {"--ro-bind", layout.executable, inside_executable(layout)});
    for (const auto& [host, inside] : layout.binds) command.insert(command.end(), {"--bind", host, inside});
    command.insert(command.end(), {"--bind", layout.card, inside_card, "--chdir", inside_card});
    command.insert(command.end(), {"--unshare-pid", "--die-with-parent", "--new-session", "--setenv", sandbox_env, "1"});
    if (layout.confined) {
        // Its own namespaces for everything but the files; the program needs no
        // capability: it writes only what the sandbox's root lets it write.
        command.insert(command.end(), {"--unshare-net", "--unshare-ipc", "--unshare-uts", "--unshare-cgroup-try",
                                       "--cap-drop", "ALL"});
    }
    command.push_back("--");
    command.push_back(inside_executable(layout));
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::string own_executable() {
    std::error_code error;
    fs::path path = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

bool inside_sandbox() { return std::getenv(sandbox_env) != nullptr; }

std::optional<int> rerun_in_sandbox(int argc, char** argv) {
    if (inside_sandbox()) {
        if (fs::exists(fs::path("/") / test_root_marker)) return std::nullopt;
        std::fprintf(stderr, "refusing to run: %s is set but / is not a temporary test root\n", sandbox_env);
        return 1;
    }
    auto bwrap = find_bwrap();
    if (!bwrap) {
        std::fprintf(stderr, "bubblewrap (bwrap) is needed to run these tests: apt-get install bubblewrap\n");
        return 1;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string base = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/upgsim-test-XXXXXX";
    std::vector<char> name(base.begin(), base.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path top(name.data());
    SandboxLayout layout;
    layout.rootfs = (top / "rootfs").string();
    layout.card = (top / "card").string();
    layout.executable = own_executable();
    fs::create_directories(top / "rootfs" / "cmap");
    fs::create_directories(top / "card");
    std::FILE* marker = std::fopen((top / "rootfs" / test_root_marker).c_str(), "w");
    if (marker != nullptr) std::fclose(marker);

    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::vector<std::string> command = sandbox_command(*bwrap, layout, arguments);
    std::vector<char*> raw;
    for (auto& word : command) raw.push_back(word.data());
    raw.push_back(nullptr);

    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        ::execv(raw[0], raw.data());
        std::perror("execv bwrap");
        ::_exit(127);
    }
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::error_code ignored;
    fs::remove_all(top, ignored);
    if (child < 0) return 1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace sim
