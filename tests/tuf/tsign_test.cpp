// minisign keys and signatures: the fixtures in signatures/ were made by minisign
// itself (signatures/make.sh); damaged copies are made here in temporary folders.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "package_builder.h"
#include "tuf/tsign.h"

using namespace tuf_test;

namespace {

const std::string fixtures = SIGNATURE_FIXTURES;

sign_key_t key(const std::string& name = "key.pub") {
    sign_key_t loaded{};
    EXPECT_EQ(sign_load_key((fixtures + "/" + name).c_str(), &loaded), sign_ok);
    return loaded;
}

int parse_key(const std::string& text) {
    sign_key_t parsed{};
    return sign_parse_key(text.data(), text.size(), &parsed);
}

int parse_signature(const std::string& text) {
    sign_signature_t parsed;
    return sign_parse_signature(text.data(), text.size(), &parsed);
}

// The text of `text` with its line `index` (from 0) replaced.
std::string with_line(const std::string& text, std::size_t index, const std::string& line) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    lines.at(index) = line;
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

std::string line_of(const std::string& text, std::size_t index) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < index; ++i) start = text.find('\n', start) + 1;
    return text.substr(start, text.find('\n', start) - start);
}

// signed.bin in a temporary folder with `signature` (a fixture) beside it.
class SignedCopy : public testing::Test {
protected:
    std::string copy(const std::string& signature = "signed.bin.minisig",
                     const std::string& content = read_file(fixtures + "/signed.bin")) {
        write_file(file(), content);
        write_file(file() + ".minisig", read_file(fixtures + "/" + signature));
        return file();
    }
    std::string file() const { return work / "signed.bin"; }
    int verify() const {
        const sign_key_t trusted = key();
        return sign_verify_file(file().c_str(), &trusted);
    }
    TempDir work;
};

}  // namespace

TEST(SignatureFiles, KeyIdReadsAsMinisignPrintsIt) {
    const std::string text = read_file(fixtures + "/key.pub");
    const sign_key_t loaded = key();
    EXPECT_EQ("untrusted comment: minisign public key " + sign_key_id_text(loaded.id), line_of(text, 0));
}

TEST(SignatureFiles, SignatureByMinisignParsesWithItsTrustedComment) {
    sign_signature_t signature;
    ASSERT_EQ(sign_load_signature((fixtures + "/signed.bin.minisig").c_str(), &signature), sign_ok);
    EXPECT_TRUE(signature.prehashed);
    EXPECT_EQ("trusted comment: " + signature.trusted_comment,
              line_of(read_file(fixtures + "/signed.bin.minisig"), 2));
    const sign_key_t trusted = key();
    EXPECT_EQ(sign_key_id_text(signature.key_id), sign_key_id_text(trusted.id));
}

TEST(SignatureFiles, MalformedKeysAreRefused) {
    const std::string good = read_file(fixtures + "/key.pub");
    const std::string base64 = line_of(good, 1);
    ASSERT_EQ(parse_key(good), sign_ok);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"comment only", line_of(good, 0) + "\n"},
        {"base64 only", base64 + "\n"},
        {"no comment prefix", with_line(good, 0, "minisign public key")},
        {"one character short", with_line(good, 1, base64.substr(1))},
        {"one character more", with_line(good, 1, base64 + "A")},
        {"not base64", with_line(good, 1, std::string(base64.size(), '*'))},
        {"space inside", with_line(good, 1, base64.substr(0, 10) + " " + base64.substr(11))},
        {"another algorithm", with_line(good, 1, "RV" + base64.substr(2))},
        {"a signature instead", read_file(fixtures + "/signed.bin.minisig")},
        {"a third line", good + "extra\n"},
        {"a NUL byte", good.substr(0, 30) + std::string(1, '\0') + good.substr(31)},
    };
    for (const auto& [name, text] : cases) EXPECT_EQ(parse_key(text), sign_malformed) << name;
}

TEST(SignatureFiles, LineEndsOfOtherSystemsAndBlankLinesAfterAreAccepted) {
    const std::string good = read_file(fixtures + "/key.pub");
    EXPECT_EQ(parse_key(line_of(good, 0) + "\r\n" + line_of(good, 1) + "\r\n"), sign_ok);
    EXPECT_EQ(parse_key(line_of(good, 0) + "\n" + line_of(good, 1)), sign_ok);
    EXPECT_EQ(parse_key(good + "\n\n"), sign_ok);
}

