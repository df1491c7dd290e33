// tufpkg create: packs a folder tree into a package, deterministically.
#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device_rules.h"
#include "file_packer.h"
#include "tool_support.h"
#include "tuf/package_reader.h"

namespace tufpkg {

namespace {

const char create_usage[] =
    "Usage: tufpkg create -o PKG --id ID --version VER [OPTION...] DIR\n"
    "Pack the tree under DIR into the package PKG.\n"
    "\n"
    "Entries are named \"/\" + the path relative to DIR, in sorted order, each directory\n"
    "before what it holds, so the package applies on an empty root. Each file is one\n"
    "zlib stream unless --store is given or compressing does not make it smaller (a\n"
    "file of 1 MiB or more whose samples do not shrink is stored without trying the\n"
    "rest). Files are compressed on every core; the same tree and level always give\n"
    "the same bytes. PKG itself is not packed when it lies inside DIR.\n"
    "\n"
    "  -o, --output PKG   package to write (written to a temporary file beside it,\n"
    "                     flushed to the disk, then renamed)\n"
    "  --id ID            package ID, one of QX4170 (program), MAP4170 (map),\n"
    "                     USERMAP (user map); the device skips any other\n"
    "  --any-id           accept another ID of at most 7 characters, e.g. to try\n"
    "                     the device's skip\n"
    "  --version VER      version text, at most 15 characters; a warning names the\n"
    "                     characters the device's dialog cannot draw and a text\n"
    "                     wider than the room the dialog has for it\n"
    "  --command CMD      shell command the device runs after laying the tree down,\n"
    "                     at most 127 characters (default: none)\n"
    "  --level N          compression level, 1 (fastest) to 12 (smallest); default 7\n"
    "  --store            store every file as is\n"
    "  --dereference      pack what symbolic links point to instead of refusing them\n"
    "  -j, --jobs N       compress on N cores (default: all of them)\n"
    "  -v, --verbose      list each entry as it is packed\n"
    "  -q, --quiet        no progress line (shown on a terminal) and no summary\n"
    "\n"
    "Refused: names over 129 characters, files of 4 GiB or more, symbolic links\n"
    "(without --dereference) and special files, a file that changes size while it is\n"
    "packed, a folder that cannot be read to its end.\n"
    "Exit status: 0 written (warnings allowed), 1 a problem (nothing is left behind),\n"
    "2 bad usage.\n";

// Measured on the benchmark trees (bench/tuf/run.sh REPEATS levels): 7 is the
// fastest level whose package of the 256 MiB tree is no larger than tar -czf's,
// at about half its time; level 8 saves 3% more and takes four times as long.
constexpr int default_level = 7;
constexpr int lowest_level = 1;
constexpr int highest_level = 12;

std::string error_text(int error) { return std::strerror(error); }

struct FileId {
    dev_t device;
    ino_t inode;
    bool operator==(const FileId&) const = default;
};

// The walk of DIR: what it finds and what it refuses.
struct Walk {
    bool dereference = false;
    std::vector<FileId> temporary;    // the package being written
    std::vector<FileId> earlier;      // the package it replaces
    std::vector<FileId> ancestors;    // folders on the way down, to find links that loop
    std::vector<Item> items;
    std::vector<std::string> refusals;
    std::vector<std::string> notes;

