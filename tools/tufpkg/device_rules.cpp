#include "device_rules.h"

#include <algorithm>

#include "tool_support.h"
#include "tuf/file_writer.h"

namespace tufpkg {

namespace {

struct KnownId {
    const char* id;
    PackageKind kind;
};

// The IDs the upgrade dialog offers; every other package is skipped unseen.
constexpr KnownId known[] = {
    {"QX4170", PackageKind::program}, {"MAP4170", PackageKind::map}, {"USERMAP", PackageKind::user_map}};

// The first `count` components as one key: "/" first for names from the root, "./"
// for names that resolve against the working folder.
std::string joined(bool absolute, const std::vector<std::string>& parts, std::size_t count) {
    std::string out = absolute ? "/" : "./";
    for (std::size_t i = 0; i < count; ++i) out += (i > 0 ? "/" : "") + parts[i];
    return out;
}

std::string entry_text(std::size_t entry) { return "entry " + std::to_string(entry); }

// The characters of a text for a message: a valid UTF-8 sequence stays whole,
// other bytes are shown as printable() shows them.
std::vector<std::string> characters(std::string_view text) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        if (lead >= 0xc2 && lead <= 0xf4) {
            const std::size_t want = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
            std::size_t have = 1;
            while (have < want && i + have < text.size() && (static_cast<unsigned char>(text[i + have]) & 0xc0) == 0x80)
                ++have;
            if (have == want) length = want;
        }
        out.push_back(length == 1 ? printable(text.substr(i, 1)) : std::string(text.substr(i, length)));
        i += length;
    }
    return out;
}

}  // namespace

PackageKind kind_of_id(std::string_view id) {
    for (const KnownId& k : known)
        if (id == k.id) return k.kind;
    return PackageKind::unknown;
}

const char* kind_name(PackageKind kind) {
    switch (kind) {
        case PackageKind::program: return "program";
        case PackageKind::map: return "map";
        case PackageKind::user_map: return "user map";
        case PackageKind::unknown: break;
    }
    return "unknown";
}

std::string known_ids() {
    std::string out;
    for (std::size_t i = 0; i < std::size(known); ++i) {
        if (i > 0) out += i + 1 == std::size(known) ? " or " : ", ";
        out += std::string(known[i].id) + " (" + kind_name(known[i].kind) + ")";
    }
    return out;
}

bool name_components(std::string_view name, std::vector<std::string>& parts, bool resolve_parent) {
    parts.clear();
    while (!name.empty()) {
        const std::size_t slash = name.find('/');
        const std::string_view part = name.substr(0, slash);
        name = slash == std::string_view::npos ? std::string_view{} : name.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part != "..") {
            parts.emplace_back(part);
        } else if (!resolve_parent) {
            return false;
        } else if (!parts.empty()) {
            parts.pop_back();
        }
    }
    return true;
}

std::string NameRules::judge(std::string_view name, bool directory, std::size_t entry) {
    const char* what = directory ? "directory" : "file";
    if (name.empty()) return std::string("empty ") + what + " name";
    const bool absolute = name.front() == '/';
    std::vector<std::string> parts;
    name_components(name, parts, true);  // as the file system sees it
    // Every folder on the way must be able to be one: an earlier file entry there
    // makes the creation fail (not a directory).
    for (std::size_t count = 1; count < parts.size(); ++count) {
        const auto file = files_.find(joined(absolute, parts, count));
        if (file != files_.end())
            return std::string(what) + " name \"" + printable(name) + "\" passes through \"" +
                   printable(file->first) + "\", a file entry earlier in the package (" + entry_text(file->second) +
                   ")";
    }
    const std::string key = joined(absolute, parts, parts.size());
    if (directory) {
        directories_.emplace(key, entry);
        return "";
    }
    const std::string_view last = name.substr(name.rfind('/') + 1);
    if (parts.empty() || name.back() == '/' || last == "." || last == "..")
        return "file name \"" + printable(name) + "\" names a folder" +
               (parts.empty() ? std::string(absolute ? " (the root)" : " (the working folder)") : "") +
               ", not a file";
    const auto folder = directories_.find(key);
    if (folder != directories_.end())
        return "file name \"" + printable(name) + "\" is a directory entry earlier in the package (" +
               entry_text(folder->second) + ")";
    files_.emplace(key, entry);
    return "";
}

