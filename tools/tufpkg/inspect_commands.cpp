// tufpkg list and tufpkg check: read-only walks over a package.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "device_rules.h"
#include "tool_support.h"
#include "tuf/package_reader.h"

namespace tufpkg {

namespace {

const char list_usage[] =
    "Usage: tufpkg list PKG [--json]\n"
    "Show the package header (with the kind of package its ID makes: program, map,\n"
    "user map), every entry (kind, size, packed size, ratio, skip, name), the\n"
    "totals, and what the device needs: the free space the apply takes and the\n"
    "largest file. Nothing is inflated; 'tufpkg check' verifies the data.\n"
    "\n"
    "  --json   one JSON document on standard output\n"
    "\n"
    "Exit status: 0 listed, 1 the package cannot be opened or read to its end,\n"
    "2 bad usage.\n";

const char check_usage[] =
    "Usage: tufpkg check PKG [--key PUB] [--json] [--quiet]\n"
    "Walk the whole package without writing anything: inflate every stream and\n"
    "compare its length, and report each problem with its entry number and offset\n"
    "(truncated record or data, bad stream, wrong inflated length, text without NUL,\n"
    "offsets out of range, stray bytes at the end) and what the device would refuse:\n"
    "an ID other than QX4170, MAP4170, USERMAP (it skips the package), an empty name,\n"
    "a file name that names a folder (ends in \"/\", is \"/\", or is a directory entry\n"
    "earlier in the package) or passes through an earlier file entry. Warn on\n"
    "version characters the device's dialog cannot draw and a version wider than\n"
    "its room, on names that do not begin with \"/\" and on entries whose parent\n"
    "directory no earlier entry creates. Print the free space the apply needs on\n"
    "the device and the largest file.\n"
    "Mention a minisign signature PKG.minisig beside the package; with --key, check\n"
    "it as 'tufpkg verify' does (a missing or failing signature is a problem).\n"
    "\n"
    "  --key PUB     the public key file to check the signature with\n"
    "  --json        one JSON document on standard output\n"
    "  -q, --quiet   no progress line (shown on a terminal)\n"
    "\n"
    "Exit status: 0 no problem (warnings allowed), 1 a problem (the package cannot\n"
    "be opened, is damaged, would be refused by the device, or its signature fails\n"
    "with --key), 2 bad usage.\n";

struct Finding {
    std::size_t entry;
    std::uint64_t offset;
    std::string kind;
    std::string message;
};

struct Findings {
    std::vector<Finding> problems;
    std::vector<Finding> warnings;
    void problem(std::size_t entry, std::uint64_t offset, std::string kind, std::string message) {
        problems.push_back({entry, offset, std::move(kind), std::move(message)});
    }
    void warning(std::size_t entry, std::uint64_t offset, std::string kind, std::string message) {
        warnings.push_back({entry, offset, std::move(kind), std::move(message)});
    }
};

std::string json_findings(const std::vector<Finding>& findings) {
    std::string out = "[";
    for (std::size_t i = 0; i < findings.size(); ++i) {
        const Finding& f = findings[i];
        if (i > 0) out += ',';
        out += "{\"entry\":" + std::to_string(f.entry) +
               ",\"offset\":" + std::to_string(f.offset) + ",\"kind\":" + json_string(f.kind) +
               ",\"message\":" + json_string(f.message) + "}";
    }
    return out + "]";
}

std::string_view id_of(const HEADTUFFILE& header) { return tuf::field_text(header.id, sizeof header.id); }

std::string header_json(const HEADTUFFILE& header) {
    return "{\"id\":" + json_string(id_of(header)) + ",\"kind\":" + json_string(kind_name(kind_of_id(id_of(header)))) +
           ",\"version\":" + json_string(tuf::field_text(header.version, sizeof header.version)) +
           ",\"command\":" + json_string(tuf::field_text(header.command, sizeof header.command)) +
           ",\"data_offset\":" + std::to_string(header.data_offset) + "}";
}

// Checks of the header fields shared by list and check; false when the walk cannot start.
bool check_header(const OpenedPackage& package, Findings& findings) {
    const HEADTUFFILE& header = package.header;
    const struct {
        const char* name;
        const char* field;
        std::size_t width;
    } texts[] = {{"id", header.id, sizeof header.id},
                 {"version", header.version, sizeof header.version},
                 {"command", header.command, sizeof header.command}};
    for (const auto& text : texts)
        if (!tuf::field_terminated(text.field, text.width))
            findings.problem(0, 0, "text_without_nul",
                             std::string("header field ") + text.name + " has no NUL within its " +
                                 std::to_string(text.width) + " bytes");
    const std::uint64_t offset = header.data_offset;
    if (offset >= tuf::max_data_offset) {
        findings.problem(0, 4, "offset_out_of_range",
                         "data_offset " + std::to_string(offset) + " is 2^31 or more; the device refuses it");
        return false;
    }
    if (offset > package.size) {
        findings.problem(0, 4, "offset_out_of_range",
                         "data_offset " + std::to_string(offset) + " is past the end of the file (" +
                             std::to_string(package.size) + " bytes)");
        return false;
    }
    if (offset < tuf::header_size)
        findings.problem(0, 4, "offset_out_of_range",
                         "data_offset " + std::to_string(offset) + " points into the 160-byte header");
    return true;
}

// Where the bytes after a record end; a problem when that is past the end of the file.
bool entry_fits(const OpenedPackage& package, const tuf::Entry& entry, std::size_t index, Findings& findings) {
    const std::uint64_t data_start = entry.offset + tuf::record_size;
    const std::uint64_t data_end = data_start + entry.data_length();
    if (data_end > package.size) {
        findings.problem(index, entry.offset, "truncated_data",
                         "data of " + std::to_string(entry.data_length()) + " bytes runs " +
                             std::to_string(data_end - package.size) + " bytes past the end of the file");
        return false;
    }
    if (!entry.is_directory() && data_end + entry.record.skip > package.size) {
        findings.problem(index, entry.offset, "offset_out_of_range",
                         "skip of " + std::to_string(entry.record.skip) + " bytes passes the end of the file by " +
                             std::to_string(data_end + entry.record.skip - package.size) + " bytes");
        return false;
    }
    return true;
}

const char* kind_of(const tuf::Entry& entry) {
    if (entry.is_directory()) return "dir";
    return entry.is_compressed() && entry.record.size > 0 ? "zlib" : "stored";
}

// Inflates one stream in pieces and compares its length with the record's size.
class StreamChecker {
public:
    StreamChecker() : input_(piece), output_(piece) {
        if (::inflateInit(&stream_) != Z_OK) throw std::runtime_error("zlib cannot start");
    }
    StreamChecker(const StreamChecker&) = delete;
    StreamChecker& operator=(const StreamChecker&) = delete;
    ~StreamChecker() { ::inflateEnd(&stream_); }

