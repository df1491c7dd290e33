// The sandbox in which upgsim (and the tests that need the device's fixed paths)
// run: the device's root file system with the PC's system folders underneath.
//
// In a user and mount namespace of its own, the rootfs folder becomes "/" as the
// upper layer of an overlay whose lower layer is a small skeleton (the folders
// the sandbox mounts on, the PC's links such as bin -> usr/bin); each of the PC's
// system folders that is a real folder (/usr, and /bin, /lib, ... where they are
// not links) is an overlay of its own with ROOTFS/NAME as its upper layer. So the
// shell and its libraries come from the PC, while everything written anywhere,
// /usr and /tmp included, lands in the rootfs. bubblewrap then builds the rest
// inside that root: fresh /dev and /proc, the card folder at "/QX4XX/MMC" as the
// working directory, its own process numbers, and for packages not trusted yet no
// network and no capabilities. The skeleton and the overlays' work folders lie in
// a folder beside the rootfs (same file system), removed after the run, as are
// the folders made in the rootfs to mount the PC's folders on when they stay empty.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct SandboxBind {
    std::string host;    // a folder or a file
    std::string inside;  // under inside_dir, or a file of /proc
    bool writable = false;
};

struct SandboxLayout {
    std::string rootfs;      // becomes "/"; must exist
    std::string card;        // becomes "/QX4XX/MMC" and the working directory; must exist
    std::string executable;  // host path of the program to run inside
    std::vector<SandboxBind> binds;
    // Files made for the run and laid read-only at inside paths (e.g. "/proc/meminfo").
    std::vector<std::pair<std::string, std::string>> files;  // inside path, content
    // For packages not trusted yet: no network, no IPC, host name or cgroups
    // shared with the host, and no capabilities, also when run as root.
    bool confined = false;
    // Bytes the sandbox's processes may use together (a memory cgroup); 0: no limit.
    std::uint64_t memory_limit = 0;
};

// upgsim's own folder inside (the executable, the screens folder, a package from
// the PC): it lies in the skeleton, so nothing of it reaches the rootfs.
constexpr const char* inside_dir = "/.upgsim";
constexpr const char* inside_card = "/QX4XX/MMC";

// The bwrap binary found on PATH, or nothing.
std::optional<std::string> find_bwrap();

// This process's executable on the host.
std::string own_executable();

class Sandbox {
public:
    Sandbox() = default;
    ~Sandbox() { clean_up(); }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Everything done on the host before the sandbox starts: the work folder
    // beside the rootfs, the skeleton, the mount points in the rootfs, the memory
    // cgroup, and every word the child will need (it only makes system calls).
    // False with the reason in *error.
    bool prepare(const std::string& bwrap, const SandboxLayout& layout, const std::vector<std::string>& arguments,
                 std::string* error);

    // Lines for the user about what had to be adapted (a rootfs folder hiding a
    // PC folder, no memory limit on this machine).
    const std::vector<std::string>& notes() const { return notes_; }
    bool memory_limited() const { return !cgroup_.empty(); }

    // Starts the sandbox: a child in a user and mount namespace of its own and in
    // a process group of its own, with the default signal actions, which mounts
    // the overlays and executes bwrap. Returns its process number, or -1 with the
    // reason in *error. A failure of the child is one line on report_fd (which
    // must be close-on-exec: it reaches its end when bwrap starts).
    pid_t start(int report_fd, std::string* error);

    // Once every process of the sandbox has ended: removes the work folder, the
    // mount points left empty in the rootfs and the cgroup. Called again it does nothing.
    void clean_up();

private:
    [[noreturn]] void enter(int go_fd, int report_fd) const;
    bool write_maps(pid_t child, std::string* error) const;

    struct Step {  // an overlay mounted on target, then moved to moved_to (when not empty)
        std::string target, moved_to, options;
    };
    std::string work_;                   // beside the rootfs
    std::vector<std::string> made_dirs_;  // in the rootfs by the sandbox, removed when left empty
    std::string cgroup_;                 // the memory cgroup's folder, empty: none
    std::string uid_map_, gid_map_;
    std::vector<Step> overlays_;
    std::vector<std::string> command_;
    std::vector<char*> words_;           // command_ for execv
    std::vector<std::string> notes_;
};

// Runs the current test binary again inside a sandbox with a fresh temporary
// root file system and card, unless it already runs inside one. Returns the
// status to exit with after the sandboxed run, or nothing when the caller is
// already inside and should run its tests. The temporary folders (a rootfs with
// an empty /cmap, an empty card) are removed after the run.
std::optional<int> rerun_in_sandbox(int argc, char** argv);
bool inside_sandbox();

// Waits for `child` and, this process being a child subreaper, for every process
// of the sandbox left to it; returns the child's wait status.
int wait_for_sandbox(pid_t child);

}  // namespace sim
