#include <gmock/gmock.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>

#include "extraction_helpers.h"
#include "package_builder.h"
#include "tuf/file_writer.h"
#include "tuf/memory_budget.h"
#include "tuf/package_reader.h"
#include "tuf/ttuf.h"

using namespace tuf_test;

namespace {

class Extract : public testing::Test {
protected:
    void TearDown() override {
        tuf::set_buffer_limit_for_testing(static_cast<std::size_t>(-1));
        tuf::set_memory_available_source_for_testing(nullptr);
        tuf::set_write_call_for_testing(nullptr);
        tuf::set_syncfs_call_for_testing(nullptr);
    }

    std::string package() const { return work / "p.tuf"; }
    std::string root() const { return work / "root"; }
    std::string target(std::string_view name) const { return root() + std::string(name); }
    Extraction run(const PackageBuilder& builder) {
        builder.write(package());
        ::mkdir(root().c_str(), 0755);
        return extract(package(), root());
    }
    std::string head(std::string_view id = "", std::string_view version = "", std::string_view command = "") const {
        return info_lines(package(), std::string(id), std::string(version), std::string(command)) +
               "Extracting data ... \n";
    }

    TempDir work;
};

}  // namespace

// ---- arguments and the check ------------------------------------------------

TEST_F(Extract, NullArgumentsReturnElevenAndPrintNothing) {
    PackageBuilder().write(package());
    testing::internal::CaptureStdout();
    EXPECT_EQ(tuf_extract(package().c_str(), nullptr), 11);
    EXPECT_EQ(tuf_extract(nullptr, "/"), 11);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Extract, CheckFailuresAreReturnedSilently) {
    write_file(work / "not.tuf", std::string(200, 'x'));
    write_file(work / "short.tuf", "TUF");
    EXPECT_EQ(extract(work / "not.tuf", root()).result, 7);
    EXPECT_EQ(extract(work / "short.tuf", root()).result, 2);
    const Extraction missing = extract(work / "absent.tuf", root());
    EXPECT_EQ(missing.result, 1);
    EXPECT_EQ(missing.output, "");
    EXPECT_EQ(extract(work / "not.tuf", root()).output, "");
}

// ---- a good package ---------------------------------------------------------

TEST_F(Extract, LaysDownDirectoriesAndFilesWithProgressLines) {
    const std::string text(5000, 'a');
    const std::string binary = noise(3000);
    const Extraction run_result = run(PackageBuilder()
                                          .id("PRG4170")
                                          .version("2.1")
                                          .dir("/etc")
                                          .dir("/etc/app")
                                          .compressed("/etc/app/text", text)
                                          .stored("/etc/app/blob", binary)
                                          .stored("/etc/empty", ""));
    EXPECT_EQ(run_result.result, 0);
    EXPECT_EQ(run_result.output, head("PRG4170", "2.1") +
                                     "+ Create dir  : (00) /etc\n"
                                     "+ Create dir  : (00) /etc/app\n"
                                     "+ Create file : (00) /etc/app/text\n"
                                     "+ Create file : (00) /etc/app/blob\n"
                                     "+ Create file : (00) /etc/empty\n");
    EXPECT_EQ(read_file(target("/etc/app/text")), text);
    EXPECT_EQ(read_file(target("/etc/app/blob")), binary);
    EXPECT_EQ(read_file(target("/etc/empty")), "");
}

TEST_F(Extract, FilesGetModeSevenSevenSevenWhateverTheMask) {
    const mode_t old_mask = ::umask(077);
    run(PackageBuilder().stored("/f", "x").stored("/e", ""));
    ::umask(old_mask);
    EXPECT_EQ(mode_of(target("/f")), 0777u);
    EXPECT_EQ(mode_of(target("/e")), 0777u);
}