int glyph_width(unsigned char byte) {
    // The pen advance of each of the dialog's 68 glyphs (gui/t4170img.cpp; a test
    // draws every byte with the device's own text drawing and compares).
    if ((byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')) return 10;
    switch (byte) {
        case '!': case '.': case ':': case 'i': case 'l': return 3;
        case 'f': case 'j': return 6;
        case 'r': case 's': case 't': case 'z': return 7;
        case 'a': case 'c': case 'e': case 'v': case 'x': case 'y': return 8;
        case 'b': case 'd': case 'g': case 'h': case 'k': case 'n': case 'o': case 'p': case 'q': case 'u': return 9;
        case '-': case '?': case '_': return 10;
        case 'm': case 'w': return 13;
        default: return 0;
    }
}

int version_room(PackageKind kind) {
    // The dialog is 272 pixels wide inside a 3-pixel frame; the program dialog
    // draws the version from its column 195, the map dialogs from column 150
    // (app/dialog.cpp).
    constexpr int inner_edge = 272 - 3;
    switch (kind) {
        case PackageKind::program: return inner_edge - 195;
        case PackageKind::map:
        case PackageKind::user_map: return inner_edge - 150;
        case PackageKind::unknown: break;
    }
    return 0;
}

std::vector<VersionWarning> version_warnings(std::string_view version, PackageKind kind) {
    std::vector<VersionWarning> out;
    std::string shown;
    std::vector<std::string> missing;
    int width = 0;
    for (const std::string& character : characters(version)) {
        const int advance = character.size() == 1 ? glyph_width(static_cast<unsigned char>(character[0])) : 0;
        if (advance > 0) {
            shown += character;
            width += advance;
        } else if (std::find(missing.begin(), missing.end(), character) == missing.end()) {
            missing.push_back(character);
        }
    }
    if (!missing.empty()) {
        std::string list;
        for (std::size_t i = 0; i < missing.size(); ++i) list += (i > 0 ? ", \"" : "\"") + missing[i] + "\"";
        out.push_back({"version_glyphs", "version \"" + printable(version) + "\": the device has no glyph for " +
                                             list + "; its dialog shows \"" + shown + "\""});
    }
    const int room = version_room(kind);
    if (room > 0 && width > room)
        out.push_back({"version_width", "version \"" + printable(version) + "\" is " + std::to_string(width) +
                                            " pixels wide on the device; the " + kind_name(kind) +
                                            " dialog has room for " + std::to_string(room)});
    return out;
}

namespace {

constexpr std::uint64_t block_size = 4096;

std::uint64_t blocks_of(std::uint64_t size) { return (size + block_size - 1) / block_size; }

}  // namespace

void DeviceNeeds::add(std::string_view name, bool directory, std::uint64_t size, std::uint64_t packed_size) {
    if (directory) {
        ++blocks_;
        return;
    }
    blocks_ += blocks_of(size);
    file_blocks_ += blocks_of(size);
    if (!any_file_ || size > largest_size_) {
        any_file_ = true;
        largest_name_ = name;
        largest_size_ = size;
        largest_packed_ = packed_size;
    }
}

std::uint64_t DeviceNeeds::free_space() const {
    const std::uint64_t batch = blocks_of(tuf::FileWriter::Options{}.batch_bytes) + blocks_of(largest_size_);
    return (blocks_ + std::min(file_blocks_, 2 * batch)) * block_size;
}

std::uint64_t DeviceNeeds::free_space_signed() const { return (blocks_ + file_blocks_) * block_size; }

std::string DeviceNeeds::text() const {
    const std::uint64_t space = free_space(), signed_space = free_space_signed();
    std::string out = "needs " + human_bytes(space) + " (" + std::to_string(space) + " bytes) free, " +
                      human_bytes(signed_space) + " (" + std::to_string(signed_space) + " bytes) with a trust key";
    if (!any_file_) return out + "; no file";
    return out + "; largest file " + human_bytes(largest_size_) + " (" + std::to_string(largest_size_) +
           " bytes), " + printable(largest_name_);
}

std::string DeviceNeeds::json() const {
    std::string out = "{\"free_space\":" + std::to_string(free_space()) +
                      ",\"free_space_signed\":" + std::to_string(free_space_signed()) + ",\"largest_file\":";
    if (!any_file_) return out + "null}";
    return out + "{\"name\":" + json_string(largest_name_) + ",\"size\":" + std::to_string(largest_size_) +
           ",\"packed_size\":" + std::to_string(largest_packed_) + "}}";
}

}  // namespace tufpkg
