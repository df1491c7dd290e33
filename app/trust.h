// Signed packages. With the trust key "/cmap/upgrade.pub" on the device, a package is
// offered only when a signature made with that key lies beside it ("NAME.minisig"),
// is read once on yes, its files staged while it is hashed and put in place only when
// the signature over all its bytes holds, and the first script runs only with a valid
// signature of its own, from a private copy of the bytes checked. Without the key
// nothing changes.
#pragma once

#include <string>

#include "tuf/tsign.h"
#include "tuf/ttuf.h"

namespace app {

constexpr const char* trust_key_file = "/cmap/upgrade.pub";
// Where the first script's private copy is made, in a folder of its own.
constexpr const char* script_copy_pattern = "/tmp/upgqx4170-XXXXXX";

// Reads the trust key once for the run. A key that exists but cannot be read or
// parsed trusts nothing: one line says why, and no package is offered.
void trust_init(const char* key_path);
// The card search: true when `path` may be offered; otherwise prints "PATH %s"
// and the refusal line.
bool trust_offer(const char* path);

// What the check on yes found, for the package's extraction.
struct PackageTrust {
    bool keyed = false;    // the package is checked as it is laid down
    sign_stream_t stream;  // begun with its signature
};
// On yes, before the first script: with the key, the package's signature file read
// and found to be made with it (nothing of the package itself is read yet). False,
// with a line saying why, when the package must not be applied.
bool trust_package(const char* path, PackageTrust& trust);
// The extraction on yes, after the first script. Without the key tuf_extract(path,
// "/"). With it, tuf_extract_checked: the package read once and committed only when
// its header names the package `offered` (ID and version) and its signature holds.
// `applied` receives the header of the package applied.
int trust_extract(const char* path, PackageTrust& trust, const HEADTUFFILE& offered, HEADTUFFILE& applied);

// A private copy of the first script, made from the bytes that were checked, in a
// folder only this program may write; removed with its folder when it goes.
class ScriptCopy {
public:
    ScriptCopy() = default;
    ScriptCopy(const ScriptCopy&) = delete;
    ScriptCopy& operator=(const ScriptCopy&) = delete;
    ~ScriptCopy();

    // Empty when no copy was needed (no key): the script on the card runs.
    const std::string& path() const { return path_; }
    // Makes the folder and opens the copy of `name` for writing; -1 when it cannot.
    int create(const char* name);

private:
    std::string folder_, path_;
};
// True when the first script `name` may run, from `copy` when it holds a path;
// otherwise prints the refusal line (none when there is no script at all).
bool trust_first_script(const char* name, ScriptCopy& copy);

}  // namespace app