TEST_F(Extract, WhatIsAtTheNameIsReplacedNeverWrittenThrough) {
    ::mkdir(root().c_str(), 0755);
    write_file(target("/f"), std::string(100, 'o'));
    ASSERT_EQ(::link(target("/f").c_str(), target("/other").c_str()), 0);
    ASSERT_EQ(::mkfifo(target("/fifo").c_str(), 0644), 0);  // opening it would hang
    write_file(target("/dest"), "old");
    ASSERT_EQ(::symlink("dest", target("/link").c_str()), 0);
    EXPECT_EQ(run(PackageBuilder().stored("/f", "new").stored("/fifo", "file").stored("/link", "through")).result, 0);
    EXPECT_EQ(read_file(target("/f")), "new");
    EXPECT_EQ(read_file(target("/other")), std::string(100, 'o'));
    EXPECT_EQ(read_file(target("/fifo")), "file");
    // A link is followed, as opening the name would: the file it leads to is replaced.
    EXPECT_EQ(read_file(target("/dest")), "through");
    EXPECT_TRUE(is_link(target("/link")));
}

TEST_F(Extract, EntriesOfOneBatchActAsIfLaidDownInTurn) {
    PackageBuilder builder;
    builder.stored("/x", "file").dir("/x").stored("/twice", "first").stored("/twice", "second");
    for (int i = 0; i < 300; ++i) builder.stored("/n" + std::to_string(i), std::to_string(i));
    EXPECT_EQ(run(builder).result, 0);
    EXPECT_EQ(read_file(target("/x")), "file");
    EXPECT_EQ(read_file(target("/twice")), "second");
    for (int i = 0; i < 300; ++i) ASSERT_EQ(read_file(target("/n" + std::to_string(i))), std::to_string(i));
    EXPECT_EQ(temporaries_in(root()), 0);
}

TEST_F(Extract, LeftoversOfAnInterruptedRunAreRemovedWithOneLine) {
    ::mkdir(root().c_str(), 0755);
    write_file(target("/cut.tuf-new"), "half");
    write_file(target("/f.tuf-new"), "half");
    const Extraction result = run(PackageBuilder().stored("/f", "whole"));
    EXPECT_EQ(result.output, head() + "+ Create file : (00) /f\n"
                                       "Removed temporary files of an interrupted upgrade : 2\n");
    EXPECT_EQ(temporaries_in(root()), 0);
    EXPECT_EQ(read_file(target("/f")), "whole");
}

TEST_F(Extract, RootIsPutDirectlyBeforeTheName) {
    PackageBuilder().stored("tail", "x").write(package());
    const std::string prefix = work / "pre";
    EXPECT_EQ(extract(package(), prefix).result, 0);
    EXPECT_EQ(read_file(prefix + "tail"), "x");
}

TEST_F(Extract, RootSlashUsesARelativeNameAgainstTheWorkingFolder) {
    PackageBuilder().dir("rel").stored("rel/file", "here").write(package());
    const std::string folder = work / "cwd";
    ::mkdir(folder.c_str(), 0755);
    const Extraction child = in_child(work / "out.txt", [&] {
        if (::chdir(folder.c_str()) != 0) return 99;
        return tuf_extract(package().c_str(), "/");
    });
    EXPECT_EQ(child.result, 0);
    EXPECT_EQ(read_file(folder + "/rel/file"), "here");
    EXPECT_NE(child.output.find("+ Create file : (00) rel/file\n"), std::string::npos);
}

// ---- entry kinds ------------------------------------------------------------

TEST_F(Extract, DirectoryOverAnExistingFileIsSatisfied) {
    ::mkdir(root().c_str(), 0755);
    write_file(target("/plain"), "keep");
    const Extraction result = run(PackageBuilder().dir("/plain").stored("/after", "y"));
    EXPECT_EQ(result.result, 0);
    EXPECT_NE(result.output.find("+ Create dir  : (00) /plain\n+ Create file : (00) /after\n"), std::string::npos);
    EXPECT_EQ(read_file(target("/plain")), "keep");
}

TEST_F(Extract, DirectoryWhoseParentIsMissingFailsWithNine) {
    const Extraction result = run(PackageBuilder().dir("/no/such").stored("/never", "x"));
    EXPECT_EQ(result.result, 9);
    EXPECT_EQ(result.output, head() + "+ Create dir  : (09) /no/such\n");
    EXPECT_FALSE(exists(target("/never")));
}

TEST_F(Extract, DirectoryIgnoresItsSizeAndSkip) {
    const Extraction result =
        run(PackageBuilder().record({"/d", 0, 1, 99, 99, 99, {}, {}}).stored("/d/f", "content"));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(read_file(target("/d/f")), "content");
}

