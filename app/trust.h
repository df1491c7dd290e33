// Signed packages. With the trust key "/cmap/upgrade.pub" on the device, a package is
// offered only when a signature made with that key lies beside it ("NAME.minisig"),
// the whole package is verified before anything of it is written, and the first
// script runs only with a valid signature of its own. Without the key nothing changes.
#pragma once

namespace app {

constexpr const char* trust_key_file = "/cmap/upgrade.pub";

// Reads the trust key once for the run. A key that exists but cannot be read or
// parsed trusts nothing: one line says why, and no package is offered.
void trust_init(const char* key_path);
// The card search: true when `path` may be offered; otherwise prints "PATH %s"
// and the refusal line.
bool trust_offer(const char* path);
// On yes, before the first script and before anything is written: the whole
// package checked; false (with a line saying why) when it must not be applied.
bool trust_package(const char* path);
// True when the first script `name` may run; otherwise prints the refusal line.
bool trust_first_script(const char* name);

}  // namespace app
