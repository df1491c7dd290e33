#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "tufpkg_runner.h"
#include "../tuf/extraction_helpers.h"
#include "tuf/package_reader.h"
#include "upg_version.h"

using namespace tuf_test;
using namespace tufpkg_test;

namespace {

// A tree with the shapes a real package carries.
void make_tree(const std::string& root) {
    std::string deep = root;
    ::mkdir(deep.c_str(), 0755);
    for (int level = 0; level < 12; ++level) {
        deep += "/d" + std::to_string(level);
        ::mkdir(deep.c_str(), 0755);
    }
    write_file(deep + "/bottom.txt", "at the bottom\n");
    write_file(deep + "/empty", "");
    ::mkdir((root + "/etc").c_str(), 0755);
    ::mkdir((root + "/etc/empty-dir").c_str(), 0755);
    write_file(root + "/etc/empty.conf", "");
    write_file(root + "/etc/one", "x");
    std::string text;
    for (int line = 0; line < 40000; ++line) text += "line " + std::to_string(line % 97) + " of the log\n";
    write_file(root + "/etc/compressible.txt", text);
    write_file(root + "/blob.bin", noise(200000));
    write_file(root + "/with space \xc3\xa9.dat", std::string(3000, '\0'));
}

struct PackedFile {
    bool compressed;
    std::string content;
    bool operator==(const PackedFile&) const = default;
};

// Every file of a package by name; compressed ones inflated with zlib's own uncompress.
std::map<std::string, PackedFile> files_through_zlib(const std::string& path) {
    std::map<std::string, PackedFile> files;
    tuf::PackageReader reader;
    if (!reader.open(path.c_str()) || !reader.seek(tuf::header_size)) return files;
    tuf::Entry entry;
    while (tuf::next_entry(reader, entry).step == tuf::WalkStep::entry) {
        std::string data(static_cast<std::size_t>(entry.data_length()), '\0');
        if (reader.read(data.data(), data.size()) != data.size()) break;
        const bool compressed = entry.is_compressed() && entry.record.size > 0;
        if (compressed) {
            std::string inflated(entry.record.size, '\0');
            uLongf length = static_cast<uLongf>(inflated.size());
            EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(inflated.data()), &length,
                                 reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size())),
                      Z_OK)
                << entry.name();
            inflated.resize(length);
            data = inflated;
        }
        if (!entry.is_directory()) files[std::string(entry.name())] = {compressed, data};
        if (!tuf::finish_entry(reader, entry)) break;
    }
    return files;
}

class Create : public testing::Test {
protected:
    std::string tree() const { return work / "tree"; }
    std::string package() const { return work / "p.tuf"; }
    ToolRun create(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> arguments = {"create", "-o", package(), "--id", "PRG4170", "--version", "1.0.0"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        arguments.push_back(tree());
        return tufpkg(arguments);
    }
    bool leftovers() const {
        for (const auto& [name, content] : snapshot(work.path()))
            if (contains(name, ".tmp-")) return true;
        return false;
    }
    TempDir work;
};

}  // namespace

TEST_F(Create, RoundTripThroughCheckExtractAndTheDeviceExtraction) {
    make_tree(tree());
    const ToolRun created = create({"--command", "sh /opt/x.sh"});
    ASSERT_EQ(created.code, 0) << created.err;

    const ToolRun checked = tufpkg({"check", package()});
    EXPECT_EQ(checked.code, 0) << checked.out;
    EXPECT_TRUE(contains(checked.out, "0 problems, 0 warnings: ok")) << checked.out;

    const ToolRun preview = tufpkg({"extract", package(), work / "preview"});
    ASSERT_EQ(preview.code, 0) << preview.err;
    EXPECT_EQ(snapshot(work / "preview"), snapshot(tree()));

    const std::string root = work / "device";
    ::mkdir(root.c_str(), 0755);
    const Extraction device = extract(package(), root);
    EXPECT_EQ(device.result, 0);
    EXPECT_EQ(snapshot(root), snapshot(tree()));
}