    void collect(const std::string& folder, const std::string& prefix);
};

void Walk::collect(const std::string& folder, const std::string& prefix) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        refusals.push_back(printable(folder) + ": cannot read the folder: " + error_text(errno));
        return;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* found = ::readdir(listing);
        if (found == nullptr) {
            if (errno != 0) refusals.push_back(printable(folder) + ": cannot read the folder: " + error_text(errno));
            break;
        }
        const std::string name = found->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        const std::string entry_name = prefix + "/" + name;
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) {
            refusals.push_back(printable(path) + ": " + error_text(errno));
            continue;
        }
        if (S_ISLNK(status.st_mode)) {
            if (!dereference) {
                refusals.push_back(printable(path) +
                                   ": symbolic link; a package cannot carry links (--dereference packs what it points to)");
                continue;
            }
            if (::stat(path.c_str(), &status) != 0) {
                refusals.push_back(printable(path) + ": symbolic link to nothing: " + error_text(errno));
                continue;
            }
        }
        if (!S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode)) {
            refusals.push_back(printable(path) + ": special file; a package carries only directories and files");
            continue;
        }
        const FileId id{status.st_dev, status.st_ino};
        if (std::find(temporary.begin(), temporary.end(), id) != temporary.end()) continue;
        if (std::find(earlier.begin(), earlier.end(), id) != earlier.end()) {
            notes.push_back(printable(path) + ": the package being written; not packed");
            continue;
        }
        if (entry_name.size() > sizeof(ENTRYTUFFILE::name) - 1) {
            refusals.push_back(printable(path) + ": entry name is " + std::to_string(entry_name.size()) +
                               " characters; a name holds at most 129");
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) {
                refusals.push_back(printable(path) + ": symbolic link back to a folder that holds it (a loop)");
                continue;
            }
            items.push_back({entry_name, path, true, 0});
            ancestors.push_back(id);
            collect(path, entry_name);
            ancestors.pop_back();
            continue;
        }
        const auto size = static_cast<std::uint64_t>(status.st_size);
        if (size > UINT32_MAX) {
            refusals.push_back(printable(path) + ": " + std::to_string(size) +
                               " bytes; a package file must be under 4 GiB");
            continue;
        }
        items.push_back({entry_name, path, false, size});
    }
}

// The package being written, with small pieces gathered into one block.
class PackageOutput {
public:
    explicit PackageOutput(int fd) : fd_(fd) { block_.reserve(block_size); }

    void write(const void* data, std::size_t length) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        if (length >= block_size / 2) {
            // A large piece goes straight to the file, after what is gathered before it.
            flush();
            write_through(bytes, length);
            return;
        }
        if (block_.size() + length > block_size) flush();
        block_.insert(block_.end(), bytes, bytes + length);
    }

    void flush() {
        write_through(block_.data(), block_.size());
        block_.clear();
    }

private:
    void write_through(const unsigned char* data, std::size_t length) {
        if (!tuf::write_all(fd_, data, length))
            throw std::runtime_error("cannot write the package: " + error_text(errno));
    }

    static constexpr std::size_t block_size = std::size_t{1} << 20;
    int fd_;
    std::vector<unsigned char> block_;
};

int level_argument(const Arguments& arguments) {
    const std::optional<std::string> text = arguments.value("--level");
    if (!text) return default_level;
    if (text->size() <= 2 && !text->empty() && std::all_of(text->begin(), text->end(), [](char c) {
            return c >= '0' && c <= '9';
        })) {
        const int level = std::stoi(*text);
        if (level >= lowest_level && level <= highest_level) return level;
    }
    throw UsageError("--level \"" + printable(*text) + "\" is not a level from 1 to 12");
}

unsigned jobs_argument(const Arguments& arguments) {
    std::optional<std::string> text = arguments.value("--jobs");
    if (auto short_form = arguments.value("-j")) text = short_form;
    if (!text) return std::max(1u, std::thread::hardware_concurrency());
    if (!text->empty() && text->size() <= 4 &&
        std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; }) && std::stoi(*text) >= 1)
        return static_cast<unsigned>(std::stoi(*text));
    throw UsageError("--jobs \"" + printable(*text) + "\" is not a number of cores from 1 up");
}

// The temporary package, removed if the run fails or is interrupted.
char temporary_path[PATH_MAX];