    void check(tuf::PackageReader& reader, const tuf::Entry& entry, std::size_t index, Findings& findings) {
        ::inflateReset(&stream_);
        const std::uint64_t packed = entry.record.packed_size;
        const std::uint64_t size = entry.record.size;
        const std::uint64_t data_end = reader.position() + packed;
        std::uint64_t unread = packed;
        std::uint64_t produced = 0;
        stream_.avail_in = 0;
        int result = Z_OK;
        while (true) {
            if (stream_.avail_in == 0 && unread > 0) {
                const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(unread, piece));
                const std::size_t got = reader.read(input_.data(), want);
                unread -= got;
                stream_.next_in = input_.data();
                stream_.avail_in = static_cast<uInt>(got);
                if (got != want) break;
            }
            stream_.next_out = output_.data();
            stream_.avail_out = static_cast<uInt>(output_.size());
            result = ::inflate(&stream_, Z_NO_FLUSH);
            produced += output_.size() - stream_.avail_out;
            if (result == Z_STREAM_END) break;
            if (produced > size) break;
            if (result == Z_BUF_ERROR && stream_.avail_in == 0 && unread == 0) break;
            if (result != Z_OK && result != Z_BUF_ERROR) break;
        }
        if (result == Z_STREAM_END) {
            if (produced != size)
                findings.problem(index, entry.offset, "wrong_length",
                                 "stream inflates to " + std::to_string(produced) + " bytes; the record says " +
                                     std::to_string(size));
            const std::uint64_t left = stream_.avail_in + unread;
            if (left > 0)
                findings.warning(index, entry.offset, "stream_ends_early",
                                 "stream ends " + std::to_string(left) + " bytes before its packed size");
        } else if (produced > size) {
            findings.problem(index, entry.offset, "wrong_length",
                             "stream inflates to more than the record's size of " + std::to_string(size) + " bytes");
        } else if (result == Z_OK || result == Z_BUF_ERROR) {
            findings.problem(index, entry.offset, "bad_stream",
                             "stream is cut short: its " + std::to_string(packed) + " bytes end before the stream");
        } else {
            findings.problem(index, entry.offset, "bad_stream",
                             std::string("damaged stream: ") + (stream_.msg != nullptr ? stream_.msg : "zlib error"));
        }
        reader.seek(data_end);
    }

private:
    static constexpr std::size_t piece = std::size_t{256} << 10;
    z_stream stream_{};
    std::vector<unsigned char> input_;
    std::vector<unsigned char> output_;
};

std::string parent_of(std::string_view name) {
    while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
    const std::size_t slash = name.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return "";
    std::string_view parent = name.substr(0, slash);
    while (!parent.empty() && parent.back() == '/') parent.remove_suffix(1);
    return std::string(parent);
}

std::string without_trailing_slashes(std::string_view name) {
    while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
    return std::string(name);
}

std::string package_argument(const Arguments& arguments) {
    if (arguments.positional().size() != 1) throw UsageError("expected one package PKG");
    return arguments.positional()[0];
}

void print_findings(const Findings& findings) {
    for (const Finding& f : findings.problems)
        std::printf("problem: %s: %s\n", where(f.entry, f.offset).c_str(), printable(f.message).c_str());
    for (const Finding& f : findings.warnings)
        std::printf("warning: %s: %s\n", where(f.entry, f.offset).c_str(), printable(f.message).c_str());
}

}  // namespace