TEST_F(Extract, FileInAMissingDirectoryShowsOneAndFailsWithTen) {
    const Extraction result = run(PackageBuilder().command("touch " + work / "ran").stored("/missing/f", "x"));
    EXPECT_EQ(result.result, 10);
    EXPECT_EQ(result.output, head("", "", "touch " + work / "ran") + "+ Create file : (01) /missing/f\n");
    EXPECT_FALSE(exists(work / "ran"));
}

TEST_F(Extract, EmptyCompressedFileHasNoDataButHonoursItsSkip) {
    const Extraction result =
        run(PackageBuilder().record({"/e", 1, 1, 0, 77, 3, {}, "SSS"}).stored("/next", "n"));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(read_file(target("/e")), "");
    EXPECT_EQ(read_file(target("/next")), "n");
}

TEST_F(Extract, CompressedFlagOtherThanOneMeansStored) {
    const Extraction result = run(PackageBuilder().record({"/s", 1, 2, 4, 1, 0, "data", {}}));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(read_file(target("/s")), "data");
}

TEST_F(Extract, SkipBytesArePassedOver) {
    const Extraction result = run(PackageBuilder().stored("/a", "first", 1000).compressed("/b", "second", 5));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(read_file(target("/a")), "first");
    EXPECT_EQ(read_file(target("/b")), "second");
}

// ---- damaged data -----------------------------------------------------------

TEST_F(Extract, DamagedStreamFailsWithEightAndLeavesTargetUntouched) {
    ::mkdir(root().c_str(), 0755);
    write_file(target("/f"), "old");
    std::string packed = zlib_compress(std::string(1000, 'z'));
    packed[packed.size() / 2] = static_cast<char>(packed[packed.size() / 2] ^ 0x55);
    packed[2] = static_cast<char>(0xff);
    const Extraction result =
        run(PackageBuilder().record({"/f", 1, 1, 1000, static_cast<std::uint32_t>(packed.size()), 0, packed, {}}));
    EXPECT_EQ(result.result, 8);
    EXPECT_EQ(result.output, head());
    EXPECT_EQ(read_file(target("/f")), "old");
}

TEST_F(Extract, StreamOneByteLongerThanSizeFailsWithEight) {
    const std::string packed = zlib_compress(std::string(101, 'q'));
    const Extraction result =
        run(PackageBuilder().record({"/f", 1, 1, 100, static_cast<std::uint32_t>(packed.size()), 0, packed, {}}));
    EXPECT_EQ(result.result, 8);
    EXPECT_FALSE(exists(target("/f")));
}

TEST_F(Extract, StreamShorterThanSizeFailsWithEight) {
    const std::string packed = zlib_compress(std::string(99, 'q'));
    const Extraction result =
        run(PackageBuilder().record({"/f", 1, 1, 100, static_cast<std::uint32_t>(packed.size()), 0, packed, {}}));
    EXPECT_EQ(result.result, 8);
    EXPECT_FALSE(exists(target("/f")));
}

TEST_F(Extract, StreamBeyondTheSpareCapacityFailsWithEight) {
    const std::string packed = zlib_compress(std::string(100 + 513, 'q'));
    const Extraction result =
        run(PackageBuilder().record({"/f", 1, 1, 100, static_cast<std::uint32_t>(packed.size()), 0, packed, {}}));
    EXPECT_EQ(result.result, 8);
    EXPECT_FALSE(exists(target("/f")));
}

