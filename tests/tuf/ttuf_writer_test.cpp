#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>

#include "extraction_helpers.h"
#include "package_builder.h"
#include "tuf/package_reader.h"
#include "tuf/tfile.h"
#include "tuf/ttuf.h"

using namespace tuf_test;

namespace {

struct Written {
    int result;
    std::string output;
};

Written compress(const std::string& path, const char* id, const char* version, const char* command, int flag = 0) {
    testing::internal::CaptureStdout();
    const int result = tuf_compress("/unused-root", path.c_str(), id, version, command, flag);
    return {result, testing::internal::GetCapturedStdout()};
}

}  // namespace

TEST(PackageWriter, WritesAHeaderOnlyPackageThatTheCheckAccepts) {
    TempDir dir;
    const Written written = compress(dir / "map.tuf", "MAP4170", "2.0", nullptr);
    EXPECT_EQ(written.result, 100);
    EXPECT_EQ(written.output, "Compressing data ... \n");
    const std::string bytes = read_file(dir / "map.tuf");
    ASSERT_EQ(bytes.size(), 160u);
    HEADTUFFILE header;
    ASSERT_EQ(tuf_is_tuf_file((dir / "map.tuf").c_str(), &header), 0);
    EXPECT_STREQ(header.id, "MAP4170");
    EXPECT_STREQ(header.version, "2.0");
    EXPECT_EQ(header.command[0], '\0');
    EXPECT_EQ(header.data_offset, 160u);
    // Little-endian 160 and a zero fourth magic byte, whatever the host.
    EXPECT_EQ(bytes.substr(0, 8), std::string("TUF\0\xa0\0\0\0", 8));
}

TEST(PackageWriter, EveryByteAfterATerminatorIsZero) {
    TempDir dir;
    compress(dir / "p.tuf", "A", "B", "C");
    std::string expected(160, '\0');
    expected.replace(0, 3, "TUF");
    expected[4] = '\xa0';
    expected[8] = 'A';
    expected[16] = 'B';
    expected[32] = 'C';
    EXPECT_EQ(read_file(dir / "p.tuf"), expected);
}

TEST(PackageWriter, LongTextsAreCutAndKeepTheirTerminator) {
    TempDir dir;
    const std::string command(200, 'c');
    compress(dir / "p.tuf", "PROGRAM41", "1234567890abcdefXYZ", command.c_str());
    const std::string bytes = read_file(dir / "p.tuf");
    EXPECT_EQ(bytes.substr(8, 8), std::string("PROGRAM\0", 8));
    EXPECT_EQ(bytes.substr(16, 16), std::string("1234567890abcde\0", 16));
    EXPECT_EQ(bytes.substr(32, 128), std::string(127, 'c') + '\0');
}

TEST(PackageWriter, NullTextsLeaveEmptyFields) {
    TempDir dir;
    EXPECT_EQ(compress(dir / "p.tuf", nullptr, nullptr, nullptr, 7).result, 100);
    EXPECT_EQ(read_file(dir / "p.tuf").substr(8), std::string(152, '\0'));
}

TEST(PackageWriter, ExistingFileIsTruncated) {
    TempDir dir;
    write_file(dir / "p.tuf", std::string(1000, 'x'));
    compress(dir / "p.tuf", "ID", "1", nullptr);
    EXPECT_EQ(read_file(dir / "p.tuf").size(), 160u);
}

TEST(PackageWriter, PackageWithCommandExtractsNothingAndRunsIt) {
    TempDir dir;
    const std::string marker = dir / "ran";
    const std::string command = "touch " + marker;
    compress(dir / "p.tuf", "PRG4170", "3.0", command.c_str());
    const Extraction result = extract(dir / "p.tuf", dir / "root");
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(result.output, info_lines(dir / "p.tuf", "PRG4170", "3.0", command) + "Extracting data ... \n" +
                                 "+ Do command : (00) " + command + "\n");
    EXPECT_TRUE(exists(marker));
    EXPECT_FALSE(exists(dir / "root"));
}

TEST(PackageWriter, UncreatableFileGivesOneAndAMessage) {
    TempDir dir;
    const std::string path = dir / "missing/p.tuf";
    const Written written = compress(path, "ID", "1", nullptr);
    EXPECT_EQ(written.result, 1);
    EXPECT_EQ(written.output, "Can not create file : " + path + "\n");
}

TEST(PackageWriter, ShortHeaderWriteGivesThree) {
    TempDir dir;
    const std::string path = dir / "p.tuf";
    const Extraction child = in_child(dir / "out.txt", [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100, 100};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 99;
        return tuf_compress("/", path.c_str(), "ID", "1", nullptr, 0);
    });
    EXPECT_EQ(child.result, 3);
    EXPECT_EQ(child.output, "");
    EXPECT_EQ(read_file(path).size(), 100u);
}

TEST(PackageWriter, AddStepAddsNothing) {
    TempDir dir;
    write_file(dir / "p.tuf", "unchanged");
    EXPECT_EQ(do_add(dir.path().c_str(), (dir / "p.tuf").c_str(), 1, nullptr), 100);
    EXPECT_EQ(read_file(dir / "p.tuf"), "unchanged");
}

TEST(PackageWriterDeathTest, RequiredArgumentsAreAsserted) {
    EXPECT_DEATH(tuf_compress(nullptr, "/tmp/x", "a", "b", "c", 0), "root");
    EXPECT_DEATH(tuf_compress("/", nullptr, "a", "b", "c", 0), "path");
    EXPECT_DEATH(do_add("/", nullptr, 0, nullptr), "path");
}

// ---- version texts ------------------------------------------------------------

class VersionText : public testing::TestWithParam<int (*)(char*, int)> {};

TEST_P(VersionText, WholeTextFitsInSeventeenBytes) {
    char text[32];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(GetParam()(text, 17), 0);
    EXPECT_STREQ(text, "LINUX - 10.12.14");
    EXPECT_EQ(text[17], 'x');
}

TEST_P(VersionText, SixteenBytesLoseTheLastCharacter) {
    char text[16];
    EXPECT_EQ(GetParam()(text, 16), 1);
    EXPECT_STREQ(text, "LINUX - 10.12.1");
}

TEST_P(VersionText, TwoBytesGiveTheFirstLetter) {
    char text[2] = {'x', 'x'};
    EXPECT_EQ(GetParam()(text, 2), 1);
    EXPECT_STREQ(text, "L");
}

TEST_P(VersionText, RestOfALargeBufferIsZeroFilled) {
    char text[24];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(GetParam()(text, 24), 0);
    for (std::size_t i = 16; i < sizeof text; ++i) EXPECT_EQ(text[i], '\0') << i;
}

TEST_P(VersionText, LengthOfOneIsABrokenPrecondition) {
    char text[4];
    EXPECT_DEATH(GetParam()(text, 1), "len");
    EXPECT_DEATH(GetParam()(nullptr, 8), "str");
}

INSTANTIATE_TEST_SUITE_P(BothModules, VersionText, testing::Values(&tuf_ver, &file_ver));
