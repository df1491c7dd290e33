#include "sim/upgsim_sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr const char* sandbox_env = "UPGSIM_SANDBOX";
// Made in every temporary test root: a test that deletes or writes fixed paths
// only runs where "/" carries it.
constexpr const char* test_root_marker = "upgsim-test-root";

// The PC's folders that the shell and the dynamic loader need. On a merged /usr
// all but usr are links, which the skeleton repeats.
constexpr const char* system_dirs[] = {"usr", "bin", "sbin", "lib", "lib32", "lib64", "libx32"};

// Overlay options take ',' (and ':' in lowerdir) as separators.
std::string escape_option(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == ',' || c == ':' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// User extended attributes: the only kind a user namespace may set.
std::string overlay_options(const std::string& lower, const std::string& upper, const std::string& work) {
    return "lowerdir=" + escape_option(lower) + ",upperdir=" + escape_option(upper) + ",workdir=" + escape_option(work) +
           ",userxattr";
}

bool write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out.flush());
}

// A mount point in the skeleton for an inside path: a folder, or an empty file
// when what is mounted there is a file.
bool make_mount_point(const fs::path& skeleton, const std::string& inside, bool directory) {
    std::error_code error;
    const fs::path point = skeleton / fs::path(inside).relative_path();
    fs::create_directories(directory ? point : point.parent_path(), error);
    if (error) return false;
    return directory || write_text(point.string(), "");
}

// Removes a folder tree, making each folder writable first (the overlay leaves
// its work folders without permissions).
void remove_tree(const fs::path& top) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(top, error))) return;
    if (fs::is_directory(fs::symlink_status(top, error))) {
        ::chmod(top.c_str(), 0700);
        for (const auto& entry : fs::directory_iterator(top, error)) remove_tree(entry.path());
    }
    fs::remove(top, error);
}

// The memory cgroup of this process, as a folder of /sys/fs/cgroup (v1 or v2).
std::optional<std::string> own_memory_cgroup(bool* v2) {
    std::ifstream in("/proc/self/cgroup");
    std::string line, unified;
    while (std::getline(in, line)) {
        const auto first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        const std::string path = line.substr(second + 1);
        if (controllers.find(",memory,") != std::string::npos) {
            *v2 = false;
            return "/sys/fs/cgroup/memory" + path;
        }
        if (controllers == ",,") unified = path;
    }
    std::ifstream available("/sys/fs/cgroup/cgroup.controllers");
    std::string names;
    std::getline(available, names);
    if (unified.empty() || (" " + names + " ").find(" memory ") == std::string::npos) return std::nullopt;
    *v2 = true;
    return "/sys/fs/cgroup" + unified;
}

// Appends text to a fixed line without allocating (the child of a fork).
struct Line {
    char text[512];
    std::size_t length = 0;
    Line& operator<<(const char* part) {
        while (*part != '\0' && length + 2 < sizeof text) text[length++] = *part++;
        return *this;
    }
    void send(int fd) {
        text[length++] = '\n';
        ssize_t n = ::write(fd, text, length);
        (void)n;
    }
};

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

