// tufpkg verify, and the signature part of tufpkg check: the device's own check of
// the minisign signature "PKG.minisig" against a public key.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tool_support.h"
#include "tuf/tsign.h"

namespace tufpkg {

namespace {

const char verify_usage[] =
    "Usage: tufpkg verify PKG --key PUB [--json]\n"
    "Check the minisign signature PKG.minisig beside the package against the public\n"
    "key file PUB, as the device does with its trust key \"/cmap/upgrade.pub\": made\n"
    "with that key, trusted comment intact, and the whole package unchanged since it\n"
    "was signed. Only prehashed signatures (minisign's default) are accepted.\n"
    "\n"
    "  --key PUB  the public key file (minisign -G writes it)\n"
    "  --json     one JSON document on standard output\n"
    "\n"
    "Exit status: 0 verified, 1 not verified (no signature file, another key, a\n"
    "changed package, a key file that cannot be read), 2 bad usage.\n";

const char* status_name(int status) {
    switch (status) {
        case sign_ok: return "ok";
        case sign_no_file: return "no_signature";
        case sign_unreadable: return "unreadable";
        case sign_malformed: return "malformed";
        case sign_legacy: return "legacy";
        case sign_other_key: return "other_key";
        case sign_comment_altered: return "comment_altered";
        case sign_mismatch: return "mismatch";
        case sign_read_error: return "read_error";
        default: return "unknown";
    }
}

}  // namespace

SignatureCheck check_signature(const std::string& path, const std::optional<std::string>& key_path) {
    SignatureCheck check;
    check.file = sign_signature_path(path.c_str());
    struct stat status {};
    check.present = ::stat(check.file.c_str(), &status) == 0;
    if (!key_path) return check;
    check.checked = true;
    sign_key_t key{};
    const int key_status = sign_load_key(key_path->c_str(), &key);
    if (key_status != sign_ok) {
        check.status = "bad_key";
        check.message = "key " + *key_path + ": " +
                        (key_status == sign_malformed ? std::string("not a minisign public key")
                                                      : std::string(std::strerror(errno)));
        return check;
    }
    check.key_id = sign_key_id_text(key.id);
    sign_signature_t signature;
    const int result = sign_verify_file(path.c_str(), &key, &signature);
    check.verified = result == sign_ok;
    check.status = status_name(result);
    check.message = sign_status_text(result);
    check.names_file = result == sign_no_file || result == sign_unreadable || result == sign_malformed;
    if (check.names_file) check.message += ": " + printable(check.file);
    if (result == sign_other_key)
        check.message = "signed with key " + sign_key_id_text(signature.key_id) + ", not with key " + check.key_id +
                        " of " + printable(*key_path);
    check.trusted_comment = signature.trusted_comment;
    return check;
}

std::string signature_json(const SignatureCheck& check) {
    std::string out = "{\"file\":" + json_string(check.file) + ",\"present\":" + (check.present ? "true" : "false");
    if (!check.checked) return out + ",\"verified\":null}";
    out += ",\"verified\":" + std::string(check.verified ? "true" : "false") + ",\"status\":" +
           json_string(check.status) + ",\"message\":" + json_string(check.message);
    if (!check.key_id.empty()) out += ",\"key_id\":" + json_string(check.key_id);
    if (check.verified) out += ",\"trusted_comment\":" + json_string(check.trusted_comment);
    return out + "}";
}

int run_verify(int argc, char** argv) {
    const Arguments arguments(argc, argv, {"--key"}, {"--json"});
    if (arguments.help()) {
        std::fputs(verify_usage, stdout);
        return exit_ok;
    }
    if (arguments.positional().size() != 1) throw UsageError("expected one package PKG");
    const std::string path = arguments.positional()[0];
    const SignatureCheck check = check_signature(path, arguments.required("--key"));
    if (arguments.flag("--json")) {
        std::printf("{\"package\":%s,\"ok\":%s,\"signature\":%s}\n", json_string(path).c_str(),
                    check.verified ? "true" : "false", signature_json(check).c_str());
    } else if (check.verified) {
        std::printf("%s: signature verified with key %s\ntrusted comment: %s\n", printable(path).c_str(),
                    check.key_id.c_str(), printable(check.trusted_comment).c_str());
    } else {
        std::printf("%s: not verified: %s\n", printable(path).c_str(), printable(check.message).c_str());
    }
    return check.verified ? exit_ok : exit_problem;
}

}  // namespace tufpkg
