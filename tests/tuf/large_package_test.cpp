// Packages and files over 2 GiB, made sparse: positions must be 64-bit on every
// build, including the 32-bit device build.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "extraction_helpers.h"
#include "package_builder.h"
#include "tuf/tfile.h"
#include "tuf/ttuf.h"

using namespace tuf_test;

namespace {

void write_at(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// One record with its data, without the header.
std::string entry_bytes(const Record& record) { return PackageBuilder().record(record).bytes().substr(160); }

}  // namespace

TEST(LargePackage, EntriesPastTwoAndFourGigabytesAreReached) {
    TempDir dir;
    const std::string package = dir / "big.tuf";
    const std::uint32_t skip = 0xf0000000u;
    PackageBuilder().command("true").dir("/big").record({"/big/a", 1, 0, 5, 0, skip, "hello", {}}).write(package);
    const std::uint64_t second = 160 + 144 + 144 + 5 + std::uint64_t{skip};
    write_at(package, second, entry_bytes({"/big/b", 1, 1, 5, 13, skip, zlib_compress("world"), {}}));
    const std::uint64_t third = second + 144 + 13 + skip;
    ASSERT_GT(third, std::uint64_t{1} << 32);
    write_at(package, third, entry_bytes({"/big/c", 1, 0, 1, 0, 0, "!", {}}));

    const std::string root = dir / "root";
    ::mkdir(root.c_str(), 0755);
    const Extraction result = extract(package, root);
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(read_file(root + "/big/a"), "hello");
    EXPECT_EQ(read_file(root + "/big/b"), "world");
    EXPECT_EQ(read_file(root + "/big/c"), "!");
    EXPECT_NE(result.output.find("+ Do command : (00) true\n"), std::string::npos);
}

TEST(LargePackage, OffsetJustBelowTwoGigabytesIsFollowed) {
    TempDir dir;
    const std::string package = dir / "p.tuf";
    const std::uint32_t offset = 0x7fffff00u;
    PackageBuilder().data_offset(offset).write(package);
    write_at(package, offset, entry_bytes({"/f", 1, 0, 3, 0, 0, "far", {}}));
    const std::string root = dir / "root";
    ::mkdir(root.c_str(), 0755);
    EXPECT_EQ(extract(package, root).result, 0);
    EXPECT_EQ(read_file(root + "/f"), "far");
}

TEST(LargePackage, OffsetOfTwoGigabytesIsRefusedEvenWhenARecordIsThere) {
    TempDir dir;
    const std::string package = dir / "p.tuf";
    PackageBuilder().data_offset(0x80000000u).write(package);
    write_at(package, 0x80000000u, entry_bytes({"/f", 1, 0, 3, 0, 0, "far", {}}));
    const std::string root = dir / "root";
    ::mkdir(root.c_str(), 0755);
    const Extraction result = extract(package, root);
    EXPECT_EQ(result.result, 4);
    EXPECT_NE(result.output.find("Error seek to begin data\n"), std::string::npos);
    EXPECT_FALSE(exists(root + "/f"));
}

TEST(LargeFile, SizeThatALongCannotHoldIsUnknown) {
    TempDir dir;
    const std::string path = dir / "sparse";
    const std::uint64_t size = std::uint64_t{5} << 30;
    write_at(path, size - 1, "x");
    const long expected = sizeof(long) >= 8 ? static_cast<long>(size) : -1L;
    EXPECT_EQ(file_get_size(path.c_str()), expected);
}

TEST(LargeFile, DataIsReadFromTheStartOfAFileOverFourGigabytes) {
    TempDir dir;
    const std::string path = dir / "sparse";
    write_at(path, 0, "head");
    write_at(path, (std::uint64_t{4} << 30) + 10, "tail");
    char buffer[4];
    EXPECT_EQ(file_get_data(path.c_str(), buffer, 4), 0);
    EXPECT_EQ(std::string(buffer, 4), "head");
}
