// tufpkg create: packs a folder tree into a package, deterministically.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tool_support.h"
#include "tuf/package_reader.h"

namespace tufpkg {

namespace {

const char create_usage[] =
    "Usage: tufpkg create -o PKG --id ID --version VER [--command CMD] [--level N] [--store] DIR\n"
    "Pack the tree under DIR into the package PKG.\n"
    "\n"
    "Entries are named \"/\" + the path relative to DIR, in sorted order, each directory\n"
    "before what it holds, so the package applies on an empty root. Each file is one\n"
    "zlib stream unless --store is given or compressing does not make it smaller.\n"
    "The same tree and level always give the same bytes.\n"
    "\n"
    "  -o, --output PKG   package to write (written to a temporary file, then renamed)\n"
    "  --id ID            package ID, at most 7 characters\n"
    "  --version VER      version text, at most 15 characters\n"
    "  --command CMD      shell command the device runs after laying the tree down,\n"
    "                     at most 127 characters (default: none)\n"
    "  --level N          compression level, 1 (fastest) to 12 (smallest); default 7\n"
    "  --store            store every file as is\n"
    "\n"
    "Refused: names over 129 characters, files of 4 GiB or more, symbolic links and\n"
    "special files (the format cannot carry them).\n"
    "Exit status: 0 written, 1 a problem (nothing is left behind), 2 bad usage.\n";

// Measured on the benchmark trees (bench/tuf/run.sh REPEATS levels): 7 is the
// fastest level whose package of the 256 MiB tree is no larger than tar -czf's,
// at about half its time; level 8 saves 3% more and takes four times as long.
constexpr int default_level = 7;
constexpr int lowest_level = 1;
constexpr int highest_level = 12;

struct Item {
    std::string name;  // entry name: "/" + relative path
    std::string path;  // where it is on this machine
    bool directory;
    std::uint64_t size;
};

std::string error_text(int error) { return std::strerror(error); }

void collect(const std::string& folder, const std::string& prefix, std::vector<Item>& items,
             std::vector<std::string>& refusals) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        refusals.push_back(printable(folder) + ": cannot read the folder: " + error_text(errno));
        return;
    }
    std::vector<std::string> names;
    while (const dirent* found = ::readdir(listing)) {
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
            refusals.push_back(printable(path) + ": symbolic link; a package cannot carry links");
            continue;
        }
        if (!S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode)) {
            refusals.push_back(printable(path) + ": special file; a package carries only directories and files");
            continue;
        }
        if (entry_name.size() > sizeof(ENTRYTUFFILE::name) - 1) {
            refusals.push_back(printable(path) + ": entry name is " + std::to_string(entry_name.size()) +
                               " characters; a name holds at most 129");
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            items.push_back({entry_name, path, true, 0});
            collect(path, entry_name, items, refusals);
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
        if (block_.size() + length > block_size) flush();
        if (length >= block_size / 2) {
            write_through(static_cast<const unsigned char*>(data), length);
            return;
        }
        const auto* bytes = static_cast<const unsigned char*>(data);
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

// One compressor reused for every file. libdeflate gives the same bytes for the
// same input and level, and the streams are ordinary zlib streams.
class Deflater {
public:
    explicit Deflater(int level) : compressor_(::libdeflate_alloc_compressor(level)) {
        if (compressor_ == nullptr) throw std::runtime_error("out of memory for the compressor");
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    ~Deflater() { ::libdeflate_free_compressor(compressor_); }

    // Length of the stream, or 0 when it would not fit in `limit` bytes.
    std::size_t compress(const unsigned char* data, std::size_t length, unsigned char* out, std::size_t limit) {
        if (limit == 0) return 0;
        return ::libdeflate_zlib_compress(compressor_, data, length, out, limit);
    }

private:
    libdeflate_compressor* compressor_;
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

void read_whole(const Item& item, unsigned char* data) {
    const int fd = ::open(item.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(printable(item.path) + ": " + error_text(errno));
    const ssize_t got = tuf::read_all(fd, data, static_cast<std::size_t>(item.size));
    const int error = errno;
    ::close(fd);
    if (got < 0) throw std::runtime_error(printable(item.path) + ": " + error_text(error));
    if (static_cast<std::uint64_t>(got) != item.size)
        throw std::runtime_error(printable(item.path) + ": became shorter while being packed");
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

}  // namespace

int run_create(int argc, char** argv) {
    const Arguments arguments(argc, argv, {"-o", "--output", "--id", "--version", "--command", "--level"},
                              {"--store"});
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
    const int level = level_argument(arguments);
    if (output->size() + 16 >= sizeof temporary_path) throw UsageError("the package path is too long");

    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        std::fprintf(stderr, "tufpkg create: %s: not a folder\n", printable(folder).c_str());
        return exit_problem;
    }
    std::vector<Item> items;
    std::vector<std::string> refusals;
    collect(folder, "", items, refusals);
    if (!refusals.empty()) {
        for (const auto& refusal : refusals) std::fprintf(stderr, "tufpkg create: %s\n", refusal.c_str());
        std::fprintf(stderr, "tufpkg create: nothing written\n");
        return exit_problem;
    }

    std::snprintf(temporary_path, sizeof temporary_path, "%s.tmp-XXXXXX", output->c_str());
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal_number, remove_temporary_and_stop);
    const int fd = ::mkstemp(temporary_path);
    if (fd < 0) {
        temporary_path[0] = '\0';
        std::fprintf(stderr, "tufpkg create: cannot create %s: %s\n", printable(*output).c_str(),
                     error_text(errno).c_str());
        return exit_problem;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);

    int open_descriptor = fd;
    std::uint64_t total_size = 0;
    std::uint64_t total_packed = 0;
    std::size_t files = 0;
    try {
        PackageOutput package(fd);
        HEADTUFFILE header{};
        std::memcpy(header.magic, "TUF", 3);
        header.data_offset = tuf::header_size;
        std::memcpy(header.id, id.data(), id.size());
        std::memcpy(header.version, version.data(), version.size());
        std::memcpy(header.command, command.data(), command.size());
        unsigned char raw_header[tuf::header_size];
        tuf::encode_header(header, raw_header);
        package.write(raw_header, sizeof raw_header);

        std::uint64_t all_bytes = 0;
        for (const Item& item : items) all_bytes += item.size;
        Progress progress("tufpkg create: bytes", all_bytes);
        const bool store = arguments.flag("--store");
        Deflater deflater(level);
        tuf::EntryBuffer content;
        tuf::EntryBuffer packed;
        std::uint64_t done_bytes = 0;
        for (const Item& item : items) {
            ENTRYTUFFILE record{};
            std::memcpy(record.name, item.name.data(), item.name.size());
            record.type = item.directory ? 0 : 1;
            const unsigned char* data = nullptr;
            std::size_t data_length = 0;
            if (!item.directory && item.size > 0) {
                const auto size = static_cast<std::size_t>(item.size);
                if (!content.reserve(size)) throw std::runtime_error("out of memory for " + printable(item.path));
                read_whole(item, content.data());
                record.size = static_cast<std::uint32_t>(size);
                data = content.data();
                data_length = size;
                if (!store) {
                    if (!packed.reserve(size)) throw std::runtime_error("out of memory for " + printable(item.path));
                    const std::size_t packed_length = deflater.compress(content.data(), size, packed.data(), size - 1);
                    if (packed_length > 0) {
                        record.compressed = 1;
                        record.packed_size = static_cast<std::uint32_t>(packed_length);
                        data = packed.data();
                        data_length = packed_length;
                    }
                }
            }
            unsigned char raw_record[tuf::record_size];
            tuf::encode_record(record, raw_record);
            package.write(raw_record, sizeof raw_record);
            if (data_length > 0) package.write(data, data_length);
            if (!item.directory) {
                ++files;
                total_size += item.size;
                total_packed += data_length;
            }
            done_bytes += item.size;
            progress.update(done_bytes);
        }
        package.flush();
        open_descriptor = -1;
        if (::close(fd) != 0) throw std::runtime_error("cannot write the package: " + error_text(errno));
        if (::rename(temporary_path, output->c_str()) != 0)
            throw std::runtime_error("cannot rename the package into place: " + error_text(errno));
        temporary_path[0] = '\0';
    } catch (const std::exception& error) {
        if (open_descriptor >= 0) ::close(open_descriptor);
        ::unlink(temporary_path);
        temporary_path[0] = '\0';
        std::fprintf(stderr, "tufpkg create: %s\ntufpkg create: nothing written\n", error.what());
        return exit_problem;
    }
    std::printf("%s: %zu entries (%zu directories, %zu files), %llu bytes packed into %llu (%s)\n",
                printable(*output).c_str(), items.size(), items.size() - files, files,
                static_cast<unsigned long long>(total_size), static_cast<unsigned long long>(total_packed),
                percent(total_packed, total_size).c_str());
    return exit_ok;
}

}  // namespace tufpkg