extern "C" void remove_temporary_and_stop(int signal_number) {
    if (temporary_path[0] != '\0') ::unlink(temporary_path);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void check_field(std::string_view option, const std::string& text, std::size_t width, const char* what) {
    if (text.size() > width - 1)
        throw UsageError(std::string(option) + " \"" + printable(text) + "\" is " + std::to_string(text.size()) +
                         " characters; " + what + " holds at most " + std::to_string(width - 1));
}

// The renamed package survives a power cut only once the folder that names it is
// on the disk too.
void sync_folder_of(const std::string& path) {
    std::string copy = path;
    const int fd = ::open(::dirname(copy.data()), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

struct Totals {
    std::size_t files = 0;
    std::uint64_t size = 0;
    std::uint64_t packed = 0;
};

// Writes the header and every entry, in order, as the workers finish them.
Totals write_package(int fd, const HEADTUFFILE& header, const std::vector<Item>& items, const PackOptions& options,
                     bool verbose, bool quiet) {
    PackageOutput package(fd);
    unsigned char raw_header[tuf::header_size];
    tuf::encode_header(header, raw_header);
    package.write(raw_header, sizeof raw_header);

    std::uint64_t all_bytes = 0;
    for (const Item& item : items) all_bytes += item.size;
    Progress progress("tufpkg create:", all_bytes, Progress::Unit::bytes, quiet);
    FilePacker packer(items, options);
    Totals totals;
    std::uint64_t done_bytes = 0;
    for (std::size_t index = 0; index < items.size(); ++index) {
        const Item& item = items[index];
        PackedFile packed;
        while (!packer.take(index, std::chrono::milliseconds(100), packed)) progress.update(done_bytes, item.name);
        if (!packed.error.empty()) throw std::runtime_error(packed.error);
        ENTRYTUFFILE record{};
        std::memcpy(record.name, item.name.data(), item.name.size());
        record.type = item.directory ? 0 : 1;
        if (!item.directory) {
            record.size = static_cast<std::uint32_t>(item.size);
            record.compressed = packed.compressed ? 1 : 0;
            record.packed_size = packed.compressed ? static_cast<std::uint32_t>(packed.length) : 0;
            ++totals.files;
            totals.size += item.size;
            totals.packed += packed.length;
        }
        unsigned char raw_record[tuf::record_size];
        tuf::encode_record(record, raw_record);
        package.write(raw_record, sizeof raw_record);
        if (packed.length > 0) package.write(packed.data.get(), packed.length);
        if (verbose) progress.print_line(printable(item.name));
        done_bytes += item.size;
        progress.update(done_bytes, item.name);
    }
    package.flush();
    return totals;
}

}  // namespace

int run_create(int argc, char** argv) {
    const Arguments arguments(argc, argv, {"-o", "--output", "--id", "--version", "--command", "--level", "-j", "--jobs"},
                              {"--store", "--any-id", "--dereference", "-v", "--verbose", "-q", "--quiet"});
    if (arguments.help()) {
        std::fputs(create_usage, stdout);
        return exit_ok;
    }
    std::optional<std::string> output = arguments.value("--output");
    if (auto short_form = arguments.value("-o")) output = short_form;
    if (!output || output->empty()) throw UsageError("missing -o PKG");
    const std::string id = arguments.required("--id");
    const std::string version = arguments.required("--version");
    const std::string command = arguments.value("--command").value_or("");
    if (arguments.positional().size() != 1) throw UsageError("expected one folder DIR");
    const std::string folder = arguments.positional()[0];
    check_field("--id", id, sizeof(HEADTUFFILE::id), "a package ID");
    check_field("--version", version, sizeof(HEADTUFFILE::version), "a version");
    check_field("--command", command, sizeof(HEADTUFFILE::command), "a command");
    const PackageKind kind = kind_of_id(id);
    if (kind == PackageKind::unknown && !arguments.flag("--any-id"))
        throw UsageError("--id \"" + printable(id) + "\" is not an ID the device offers: " + known_ids() +
                         " (--any-id makes such a package on purpose)");
    PackOptions options;
    options.level = level_argument(arguments);
    options.jobs = jobs_argument(arguments);
    options.store = arguments.flag("--store");
    options.dereference = arguments.flag("--dereference");
    const bool verbose = arguments.flag("-v") || arguments.flag("--verbose");
    const bool quiet = arguments.flag("-q") || arguments.flag("--quiet");
    if (output->size() + 16 >= sizeof temporary_path) throw UsageError("the package path is too long");

    struct stat status {};
    const bool found = ::stat(folder.c_str(), &status) == 0;
    if (!found || !S_ISDIR(status.st_mode)) {
        std::fprintf(stderr, "tufpkg create: %s: %s\n", printable(folder).c_str(),
                     !found && errno == ENOENT ? "no such folder" : "not a folder");
        return exit_problem;
    }
    for (const VersionWarning& warning : version_warnings(version, kind))
        std::fprintf(stderr, "tufpkg create: warning: %s\n", warning.message.c_str());

    // The temporary package exists before the walk, so that a package written
    // inside DIR finds neither itself nor an earlier run's package in the tree.
    std::snprintf(temporary_path, sizeof temporary_path, "%s.tmp-XXXXXX", output->c_str());
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal_number, remove_temporary_and_stop);
    const int fd = ::mkstemp(temporary_path);
    if (fd < 0) {
        temporary_path[0] = '\0';
        std::fprintf(stderr, "tufpkg create: cannot create %s: %s\n", printable(*output).c_str(),
                     error_text(errno).c_str());
        return exit_problem;
    }
    int open_descriptor = fd;
    const auto fail = [&](const std::string& message) {
        if (open_descriptor >= 0) ::close(open_descriptor);
        ::unlink(temporary_path);
        temporary_path[0] = '\0';
        std::fprintf(stderr, "%stufpkg create: nothing written\n", message.c_str());
        return exit_problem;
    };
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);

    Walk walk;
    walk.dereference = options.dereference;
    if (::fstat(fd, &status) == 0) walk.temporary.push_back({status.st_dev, status.st_ino});
    if (::stat(output->c_str(), &status) == 0) walk.earlier.push_back({status.st_dev, status.st_ino});
    if (::stat(folder.c_str(), &status) == 0) walk.ancestors.push_back({status.st_dev, status.st_ino});
    walk.collect(folder, "");
    for (const auto& note : walk.notes) std::fprintf(stderr, "tufpkg create: %s\n", note.c_str());
    if (!walk.refusals.empty()) {
        std::string message;
        for (const auto& refusal : walk.refusals) message += "tufpkg create: " + refusal + "\n";
        return fail(message);
    }
    if (walk.items.empty())
        std::fprintf(stderr, "tufpkg create: warning: %s holds nothing to pack; the package has no entries\n",
                     printable(folder).c_str());

    Totals totals;
    try {
        HEADTUFFILE header{};
        std::memcpy(header.magic, "TUF", 3);
        header.data_offset = tuf::header_size;
        std::memcpy(header.id, id.data(), id.size());
        std::memcpy(header.version, version.data(), version.size());
        std::memcpy(header.command, command.data(), command.size());
        totals = write_package(fd, header, walk.items, options, verbose, quiet);
        if (::fsync(fd) != 0) throw std::runtime_error("cannot write the package: " + error_text(errno));
        open_descriptor = -1;
        if (::close(fd) != 0) throw std::runtime_error("cannot write the package: " + error_text(errno));
        if (::rename(temporary_path, output->c_str()) != 0)
            throw std::runtime_error("cannot rename the package into place: " + error_text(errno));
        temporary_path[0] = '\0';
        sync_folder_of(*output);
    } catch (const std::exception& error) {
        return fail("tufpkg create: " + std::string(error.what()) + "\n");
    }
    if (!quiet)
        std::printf("%s: %s (%s, %s), %llu bytes packed into %llu (%s)\n", printable(*output).c_str(),
                    counted(walk.items.size(), "entry", "entries").c_str(),
                    counted(walk.items.size() - totals.files, "directory", "directories").c_str(),
                    counted(totals.files, "file", "files").c_str(), static_cast<unsigned long long>(totals.size),
                    static_cast<unsigned long long>(totals.packed), percent(totals.packed, totals.size).c_str());
    return exit_ok;
}

}  // namespace tufpkg
