// tufpkg extract: a preview of what a package lays down, confined to one folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "device_rules.h"
#include "tool_support.h"
#include "tuf/file_writer.h"
#include "tuf/package_reader.h"

namespace tufpkg {

namespace {

const char extract_usage[] =
    "Usage: tufpkg extract PKG DIR\n"
    "Lay the package's directories and files down inside DIR, as the device would\n"
    "under its root, to see what the package holds. Missing parent directories are\n"
    "created. A name that would leave DIR (a \"..\" component, an existing symbolic\n"
    "link on the way) is refused, and so is a name the device cannot apply (as\n"
    "'tufpkg check' reports them); names are all checked before anything is written.\n"
    "Each file is written beside its name and renamed over it, as on the device, so\n"
    "whatever is at the name (a FIFO, a device, a hard link) is replaced, never written\n"
    "through. The package's command is printed, never run.\n"
    "\n"
    "Exit status: 0 extracted, 1 a problem (a name refused before anything was\n"
    "written, or damaged data, a link in the way or a write error part way), 2 bad\n"
    "usage.\n";

struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

bool is_symbolic_link(int folder, const std::string& name) {
    struct stat status {};
    return ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

// Opens (creating when missing) the directories of parts[0 .. count) under `top`,
// never following a symbolic link.
int open_parents(int top, const std::vector<std::string>& parts, std::size_t count) {
    Descriptor current(::dup(top));
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& part = parts[i];
        int next = ::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT) {
            if (::mkdirat(current.get(), part.c_str(), 0777) != 0 && errno != EEXIST)
                throw std::runtime_error("cannot create directory \"" + printable(part) + "\": " + std::strerror(errno));
            next = ::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            if (is_symbolic_link(current.get(), part))
                throw Refusal("\"" + printable(part) + "\" is an existing symbolic link; refusing to follow it");
            throw std::runtime_error("cannot open directory \"" + printable(part) + "\": " + std::strerror(errno));
        }
        current.reset(next);
    }
    const int result = ::dup(current.get());
    return result;
}

// The path of parts[0 .. count) under `folder`.
std::string joined(const std::string& folder, const std::vector<std::string>& parts, std::size_t count) {
    std::string path = folder;
    for (std::size_t i = 0; i < count; ++i) path += "/" + parts[i];
    return path;
}

// Every name a package's entries lead through that is an existing symbolic link under
// `folder`, each named once; checked before anything is written.
void refuse_existing_links(OpenedPackage& package, const std::string& folder, std::vector<std::string>& refusals) {
    if (!package.reader.seek(package.header.data_offset)) return;
    std::vector<std::string> parts;
    std::set<std::string> seen;
    std::size_t index = 0;
    tuf::Entry entry;
    while (tuf::next_entry(package.reader, entry).step == tuf::WalkStep::entry) {
        ++index;
        name_components(entry.name(), parts, false);
        for (std::size_t count = 1; count <= parts.size(); ++count) {
            const std::string path = joined(folder, parts, count);
            if (!seen.insert(path).second) continue;
            struct stat status {};
            if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode))
                refusals.push_back(where(index, entry.offset) + ": \"" + printable(path) +
                                   "\" is an existing symbolic link; refusing to follow it");
        }
        if (!package.reader.skip(entry.data_length()) || !tuf::finish_entry(package.reader, entry)) break;
    }
}

const char* load_failure(int code) {
    switch (code) {
        case 2: return "data cut short by the end of the package";
        case 6: return "not enough memory for the data";
        case 8: return "the stream does not inflate to the record's size";
        default: return "cannot load the data";
    }
}

}  // namespace

