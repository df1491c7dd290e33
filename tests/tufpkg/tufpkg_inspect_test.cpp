#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "../tuf/minisign_key.h"
#include "tufpkg_runner.h"
#include "tuf/tsign.h"

using namespace tuf_test;
using namespace tufpkg_test;

namespace {

class Inspect : public testing::Test {
protected:
    std::string package() const { return work / "p.tuf"; }
    ToolRun check(const PackageBuilder& builder) {
        builder.write(package());
        return tufpkg({"check", package(), "--json"});
    }
    TempDir work;
};

std::string packed_of(std::string_view content) { return zlib_compress(content); }

// A package the device offers: a known ID and a version it can draw.
PackageBuilder offered() { return PackageBuilder().id("QX4170").version("1.0"); }

std::string key_id(const std::string& public_key) {
    sign_key_t key{};
    return sign_load_key(public_key.c_str(), &key) == sign_ok ? sign_key_id_text(key.id) : "?";
}

}  // namespace

TEST_F(Inspect, ListShowsHeaderEntriesAndTotals) {
    PackageBuilder()
        .id("MAP4170")
        .version("2.0")
        .command("sync")
        .dir("/cmap")
        .compressed("/cmap/a", std::string(1000, 'a'), 7)
        .stored("/cmap/b", "bbbb")
        .write(package());
    const ToolRun run = tufpkg({"list", package()});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "ID       : MAP4170 (map)\n"));
    EXPECT_TRUE(contains(run.out, "Version  : 2.0\n"));
    EXPECT_TRUE(contains(run.out, "Command  : sync\n"));
    EXPECT_TRUE(contains(run.out, "     1        160 dir "));
    const std::string packed = std::to_string(packed_of(std::string(1000, 'a')).size());
    EXPECT_TRUE(contains(run.out, "     2        304 zlib         1000 ")) << run.out;
    EXPECT_TRUE(contains(run.out, "          7  /cmap/a\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "stored          4          4 100.0%          0  /cmap/b\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "Totals   : 1 directory, 2 files, 1004 bytes, " +
                                      std::to_string(4 + packed_of(std::string(1000, 'a')).size()) + " packed"))
        << run.out;
    // Three blocks of 4 KiB, and the files' once more: one batch holds them all beside the old ones.
    EXPECT_TRUE(contains(run.out, "Device   : needs 20.0 KiB (20480 bytes) free, 20.0 KiB (20480 bytes) with a trust key; "
                                   "largest file 1000 B (1000 bytes), /cmap/a\n"))
        << run.out;
}

TEST_F(Inspect, ListJsonQuotesNamesSafely) {
    PackageBuilder().stored("/quote\"back\\slash\x01\xc3\xa9\xff", "x").write(package());
    const ToolRun run = tufpkg({"list", "--json", package()});
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(contains(run.out, "\"name\":\"/quote\\\"back\\\\slash\\u0001\xc3\xa9\\u00ff\"")) << run.out;
    EXPECT_TRUE(contains(run.out, "\"totals\":{\"directories\":0,\"files\":1,\"size\":1,\"packed\":1},\"device\":{\"free_space\":8192,"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "\",\"size\":1,\"packed_size\":1}},\"problems\":[]}")) << run.out;
}

TEST_F(Inspect, ListOfSomethingElseIsAProblem) {
    write_file(package(), std::string(500, 'x'));
    EXPECT_EQ(tufpkg({"list", package()}).code, 1);
    EXPECT_EQ(tufpkg({"check", package()}).code, 1);
    EXPECT_EQ(tufpkg({"list", work / "absent.tuf"}).code, 1);
    const ToolRun json = tufpkg({"list", "--json", package()});
    EXPECT_EQ(json.code, 1);
    EXPECT_EQ(json.out, "{\"package\":\"" + package() + "\",\"header\":null,\"entries\":[],\"totals\":null,\"device\":null," +
                            "\"problems\":[{\"entry\":0,\"offset\":0,\"kind\":\"not_a_package\",\"message\":\"" + package() +
                            ": not a package: it does not begin with \\\"TUF\\\"\"}]}\n");
    const std::string folder = work.path() + ": a folder, not a package";
    EXPECT_TRUE(contains(tufpkg({"list", work.path()}).err, folder));
    EXPECT_TRUE(contains(tufpkg({"check", work.path()}).out, folder));
    EXPECT_TRUE(contains(tufpkg({"extract", work.path(), work / "out"}).err, folder));
}

