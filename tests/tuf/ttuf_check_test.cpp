#include <gtest/gtest.h>

#include <cstring>

#include "package_builder.h"
#include "tuf/ttuf.h"

using namespace tuf_test;

namespace {

HEADTUFFILE marked_header() {
    HEADTUFFILE header;
    std::memset(&header, 0x5a, sizeof header);
    return header;
}

bool still_marked(const HEADTUFFILE& header) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&header);
    for (std::size_t i = 0; i < sizeof header; ++i)
        if (bytes[i] != 0x5a) return false;
    return true;
}

}  // namespace

TEST(PackageCheck, MissingFileCannotBeOpened) {
    TempDir dir;
    HEADTUFFILE header = marked_header();
    EXPECT_EQ(tuf_is_tuf_file((dir / "absent.tuf").c_str(), &header), 1);
    EXPECT_TRUE(still_marked(header));
}

TEST(PackageCheck, FileShorterThanHeaderIsAShortRead) {
    TempDir dir;
    write_file(dir / "short.tuf", PackageBuilder().bytes().substr(0, 100));
    HEADTUFFILE header = marked_header();
    EXPECT_EQ(tuf_is_tuf_file((dir / "short.tuf").c_str(), &header), 2);
    EXPECT_TRUE(still_marked(header));
}

TEST(PackageCheck, DirectoryOpensButGivesNoHeader) {
    TempDir dir;
    EXPECT_EQ(tuf_is_tuf_file(dir.path().c_str(), nullptr), 2);
}

TEST(PackageCheck, WrongMagicIsNotAPackage) {
    TempDir dir;
    std::string bytes = PackageBuilder().bytes();
    bytes[2] = 'X';
    write_file(dir / "other.bin", bytes);
    HEADTUFFILE header = marked_header();
    EXPECT_EQ(tuf_is_tuf_file((dir / "other.bin").c_str(), &header), 7);
    EXPECT_TRUE(still_marked(header));
}

TEST(PackageCheck, FourthMagicByteIsNotLookedAt) {
    TempDir dir;
    PackageBuilder().header_bytes(3, "!").write(dir / "p.tuf");
    EXPECT_EQ(tuf_is_tuf_file((dir / "p.tuf").c_str(), nullptr), 0);
}

TEST(PackageCheck, HeaderIsHandedBackWithDecodedOffset) {
    TempDir dir;
    PackageBuilder().id("PRG4170").version("1.2.3").command("sync").data_offset(0x01020304).raw("rest")
        .write(dir / "p.tuf");
    HEADTUFFILE header = marked_header();
    ASSERT_EQ(tuf_is_tuf_file((dir / "p.tuf").c_str(), &header), 0);
    EXPECT_EQ(std::memcmp(header.magic, "TUF", 4), 0);
    EXPECT_EQ(header.data_offset, 0x01020304u);
    EXPECT_STREQ(header.id, "PRG4170");
    EXPECT_STREQ(header.version, "1.2.3");
    EXPECT_STREQ(header.command, "sync");
}

TEST(PackageCheck, NullHeaderOnlyChecks) {
    TempDir dir;
    PackageBuilder().write(dir / "p.tuf");
    EXPECT_EQ(tuf_is_tuf_file((dir / "p.tuf").c_str(), nullptr), 0);
}

TEST(PackageCheck, NothingBeyondTheMagicIsExamined) {
    TempDir dir;
    // An offset far beyond the file and texts without NUL still pass the check.
    PackageBuilder().data_offset(0xffffffffu).header_bytes(8, std::string(152, 'x')).write(dir / "p.tuf");
    EXPECT_EQ(tuf_is_tuf_file((dir / "p.tuf").c_str(), nullptr), 0);
}

TEST(PackageCheckDeathTest, NullPathIsABrokenPrecondition) {
    EXPECT_DEATH(tuf_is_tuf_file(nullptr, nullptr), "path");
}
