#include <gtest/gtest.h>

#include <cstring>

#include "package_builder.h"
#include "tuf/tfile.h"

using namespace tuf_test;

TEST(FileSize, EmptyFileIsZero) {
    TempDir dir;
    write_file(dir / "empty", "");
    EXPECT_EQ(file_get_size((dir / "empty").c_str()), 0);
}

TEST(FileSize, LengthInBytes) {
    TempDir dir;
    write_file(dir / "f", std::string(12345, 'b'));
    EXPECT_EQ(file_get_size((dir / "f").c_str()), 12345);
}

TEST(FileSize, MissingFileIsMinusOne) {
    TempDir dir;
    EXPECT_EQ(file_get_size((dir / "absent").c_str()), -1);
}

TEST(FileData, ReadsTheRequestedBytesFromTheStart) {
    TempDir dir;
    write_file(dir / "f", "0123456789abcdef");
    char buffer[11] = {};
    EXPECT_EQ(file_get_data((dir / "f").c_str(), buffer, 10), 0);
    EXPECT_STREQ(buffer, "0123456789");
}

TEST(FileData, ShorterFileGivesThreeWithWhatWasRead) {
    TempDir dir;
    write_file(dir / "f", "abcd");
    char buffer[10];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(file_get_data((dir / "f").c_str(), buffer, 10), 3);
    EXPECT_EQ(std::string(buffer, 5), "abcdx");
}

TEST(FileData, MissingFileGivesOne) {
    TempDir dir;
    char buffer[4];
    EXPECT_EQ(file_get_data((dir / "absent").c_str(), buffer, 4), 1);
}

TEST(FileDataDeathTest, BrokenPreconditionsAreAsserted) {
    char buffer[4];
    EXPECT_DEATH(file_get_data("/tmp/x", buffer, 0), "size");
    EXPECT_DEATH(file_get_data("/tmp/x", nullptr, 4), "buffer");
    EXPECT_DEATH(file_get_data(nullptr, buffer, 4), "filename");
    EXPECT_DEATH(file_get_size(nullptr), "filename");
}