int run_extract(int argc, char** argv) {
    const Arguments arguments(argc, argv, {}, {});
    if (arguments.help()) {
        std::fputs(extract_usage, stdout);
        return exit_ok;
    }
    if (arguments.positional().size() != 2) throw UsageError("expected a package PKG and a folder DIR");
    const std::string path = arguments.positional()[0];
    const std::string folder = arguments.positional()[1];

    OpenedPackage package;
    std::string why;
    if (!open_package(path, package, why)) {
        std::fprintf(stderr, "tufpkg extract: %s\n", why.c_str());
        return exit_problem;
    }
    const HEADTUFFILE& header = package.header;
    if (header.data_offset >= tuf::max_data_offset || !package.reader.seek(header.data_offset)) {
        std::fprintf(stderr, "tufpkg extract: header: data_offset %u is out of range\n", header.data_offset);
        return exit_problem;
    }

    // First pass: every name is checked before anything is written, by the rules
    // of the device (as 'tufpkg check' judges them) and so that none leaves DIR.
    std::vector<std::string> parts;
    std::vector<std::string> refusals;
    std::size_t index = 0;
    tuf::Entry entry;
    NameRules names;
    for (;;) {
        const tuf::WalkResult walk = tuf::next_entry(package.reader, entry);
        if (walk.step != tuf::WalkStep::entry) break;
        ++index;
        if (!name_components(entry.name(), parts, false))
            refusals.push_back(where(index, entry.offset) + ": name \"" + printable(entry.name()) +
                               "\" has a \"..\" component and would leave " + printable(folder));
        const std::string refused = names.judge(entry.name(), entry.is_directory(), index);
        if (!refused.empty()) refusals.push_back(where(index, entry.offset) + ": " + refused + "; the device fails on it");
        if (!package.reader.skip(entry.data_length()) || !tuf::finish_entry(package.reader, entry)) break;
    }
    if (refusals.empty()) refuse_existing_links(package, folder, refusals);
    if (!refusals.empty()) {
        for (const auto& refusal : refusals) std::fprintf(stderr, "tufpkg extract: %s\n", refusal.c_str());
        std::fprintf(stderr, "tufpkg extract: nothing written\n");
        return exit_problem;
    }

    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "tufpkg extract: cannot create %s: %s\n", printable(folder).c_str(), std::strerror(errno));
        return exit_problem;
    }
    const Descriptor top(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (top.get() < 0) {
        std::fprintf(stderr, "tufpkg extract: cannot open %s: %s\n", printable(folder).c_str(), std::strerror(errno));
        return exit_problem;
    }

    package.reader.seek(header.data_offset);
    Progress progress("tufpkg extract: entries", index);
    index = 0;
    tuf::EntryBuffers buffers;
    // A link at a file's name is replaced, never followed: nothing is written outside DIR.
    tuf::FileWriter writer({.follow_links = false});
    std::size_t files = 0, directories = 0;
    try {
        for (;;) {
            const tuf::WalkResult walk = tuf::next_entry(package.reader, entry);
            if (walk.step == tuf::WalkStep::read_error)
                throw std::runtime_error(where(index + 1, entry.offset) + ": cannot read the record");
            if (walk.step == tuf::WalkStep::end) break;
            ++index;
            progress.update(index);
            const std::string context = where(index, entry.offset) + ": ";
            name_components(entry.name(), parts, false);
            const std::string shown = printable(entry.name());
            if (entry.is_directory()) {
                if (!parts.empty() && !writer.staged(joined(folder, parts, parts.size()))) {
                    const Descriptor parent(open_parents(top.get(), parts, parts.size() - 1));
                    const std::string& last = parts.back();
                    if (::mkdirat(parent.get(), last.c_str(), 0777) != 0) {
                        if (errno != EEXIST)
                            throw std::runtime_error(context + "cannot create directory \"" + shown +
                                                     "\": " + std::strerror(errno));
                        // Something already there satisfies a directory entry, as on the
                        // device, unless it is a link that later entries would follow.
                        if (is_symbolic_link(parent.get(), last))
                            throw Refusal(context + "\"" + shown + "\" is an existing symbolic link");
                    }
                }
                std::printf("+ Create dir  : %s\n", shown.c_str());
                ++directories;
                continue;
            }
            // Made (never through a link), so the file's own folder is there.
            const Descriptor made(open_parents(top.get(), parts, parts.size() - 1));
            tuf::TargetSink sink(writer, joined(folder, parts, parts.size()));
            if (const int copied = tuf::copy_file_data(package.reader, entry, buffers, sink); copied != 0) {
                writer.abandon();
                if (sink.failure() == 0) throw std::runtime_error(context + load_failure(copied));
                throw std::runtime_error(context + "cannot create \"" + shown + "\": " + writer.failure());
            }
            if (writer.end() != 0) throw std::runtime_error(context + writer.failure());
            std::printf("+ Create file : %s (%u bytes)\n", shown.c_str(), entry.record.size);
            ++files;
            if (!tuf::finish_entry(package.reader, entry)) break;
        }
        if (writer.finish() != 0) throw std::runtime_error(writer.failure());
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "tufpkg extract: %s\n", error.what());
        writer.finish();
        return exit_problem;
    }
    if (writer.leftovers_removed() > 0)
        std::printf("Removed temporary files of an interrupted extraction : %zu\n", writer.leftovers_removed());
    const std::string_view command = tuf::field_text(header.command, sizeof header.command);
    if (command.empty())
        std::printf("No command.\n");
    else
        std::printf("Command (not run): %s\n", printable(command).c_str());
    std::printf("%s, %s under %s\n", counted(directories, "directory", "directories").c_str(),
                counted(files, "file", "files").c_str(), printable(folder).c_str());
    return exit_ok;
}

}  // namespace tufpkg
