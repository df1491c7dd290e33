#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <regex>
#include <set>

#include "../tuf/extraction_helpers.h"
#include "tufpkg_runner.h"
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

// Text that deflate makes much smaller.
std::string text_of(std::size_t length) {
    std::string text;
    for (int line = 0; text.size() < length; ++line) text += "line " + std::to_string(line % 97) + " of the log\n";
    return text.substr(0, length);
}

// Both sides of the writer's 1 MiB block (and its half, written through), the
// reader's 128 KiB block, the checker's 256 KiB pieces, 2 MiB huge pages.
constexpr std::size_t KiB = 1024, MiB = 1024 * 1024;
const std::size_t boundary_sizes[] = {0, 1, 511, 512, 513, 4 * KiB, 128 * KiB - 1, 128 * KiB, 128 * KiB + 1,
                                      256 * KiB + 1, 512 * KiB - 1, 512 * KiB, 512 * KiB + 1, MiB - 1, MiB, MiB + 1,
                                      3 * MiB + 5};

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
        std::vector<std::string> arguments = {"create", "-o", package(), "--id", "QX4170", "--version", "1.0.0"};
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

TEST_F(Create, TreesRoundTripThroughCheckPreviewAndTheDeviceExtraction) {
    // Each size alone, random and compressible, then all of them in the shapes of a real tree.
    std::vector<std::vector<std::pair<std::string, std::string>>> trees;
    std::vector<std::pair<std::string, std::string>> together;
    for (const std::size_t size : boundary_sizes)
        for (const bool random : {true, false}) {
            const std::string name = (random ? "/noise-" : "/text-") + std::to_string(size);
            trees.push_back({{name, random ? noise(size, static_cast<std::uint32_t>(size)) : text_of(size)}});
            together.push_back(trees.back().front());
        }
    trees.push_back(together);
    for (std::size_t i = 0; i < trees.size(); ++i) {
        const TempDir each;
        const std::string tree = each / "tree", package = each / "p.tuf", root = each / "device";
        const std::string label = i + 1 < trees.size() ? trees[i][0].first : "together";
        if (i + 1 < trees.size()) ::mkdir(tree.c_str(), 0755); else make_tree(tree);
        for (const auto& [name, content] : trees[i]) write_file(tree + name, content);
        ASSERT_EQ(tufpkg({"create", "-o", package, "--id", "QX4170", "--version", "1.0", "--command", "sh /x", tree}).code,
                  0) << label;
        const ToolRun checked = tufpkg({"check", package});
        EXPECT_TRUE(contains(checked.out, "0 problems, 0 warnings: ok")) << label << checked.out;
        EXPECT_EQ(tufpkg({"extract", package, each / "preview"}).code, 0) << label;
        EXPECT_TRUE(snapshot(each / "preview") == snapshot(tree)) << label;
        ::mkdir(root.c_str(), 0755);
        EXPECT_EQ(extract(package, root).result, 0) << label;
        EXPECT_TRUE(snapshot(root) == snapshot(tree)) << label;
    }
}

TEST_F(Create, DirectoriesComeBeforeWhatTheyHoldInSortedOrder) {
    ::mkdir(tree().c_str(), 0755);
    ::mkdir((tree() + "/b").c_str(), 0755);
    write_file(tree() + "/b/z", "1");
    write_file(tree() + "/b/a", "2");
    write_file(tree() + "/a", "3");
    write_file(tree() + "/c", "4");
    EXPECT_TRUE(contains(create().out, ": 5 entries (1 directory, 4 files), 4 bytes packed into 4 "));
    PackageBuilder expected;
    expected.id("QX4170").version("1.0.0").stored("/a", "3").dir("/b").stored("/b/a", "2").stored("/b/z", "1").stored(
        "/c", "4");
    EXPECT_EQ(read_file(package()), expected.bytes());
}

TEST_F(Create, SameTreeGivesTheSameBytesOnOneCoreOrMany) {
    make_tree(tree());
    write_file(tree() + "/etc/more.txt", text_of(3 * MiB));
    ASSERT_EQ(create({"--jobs", "1"}).code, 0);
    const std::string first = read_file(package());
    ::utimensat(AT_FDCWD, (tree() + "/blob.bin").c_str(), nullptr, 0);
    ASSERT_EQ(create({"--jobs", "3"}).code, 0);
    EXPECT_TRUE(read_file(package()) == first);
}

TEST_F(Create, FilesAreCompressedOnlyWhenThatMakesThemSmaller) {
    ::mkdir(tree().c_str(), 0755);
    const std::string text(100000, 't');
    write_file(tree() + "/text", text);
    write_file(tree() + "/noise", noise(5000));
    // Its samples (start, middle, end) do not shrink: stored without compressing the rest.
    std::string sampled(4 * MiB, 'z');
    for (const std::size_t at : {std::size_t{0}, 2 * MiB - 128 * KiB, 4 * MiB - 256 * KiB})
        sampled.replace(at, 256 * KiB, noise(256 * KiB, static_cast<std::uint32_t>(at)));
    write_file(tree() + "/sampled", sampled);
    ASSERT_EQ(create().code, 0);
    const std::map<std::string, PackedFile> expected = {
        {"/noise", {false, noise(5000)}}, {"/sampled", {false, sampled}}, {"/text", {true, text}}};
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
    expected.id("QX4170").version("1.0.0").stored("/text", std::string(1000, 't'));
    EXPECT_EQ(read_file(package()), expected.bytes());
}

