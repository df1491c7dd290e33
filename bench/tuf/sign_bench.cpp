// Cost of the signature check, side by side in one run:
//   (1) verification throughput of a signed package against BLAKE2b-512 of the same
//       bytes alone (the floor: the check is one hash pass plus two Ed25519 checks);
//   (2) the time to apply a package with a trust key (tuf_extract_checked: the package
//       read once, its file staged while every byte is hashed, renamed once the
//       signature holds) against without one (tuf_extract), and against the former way
//       with a key (the whole package verified, then extracted: two reads).
//
//   tuf_sign_bench [MIB] [REPEATS]       (default 256 MiB, best of 3)
//
// The package holds one stored file of MIB MiB, signed by a key minisign makes in a
// temporary folder (TUF_BENCH_TMP, else /tmp) that is removed at the end. The runs
// take turns; the extraction root is emptied and synced before each.
#include <sodium.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "../../tests/tuf/minisign_key.h"
#include "tuf/package_reader.h"
#include "tuf/tsign.h"
#include "tuf/ttuf.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t block = std::size_t{128} << 10;

// A package with one stored file /data/map.bin of `size` bytes of text-like data.
void write_package(const std::string& path, std::uint64_t size) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) std::abort();
    unsigned char header[tuf::header_size] = {'T', 'U', 'F'};
    tuf::store_le32(header + 4, tuf::header_size);
    std::memcpy(header + 8, "BENCH", 5);
    std::memcpy(header + 16, "1", 1);
    unsigned char directory[tuf::record_size] = {};
    std::memcpy(directory, "/data", 5);
    unsigned char record[tuf::record_size] = {};
    std::memcpy(record, "/data/map.bin", 13);
    record[130] = 1;
    tuf::store_le32(record + 132, static_cast<std::uint32_t>(size));
    std::fwrite(header, 1, sizeof header, out);
    std::fwrite(directory, 1, sizeof directory, out);
    std::fwrite(record, 1, sizeof record, out);
    std::string chunk;
    for (unsigned line = 0; chunk.size() < block; ++line) chunk += "sector " + std::to_string(line * 7919 % 1000) + " road tile north\n";
    chunk.resize(block);
    for (std::uint64_t done = 0; done < size; done += block)
        std::fwrite(chunk.data(), 1, static_cast<std::size_t>(std::min<std::uint64_t>(block, size - done)), out);
    if (std::fclose(out) != 0) std::abort();
}

double seconds(const std::function<void()>& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// BLAKE2b-512 of the file, read as the check reads it: the floor of the check.
void blake2b_of(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) std::abort();
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[block]);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    for (ssize_t n; (n = ::read(fd, buffer.get(), block)) > 0;)
        crypto_generichash_update(&state, buffer.get(), static_cast<unsigned long long>(n));
    ::close(fd);
    unsigned char hash[crypto_generichash_BYTES_MAX];
    crypto_generichash_final(&state, hash, sizeof hash);
}

// The device's check of a signed package as the extraction reads it.
class SignatureCheck final : public tuf::PackageCheck {
public:
    SignatureCheck(const char* package, const sign_key_t& key) {
        sign_signature_t signature;
        if (sign_load_signature(sign_signature_path(package).c_str(), &signature) != sign_ok ||
            sign_stream_begin(&stream_, &signature, &key) != sign_ok)
            throw std::runtime_error("signature");
    }
    void observe(const unsigned char* data, std::size_t length) override { sign_stream_update(&stream_, data, length); }
    bool accept_header(const HEADTUFFILE&) override { return true; }
    bool accept_whole() override { return sign_stream_end(&stream_) == sign_ok; }

private:
    sign_stream_t stream_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (sodium_init() < 0 || mib == 0 || mib >= 4096) {
        std::fprintf(stderr, "usage: tuf_sign_bench [MIB (1..4095)] [REPEATS]\n");
        return 2;
    }
    const char* base = std::getenv("TUF_BENCH_TMP");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tuf-sign-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    const fs::path work = pattern;
    const std::string package = (work / "bench.tuf").string();
    const std::string root = (work / "root").string();
    int status = 0;
    try {
        std::printf("preparing a signed package of %llu MiB in %s ...\n", static_cast<unsigned long long>(mib),
                    work.c_str());
        write_package(package, mib << 20);
        const tuf_test::MinisignKey key(work.string());
        key.sign(package);
        sign_key_t trusted{};
        if (sign_load_key(key.public_key().c_str(), &trusted) != sign_ok) throw std::runtime_error("key");
        const double megabytes = static_cast<double>(fs::file_size(package)) / 1e6;

        double hash_best = 1e9, verify_best = 1e9, plain_best = 1e9, keyed_best = 1e9, twice_best = 1e9;
        const auto verify = [&] {
            if (sign_verify_file(package.c_str(), &trusted) != sign_ok) throw std::runtime_error("verification failed");
        };
        const auto extract = [&] {
            if (tuf_extract(package.c_str(), root.c_str()) != 0) throw std::runtime_error("extraction failed");
        };
        const auto signed_apply = [&] {
            SignatureCheck check(package.c_str(), trusted);
            if (tuf_extract_checked(package.c_str(), root.c_str(), check) != 0)
                throw std::runtime_error("signed extraction failed");
        };
        const auto fresh_root = [&] {
            fs::remove_all(root);
            fs::create_directories(root);
            ::sync();
        };
        blake2b_of(package);  // the package in the page cache for everyone
        // The extraction's lines ("+ Create file ...") would bury the figures.
        std::fflush(stdout);
        const int saved_stdout = ::dup(STDOUT_FILENO);
        const int null_device = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_stdout < 0 || null_device < 0 || ::dup2(null_device, STDOUT_FILENO) < 0) std::abort();
        for (int round = 0; round < repeats; ++round) {
            for (int turn = 0; turn < 2; ++turn) {
                if ((round + turn) % 2 == 0) hash_best = std::min(hash_best, seconds([&] { blake2b_of(package); }));
                else verify_best = std::min(verify_best, seconds(verify));
            }
            for (int turn = 0; turn < 3; ++turn) {
                fresh_root();
                switch ((round + turn) % 3) {
                    case 0: plain_best = std::min(plain_best, seconds(extract)); break;
                    case 1: keyed_best = std::min(keyed_best, seconds(signed_apply)); break;
                    default: twice_best = std::min(twice_best, seconds([&] { verify(); extract(); })); break;
                }
            }
        }
        std::fflush(stdout);
        ::dup2(saved_stdout, STDOUT_FILENO);
        ::close(saved_stdout);
        ::close(null_device);
        std::printf("\nverification        %8.1f MB/s\nBLAKE2b-512 alone   %8.1f MB/s\n"
                    "verification / BLAKE2b-512 = %.2fx of the floor's throughput (1.00 is the floor)\n",
                    megabytes / verify_best, megabytes / hash_best, hash_best / verify_best);
        std::printf("\n%llu MiB package:\n"
                    "apply without key                     %7.3f s\n"
                    "apply with key (one read)             %7.3f s   %.2fx\n"
                    "verify, then apply (two reads)        %7.3f s   %.2fx\n"
                    "without key + BLAKE2b-512 alone       %7.3f s   %.2fx  (the target: one read plus the hash)\n",
                    static_cast<unsigned long long>(mib), plain_best, keyed_best, keyed_best / plain_best, twice_best,
                    twice_best / plain_best, plain_best + hash_best, (plain_best + hash_best) / plain_best);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tuf_sign_bench: %s\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(work, ignored);
    return status;
}
