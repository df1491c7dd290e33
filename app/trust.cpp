// The trust key of the device and the three checks made with it.
#include "app/trust.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tuf/tsign.h"

namespace app {

namespace {

enum class Trust { everything, key, nothing };

// Written by the driver before the first dialog, read afterwards by the key handler.
Trust trust = Trust::everything;
sign_key_t trusted_key;

}  // namespace

void trust_init(const char* key_path) {
    int status = sign_load_key(key_path, &trusted_key);
    const int error = errno;
    // Whatever is at the key path is the key: a link that leads nowhere (a key kept
    // on a partition that did not mount) trusts nothing, it does not switch the
    // signatures off.
    struct stat there {};
    if (status == sign_no_file && ::lstat(key_path, &there) == 0) status = sign_unreadable;
    if (status == sign_ok) {
        trust = Trust::key;
    } else if (status == sign_no_file) {
        trust = Trust::everything;
    } else {
        trust = Trust::nothing;
        if (status == sign_unreadable)
            std::printf("Error : trust key \"%s\" cannot be read (%s) : no package is trusted\n", key_path,
                        std::strerror(error));
        else
            std::printf("Error : trust key \"%s\" is not a minisign public key : no package is trusted\n", key_path);
    }
}

bool trust_offer(const char* path) {
    if (trust == Trust::everything) return true;
    if (trust == Trust::key && sign_check_signer(path, &trusted_key) == sign_ok) return true;
    std::printf("PATH %s\n", path);
    std::printf("Skip : no valid signature for \"%s\"\n", path);
    return false;
}

bool trust_package(const char* path) {
    if (trust == Trust::everything) return true;
    const int status = trust == Trust::key ? sign_verify_file(path, &trusted_key) : sign_other_key;
    if (status == sign_ok) return true;
    std::printf("Error : signature of \"%s\" : %s\n", path, sign_status_text(status));
    return false;
}

bool trust_first_script(const char* name) {
    if (trust == Trust::everything) return true;
    // No script at all: nothing to run and nothing to refuse.
    struct stat there {};
    if (::lstat(name, &there) != 0 && errno == ENOENT) return false;
    if (trust == Trust::key && sign_verify_file(name, &trusted_key) == sign_ok) return true;
    std::printf("Skip : first script \"%s\" is not signed\n", name);
    return false;
}

}  // namespace app