TEST_F(Create, DirectoriesComeBeforeWhatTheyHoldInSortedOrder) {
    ::mkdir(tree().c_str(), 0755);
    ::mkdir((tree() + "/b").c_str(), 0755);
    write_file(tree() + "/b/z", "1");
    write_file(tree() + "/b/a", "2");
    write_file(tree() + "/a", "3");
    write_file(tree() + "/c", "4");
    ASSERT_EQ(create().code, 0);
    PackageBuilder expected;
    expected.id("PRG4170").version("1.0.0").stored("/a", "3").dir("/b").stored("/b/a", "2").stored("/b/z", "1").stored(
        "/c", "4");
    EXPECT_EQ(read_file(package()), expected.bytes());
}

TEST_F(Create, SameTreeGivesTheSameBytes) {
    make_tree(tree());
    ASSERT_EQ(create().code, 0);
    const std::string first = read_file(package());
    ::utimensat(AT_FDCWD, (tree() + "/blob.bin").c_str(), nullptr, 0);
    ASSERT_EQ(create().code, 0);
    EXPECT_EQ(read_file(package()), first);
}

TEST_F(Create, FilesAreCompressedOnlyWhenThatMakesThemSmaller) {
    ::mkdir(tree().c_str(), 0755);
    const std::string text(100000, 't');
    write_file(tree() + "/text", text);
    write_file(tree() + "/noise", noise(5000));
    ASSERT_EQ(create().code, 0);
    const std::map<std::string, PackedFile> expected = {{"/noise", {false, noise(5000)}}, {"/text", {true, text}}};
    EXPECT_EQ(files_through_zlib(package()), expected);
}

TEST_F(Create, EveryLevelMakesStreamsThatZlibInflates) {
    make_tree(tree());
    std::map<std::string, PackedFile> expected;
    for (const auto& [name, content] : snapshot(tree()))  // the large ones compress, but for the noise
        if (content != "<dir>") expected[name] = {content.size() > 1000 && name != "/blob.bin", content};
    std::size_t fastest = 0;
    for (const int level : {1, 12}) {
        ASSERT_EQ(create({"--level", std::to_string(level)}).code, 0) << level;
        EXPECT_EQ(files_through_zlib(package()), expected) << level;
        if (level == 1) fastest = read_file(package()).size();
    }
    EXPECT_LT(read_file(package()).size(), fastest);
}

TEST_F(Create, StoreKeepsEveryFileAsIs) {
    ::mkdir(tree().c_str(), 0755);
    write_file(tree() + "/text", std::string(1000, 't'));
    ASSERT_EQ(create({"--store"}).code, 0);
    PackageBuilder expected;
    expected.id("PRG4170").version("1.0.0").stored("/text", std::string(1000, 't'));
    EXPECT_EQ(read_file(package()), expected.bytes());
}

TEST_F(Create, HeaderFieldsTooLongAreBadUsageNamingTheField) {
    ::mkdir(tree().c_str(), 0755);
    const struct {
        const char* option;
        std::string value;
    } cases[] = {{"--id", "PRG41700"}, {"--version", std::string(16, 'v')}, {"--command", std::string(128, 'c')}};
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"create", "-o", package(), "--id", "ID", "--version", "1"};
        arguments.push_back(c.option);
        arguments.push_back(c.value);
        arguments.push_back(tree());
        const ToolRun run = tufpkg(arguments);
        EXPECT_EQ(run.code, 2) << c.option;
        EXPECT_TRUE(contains(run.err, c.option)) << run.err;
        EXPECT_FALSE(exists(package()));
    }
}

TEST_F(Create, LongestFieldsAreAccepted) {
    ::mkdir(tree().c_str(), 0755);
    const ToolRun run = tufpkg({"create", "-o", package(), "--id", "PRG4170", "--version", std::string(15, 'v'),
                            "--command", std::string(127, 'c'), tree()});
    EXPECT_EQ(run.code, 0) << run.err;
}