// Streams on which zlib's uncompress has a firm answer, and the extraction gives the same.
TEST_F(Extract, InflationAcceptsAndRefusesWhatZlibDoes) {
    const std::string content = "inflated the way zlib inflates it\n";
    const std::string good = zlib_compress(content);
    std::string with_dictionary(good.size() + 64, '\0');
    {
        z_stream stream{};
        ASSERT_EQ(deflateInit(&stream, 6), Z_OK);
        ASSERT_EQ(deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>("inflated"), 8), Z_OK);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
        stream.avail_in = static_cast<uInt>(content.size());
        stream.next_out = reinterpret_cast<Bytef*>(with_dictionary.data());
        stream.avail_out = static_cast<uInt>(with_dictionary.size());
        ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
        with_dictionary.resize(stream.total_out);
        deflateEnd(&stream);
    }
    // CINFO 8 (a 64 KiB window) with the header's check bits made right again.
    std::string wide_window = good;
    const unsigned flags = static_cast<unsigned char>(good[1]) & 0xc0u;
    wide_window[0] = static_cast<char>(0x88);
    wide_window[1] = static_cast<char>(flags + (31 - (0x88u * 256 + flags) % 31) % 31);
    std::string wrong_check = good;
    wrong_check.back() = static_cast<char>(wrong_check.back() ^ 1);
    const struct {
        const char* what;
        std::string packed;
        int result;
    } cases[] = {
        {"bytes after the stream are ignored", good + "trailing bytes", 0},
        {"a preset dictionary", with_dictionary, 8},
        {"a window over 32 KiB", wide_window, 8},
        {"a wrong Adler-32", wrong_check, 8},
        {"a stream cut before its end", good.substr(0, good.size() - 5), 8},
        {"a stream without its check value", good.substr(0, good.size() - 4), 8},
        {"no stream at all", std::string(), 8},
    };
    for (const auto& c : cases) {
        const Extraction result = run(PackageBuilder().record({"/f", 1, 1, static_cast<std::uint32_t>(content.size()),
                                                               static_cast<std::uint32_t>(c.packed.size()), 0,
                                                               c.packed, {}}));
        EXPECT_EQ(result.result, c.result) << c.what;
        EXPECT_EQ(exists(target("/f")), c.result == 0) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(read_file(target("/f")), content) << c.what;
        }
        ::unlink(target("/f").c_str());
    }
}

// The one difference from zlib, which refuses the reserved length symbols 286 and 287
// of a fixed-code block: libdeflate reads them as the longest length, 258, and the
// stream passes when its Adler-32 and length match that output.
TEST_F(Extract, ReservedLengthSymbolIsReadAsTheLongestLength) {
    // A fixed-code block: the literal "a", symbol 287 at distance 1, the end of block;
    // then the Adler-32 of 259 times "a".
    const std::string packed("\x78\x9c\x4b\x1c\x07\x00\xd9\xa8\x62\x24", 10);
    const Extraction result = run(PackageBuilder().record({"/f", 1, 1, 259, 10, 0, packed, {}}));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(read_file(target("/f")), std::string(259, 'a'));
}

TEST_F(Extract, StoredDataCutByTheEndFailsWithTwo) {
    const Extraction result =
        run(PackageBuilder().command("touch " + work / "ran").record({"/f", 1, 0, 100, 0, 0, "only part", {}}));
    EXPECT_EQ(result.result, 2);
    EXPECT_FALSE(exists(target("/f")));
    EXPECT_FALSE(exists(work / "ran"));
}

TEST_F(Extract, CompressedDataCutByTheEndFailsWithTwo) {
    const std::string packed = zlib_compress(std::string(300, 'c'));
    const Extraction result = run(PackageBuilder().record(
        {"/f", 1, 1, 300, static_cast<std::uint32_t>(packed.size()), 0, packed.substr(0, packed.size() - 2), {}}));
    EXPECT_EQ(result.result, 2);
    EXPECT_FALSE(exists(target("/f")));
}

// ---- the end of the walk and the command -------------------------------------

TEST_F(Extract, CommandWithoutEntriesRunsAndItsFailureIsNotTheExtractions) {
    const Extraction result = run(PackageBuilder().command("exit 1"));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(result.output, head("", "", "exit 1") + "+ Do command : (256) exit 1\n");
}

TEST_F(Extract, CommandRunsAfterTheTreeIsLaidDown) {
    const std::string marker = work / "seen";
    const Extraction result =
        run(PackageBuilder().command("cat " + target("/f") + " > " + marker).stored("/f", "payload"));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(read_file(marker), "payload");
    EXPECT_NE(result.output.find("+ Do command : (00) cat "), std::string::npos);
}

TEST_F(Extract, RecordCutByTheEndEndsTheWalkNormally) {
    std::string partial = PackageBuilder().stored("/cut", "x").bytes().substr(160, 100);
    const Extraction result = run(PackageBuilder().command("true").stored("/f", "y").raw(partial));
    EXPECT_EQ(result.result, 0);
    EXPECT_NE(result.output.find("+ Do command : (00) true\n"), std::string::npos);
    EXPECT_FALSE(exists(target("/cut")));
}