int run_list(int argc, char** argv) {
    const Arguments arguments(argc, argv, {}, {"--json"});
    if (arguments.help()) {
        std::fputs(list_usage, stdout);
        return exit_ok;
    }
    const std::string path = package_argument(arguments);
    const bool json = arguments.flag("--json");
    OpenedPackage package;
    std::string why;
    if (!open_package(path, package, why)) {
        if (json) {
            Findings failure;
            failure.problem(0, 0, "not_a_package", why);
            std::printf("{\"package\":%s,\"header\":null,\"entries\":[],\"totals\":null,\"device\":null,"
                        "\"problems\":%s}\n",
                        json_string(path).c_str(), json_findings(failure.problems).c_str());
        } else {
            std::fprintf(stderr, "tufpkg list: %s\n", why.c_str());
        }
        return exit_problem;
    }

    Findings findings;
    DeviceNeeds needs;
    std::string entries_json = "[";
    std::size_t index = 0;
    std::uint64_t directories = 0, files = 0, total_size = 0, total_packed = 0;
    const HEADTUFFILE& header = package.header;
    if (!json) {
        std::printf("Package  : %s\n", printable(path).c_str());
        const PackageKind kind = kind_of_id(id_of(header));
        std::printf("ID       : %s (%s)\n", printable(id_of(header)).c_str(),
                    kind == PackageKind::unknown ? "unknown: the device skips the package" : kind_name(kind));
        std::printf("Version  : %s\n", printable(tuf::field_text(header.version, sizeof header.version)).c_str());
        std::printf("Command  : %s\n", printable(tuf::field_text(header.command, sizeof header.command)).c_str());
        std::printf("Data at  : %u\n", header.data_offset);
        std::printf("%6s %10s %-6s %10s %10s %6s %10s  %s\n", "Entry", "Offset", "Kind", "Size", "Packed", "Ratio",
                    "Skip", "Name");
    }
    if (check_header(package, findings) && package.reader.seek(header.data_offset)) {
        tuf::Entry entry;
        for (;;) {
            const tuf::WalkResult walk = tuf::next_entry(package.reader, entry);
            if (walk.step == tuf::WalkStep::read_error) {
                findings.problem(index + 1, entry.offset, "read_error", "cannot read the record");
                break;
            }
            if (walk.step == tuf::WalkStep::end) {
                if (walk.stray > 0)
                    findings.problem(index + 1, entry.offset, "stray_bytes",
                                     std::to_string(walk.stray) + " stray bytes at the end, shorter than a record");
                break;
            }
            ++index;
            const bool directory = entry.is_directory();
            const std::uint64_t size = directory ? 0 : entry.record.size;
            const std::uint64_t packed = entry.data_length();
            needs.add(entry.name(), directory, size, packed);
            if (directory) {
                ++directories;
            } else {
                ++files;
                total_size += size;
                total_packed += packed;
            }
            if (json) {
                if (index > 1) entries_json += ',';
                entries_json += "{\"entry\":" + std::to_string(index) +
                                ",\"offset\":" + std::to_string(entry.offset) + ",\"kind\":\"" +
                                (directory ? "directory" : "file") + "\",\"compressed\":" +
                                (std::strcmp(kind_of(entry), "zlib") == 0 ? "true" : "false") +
                                ",\"size\":" + std::to_string(size) + ",\"packed_size\":" + std::to_string(packed) +
                                ",\"skip\":" + std::to_string(directory ? 0 : entry.record.skip) +
                                ",\"name\":" + json_string(entry.name()) + "}";
            } else if (directory) {
                std::printf("%6zu %10llu %-6s %10s %10s %6s %10s  %s\n", index,
                            static_cast<unsigned long long>(entry.offset), "dir", "-", "-", "-", "-",
                            printable(entry.name()).c_str());
            } else {
                std::printf("%6zu %10llu %-6s %10llu %10llu %6s %10u  %s\n", index,
                            static_cast<unsigned long long>(entry.offset), kind_of(entry),
                            static_cast<unsigned long long>(size), static_cast<unsigned long long>(packed),
                            percent(packed, size).c_str(), entry.record.skip, printable(entry.name()).c_str());
            }
            if (!entry_fits(package, entry, index, findings)) break;
            if (!package.reader.skip(packed) || !tuf::finish_entry(package.reader, entry)) break;
        }
    }
    if (json) {
        std::printf("{\"package\":%s,\"header\":%s,\"entries\":%s],\"totals\":{\"directories\":%llu,\"files\":%llu,"
                    "\"size\":%llu,\"packed\":%llu},\"device\":%s,\"problems\":%s}\n",
                    json_string(path).c_str(), header_json(header).c_str(), entries_json.c_str(),
                    static_cast<unsigned long long>(directories), static_cast<unsigned long long>(files),
                    static_cast<unsigned long long>(total_size), static_cast<unsigned long long>(total_packed),
                    needs.json().c_str(), json_findings(findings.problems).c_str());
    } else {
        std::printf("Totals   : %s, %s, %llu bytes, %llu packed (%s)\n",
                    counted(directories, "directory", "directories").c_str(), counted(files, "file", "files").c_str(),
                    static_cast<unsigned long long>(total_size), static_cast<unsigned long long>(total_packed),
                    percent(total_packed, total_size).c_str());
        std::printf("Device   : %s\n", needs.text().c_str());
        print_findings(findings);
    }
    return findings.problems.empty() ? exit_ok : exit_problem;
}

