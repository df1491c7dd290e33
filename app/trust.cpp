// The trust key of the device and the checks made with it.
#include "app/trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tuf/package_reader.h"

namespace app {

namespace {

enum class Trust { everything, key, nothing };

// Written by the driver before the first dialog, read afterwards by the key handler.
Trust trust = Trust::everything;
sign_key_t trusted_key;

// A copy that cannot be made: the script is not run.
constexpr int copy_failed = -1;

bool same_field(const char* a, const char* b, std::size_t width) {
    return tuf::field_text(a, width) == tuf::field_text(b, width);
}

// Checks the package as the extraction reads it: its header against the one offered,
// every byte through the signature's hash.
class SignedPackage final : public tuf::PackageCheck {
public:
    SignedPackage(const char* path, sign_stream_t& stream, const HEADTUFFILE& offered)
        : path_(path), stream_(stream), offered_(offered) {}

    void observe(const unsigned char* data, std::size_t length) override { sign_stream_update(&stream_, data, length); }

    bool accept_header(const HEADTUFFILE& header) override {
        header_ = header;
        // Replaced on the card since its dialog was drawn: what the user agreed to is
        // not what would be applied, whoever signed it.
        if (same_field(header.id, offered_.id, sizeof header.id) &&
            same_field(header.version, offered_.version, sizeof header.version))
            return true;
        const std::string_view id = tuf::field_text(header.id, sizeof header.id);
        const std::string_view version = tuf::field_text(header.version, sizeof header.version);
        std::printf("Error : package \"%s\" is not the one offered (ID \"%.*s\", version \"%.*s\")\n", path_,
                    static_cast<int>(id.size()), id.data(), static_cast<int>(version.size()), version.data());
        return false;
    }

    bool accept_whole() override {
        const int status = sign_stream_end(&stream_);
        if (status == sign_ok) return true;
        std::printf("Error : signature of \"%s\" : %s\n", path_, sign_status_text(status));
        return false;
    }

    const HEADTUFFILE& header() const { return header_; }

private:
    const char* path_;
    sign_stream_t& stream_;
    const HEADTUFFILE& offered_;
    HEADTUFFILE header_{};
};

// Copies the script `name` into `copy` while its bytes are checked against its
// signature: a sign status, or copy_failed (errno says why).
int copy_checked(const char* name, ScriptCopy& copy) {
    sign_signature_t signature;
    int status = sign_load_signature(sign_signature_path(name).c_str(), &signature);
    sign_stream_t stream;
    if (status == sign_ok) status = sign_stream_begin(&stream, &signature, &trusted_key);
    if (status != sign_ok) return status;
    const int in = ::open(name, O_RDONLY | O_CLOEXEC);
    if (in < 0) return sign_read_error;
    const int out = copy.create(name);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        errno = error;
        return copy_failed;
    }
    std::vector<unsigned char> block(std::size_t{64} << 10);
    ssize_t got = 0;
    bool written = true;
    while (written && (got = tuf::read_all(in, block.data(), block.size())) > 0) {
        sign_stream_update(&stream, block.data(), static_cast<std::size_t>(got));
        written = tuf::write_all(out, block.data(), static_cast<std::size_t>(got));
    }
    const int error = errno;
    ::close(in);
    written = ::close(out) == 0 && written;
    status = sign_stream_end(&stream);
    errno = error;
    if (got < 0) return sign_read_error;
    if (!written) return copy_failed;
    return status;
}

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

bool trust_package(const char* path, PackageTrust& package) {
    package.keyed = trust != Trust::everything;
    if (!package.keyed) return true;
    sign_signature_t signature;
    int status = trust == Trust::key ? sign_load_signature(sign_signature_path(path).c_str(), &signature)
                                     : sign_other_key;
    if (status == sign_ok) status = sign_stream_begin(&package.stream, &signature, &trusted_key);
    if (status == sign_ok) return true;
    std::printf("Error : signature of \"%s\" : %s\n", path, sign_status_text(status));
    return false;
}

int trust_extract(const char* path, PackageTrust& package, const HEADTUFFILE& offered, HEADTUFFILE& applied) {
    if (!package.keyed) {
        applied = offered;
        return tuf_extract(path, "/");
    }
    SignedPackage check(path, package.stream, offered);
    const int result = tuf_extract_checked(path, "/", check);
    applied = check.header();
    return result;
}

ScriptCopy::~ScriptCopy() {
    if (!path_.empty()) ::unlink(path_.c_str());
    if (!folder_.empty()) ::rmdir(folder_.c_str());
}

int ScriptCopy::create(const char* name) {
    std::string folder = script_copy_pattern;
    if (::mkdtemp(folder.data()) == nullptr) return -1;
    folder_ = folder;
    const char* slash = std::strrchr(name, '/');
    path_ = folder_ + "/" + (slash != nullptr ? slash + 1 : name);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) path_.clear();
    return fd;
}

bool trust_first_script(const char* name, ScriptCopy& copy) {
    if (trust == Trust::everything) return true;
    // No script at all: nothing to run and nothing to refuse.
    struct stat there {};
    if (::lstat(name, &there) != 0 && errno == ENOENT) return false;
    const int status = trust == Trust::key ? copy_checked(name, copy) : sign_other_key;
    if (status == sign_ok) return true;
    if (status == copy_failed)
        std::printf("Skip : first script \"%s\" cannot be copied to run (%s)\n", name, std::strerror(errno));
    else
        std::printf("Skip : first script \"%s\" is not signed\n", name);
    return false;
}

}  // namespace app