TEST_F(Extract, StrayBytesAfterTheLastEntryAreIgnored) {
    const Extraction result = run(PackageBuilder().stored("/f", "y").raw(std::string(100, '\x7f')));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(read_file(target("/f")), "y");
}

TEST_F(Extract, OffsetPastTheEndButBelowTwoGigabytesIsAnEmptyWalk) {
    const Extraction result = run(PackageBuilder().data_offset(1u << 20).command("true").stored("/f", "y"));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(result.output, head("", "", "true") + "+ Do command : (00) true\n");
}

TEST_F(Extract, BytesBetweenHeaderAndOffsetArePassedOverUnread) {
    const Extraction result = run(PackageBuilder().data_offset(170).raw("0123456789").stored("/f", "y"));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(read_file(target("/f")), "y");
}

// ---- sound behaviour over hostile fields ---------------------------------------

TEST_F(Extract, OffsetOfTwoGigabytesIsASeekFailureOnEveryBuild) {
    for (const std::uint32_t offset : {0x80000000u, 0xfffffff0u}) {
        const Extraction result = run(PackageBuilder().data_offset(offset).command("true"));
        EXPECT_EQ(result.result, 4) << offset;
        EXPECT_EQ(result.output, info_lines(package(), "", "", "true") + "Error seek to begin data\n") << offset;
    }
}

TEST_F(Extract, SkipIsAForwardSeekSoTheWalkCannotLoop) {
    const std::string counter = work / "count";
    for (const std::uint32_t skip : {0x80000000u, 0xfffffff0u, 0xffffffffu}) {
        const Extraction result =
            run(PackageBuilder().command("echo run >> " + counter).record({"/f", 1, 0, 1, 0, skip, "x", {}}).stored(
                "/never", "z"));
        EXPECT_EQ(result.result, 0) << skip;
        EXPECT_EQ(result.output, head("", "", "echo run >> " + counter) + "+ Create file : (00) /f\n" +
                                     "+ Do command : (00) echo run >> " + counter + "\n")
            << skip;
        EXPECT_FALSE(exists(target("/never")));
    }
    EXPECT_EQ(read_file(counter), "run\nrun\nrun\n");
}

TEST_F(Extract, NameWithoutNulEndsAtTheFieldsEnd) {
    std::string long_name(130, 'n');
    long_name[0] = '/';
    const Extraction result = run(PackageBuilder().record({long_name + "IGNORED", 1, 0, 1, 0, 0, "x", {}}));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(result.output, head() + "+ Create file : (00) " + long_name + "\n");
    EXPECT_EQ(read_file(target(long_name)), "x");
}

TEST_F(Extract, HeaderTextsWithoutNulArePrintedUpToTheirFieldsEnd) {
    const std::string command = "true;" + std::string(123, '#');
    const Extraction result = run(PackageBuilder()
                                      .header_bytes(8, "IDIDIDID")
                                      .header_bytes(16, "VVVVVVVVVVVVVVVV")
                                      .header_bytes(32, command));
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(result.output, head("IDIDIDID", "VVVVVVVVVVVVVVVV", command) + "+ Do command : (00) " + command + "\n");
}

TEST_F(Extract, OutputBufferThatCannotBeHadGivesSix) {
    tuf::set_buffer_limit_for_testing(100);
    const Extraction result = run(PackageBuilder().stored("/f", std::string(1000, 's')));
    EXPECT_EQ(result.result, 6);
    EXPECT_EQ(result.output, head() + "Error : not enough memory for /f\n");
    EXPECT_FALSE(exists(target("/f")));
}

TEST_F(Extract, InputBufferThatCannotBeHadGivesSix) {
    tuf::set_buffer_limit_for_testing(1000);
    const Extraction result = run(PackageBuilder().record({"/f", 1, 1, 10, 2000, 0, std::string(2000, 'p'), {}}));
    EXPECT_EQ(result.result, 6);
    EXPECT_FALSE(exists(target("/f")));
}

std::optional<std::uint64_t> unknown_memory() { return std::nullopt; }