int run_check(int argc, char** argv) {
    const Arguments arguments(argc, argv, {"--key"}, {"--json", "-q", "--quiet"});
    if (arguments.help()) {
        std::fputs(check_usage, stdout);
        return exit_ok;
    }
    const std::string path = package_argument(arguments);
    const bool json = arguments.flag("--json");
    OpenedPackage package;
    std::string why;
    Findings findings;
    std::size_t index = 0;
    DeviceNeeds needs;
    bool opened = open_package(path, package, why);
    if (!opened) {
        findings.problem(0, 0, "not_a_package", why);
    } else {
        const PackageKind kind = kind_of_id(id_of(package.header));
        if (kind == PackageKind::unknown)
            findings.problem(0, 8, "unknown_id",
                             "package ID \"" + std::string(id_of(package.header)) + "\" is not one the device offers (" +
                                 known_ids() + "); the device skips the package");
        for (const VersionWarning& warning :
             version_warnings(tuf::field_text(package.header.version, sizeof package.header.version), kind))
            findings.warning(0, 16, warning.kind, warning.message);
    }
    if (opened && check_header(package, findings) && package.reader.seek(package.header.data_offset)) {
        Progress progress("tufpkg check:", package.size, Progress::Unit::bytes, arguments.flag("--quiet") || arguments.flag("-q"));
        StreamChecker streams;
        NameRules names;
        std::set<std::string> created;
        tuf::Entry entry;
        for (;;) {
            const tuf::WalkResult walk = tuf::next_entry(package.reader, entry);
            if (walk.step == tuf::WalkStep::read_error) {
                findings.problem(index + 1, entry.offset, "read_error", "cannot read the record");
                break;
            }
            if (walk.step == tuf::WalkStep::end) {
                if (walk.stray > 0)
                    findings.problem(index + 1, entry.offset, "stray_bytes",
                                     std::to_string(walk.stray) +
                                         " stray bytes at the end: a truncated record or bytes after the last entry");
                break;
            }
            ++index;
            const std::string_view name = entry.name();
            if (!entry.name_terminated())
                findings.problem(index, entry.offset, "text_without_nul", "name has no NUL within its 130 bytes");
            const std::string refused = names.judge(name, entry.is_directory(), index);
            if (!refused.empty()) findings.problem(index, entry.offset, "device_refuses_name", refused);
            needs.add(name, entry.is_directory(), entry.is_directory() ? 0 : entry.record.size, entry.data_length());
            if (!name.empty() && name.front() != '/')
                findings.warning(index, entry.offset, "relative_name",
                                 "name \"" + std::string(name) +
                                     "\" does not begin with \"/\"; the device resolves it against its working folder");
            const std::string parent = parent_of(name);
            if (!parent.empty() && created.count(parent) == 0)
                findings.warning(index, entry.offset, "missing_parent",
                                 "no earlier entry creates the parent directory \"" + parent + "\"");
            if (entry.is_directory()) {
                created.insert(without_trailing_slashes(name));
                continue;
            }
            if (!entry_fits(package, entry, index, findings)) break;
            if (entry.is_compressed() && entry.record.size > 0) {
                streams.check(package.reader, entry, index, findings);
            } else {
                package.reader.skip(entry.data_length());
            }
            if (!tuf::finish_entry(package.reader, entry)) break;
            progress.update(package.reader.position());
        }
    }
    const SignatureCheck signature = check_signature(path, arguments.value("--key"));
    if (signature.checked && !signature.verified)
        findings.problem(0, 0, "signature",
                         signature.names_file ? signature.message : signature.file + ": " + signature.message);
    const bool ok = findings.problems.empty();
    if (json) {
        const std::string signature_field =
            signature.present || signature.checked ? ",\"signature\":" + signature_json(signature) : "";
        const std::string device_field = opened ? ",\"device\":" + needs.json() : "";
        std::printf("{\"package\":%s,\"ok\":%s,\"entries\":%zu,\"problems\":%s,\"warnings\":%s%s%s}\n",
                    json_string(path).c_str(), ok ? "true" : "false", index,
                    json_findings(findings.problems).c_str(), json_findings(findings.warnings).c_str(),
                    device_field.c_str(), signature_field.c_str());
    } else {
        print_findings(findings);
        if (signature.verified)
            std::printf("signature: %s verifies with key %s\n", printable(signature.file).c_str(),
                        signature.key_id.c_str());
        else if (signature.present && !signature.checked)
            std::printf("signature: %s beside the package, not checked (no --key)\n",
                        printable(signature.file).c_str());
        if (opened) std::printf("device: %s\n", needs.text().c_str());
        std::printf("%s: %s, %s, %s: %s\n", printable(path).c_str(), counted(index, "entry", "entries").c_str(),
                    counted(findings.problems.size(), "problem", "problems").c_str(),
                    counted(findings.warnings.size(), "warning", "warnings").c_str(), ok ? "ok" : "damaged");
    }
    return ok ? exit_ok : exit_problem;
}

}  // namespace tufpkg
