// Fuzzes the whole extraction into a temporary root, with the package command
// always cleared. Entry names are joined to the root unchanged, so "../" in a
// fuzzed name writes outside it: this target refuses to run unless the root file
// system is read-only, as inside the bubblewrap sandbox of fuzz/tuf/run-sandboxed:
//   fuzz/tuf/run-sandboxed --out OUT build/fuzz/fuzz/tuf/tuf_extract_fuzz OUT/corpus fuzz/tuf/corpus
#include <fcntl.h>
#include <ftw.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    std::fflush(stdout);
    if (::ftruncate(STDOUT_FILENO, 0) != 0 || ::lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) std::abort();
    ::nftw(
        root,
        [](const char* name, const struct stat*, int, struct FTW*) {
            ::remove(name);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
