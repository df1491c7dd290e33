// Fuzzes the whole extraction into a temporary root, unchecked and checked (as a
// signed package is applied), with the package command always cleared. Entry names
// are joined to the root unchanged, so "../" in a fuzzed name writes outside it:
// this target refuses to run unless the root file system is read-only, as inside
// the bubblewrap sandbox of fuzz/tuf/run-sandboxed:
//   fuzz/tuf/run-sandboxed --out OUT build/fuzz/fuzz/tuf/tuf_extract_fuzz OUT/corpus fuzz/tuf/corpus
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_package_file.h"
#include "tuf/package_reader.h"
#include "tuf/ttuf.h"

namespace {

bool root_is_read_only() {
    struct statvfs status {};
    return ::statvfs("/", &status) == 0 && (status.f_flag & ST_RDONLY) != 0;
}

// Keeps every byte the checked extraction reads, and accepts the whole package or
// refuses it at its end as a signature check would.
struct Recorder final : tuf::PackageCheck {
    std::vector<std::uint8_t> seen;
    bool accept = true;
    void observe(const unsigned char* data, std::size_t length) override { seen.insert(seen.end(), data, data + length); }
    bool accept_header(const HEADTUFFILE&) override { return true; }
    bool accept_whole() override { return accept; }
};

// Removes `root`; the number of files (not folders) that were in it.
std::size_t remove_tree(const char* root) {
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) files += !entry.is_directory();
    std::filesystem::remove_all(root);
    return files;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!root_is_read_only()) {
        std::fprintf(stderr,
                     "tuf extraction fuzzing: the root file system is writable; run this only inside the sandbox "
                     "(fuzz/tuf/run-sandboxed)\n");
        std::exit(2);
    }
    tuf::set_buffer_limit_for_testing(std::size_t{256} << 20);
    // The progress lines go to a scratch file that is emptied after every input
    // (the sandbox has no device nodes, not even /dev/null).
    char scratch[] = "/tmp/tuf-fuzz-stdout-XXXXXX";
    const int output = ::mkstemp(scratch);
    if (output < 0 || ::dup2(output, STDOUT_FILENO) < 0) {
        std::perror("tuf extraction fuzzing: standard output");
        std::exit(2);
    }
    ::close(output);
    ::unlink(scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tuf_fuzz::InputFile input;
    std::vector<std::uint8_t> package(data, data + size);
    // A fuzz input must never run a shell command.
    if (package.size() >= tuf::header_size) std::memset(package.data() + 32, 0, sizeof(HEADTUFFILE::command));
    const char* path = input.write(package.data(), package.size());

    char root[] = "/tmp/tuf-fuzz-root-XXXXXX";
    if (::mkdtemp(root) == nullptr) std::abort();
    const int result = tuf_extract(path, root);
    if (result < 0 || result > 11 || result == 3 || result == 5) __builtin_trap();
    remove_tree(root);

    // The checked extraction reads the file once, in order, from its start, all of it
    // when it applies; when it fails or is refused, no file of the package is left.
    char checked_root[] = "/tmp/tuf-fuzz-root-XXXXXX";
    if (::mkdtemp(checked_root) == nullptr) std::abort();
    Recorder check;
    check.accept = size % 2 == 0;
    const int checked = tuf_extract_checked(path, checked_root, check);
    if (checked < 0 || checked > tuf_refused || checked == 3 || checked == 5) __builtin_trap();
    if (check.seen.size() > package.size() || !std::equal(check.seen.begin(), check.seen.end(), package.begin()))
        __builtin_trap();
    if (checked == 0 && (!check.accept || check.seen.size() != package.size())) __builtin_trap();
    if (remove_tree(checked_root) != 0 && checked != 0) __builtin_trap();
    std::fflush(stdout);
    if (::ftruncate(STDOUT_FILENO, 0) != 0 || ::lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) std::abort();
    return 0;
}