TEST_F(Extract, FileWhoseBuffersDoNotFitIsStreamedToTheSameResult) {
    // Memory that cannot be told (no /proc/meminfo), too little, or buffers refused.
    const std::string text = noise(1u << 20) + std::string(2u << 20, 't');
    const std::string random = noise(3u << 20, 7);
    const auto little = [] { return std::optional<std::uint64_t>(tuf::memory_reserve + (4u << 20)); };
    for (int way = 0; way < 3; ++way) {
        tuf::set_memory_available_source_for_testing(way == 0 ? unknown_memory : way == 1 ? +little : nullptr);
        tuf::set_buffer_limit_for_testing(way == 2 ? (2u << 20) : static_cast<std::size_t>(-1));
        const Extraction result = run(PackageBuilder().compressed("/text", text).compressed("/random", random));
        EXPECT_EQ(result.result, 0) << way;
        EXPECT_TRUE(read_file(target("/text")) == text) << way;
        EXPECT_TRUE(read_file(target("/random")) == random) << way;
    }
}

TEST_F(Extract, DataBeyondTheEndOfThePackageIsTwoNotSix) {
    for (const Record& record : {Record{"/f", 1, 0, 0xfffffe00u, 0, 0, "short", {}},
                                 Record{"/f", 1, 1, 0xfffffe00u, 0xfffffff0u, 0, "short", {}}}) {
        EXPECT_EQ(run(PackageBuilder().record(record)).result, 2);
        EXPECT_FALSE(exists(target("/f")));
    }
}

ssize_t full_device(int, const void*, std::size_t) {
    errno = ENOSPC;
    return -1;
}
ssize_t failing_device(int, const void*, std::size_t) {
    errno = EIO;
    return -1;
}
int failing_syncfs(int) {
    errno = EIO;
    return -1;
}
int kernel_without_syncfs(int) {
    errno = ENOSYS;
    return -1;
}

// Whatever fails while a file is laid down, its target keeps its old content and no
// temporary file is left beside it.
TEST_F(Extract, FailedFileKeepsItsOldContentAndLeavesNoTemporary) {
    const std::string big = noise(3u << 20);
    const std::string packed = zlib_compress(big);
    std::string damaged = packed;
    damaged[packed.size() / 2] = static_cast<char>(damaged[packed.size() / 2] ^ 0x55);
    const auto size = static_cast<std::uint32_t>(big.size());
    const auto packed_size = static_cast<std::uint32_t>(packed.size());
    const struct {
        const char* what;
        Record record;
        tuf::WriteCall write;
        tuf::SyncfsCall syncfs;
        int result;
        std::string line;
    } cases[] = {
        {"data cut short", {"/f", 1, 0, size, 0, 0, big.substr(1), {}}, nullptr, nullptr, 2, ""},
        {"a damaged stream", {"/f", 1, 1, size, packed_size, 0, damaged, {}}, nullptr, nullptr, 8, ""},
        {"a stream longer than the file", {"/f", 1, 1, size - 1, packed_size, 0, packed, {}}, nullptr, nullptr, 8, ""},
        {"a stream shorter than the file", {"/f", 1, 1, size + 1, packed_size, 0, packed, {}}, nullptr, nullptr, 8, ""},
        {"a write error", {"/f", 1, 1, size, packed_size, 0, packed, {}}, failing_device, nullptr, 10, "(03)"},
        {"no space", {"/f", 1, 0, size, 0, 0, big, {}}, full_device, nullptr, 10, "(03)"},
        {"a failed flush", {"/f", 1, 0, 3, 0, 0, "new", {}}, nullptr, failing_syncfs, 10, ""},
    };
    ::mkdir(root().c_str(), 0755);
    for (const auto& c : cases) {
        for (const bool streamed : {false, true}) {
            tuf::set_memory_available_source_for_testing(streamed ? unknown_memory : nullptr);
            tuf::set_write_call_for_testing(c.write);
            tuf::set_syncfs_call_for_testing(c.syncfs);
            write_file(target("/f"), "old");
            const Extraction result = run(PackageBuilder().command("touch " + work / "ran").record(c.record));
            tuf::set_write_call_for_testing(nullptr);
            tuf::set_syncfs_call_for_testing(nullptr);
            EXPECT_EQ(result.result, c.result) << c.what << streamed;
            EXPECT_EQ(read_file(target("/f")), "old") << c.what << streamed;
            EXPECT_EQ(temporaries_in(root()), 0) << c.what << streamed;
            if (!c.line.empty()) {
                EXPECT_NE(result.output.find("+ Create file : " + c.line + " /f\n"), std::string::npos) << c.what;
            }
        }
    }
    EXPECT_FALSE(exists(work / "ran"));
    // A kernel older than 2.6.39 has no syncfs: the whole system is synced instead.
    tuf::set_syncfs_call_for_testing(kernel_without_syncfs);
    EXPECT_EQ(run(PackageBuilder().stored("/f", "new")).result, 0);
    tuf::set_syncfs_call_for_testing(nullptr);
    EXPECT_EQ(read_file(target("/f")), "new");
}

