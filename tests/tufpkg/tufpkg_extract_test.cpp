#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tufpkg_runner.h"

using namespace tuf_test;
using namespace tufpkg_test;

namespace {

class Preview : public testing::Test {
protected:
    std::string package() const { return work / "p.tuf"; }
    std::string folder() const { return work / "out"; }
    ToolRun extract(const PackageBuilder& builder) {
        builder.write(package());
        return tufpkg({"extract", package(), folder()});
    }
    TempDir work;
};

}  // namespace

TEST_F(Preview, CreatesMissingParentsInsideTheFolder) {
    const ToolRun run = extract(PackageBuilder().stored("/a/b/c/file", "deep").compressed("/x/y", std::string(999, 'y')));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(read_file(folder() + "/a/b/c/file"), "deep");
    EXPECT_EQ(read_file(folder() + "/x/y"), std::string(999, 'y'));
    EXPECT_TRUE(contains(run.out, "+ Create file : /a/b/c/file (4 bytes)\n")) << run.out;
}

TEST_F(Preview, NeverRunsTheCommandButPrintsIt) {
    const std::string marker = work / "ran";
    const ToolRun run = extract(PackageBuilder().command("touch " + marker).stored("/f", "x"));
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(contains(run.out, "Command (not run): touch " + marker + "\n")) << run.out;
    EXPECT_FALSE(exists(marker));
}

TEST_F(Preview, RefusesDotDotBeforeWritingAnything) {
    const ToolRun run = extract(PackageBuilder().stored("/fine", "1").stored("/a/../../escaped", "2"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err, "entry 2 at offset 305")) << run.err;
    EXPECT_TRUE(contains(run.err, "/a/../../escaped")) << run.err;
    EXPECT_FALSE(exists(folder() + "/fine"));
    EXPECT_FALSE(exists(work / "escaped"));
}

TEST_F(Preview, RefusesToFollowAnExistingDirectoryLink) {
    const std::string outside = work / "outside";
    ::mkdir(outside.c_str(), 0755);
    ::mkdir(folder().c_str(), 0755);
    ASSERT_EQ(::symlink(outside.c_str(), (folder() + "/link").c_str()), 0);
    const ToolRun run = extract(PackageBuilder().stored("/fine", "1").stored("/link/f", "x"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err, "symbolic link")) << run.err;
    EXPECT_FALSE(exists(outside + "/f"));
    EXPECT_FALSE(exists(folder() + "/fine"));  // every link is checked before anything is written
}

TEST_F(Preview, ReplacesWhatIsAtANameNeverWritingThroughIt) {
    ::mkdir(folder().c_str(), 0755);
    write_file(work / "elsewhere", "keep");
    ASSERT_EQ(::link((work / "elsewhere").c_str(), (folder() + "/hard").c_str()), 0);
    ASSERT_EQ(::mkfifo((folder() + "/fifo").c_str(), 0644), 0);  // opening it would hang
    const ToolRun run = extract(PackageBuilder().stored("/hard", "new").stored("/fifo", "file"));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(read_file(work / "elsewhere"), "keep");
    EXPECT_EQ(read_file(folder() + "/hard"), "new");
    EXPECT_EQ(read_file(folder() + "/fifo"), "file");
}

TEST_F(Preview, RefusesToWriteThroughAnExistingFileLink) {
    const std::string outside = work / "outside.txt";
    write_file(outside, "keep");
    ::mkdir(folder().c_str(), 0755);
    ASSERT_EQ(::symlink(outside.c_str(), (folder() + "/f").c_str()), 0);
    const ToolRun run = extract(PackageBuilder().stored("/f", "overwrite"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err, "symbolic link")) << run.err;
    EXPECT_EQ(read_file(outside), "keep");
}

TEST_F(Preview, RelativeAndDotNamesStayInside) {
    const ToolRun run = extract(PackageBuilder().stored("rel/./f", "r").dir("/./d//").stored("//d/g", "g"));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(read_file(folder() + "/rel/f"), "r");
    EXPECT_EQ(read_file(folder() + "/d/g"), "g");
}

TEST_F(Preview, DamagedDataIsAProblem) {
    const ToolRun run = extract(PackageBuilder().record({"/f", 1, 1, 10, 4, 0, "junk", {}}));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err, "entry 1 at offset 160")) << run.err;
    EXPECT_FALSE(exists(folder() + "/f"));
}

TEST_F(Preview, DirectoryEntryOverAnExistingFileIsSatisfied) {
    ::mkdir(folder().c_str(), 0755);
    write_file(folder() + "/plain", "keep");
    const ToolRun run = extract(PackageBuilder().dir("/plain").stored("/after", "a"));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(read_file(folder() + "/plain"), "keep");
    EXPECT_EQ(read_file(folder() + "/after"), "a");
}

TEST_F(Preview, RefusesADirectoryEntryOverAnExistingLink) {
    const std::string outside = work / "outside";
    ::mkdir(outside.c_str(), 0755);
    ::mkdir(folder().c_str(), 0755);
    ASSERT_EQ(::symlink(outside.c_str(), (folder() + "/d").c_str()), 0);
    const ToolRun run = extract(PackageBuilder().dir("/d").stored("/d/f", "x"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err, "entry 1 at offset 160")) << run.err;
    EXPECT_FALSE(exists(outside + "/f"));
}
