// The bubblewrap sandbox in which upgsim (and the tests that need the device's
// fixed paths) run: a given folder as the root file system, the host's /usr
// read-only for the shell, a card folder at "/QX4XX/MMC" as the working
// directory, fresh /dev, /proc and /tmp, its own process numbers. Nothing
// outside the given folders can be written from inside.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct SandboxLayout {
    std::string rootfs;      // becomes "/"; must exist
    std::string card;        // becomes "/QX4XX/MMC" and the working directory; must exist
    std::string executable;  // host path of the program to run inside
    // Extra host folders, writable, at inside paths under `inside_dir`.
    std::vector<std::pair<std::string, std::string>> binds;  // host path, inside path
    // For packages not trusted yet: no network, no IPC, host name or cgroups
    // shared with the host, and no capabilities, also when run as root.
    bool confined = false;
};

// Where the executable (and upgsim's own folders) appear inside: a folder of the
// sandbox's /tmp, so nothing is added to the root file system for them.
constexpr const char* inside_dir = "/tmp/.upgsim";
constexpr const char* inside_card = "/QX4XX/MMC";

// The bwrap binary found on PATH, or nothing.
std::optional<std::string> find_bwrap();

// The whole command line: bwrap, its options, then the executable's inside path
// followed by `arguments`. Notes on what had to be adapted (a rootfs folder that
// hides a host library folder) are appended to *notes.
std::vector<std::string> sandbox_command(const std::string& bwrap, const SandboxLayout& layout,
                                         const std::vector<std::string>& arguments,
                                         std::vector<std::string>* notes = nullptr);

// The inside path of the executable.
std::string inside_executable(const SandboxLayout& layout);

// This process's executable on the host.
std::string own_executable();

// Runs the current test binary again inside a sandbox with a fresh temporary
// root file system and card, unless it already runs inside one. Returns the
// status to exit with after the sandboxed run, or nothing when the caller is
// already inside and should run its tests. The temporary folders (a rootfs with
// an empty /cmap, an empty card) are removed after the run.
std::optional<int> rerun_in_sandbox(int argc, char** argv);
bool inside_sandbox();

}  // namespace sim