// Resident memory of a process in KiB, from /proc/PID/status.
long resident_kib(const std::string& status_path) {
    std::ifstream in(status_path);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

TEST_F(Extract, LastEntrysBuffersAreGivenBackBeforeTheCommandRuns) {
    constexpr std::size_t size = std::size_t{48} << 20;
    const std::string seen = work / "rss";
    PackageBuilder().command("grep VmRSS /proc/$PPID/status > " + seen).stored("/big", std::string(size, 'b')).write(
        package());
    ::mkdir(root().c_str(), 0755);
    const long before = resident_kib("/proc/self/status");
    ASSERT_GT(before, 0);
    ASSERT_EQ(extract(package(), root()).result, 0);
    const long during = resident_kib(seen);
    ASSERT_GT(during, 0);
    EXPECT_LT(during - before, static_cast<long>(size / 1024 / 2)) << "before " << before << " KiB";
}

TEST_F(Extract, RunningProgramIsReplacedByANewFile) {
    ::mkdir(root().c_str(), 0755);
    const std::string program = target("/sleep");
    write_file(program, read_file("/bin/sleep"));
    ::chmod(program.c_str(), 0755);
    char name[] = "sleep";
    char seconds[] = "60";
    char* argv[] = {name, seconds, nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, nullptr), 0);
    // An emulated spawn may return before the program runs: wait until it does.
    const std::string exe = "/proc/" + std::to_string(child) + "/exe";
    char running[4096] = {};
    for (int tries = 0; tries < 500; ++tries) {
        const ssize_t got = ::readlink(exe.c_str(), running, sizeof running - 1);
        if (got > 0 && std::string(running, static_cast<std::size_t>(got)) == program) break;
        ::usleep(10000);
    }
    const int busy = ::open(program.c_str(), O_WRONLY);
    const int busy_error = errno;
    if (busy >= 0) ::close(busy);
    if (busy >= 0 || busy_error != ETXTBSY) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        GTEST_SKIP() << "a running program can be opened for writing here";
    }
    const int created = tuf_create_file(root().c_str(), "/sleep", "new", 3);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(created, 0);
    EXPECT_TRUE(read_file(program) == "new");  // not the old program, which is not printed
    EXPECT_EQ(mode_of(program), 0777u);
}

// Each full batch is flushed and renamed on a helper thread while the next is written.
TEST(FileWriter, BatchesArePutInPlaceInTurnWhileTheNextIsWritten) {
    TempDir dir;
    const auto put = [&dir](tuf::FileWriter& writer, const std::string& name, const std::string& content) {
        if (writer.begin(dir / name) != 0 || writer.write(content.data(), content.size()) != 0) return -1;
        return writer.end();
    };
    {
        tuf::FileWriter writer({.batch_files = 1});
        for (int i = 0; i < 30; ++i) ASSERT_EQ(put(writer, std::string(1, "abc"[i % 3]), std::to_string(i)), 0);
        EXPECT_EQ(writer.finish(), 0);
    }
    EXPECT_EQ(read_file(dir / "a") + read_file(dir / "b") + read_file(dir / "c"), "272829");
    // A batch that fails there is reported by the next call, and nothing after it is laid down.
    tuf::set_syncfs_call_for_testing(failing_syncfs);
    tuf::FileWriter writer({.batch_files = 1});
    EXPECT_EQ(put(writer, "x", "x"), 0);
    EXPECT_EQ(put(writer, "y", "y"), 3);
    tuf::set_syncfs_call_for_testing(nullptr);
    EXPECT_EQ(writer.finish(), 0);
    EXPECT_FALSE(exists(dir / "x") || exists(dir / "y"));
    EXPECT_EQ(temporaries_in(dir.path()), 0);
}