TEST_F(Inspect, OnlyTheThreeIdsAreOfferedAndListShowsTheirKind) {
    ::mkdir((work / "tree").c_str(), 0755);
    const struct { const char *id, *kind; } cases[] = {
        {"QX4170", "program"}, {"MAP4170", "map"}, {"USERMAP", "user map"}, {"qx4170", nullptr}, {"QX4171", nullptr}};
    for (const auto& c : cases) {
        const ToolRun refused = tufpkg({"create", "-o", package(), "--id", c.id, "--version", "1", work / "tree"});
        EXPECT_EQ(refused.code, c.kind != nullptr ? 0 : 2) << c.id;
        EXPECT_EQ(contains(refused.err, "QX4170 (program), MAP4170 (map) or USERMAP (user map)"), c.kind == nullptr);
        ASSERT_EQ(tufpkg({"create", "--any-id", "-o", package(), "--id", c.id, "--version", "1", work / "tree"}).code, 0);
        EXPECT_TRUE(contains(tufpkg({"list", package()}).out,
                             "ID       : " + std::string(c.id) + " (" +
                                 (c.kind != nullptr ? c.kind : "unknown: the device skips the package") + ")\n"));
        const ToolRun checked = tufpkg({"check", package(), "--json"});
        EXPECT_EQ(checked.code, c.kind != nullptr ? 0 : 1) << checked.out;
        EXPECT_EQ(contains(checked.out, "{\"entry\":0,\"offset\":8,\"kind\":\"unknown_id\""), c.kind == nullptr);
    }
}

TEST_F(Inspect, NamesTheDeviceCannotApplyAreProblemsAndExtractWritesNothing) {
    const struct { PackageBuilder package; int entry; } cases[] = {
        {offered().stored("", "x"), 1}, {offered().dir(""), 1}, {offered().stored("/a/", "x"), 1},
        {offered().stored("/", "x"), 1}, {offered().dir("/a").stored("/b", "b").stored("/a", "x"), 3},
        {offered().stored("/a", "x").stored("/a/b", "y"), 2}, {offered().stored("/a", "x").dir("/a/d"), 2}};
    for (const auto& c : cases) {
        const ToolRun checked = check(c.package);
        EXPECT_EQ(checked.code, 1);
        EXPECT_TRUE(contains(checked.out, "\"problems\":[{\"entry\":" + std::to_string(c.entry) + ",") &&
                    contains(checked.out, "\"kind\":\"device_refuses_name\"")) << checked.out;
        const ToolRun extracted = tufpkg({"extract", package(), work / "out"});
        EXPECT_EQ(extracted.code, 1);
        EXPECT_TRUE(contains(extracted.err, "the device fails on it\ntufpkg extract: nothing written")) << extracted.err;
        EXPECT_FALSE(exists(work / "out"));
    }
}

TEST_F(Inspect, CheckAcceptsAGoodPackage) {
    const ToolRun run = check(offered().dir("/a").compressed("/a/f", std::string(5000, 'f'), 3).stored("/a/g", ""));
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_EQ(run.out, "{\"package\":\"" + package() +
                           "\",\"ok\":true,\"entries\":3,\"problems\":[],\"warnings\":[],\"device\":{\"free_space\":20480,"
                           "\"free_space_signed\":20480,\"largest_file\":{\"name\":\"/a/f\",\"size\":5000,\"packed_size\":" +
                           std::to_string(packed_of(std::string(5000, 'f')).size()) + "}}}\n");
}

TEST_F(Inspect, CheckReportsStrayBytesWithEntryAndOffset) {
    const ToolRun run = check(PackageBuilder().stored("/f", "abc").raw(std::string(100, 's')));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.out, "{\"entry\":2,\"offset\":307,\"kind\":\"stray_bytes\"")) << run.out;
}

TEST_F(Inspect, CheckReportsTruncatedData) {
    const ToolRun run = check(PackageBuilder().record({"/f", 1, 0, 100, 0, 0, "only ten b", {}}));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.out, "{\"entry\":1,\"offset\":160,\"kind\":\"truncated_data\"")) << run.out;
}