TEST_F(Create, HeaderFieldsTooLongAreBadUsageNamingTheField) {
    ::mkdir(tree().c_str(), 0755);
    const struct {
        const char* option;
        std::string value;
    } cases[] = {{"--id", "PRG41700"}, {"--version", std::string(16, 'v')}, {"--command", std::string(128, 'c')}};
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"create", "-o", package(), "--id", "QX4170", "--version", "1"};
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
    const ToolRun run = tufpkg({"create", "-o", package(), "--id", "QX4170", "--version", std::string(15, 'v'),
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

TEST_F(Create, WhatCannotBePackedFailsTheCreateNamingThePathAndDereferenceFollowsLinks) {
    ::mkdir(tree().c_str(), 0755);
    write_file(tree() + "/real", "r");
    const struct {
        const char *name, *target, *option, *says;  // a symbolic link to `target`, or a FIFO
    } cases[] = {{"link", "real", "--store", ": symbolic link; "},
                 {"pipe", nullptr, "--dereference", ": special file; "},
                 {"loop", ".", "--dereference", ": symbolic link back to a folder"},
                 {"dangling", "absent", "--dereference", ": symbolic link to nothing"},
                 {"growing", "/proc/version", "--dereference", ": changed size while being packed"}};
    for (const auto& c : cases) {
        const std::string path = tree() + "/" + c.name;
        ASSERT_EQ(c.target != nullptr ? ::symlink(c.target, path.c_str()) : ::mkfifo(path.c_str(), 0644), 0);
        const ToolRun run = create({c.option});
        EXPECT_EQ(run.code, 1) << c.name;
        EXPECT_TRUE(contains(run.err, path + c.says)) << run.err;
        EXPECT_FALSE(exists(package()) || leftovers());
        ::unlink(path.c_str());
    }
    // What links point to, with --dereference.
    ::mkdir((work / "outside").c_str(), 0755);
    write_file(work / "outside/f", "o");
    ASSERT_EQ(::symlink("real", (tree() + "/link").c_str()) + ::symlink((work / "outside").c_str(), (tree() + "/dir").c_str()), 0);
    ASSERT_EQ(create({"--dereference"}).code + tufpkg({"extract", package(), work / "preview"}).code, 0);
    const std::map<std::string, std::string> expected = {{"/dir", "<dir>"}, {"/dir/f", "o"}, {"/link", "r"}, {"/real", "r"}};
    EXPECT_EQ(snapshot(work / "preview"), expected);
}

TEST_F(Create, APackageInsideTheTreeIsNotPackedItself) {
    ::mkdir(tree().c_str(), 0755);
    write_file(tree() + "/a", "a");
    const std::vector<std::string> arguments = {"create", "-o", tree() + "/p.tuf", "--id", "QX4170", "--version", "1", tree()};
    ASSERT_EQ(tufpkg(arguments).code, 0);
    const std::string first = read_file(tree() + "/p.tuf");
    EXPECT_TRUE(contains(tufpkg(arguments).err, tree() + "/p.tuf: the package being written; not packed"));
    EXPECT_EQ(read_file(tree() + "/p.tuf"), first);
}

TEST_F(Create, ProgressOnATerminalUnlessQuietAndVerboseListsEachEntry) {
    ::mkdir(tree().c_str(), 0755);
    ::mkdir((tree() + "/d").c_str(), 0755);
    write_file(tree() + "/d/f", "x");
    for (const std::string option : {"--level=7", "--quiet", "-v"}) {
        const ToolRun run = tufpkg_on_terminal("create -o " + package() + " --id QX4170 --version 1 " + option + " " + tree());
        EXPECT_EQ(contains(run.out, "\rtufpkg create: 0 B / 1 B  0.0%  0:00  /d"), option != "--quiet") << run.out;
        EXPECT_EQ(contains(run.out, "/d\r\n") && contains(run.out, "/d/f\r\n"), option == "-v") << run.out;
        EXPECT_EQ(contains(run.out, "2 entries (1 directory, 1 file)"), option != "--quiet") << run.out;
    }
}

TEST_F(Create, VersionsTheDialogCannotDrawAreWarnedOnByCreateAndCheck) {
    ::mkdir(tree().c_str(), 0755);
    const struct {
        const char* id;
        std::string version;
        std::string warning;
    } cases[] = {
        {"QX4170", "2.0 rc+1/\xce\xb2",
         "version \"2.0 rc+1/\xce\xb2\": the device has no glyph for \" \", \"+\", \"/\", \"\xce\xb2\"; its dialog shows \"2.0rc1\""},
        {"QX4170", "WWWWWWWW", "version \"WWWWWWWW\" is 80 pixels wide on the device; the program dialog has room for 74"},
        {"QX4170", "Ver1.2-rc", ""},  // 73 pixels
        {"MAP4170", "WWWWWWWW", ""},
        {"USERMAP", "mmmmmmmmmm", "version \"mmmmmmmmmm\" is 130 pixels wide on the device; the user map dialog has room for 119"},
    };
    for (const auto& c : cases) {
        const ToolRun created = tufpkg({"create", "-o", package(), "--id", c.id, "--version", c.version, tree()});
        const ToolRun checked = tufpkg({"check", package()});
        EXPECT_EQ(created.code + checked.code, 0) << c.version;
        for (const std::string& said : {created.err, checked.out})
            EXPECT_TRUE(c.warning.empty() ? !contains(said, "version \"") : contains(said, c.warning)) << said;
    }
}

TEST_F(Create, FailedWriteLeavesNoHalfPackageAndKeepsTheOldOne) {
    ::mkdir(tree().c_str(), 0755);
    write_file(tree() + "/big", noise(300000));
    write_file(package(), "previous package");
    const ToolRun run = tufpkg({"create", "-o", package(), "--id", "QX4170", "--version", "1", tree()}, [] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100000, 100000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err, "nothing written")) << run.err;
    EXPECT_EQ(read_file(package()), "previous package");
    EXPECT_FALSE(leftovers());
}

TEST_F(Create, AFolderMissingNotAFolderOrEmptyIsSaidSo) {
    write_file(work / "file", "x");
    ::mkdir((work / "empty").c_str(), 0755);
    const struct {
        std::string folder;
        int code;
        const char* says;
    } cases[] = {{work / "absent", 1, ": no such folder"},
                 {work / "file", 1, ": not a folder"},
                 {work / "empty", 0, " holds nothing to pack; the package has no entries"}};
    for (const auto& c : cases) {
        const ToolRun run = tufpkg({"create", "-o", package(), "--id", "QX4170", "--version", "1", c.folder});
        EXPECT_EQ(run.code, c.code) << c.folder;
        EXPECT_TRUE(contains(run.err, c.folder + c.says)) << run.err;
        EXPECT_EQ(exists(package()), c.code == 0);
    }
}

TEST(Usage, EverySubcommandHasHelp) {
    for (const std::string command : {"create", "list", "check", "extract", "verify"}) {
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
        {"create", "-o", "/tmp/x.tuf", "--id", "QX4170", "--version", "1", "--level", "0", "/tmp"},
        {"create", "-o", "/tmp/x.tuf", "--id", "QX4170", "--version", "1", "--level", "13", "/tmp"},
        {"create", "-o", "/tmp/x.tuf", "--id", "QX4170", "--version", "1", "--level", "6x", "/tmp"},
        {"create", "-o", "/tmp/x.tuf", "--id", "QX4170", "--version", "1", "--jobs", "0", "/tmp"},
        {"create", "-o", "/tmp/x.tuf", "--id", "QX4171", "--version", "1", "/tmp"},
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

TEST(Usage, AWriteErrorOnStandardOutputIsAProblem) {
    const TempDir work;
    PackageBuilder().id("QX4170").stored("/f", "x").write(work / "p.tuf");
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--help"}, {"list", work / "p.tuf"}, {"check", work / "p.tuf", "--json"}}) {
        const ToolRun run = tufpkg(arguments, [] { ::dup2(::open("/dev/full", O_WRONLY), 1); });
        EXPECT_EQ(run.code, 1) << arguments[0];
        EXPECT_TRUE(contains(run.err, "cannot write to standard output: No space left on device")) << run.err;
    }
}

// The bash completion offers each command 'tufpkg --help' lists, and for each the
// options its own --help names.
TEST(Usage, BashCompletionOffersWhatEachHelpLists) {
    const auto completed = [](const std::string& words) {
        std::istringstream lines(run_program("/bin/bash", {"-c", "source " COMPLETION_PATH "; COMP_WORDS=(" TUFPKG_PATH
                                                                 " " + words + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                                                                 "_tufpkg; printf '%s\\n' \"${COMPREPLY[@]}\""}).out);
        std::set<std::string> offered;
        for (std::string line; std::getline(lines, line);) offered.insert(line);
        return offered;
    };
    const auto words_of = [](const std::string& text, const char* pattern) {
        std::set<std::string> found;
        const std::regex word(pattern);
        for (std::sregex_iterator i(text.begin(), text.end(), word), end; i != end; ++i) found.insert((*i)[1]);
        return found;
    };
    std::set<std::string> commands = words_of(tufpkg({"--help"}).out, "\n  ([a-z]+) ");
    for (const std::string& command : commands) {
        std::set<std::string> options = words_of(tufpkg({command, "--help"}).out, "[ \\[,](--?[a-z][-a-z]*)");
        options.insert("--help");
        EXPECT_EQ(completed(command + " -"), options) << command;
    }
    commands.insert({"--help", "--version"});
    EXPECT_EQ(completed("''"), commands);
    EXPECT_EQ(completed("create --id ''"), (std::set<std::string>{"MAP4170", "QX4170", "USERMAP"}));
}