// How a whole package is staged before anything of it is put in place (a signed
// package, whose signature is known to hold only once all of it has been read).
TEST(FileWriter, StagedFilesReachTheirTargetsOnlyOnCommit) {
    TempDir dir;
    const auto stage = [&dir](tuf::FileWriter& writer, const char* name) {
        ASSERT_EQ(writer.begin(dir / name), 0);
        ASSERT_EQ(writer.write("new", 3), 0);
        ASSERT_EQ(writer.end(), 0);
    };
    for (const bool commit : {false, true}) {
        write_file(dir / "a", "old");
        ::unlink((dir / "b").c_str());
        {
            tuf::FileWriter writer({.renames = tuf::FileWriter::Renames::on_commit, .batch_files = 1});
            stage(writer, "a");
            stage(writer, "b");
            EXPECT_EQ(read_file(dir / "a"), "old");
            EXPECT_FALSE(exists(dir / "b"));
            if (commit) {
                EXPECT_EQ(writer.commit(), 0);
            }
        }  // without a commit, everything staged is removed
        EXPECT_EQ(read_file(dir / "a"), commit ? "new" : "old");
        EXPECT_EQ(exists(dir / "b"), commit);
        EXPECT_EQ(temporaries_in(dir.path()), 0);
    }
}

TEST(WriteAll, NoCallIsGivenTwoGigabytesOrMore) {
    // Address space only: the fake write never reads the bytes.
    const std::size_t length = (std::size_t{1} << 31) + 4096;
    void* reserved = ::mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) GTEST_SKIP() << "no room for 2 GiB of address space";
    static std::size_t largest;
    static std::size_t total;
    largest = total = 0;
    const bool written = tuf::write_all(7, reserved, length, [](int, const void*, std::size_t count) -> ssize_t {
        largest = std::max(largest, count);
        total += count;
        return static_cast<ssize_t>(count);
    });
    ::munmap(reserved, length);
    EXPECT_TRUE(written);
    EXPECT_EQ(total, length);
    EXPECT_LT(largest, std::size_t{1} << 31);
}

TEST(DoCommand, ReturnsTheRawWaitStatus) {
    EXPECT_EQ(do_cmd("true"), 0);
    EXPECT_EQ(do_cmd("exit 1"), 256);
    EXPECT_EQ(do_cmd("exit 3"), 3 << 8);
}

// ---- the two create steps on their own ------------------------------------------

TEST_F(Extract, CreateDirIsSatisfiedByAnythingAlreadyThere) {
    ::mkdir(root().c_str(), 0755);
    write_file(target("/file"), "f");
    EXPECT_EQ(tuf_create_dir(root().c_str(), "/file"), 0);
    EXPECT_EQ(tuf_create_dir(root().c_str(), "/new"), 0);
    EXPECT_EQ(tuf_create_dir(root().c_str(), "/new"), 0);
    EXPECT_EQ(tuf_create_dir(root().c_str(), "/missing/child"), 9);
}

TEST_F(Extract, CreateFileWithoutContentLeavesAnEmptyFile) {
    ::mkdir(root().c_str(), 0755);
    write_file(target("/f"), "old content");
    EXPECT_EQ(tuf_create_file(root().c_str(), "/f", nullptr, 5), 0);
    EXPECT_EQ(read_file(target("/f")), "");
    EXPECT_EQ(tuf_create_file(root().c_str(), "/g", "abc", 0), 0);
    EXPECT_EQ(read_file(target("/g")), "");
    EXPECT_EQ(tuf_create_file(root().c_str(), "/no/such/h", "abc", 3), 1);
}

TEST(CreateStepsDeathTest, NullRootOrPathIsABrokenPrecondition) {
    EXPECT_DEATH(tuf_create_dir(nullptr, "/x"), "root");
    EXPECT_DEATH(tuf_create_dir("/tmp", nullptr), "path");
    EXPECT_DEATH(tuf_create_file(nullptr, "/x", nullptr, 0), "root");
    EXPECT_DEATH(tuf_create_file("/tmp", nullptr, nullptr, 0), "path");
}