TEST(SignatureFiles, MalformedSignaturesAreRefused) {
    const std::string good = read_file(fixtures + "/signed.bin.minisig");
    ASSERT_EQ(parse_signature(good), sign_ok);
    const std::string signature = line_of(good, 1), global = line_of(good, 3);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"three lines", with_line(good, 3, "") },
        {"no trusted comment prefix", with_line(good, 2, "comment: x")},
        {"signature one character short", with_line(good, 1, signature.substr(1))},
        {"signature without padding", with_line(good, 1, signature.substr(0, signature.size() - 1))},
        {"global signature cut", with_line(good, 3, global.substr(0, 40))},
        {"another algorithm", with_line(good, 1, "RX" + signature.substr(2))},
        {"a key instead", read_file(fixtures + "/key.pub")},
        {"a fifth line", good + "more\n"},
    };
    for (const auto& [name, text] : cases) EXPECT_EQ(parse_signature(text), sign_malformed) << name;
}

TEST(SignatureFiles, MissingKeyFileIsNoFileAndAFolderIsUnreadable) {
    TempDir work;
    sign_key_t loaded{};
    EXPECT_EQ(sign_load_key((work / "absent.pub").c_str(), &loaded), sign_no_file);
    EXPECT_EQ(sign_load_key(work.path().c_str(), &loaded), sign_unreadable);
    write_file(work / "huge.pub", std::string(sign_max_file_size + 1, 'x'));
    EXPECT_EQ(sign_load_key((work / "huge.pub").c_str(), &loaded), sign_malformed);
}

// What the whole check and the cheap check before an offer say of a copy of
// signed.bin: its signature fixture (none: no signature file) and its content.
TEST_F(SignedCopy, EachDamageGivesItsStatus) {
    const std::string good = read_file(fixtures + "/signed.bin");
    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 0x01;
    struct Case {
        const char* name;
        const char* signature;
        std::string content;
        int verified;
        int signer;  // -1: not asked
    };
    const std::vector<Case> cases = {
        {"signed by the key", "signed.bin.minisig", good, sign_ok, sign_ok},
        {"one flipped byte", "signed.bin.minisig", flipped, sign_mismatch, -1},
        {"truncated", "signed.bin.minisig", good.substr(0, good.size() - 1), sign_mismatch, -1},
        {"another file's signature", "other-file.minisig", good, sign_mismatch, -1},
        {"another key, refused before the file is read", "by-other-key.minisig", good, sign_other_key,
         sign_other_key},
        {"no signature", nullptr, good, sign_no_file, sign_no_file},
        {"legacy signature", "legacy.minisig", good, sign_legacy, sign_legacy},
    };
    const sign_key_t trusted = key();
    for (const Case& c : cases) {
        copy(c.signature != nullptr ? c.signature : "signed.bin.minisig", c.content);
        if (c.signature == nullptr) ::unlink((file() + ".minisig").c_str());
        EXPECT_EQ(verify(), c.verified) << c.name;
        if (c.signer >= 0) {
            EXPECT_EQ(sign_check_signer(file().c_str(), &trusted), c.signer) << c.name;
        }
    }
}

TEST_F(SignedCopy, SignatureByAnotherKeyVerifiesWithThatKey) {
    copy("by-other-key.minisig");
    const sign_key_t other = key("other-key.pub");
    EXPECT_EQ(sign_verify_file(file().c_str(), &other), sign_ok);
}

TEST_F(SignedCopy, ChangedTrustedCommentIsRefused) {
    copy();
    const std::string good = read_file(file() + ".minisig");
    write_file(file() + ".minisig", with_line(good, 2, line_of(good, 2) + " "));
    EXPECT_EQ(verify(), sign_comment_altered);
}

TEST_F(SignedCopy, SignedFileThatCannotBeReadIsAReadError) {
    copy();
    ::unlink(file().c_str());
    ::mkdir(file().c_str(), 0700);
    EXPECT_EQ(verify(), sign_read_error);
}