TEST_F(Inspect, CheckReportsADamagedStreamAndGoesOn) {
    std::string packed = packed_of(std::string(2000, 'd'));
    packed[0] = 0x00;
    const ToolRun run = check(PackageBuilder()
                              .record({"/bad", 1, 1, 2000, static_cast<std::uint32_t>(packed.size()), 0, packed, {}})
                              .record({"/short", 1, 1, 2000, 5, 0, packed_of(std::string(2000, 'd')).substr(0, 5), {}})
                              .stored("/good", "g"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.out, "{\"entry\":1,\"offset\":160,\"kind\":\"bad_stream\"")) << run.out;
    EXPECT_TRUE(contains(run.out, "\"entry\":2,")) << run.out;
    EXPECT_TRUE(contains(run.out, "\"entries\":3")) << run.out;
}

TEST_F(Inspect, CheckReportsWrongInflatedLength) {
    const std::string longer = packed_of(std::string(101, 'w'));
    const std::string shorter = packed_of(std::string(99, 'w'));
    const ToolRun run = check(PackageBuilder()
                              .record({"/l", 1, 1, 100, static_cast<std::uint32_t>(longer.size()), 0, longer, {}})
                              .record({"/s", 1, 1, 100, static_cast<std::uint32_t>(shorter.size()), 0, shorter, {}}));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.out, "{\"entry\":1,\"offset\":160,\"kind\":\"wrong_length\"")) << run.out;
    EXPECT_TRUE(contains(run.out, "\"kind\":\"wrong_length\",\"message\":\"stream inflates to 99 bytes")) << run.out;
}

TEST_F(Inspect, CheckReportsTextsWithoutNul) {
    const ToolRun run = check(PackageBuilder().header_bytes(8, "IDIDIDID").stored(std::string(130, '/'), "x"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.out, "{\"entry\":0,\"offset\":0,\"kind\":\"text_without_nul\",\"message\":\"header field id"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "{\"entry\":1,\"offset\":160,\"kind\":\"text_without_nul\"")) << run.out;
}

TEST_F(Inspect, CheckReportsOffsetsOutOfRange) {
    EXPECT_TRUE(contains(check(PackageBuilder().data_offset(0x80000000u)).out, "\"kind\":\"offset_out_of_range\""));
    EXPECT_TRUE(contains(check(PackageBuilder().data_offset(5000)).out, "past the end of the file"));
    EXPECT_TRUE(contains(check(PackageBuilder().data_offset(100)).out, "points into the 160-byte header"));
    const ToolRun skip = check(PackageBuilder().record({"/f", 1, 0, 1, 0, 0xffffffffu, "x", {}}));
    EXPECT_EQ(skip.code, 1);
    EXPECT_TRUE(contains(skip.out, "{\"entry\":1,\"offset\":160,\"kind\":\"offset_out_of_range\"")) << skip.out;
}

TEST_F(Inspect, CheckOnlyWarnsOnRelativeNamesAndMissingParents) {
    const ToolRun run = check(offered().stored("relative", "r").dir("/a").stored("/a/ok", "1").stored("/b/orphan", "2"));
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_TRUE(contains(run.out, "\"ok\":true")) << run.out;
    EXPECT_TRUE(contains(run.out, "{\"entry\":1,\"offset\":160,\"kind\":\"relative_name\"")) << run.out;
    EXPECT_TRUE(contains(run.out, "\"entry\":4,\"offset\":" + std::to_string(160 + 3 * 144 + 2) +
                                      ",\"kind\":\"missing_parent\""))
        << run.out;
    EXPECT_FALSE(contains(run.out, "\"entry\":3,")) << run.out;
}

TEST_F(Inspect, CheckTextNamesEntryAndOffset) {
    offered().stored("/f", "abc").raw("xy").write(package());
    const ToolRun run = tufpkg({"check", package()});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.out, "problem: entry 2 at offset 307: 2 stray bytes")) << run.out;
    EXPECT_TRUE(contains(run.out, "1 entry, 1 problem, 0 warnings: damaged")) << run.out;
}