std::string own_executable() {
    std::error_code error;
    fs::path path = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

bool Sandbox::prepare(const std::string& bwrap, const SandboxLayout& layout, const std::vector<std::string>& arguments,
                      std::string* error) {
    clean_up();
    const fs::path rootfs = fs::path(layout.rootfs).lexically_normal();
    std::string pattern = (rootfs.parent_path() / ("." + rootfs.filename().string() + ".upgsim-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        *error = "cannot make a work folder beside the rootfs in " + rootfs.parent_path().string() + ": " +
                 std::strerror(errno);
        return false;
    }
    work_ = pattern;
    const fs::path work(work_), skeleton = work / "skeleton", staging = work / "staging";
    std::error_code fs_error;
    for (const char* dir : {"skeleton/dev", "skeleton/proc", "skeleton/QX4XX/MMC", "skeleton/tmp", "root", "files"})
        fs::create_directories(work / dir, fs_error);
    ::chmod((skeleton / "tmp").c_str(), 01777);
    fs::create_directories(skeleton / fs::path(inside_dir).relative_path(), fs_error);
    if (fs_error) {
        *error = "cannot make the sandbox's skeleton in " + work_ + ": " + fs_error.message();
        return false;
    }

    // The PC's system folders: links repeated in the skeleton, folders overlaid.
    for (const char* name : system_dirs) {
        const std::string host = std::string("/") + name;
        const fs::path mine = rootfs / name;
        const auto host_status = fs::symlink_status(host, fs_error);
        const auto mine_status = fs::symlink_status(mine, fs_error);
        if (fs::is_symlink(host_status)) {
            const fs::path target = fs::read_symlink(host, fs_error);
            fs::create_symlink(target, skeleton / name, fs_error);
            if (fs::exists(mine_status) && !(fs::is_symlink(mine_status) && fs::read_symlink(mine, fs_error) == target))
                notes_.push_back(mine.string() + " hides the PC's " + host + " (a link to " + target.string() +
                                 "): the rootfs's own is used");
        } else if (fs::is_directory(host_status)) {
            fs::create_directories(skeleton / name, fs_error);
            if (!fs::exists(mine_status)) {
                if (!fs::create_directory(mine, fs_error)) {
                    *error = "cannot make " + mine.string() + ": " + fs_error.message();
                    return false;
                }
                made_dirs_.push_back(mine.string());
            } else if (!fs::is_directory(mine_status)) {
                notes_.push_back(mine.string() + " is not a folder: the PC's " + host + " is not underneath it");
                continue;
            }
            const fs::path workdir = work / ("work-" + std::string(name));
            fs::create_directories(workdir, fs_error);
            fs::create_directories(staging / name, fs_error);
            overlays_.push_back({(staging / name).string(), (work / "root" / name).string(),
                                 overlay_options(host, mine.string(), workdir.string())});
        }
    }
    // The skeleton's /tmp is copied up as soon as anything is made there, even a
    // file removed at once (the sanitizers' runtimes do so): left empty, it goes.
    if (!fs::exists(fs::symlink_status(rootfs / "tmp", fs_error))) made_dirs_.push_back((rootfs / "tmp").string());
    fs::create_directories(work / "work", fs_error);
    overlays_.push_back(
        {(work / "root").string(), "", overlay_options(skeleton.string(), rootfs.string(), (work / "work").string())});

    // As root every user keeps its number; otherwise this user is root inside.
    const uid_t uid = ::getuid();
    uid_map_ = uid == 0 ? "0 0 4294967295\n" : "0 " + std::to_string(uid) + " 1\n";
    gid_map_ = uid == 0 ? "0 0 4294967295\n" : "0 " + std::to_string(::getgid()) + " 1\n";

    if (layout.memory_limit != 0) {
        bool v2 = false;
        auto parent = own_memory_cgroup(&v2);
        const std::string dir = parent ? *parent + "/upgsim-" + std::to_string(::getpid()) : std::string();
        const std::string limit = std::to_string(layout.memory_limit);
        if (parent && ::mkdir(dir.c_str(), 0755) == 0) {
            cgroup_ = dir;
            const bool limited = write_text(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes"), limit);
            // No swap either, where the kernel counts it (a failure leaves only the memory limit).
            if (v2) write_text(dir + "/memory.swap.max", "0");
            else if (fs::exists(dir + "/memory.memsw.limit_in_bytes")) write_text(dir + "/memory.memsw.limit_in_bytes", limit);
            if (!limited) {
                ::rmdir(dir.c_str());
                cgroup_.clear();
            }
        }
        if (cgroup_.empty())
            notes_.push_back("no memory limit on the sandbox: this user cannot make a memory cgroup here; the program "
                             "still sees the device's /proc/meminfo");
    }

    command_ = {bwrap, "--bind", (work / "root").string(), "/", "--dev", "/dev", "--proc", "/proc"};
    const std::string executable = std::string(inside_dir) + "/bin/" + fs::path(layout.executable).filename().string();
    std::vector<SandboxBind> binds = layout.binds;
    binds.push_back({layout.executable, executable, false});
    int file_number = 0;
    for (const auto& [inside, content] : layout.files) {
        const std::string host = (work / "files" / std::to_string(++file_number)).string();
        if (!write_text(host, content)) {
            *error = "cannot write " + host;
            return false;
        }
        binds.push_back({host, inside, false});
    }
    for (const auto& bind : binds) {
        if (bind.inside.rfind("/proc/", 0) != 0 &&
            !make_mount_point(skeleton, bind.inside, fs::is_directory(bind.host, fs_error))) {
            *error = "cannot make the mount point " + bind.inside + " in " + skeleton.string();
            return false;
        }
        command_.insert(command_.end(), {bind.writable ? "--bind" : "--ro-bind", bind.host, bind.inside});
    }
    command_.insert(command_.end(), {"--bind", layout.card, inside_card, "--chdir", inside_card});
    command_.insert(command_.end(), {"--unshare-pid", "--die-with-parent", "--new-session", "--setenv", sandbox_env, "1"});
    if (layout.confined) {
        // Its own namespaces for everything but the files; the program needs no
        // capability: it writes only what the sandbox's root lets it write.
        command_.insert(command_.end(), {"--unshare-net", "--unshare-ipc", "--unshare-uts", "--unshare-cgroup-try",
                                         "--cap-drop", "ALL"});
    }
    command_.push_back("--");
    command_.push_back(executable);
    command_.insert(command_.end(), arguments.begin(), arguments.end());
    for (auto& word : command_) words_.push_back(word.data());
    words_.push_back(nullptr);

    // Processes of the sandbox that outlive bwrap come to this process, which
    // waits for them before the work folder goes.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    return true;
}

bool Sandbox::write_maps(pid_t child, std::string* error) const {
    const std::string proc = "/proc/" + std::to_string(child);
    if (!cgroup_.empty() && !write_text(cgroup_ + "/cgroup.procs", std::to_string(child))) {
        *error = "cannot move the sandbox into the memory cgroup " + cgroup_;
        return false;
    }
    // Without the right to change groups outside, the namespace may not change them inside.
    if (::getuid() != 0 && !write_text(proc + "/setgroups", "deny")) {
        *error = "cannot write " + proc + "/setgroups";
        return false;
    }
    if (!write_text(proc + "/uid_map", uid_map_) || !write_text(proc + "/gid_map", gid_map_)) {
        *error = "cannot map the sandbox's users (" + proc + "/uid_map, gid_map): " + std::strerror(errno);
        return false;
    }
    return true;
}

pid_t Sandbox::start(int report_fd, std::string* error) {
    int go[2];
    if (::pipe2(go, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    std::fflush(nullptr);
    // The child is made in its namespaces by clone itself: a process with more
    // than one thread cannot enter a user namespace, and a sanitizer's runtime
    // starts a thread again in a child of fork().
    const long child = ::syscall(SYS_clone, CLONE_NEWUSER | CLONE_NEWNS | SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    if (child == 0) {
        ::close(go[1]);
        enter(go[0], report_fd);
    }
    ::close(go[0]);
    if (child < 0) {
        *error = std::string("cannot make the sandbox's namespaces: ") + std::strerror(errno) +
                 " (unprivileged user namespaces must be allowed)";
        ::close(go[1]);
        return -1;
    }
    const pid_t pid = static_cast<pid_t>(child);
    if (!write_maps(pid, error)) {
        ::close(go[1]);  // the child ends without its go
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    const char ready = 1;
    const bool sent = ::write(go[1], &ready, 1) == 1;
    ::close(go[1]);
    if (!sent) {
        *error = std::string("cannot start the sandbox: ") + std::strerror(errno);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

void Sandbox::enter(int go_fd, int report_fd) const {
    auto fail = [report_fd](const char* what, const char* detail) {
        const char* reason = std::strerror(errno);
        Line line;
        line << "upgsim: the sandbox could not start: " << what << detail << ": " << reason;
        if (std::strcmp(what, "cannot mount an overlay on ") == 0)
            line << " (the rootfs must lie on a local file system with user extended attributes, e.g. ext4)";
        line.send(report_fd);
        ::_exit(127);
    };
    // Its own process group: the terminal's signals reach only upgsim, which
    // passes them on once.
    ::setpgid(0, 0);
    for (int id : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(id, SIG_DFL);
    char ready = 0;
    if (::read(go_fd, &ready, 1) != 1) ::_exit(127);  // the parent said why
    ::close(go_fd);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("cannot make the mounts private", "");
    // The folders' overlays first, then the root's, then each folder's moved into
    // it: mounted the other way round the kernel counts the folder's upper layer
    // as used by two overlays.
    for (const Step& step : overlays_)
        if (::mount("overlay", step.target.c_str(), "overlay", 0, step.options.c_str()) != 0)
            fail("cannot mount an overlay on ", step.target.c_str());
    for (const Step& step : overlays_)
        if (!step.moved_to.empty() && ::mount(step.target.c_str(), step.moved_to.c_str(), nullptr, MS_MOVE, nullptr) != 0)
            fail("cannot move an overlay to ", step.moved_to.c_str());
    ::execv(words_[0], words_.data());
    fail("cannot run ", command_[0].c_str());
    ::_exit(127);
}

void Sandbox::clean_up() {
    if (!work_.empty()) remove_tree(work_);
    work_.clear();
    for (auto dir = made_dirs_.rbegin(); dir != made_dirs_.rend(); ++dir) ::rmdir(dir->c_str());
    made_dirs_.clear();
    if (!cgroup_.empty()) ::rmdir(cgroup_.c_str());
    cgroup_.clear();
    overlays_.clear();
    command_.clear();
    words_.clear();
}

int wait_for_sandbox(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    return status;
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
    if (::mkdtemp(base.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path top(base);
    SandboxLayout layout;
    layout.rootfs = (top / "rootfs").string();
    layout.card = (top / "card").string();
    layout.executable = own_executable();
    fs::create_directories(top / "rootfs" / "cmap");
    fs::create_directories(top / "card");
    write_text((top / "rootfs" / test_root_marker).string(), "");

    int status = 1;
    {
        Sandbox sandbox;
        std::string error;
        int report[2];
        if (!sandbox.prepare(*bwrap, layout, std::vector<std::string>(argv + 1, argv + argc), &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
        } else if (::pipe2(report, O_CLOEXEC) == 0) {
            const pid_t child = sandbox.start(report[1], &error);
            ::close(report[1]);
            char text[512];
            const ssize_t n = ::read(report[0], text, sizeof text);
            if (n > 0) std::fwrite(text, 1, static_cast<std::size_t>(n), stderr);
            ::close(report[0]);
            if (child < 0) {
                std::fprintf(stderr, "upgsim: %s\n", error.c_str());
            } else {
                const int wait_status = wait_for_sandbox(child);
                status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
            }
        }
    }
    std::error_code ignored;
    fs::remove_all(top, ignored);
    return status;
}

}  // namespace sim