TEST_F(Create, NameOverOneHundredTwentyNineCharactersIsRefusedByPath) {
    ::mkdir(tree().c_str(), 0755);
    const std::string fits = "/" + std::string(128, 'f');
    const std::string too_long = "/" + std::string(129, 'g');
    write_file(tree() + fits, "ok");
    ASSERT_EQ(create().code, 0);
    write_file(tree() + too_long, "no");
    const ToolRun run = create();
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err, tree() + too_long)) << run.err;
    EXPECT_TRUE(contains(run.err, "129")) << run.err;
}

TEST_F(Create, FileOfFourGigabytesIsRefusedByPath) {
    ::mkdir(tree().c_str(), 0755);
    const std::string big = tree() + "/huge.img";
    write_file(big, "");
    ASSERT_EQ(::truncate(big.c_str(), off_t{1} << 32), 0);
    const ToolRun run = create();
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err, big)) << run.err;
    EXPECT_FALSE(exists(package()));
}

TEST_F(Create, SymbolicLinksAndSpecialFilesAreRefusedByPath) {
    ::mkdir(tree().c_str(), 0755);
    write_file(tree() + "/real", "r");
    ASSERT_EQ(::symlink("real", (tree() + "/link").c_str()), 0);
    ASSERT_EQ(::mkfifo((tree() + "/pipe").c_str(), 0644), 0);
    const ToolRun run = create();
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err, tree() + "/link: symbolic link")) << run.err;
    EXPECT_TRUE(contains(run.err, tree() + "/pipe: special file")) << run.err;
    EXPECT_FALSE(exists(package()));
    EXPECT_FALSE(leftovers());
}

TEST_F(Create, FailedWriteLeavesNoHalfPackageAndKeepsTheOldOne) {
    ::mkdir(tree().c_str(), 0755);
    write_file(tree() + "/big", noise(300000));
    write_file(package(), "previous package");
    const ToolRun run = tufpkg({"create", "-o", package(), "--id", "ID", "--version", "1", tree()}, [] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100000, 100000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err, "nothing written")) << run.err;
    EXPECT_EQ(read_file(package()), "previous package");
    EXPECT_FALSE(leftovers());
}

TEST_F(Create, MissingFolderIsAProblem) {
    const ToolRun run = create();
    EXPECT_EQ(run.code, 1);
    EXPECT_FALSE(exists(package()));
}

TEST(Usage, EverySubcommandHasHelp) {
    for (const std::string command : {"create", "list", "check", "extract"}) {
        const ToolRun run = tufpkg({command, "--help"});
        EXPECT_EQ(run.code, 0) << command;
        EXPECT_TRUE(contains(run.out, "Usage: tufpkg " + command)) << run.out;
    }
    const ToolRun top = tufpkg({"--help"});
    EXPECT_EQ(top.code, 0);
    EXPECT_TRUE(contains(top.out, "Usage: tufpkg COMMAND"));
}

TEST(Usage, VersionIsTheProjectVersion) {
    const ToolRun run = tufpkg({"--version"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "tufpkg " UPG_VERSION "\n");
}

TEST(Usage, BadUsageExitsWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"create", "--id", "A", "--version", "1", "/tmp"},
        {"create", "-o", "/tmp/x.tuf", "--version", "1", "/tmp"},
        {"create", "-o", "/tmp/x.tuf", "--id", "A", "--version", "1"},
        {"create", "-o", "/tmp/x.tuf", "--id", "A", "--version", "1", "--level", "0", "/tmp"},
        {"create", "-o", "/tmp/x.tuf", "--id", "A", "--version", "1", "--level", "13", "/tmp"},
        {"create", "-o", "/tmp/x.tuf", "--id", "A", "--version", "1", "--level", "6x", "/tmp"},
        {"list"},
        {"list", "a", "b"},
        {"check", "--verbose", "a"},
        {"extract", "only-one"},
        {"create", "-o"},
    };
    for (const auto& arguments : cases) {
        const ToolRun run = tufpkg(arguments);
        EXPECT_EQ(run.code, 2) << (arguments.empty() ? "(none)" : arguments[0]) << " " << run.err;
        EXPECT_FALSE(run.err.empty());
    }
}
