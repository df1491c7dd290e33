// What the device accepts of a package beyond its layout: the package IDs it
// offers, the names it can lay down, and the version texts its dialog can draw.
// create, list, check and extract all judge packages through these, so the
// commands cannot disagree with one another.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tufpkg {

enum class PackageKind { program, map, user_map, unknown };

// The kind the device gives a package ID (the field's text, compared whole and
// case-sensitively, as the device does).
PackageKind kind_of_id(std::string_view id);
// "program", "map", "user map"; "unknown" for any other ID.
const char* kind_name(PackageKind kind);
// "QX4170 (program), MAP4170 (map) or USERMAP (user map)".
std::string known_ids();

// The components of a package name, without empty and "." parts. A ".." takes the
// one before away when `resolve_parent` (as the file system resolves it), and
// otherwise makes the result false.
bool name_components(std::string_view name, std::vector<std::string>& parts, bool resolve_parent);

// The device's entry names, judged in package order. An entry the device cannot
// apply (its directory or file creation fails there) gets a reason; the others an
// empty text. Relative names resolve against the device's working folder, so they
// are compared among themselves only.
class NameRules {
public:
    std::string judge(std::string_view name, bool directory, std::size_t entry);

private:
    std::map<std::string, std::size_t> directories_;  // normalized name -> entry number
    std::map<std::string, std::size_t> files_;
};

// Pen advance of the dialog's glyph for a byte, 0 when the device draws nothing
// for it (it then leaves the pen where it is).
int glyph_width(unsigned char byte);

// The columns of the confirmation dialog a version text of a package of `kind`
// may cover, from where it starts to the window's inner edge; 0 for an unknown kind.
int version_room(PackageKind kind);

// Warnings about how the dialog draws `version` for a package of `kind`:
// characters without a glyph (and what the dialog shows instead), and a text
// wider than its room.
struct VersionWarning {
    std::string kind;     // "version_glyphs" or "version_width"
    std::string message;
};
std::vector<VersionWarning> version_warnings(std::string_view version, PackageKind kind);

// What applying a package takes on the device: room on its file system for the
// files and directories (in 4 KiB blocks) and for the new copies written beside the
// old files before they replace them: at most two batches of the device's writer
// (one being put in place while the next is written), each up to its byte bound
// plus the file that filled it; a device with a trust key stages every file of the
// package first. And the largest file.
class DeviceNeeds {
public:
    void add(std::string_view name, bool directory, std::uint64_t size, std::uint64_t packed_size);
    std::uint64_t free_space() const;
    std::uint64_t free_space_signed() const;
    // "needs 1.2 MiB (1234567 bytes) free, 1.2 MiB (1234567 bytes) with a trust key;
    //  largest file 1.0 MiB (1048576 bytes), /name"
    std::string text() const;
    // {"free_space":N,"free_space_signed":N,"largest_file":{"name":...,"size":N,"packed_size":N} or null}
    std::string json() const;

private:
    std::uint64_t blocks_ = 0;
    std::uint64_t file_blocks_ = 0;
    bool any_file_ = false;
    std::string largest_name_;
    std::uint64_t largest_size_ = 0;
    std::uint64_t largest_packed_ = 0;
};

}  // namespace tufpkg