TEST_F(Inspect, PackagesOverFourGigabytesAreWalked) {
    const std::uint32_t skip = 0xf0000000u;
    offered().record({"/a", 1, 0, 1, 0, skip, "a", {}}).write(package());
    const std::string second = PackageBuilder().record({"/b", 1, 0, 1, 0, skip, "b", {}}).bytes().substr(160);
    const std::string third = PackageBuilder().stored("/c", "c").bytes().substr(160);
    const std::uint64_t second_at = 160 + 144 + 1 + std::uint64_t{skip};
    const std::uint64_t third_at = second_at + 144 + 1 + skip;
    ASSERT_GT(third_at, std::uint64_t{1} << 32);
    const int fd = ::open(package().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, second.data(), second.size(), static_cast<off_t>(second_at)),
              static_cast<ssize_t>(second.size()));
    EXPECT_EQ(::pwrite(fd, third.data(), third.size(), static_cast<off_t>(third_at)), static_cast<ssize_t>(third.size()));
    ::close(fd);
    const ToolRun listed = tufpkg({"list", package()});
    EXPECT_EQ(listed.code, 0) << listed.out;
    EXPECT_TRUE(contains(listed.out, std::to_string(third_at) + " stored          1")) << listed.out;
    const ToolRun checked = tufpkg({"check", package()});
    EXPECT_EQ(checked.code, 0) << checked.out;
    EXPECT_TRUE(contains(checked.out, "3 entries, 0 problems")) << checked.out;
}

// ---- signatures ----

TEST_F(Inspect, VerifyAcceptsTheSignedPackageAndRefusesItOnceChanged) {
    const MinisignKey key(work.path());
    PackageBuilder().stored("/f", "signed content").write(package());
    key.sign(package());
    const ToolRun good = tufpkg({"verify", package(), "--key", key.public_key()});
    EXPECT_EQ(good.code, 0) << good.out << good.err;
    EXPECT_TRUE(contains(good.out, package() + ": signature verified with key ")) << good.out;
    EXPECT_TRUE(contains(good.out, "\ntrusted comment: timestamp:")) << good.out;

    std::string bytes = read_file(package());
    bytes.back() = 'X';
    write_file(package(), bytes);
    const ToolRun changed = tufpkg({"verify", package(), "--key", key.public_key(), "--json"});
    EXPECT_EQ(changed.code, 1);
    EXPECT_TRUE(contains(changed.out, "{\"package\":\"" + package() + "\",\"ok\":false,\"signature\":{\"file\":\"" +
                                          package() + ".minisig\",\"present\":true,\"verified\":false,"
                                          "\"status\":\"mismatch\","))
        << changed.out;
}

TEST_F(Inspect, VerifyWithAnotherKeyOrNoSignatureFailsAndWithoutKeyIsUsage) {
    const MinisignKey key(work.path()), other(work.path(), "other");
    PackageBuilder().stored("/f", "x").write(package());
    EXPECT_TRUE(contains(tufpkg({"verify", package(), "--key", key.public_key()}).out,
                         "not verified: no signature file: " + package() + ".minisig\n"));
    key.sign(package());
    const ToolRun run = tufpkg({"verify", package(), "--key", other.public_key()});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.out, "not verified: signed with key " + key_id(key.public_key()) + ", not with key " +
                                      key_id(other.public_key()) + " of " + other.public_key() + "\n"))
        << run.out;
    EXPECT_EQ(tufpkg({"verify", package()}).code, 2);
}

TEST_F(Inspect, CheckMentionsTheSignatureAndChecksItWithKey) {
    const MinisignKey key(work.path()), other(work.path(), "other");
    offered().stored("/f", "x").write(package());
    key.sign(package());
    const ToolRun unchecked = tufpkg({"check", package()});
    EXPECT_EQ(unchecked.code, 0);
    EXPECT_TRUE(contains(unchecked.out, "signature: " + package() + ".minisig beside the package, not checked (no --key)"))
        << unchecked.out;
    const ToolRun verified = tufpkg({"check", package(), "--key", key.public_key()});
    EXPECT_EQ(verified.code, 0) << verified.out;
    EXPECT_TRUE(contains(verified.out, "signature: " + package() + ".minisig verifies with key ")) << verified.out;
    const ToolRun refused = tufpkg({"check", package(), "--key", other.public_key(), "--json"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(contains(refused.out, "\"kind\":\"signature\",\"message\":\"" + package() +
                                          ".minisig: signed with key "))
        << refused.out;
    EXPECT_TRUE(contains(refused.out, "\"signature\":{\"file\":")) << refused.out;
}
