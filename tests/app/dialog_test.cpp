// The confirmation dialog and the version record on the fake framebuffer and the
// fake key controller. Runs inside the sandbox (sandbox_main.cpp): "/" is a fresh
// temporary root file system and the working directory is the card. sleep is
// wrapped at link time so the five seconds after an extraction pass at once, and
// system so that a test can change the card just before a command runs.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "../tuf/minisign_key.h"
#include "app/trust.h"
#include "app/upgqx4170.h"
#include "gui/t4170img.h"
#include "input/t4170input.h"
#include "package_builder.h"
#include "sim/fake_controller.h"
#include "sim/fake_framebuffer.h"
#include "sim/key_controller.h"
#include "tuf/file_writer.h"

namespace fs = std::filesystem;

extern "C" unsigned __wrap_sleep(unsigned seconds);
// When set, the next command run rewrites "first.sh" on the card first: a script
// changed between its check and its run.
std::atomic<bool> rewrite_first_script{false};
extern "C" int __real_system(const char* command);
extern "C" int __wrap_system(const char* command);
std::string path_at_install;  // the path on offer when the dialog's key handler was installed
extern "C" void __real__Z15InputSetHandlerPFviE(void (*handler)(int));
extern "C" void __wrap__Z15InputSetHandlerPFviE(void (*handler)(int)) {
    if (handler == app::key_handler) path_at_install = app::tufpath;
    __real__Z15InputSetHandlerPFviE(handler);
}

namespace {

std::atomic<int> sleeps{0};
std::atomic<unsigned> last_sleep{0};

sim::FakeFramebuffer* framebuffer = nullptr;
sim::FakeController* controller = nullptr;

class Devices : public ::testing::Environment {
public:
    void SetUp() override {
        framebuffer = new sim::FakeFramebuffer();
        controller = new sim::FakeController();
        ASSERT_EQ(InputInit(), 0);
        ASSERT_EQ(GuiInit(), 0);
        ASSERT_EQ(app::initProc(), 0);
    }
    void TearDown() override {
        app::delProc();
        InputEnd();
        GuiEnd();
        delete controller;
        delete framebuffer;
    }
};

const auto* const devices = ::testing::AddGlobalTestEnvironment(new Devices);

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every file and link below `folder` (none when it does not exist).
std::set<std::string> files_under(const std::string& folder) {
    std::set<std::string> found;
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ignored))
        if (!entry.is_directory()) found.insert(entry.path().string());
    return found;
}

// True when the screen holds `image` with its top-left pixel at (x, y); `rows`
// limits the comparison to the image's first rows.
bool shows(int x, int y, const IMAGE_A555& image, int rows = -1) {
    if (rows < 0) rows = image.height;
    for (int row = 0; row < rows; ++row)
        for (int column = 0; column < image.width; ++column) {
            const std::uint8_t* p = image.data + row * image.pitch + column * 2;
            const std::uint16_t expected = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
            if (framebuffer->pixel16(x + column, y + row) != expected) return false;
        }
    return true;
}

const IMAGE_A555* glyph(char c) {
    static const std::map<char, const IMAGE_A555*> glyphs = {
        {'0', &chr_48}, {'1', &chr_49}, {'2', &chr_50}, {'3', &chr_51}, {'4', &chr_52}, {'5', &chr_53},
        {'6', &chr_54}, {'7', &chr_55}, {'8', &chr_56}, {'9', &chr_57}, {'.', &chr_46}, {'!', &chr_33},
        {'?', &chr_63}};
    auto found = glyphs.find(c);
    return found == glyphs.end() ? nullptr : found->second;
}

bool shows_text(int x, int y, const std::string& text) {
    for (char c : text) {
        const IMAGE_A555* image = glyph(c);
        if (image == nullptr) return false;
        if (!shows(x, y, *image)) return false;
        x += image->width;
    }
    return true;
}

int all_beeps() {
    int count = 0;
    for (const auto& write : controller->writes()) count += write == "$SOB\r\n";
    return count;
}

int stop_flag() {
    pthread_mutex_lock(&app::stop_mutex);
    int value = app::stop;
    pthread_mutex_unlock(&app::stop_mutex);
    return value;
}

class Dialog : public ::testing::Test {
protected:
    void SetUp() override {
        InputSetHandler(nullptr);
        app::num_file = 0;
        app::next = 0;
        app::is_loop = 0;
        app::yes_first = 0;
        app::yes_focus = 1;
        app::have_sh = 0;
        app::filesh[0] = '\0';
        app::tufpath[0] = '\0';
        pthread_mutex_lock(&app::stop_mutex);
        app::stop = 1;
        pthread_mutex_unlock(&app::stop_mutex);
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(app::card_dir)) fs::remove_all(entry.path(), ignored);
        fs::remove_all("/opt", ignored);
        fs::remove("/tmp/first.log", ignored);
        fs::create_directories("/cmap");
        fs::remove(app::version_file, ignored);
        fs::remove(app::trust_key_file, ignored);
        app::trust_init(app::trust_key_file);
        framebuffer->fill(0);
        sleeps = 0;
        beeps_before = all_beeps();
        x = DLG_X;
        y = DLG_Y;
    }

    // Puts the packages on the card and offers the first, as the driver does.
    void offer(const std::vector<std::pair<std::string, test::PackageBuilder>>& packages) {
        std::vector<std::string> names;
        for (const auto& [name, package] : packages) {
            ASSERT_TRUE(package.write(name));
            names.push_back(name);
        }
        offer_as_on_card(names);
    }

    // Offers the packages already on the card, the first of them at once.
    void offer_as_on_card(const std::vector<std::string>& names) {
        for (const auto& name : names) {
            HEADTUFFILE header;
            ASSERT_EQ(tuf_is_tuf_file(name.c_str(), &header), 0);
            std::snprintf(app::files[app::num_file], app::path_size, "%s", name.c_str());
            app::headers[app::num_file] = header;
            ++app::num_file;
        }
        pthread_mutex_lock(&app::stop_mutex);
        app::stop = 0;
        pthread_mutex_unlock(&app::stop_mutex);
        app::do_upg(app::files[0], &app::headers[0]);
    }

    static test::PackageBuilder program(const std::string& version = "2.0") {
        return test::PackageBuilder("QX4170", version, "echo command > /opt/command.txt")
            .dir("/opt")
            .file("/opt/program.bin", "program " + version, true);
    }

    int beeps() const { return all_beeps() - beeps_before; }

    int x = 0, y = 0;
    int beeps_before = 0;
};

std::mutex handled_mutex;
std::condition_variable handled_changed;
int handled = 0;

// Stands in for the dialog's handler on the key-event worker, so a test knows
// when a key sent as a sentence has been dealt with.
void counting_key_handler(int code) {
    app::key_handler(code);
    std::lock_guard<std::mutex> lock(handled_mutex);
    ++handled;
    handled_changed.notify_all();
}

// ---- what the dialog shows ----

TEST_F(Dialog, ProgramPackageShowsDlg1WithTheProgramVersionsAndYesFocused) {
    write_file(app::version_file, "1.0\n3.1\n7");
    offer({{"program.tuf", program("2.0")}});
    EXPECT_EQ(path_at_install, "program.tuf");  // a key may come as soon as the handler is in place
    EXPECT_TRUE(shows(x, y, dlg1, 30));
    EXPECT_TRUE(shows_text(x + 195, y + 32, "1.0"));
    EXPECT_TRUE(shows_text(x + 195, y + 52, "2.0"));
    EXPECT_TRUE(shows(x + 75, y + 100, yes1));
    EXPECT_TRUE(shows(x + 160, y + 100, no0));
    EXPECT_EQ(app::is_map, 0);
    EXPECT_STREQ(app::cur_pro_ver, "1.0");
    EXPECT_STREQ(app::new_pro_ver, "2.0");
    EXPECT_STREQ(app::new_map_ver, "3.1");
    EXPECT_STREQ(app::new_user_ver, "7");
    EXPECT_STREQ(app::tufpath, "program.tuf");
}

TEST_F(Dialog, MapPackageShowsDlg2AndChangesOnlyTheMapVersion) {
    write_file(app::version_file, "1.0\n3.1\n7");
    offer({{"map.tuf", test::PackageBuilder("MAP4170", "3.2")}});
    EXPECT_TRUE(shows(x, y, dlg2, 30));
    EXPECT_TRUE(shows_text(x + 150, y + 35, "3.1"));
    EXPECT_TRUE(shows_text(x + 150, y + 56, "3.2"));
    EXPECT_EQ(app::is_map, 1);
    EXPECT_STREQ(app::new_pro_ver, "1.0");
    EXPECT_STREQ(app::new_map_ver, "3.2");
    EXPECT_STREQ(app::new_user_ver, "7");
}

TEST_F(Dialog, UserMapPackageShowsDlg2AndChangesOnlyTheUserMapVersion) {
    write_file(app::version_file, "1.0\n3.1\n7");
    offer({{"user.tuf", test::PackageBuilder("USERMAP", "8")}});
    EXPECT_TRUE(shows(x, y, dlg2, 30));
    EXPECT_TRUE(shows_text(x + 150, y + 35, "7"));
    EXPECT_TRUE(shows_text(x + 150, y + 56, "8"));
    EXPECT_EQ(app::is_map, 2);
    EXPECT_STREQ(app::new_pro_ver, "1.0");
    EXPECT_STREQ(app::new_map_ver, "3.1");
    EXPECT_STREQ(app::new_user_ver, "8");
}

TEST_F(Dialog, MissingVersionFileShowsBangsAndWritesThemBack) {
    offer({{"program.tuf", program("2.0")}});
    EXPECT_TRUE(shows_text(x + 195, y + 32, "!!!"));
    app::key_handler(3);
    EXPECT_EQ(read_file(app::version_file), "2.0\n!!!\n!!!");
}

TEST_F(Dialog, MissingLineShowsQuestionMarksAndWritesThemBack) {
    write_file(app::version_file, "1.0\n");
    offer({{"map.tuf", test::PackageBuilder("MAP4170", "3.2")}});
    EXPECT_TRUE(shows_text(x + 150, y + 35, "???"));
    app::key_handler(3);
    EXPECT_EQ(read_file(app::version_file), "1.0\n3.2\n???");
}

TEST_F(Dialog, VersionTextLongerThanItsSlotDoesNotShiftTheOthers) {
    write_file(app::version_file, "1.0.0.0.0.0.0.0.0.0\n3.1\n7");
    offer({{"map.tuf", test::PackageBuilder("MAP4170", "3.2")}});
    app::key_handler(3);
    EXPECT_EQ(read_file(app::version_file), "1.0.0.0.0.0.0.0\n3.2\n7");
}

// ---- the keys ----

TEST_F(Dialog, KeyOneMovesTheFocusToNoAndBack) {
    offer({{"program.tuf", program()}});
    app::key_handler(1);
    EXPECT_EQ(app::yes_focus, 0);
    EXPECT_TRUE(shows(x + 75, y + 100, yes0));
    EXPECT_TRUE(shows(x + 160, y + 100, no1));
    app::key_handler(1);
    EXPECT_EQ(app::yes_focus, 1);
    EXPECT_TRUE(shows(x + 75, y + 100, yes1));
    EXPECT_TRUE(shows(x + 160, y + 100, no0));
    EXPECT_EQ(beeps(), 2);
}

TEST_F(Dialog, KeyTwoDoesExactlyWhatKeyOneDoes) {
    offer({{"program.tuf", program()}});
    app::key_handler(2);
    EXPECT_EQ(app::yes_focus, 0);
    EXPECT_TRUE(shows(x + 75, y + 100, yes0));
    EXPECT_TRUE(shows(x + 160, y + 100, no1));
    app::key_handler(2);
    EXPECT_EQ(app::yes_focus, 1);
    EXPECT_TRUE(shows(x + 75, y + 100, yes1));
    EXPECT_EQ(beeps(), 2);
}

TEST_F(Dialog, PowerKeyAndCodesOutOfRangeDoNothingDuringTheDialog) {
    offer({{"program.tuf", program()}});
    for (int code : {4, 0, -1, 5}) app::key_handler(code);
    EXPECT_EQ(beeps(), 0);
    EXPECT_EQ(app::yes_focus, 1);
    EXPECT_EQ(app::num_file, 1);
    EXPECT_TRUE(shows(x + 75, y + 100, yes1));
}

TEST_F(Dialog, KeysOnRealSentencesReachTheHandler) {
    offer({{"program.tuf", program()}});
    InputSetHandler(counting_key_handler);
    sim::KeyController keys(controller->peer_fd());
    std::unique_lock<std::mutex> lock(handled_mutex);
    const int before = handled;
    ASSERT_TRUE(keys.press(2));
    ASSERT_TRUE(handled_changed.wait_for(lock, std::chrono::seconds(20), [&] { return handled > before; }));
    EXPECT_EQ(beeps(), 1);
    EXPECT_TRUE(shows(x + 75, y + 100, yes0));
    EXPECT_TRUE(shows(x + 160, y + 100, no1));
}

// ---- answering ----

TEST_F(Dialog, YesAppliesThePackageAndRecordsTheNewVersion) {
    write_file(app::version_file, "1.0\n3.1\n7");
    offer({{"program.tuf", program("2.0")}});
    app::key_handler(3);
    EXPECT_EQ(read_file("/opt/program.bin"), "program 2.0");
    EXPECT_EQ(read_file("/opt/command.txt"), "command\n");
    EXPECT_EQ(read_file(app::version_file), "2.0\n3.1\n7");
    EXPECT_FALSE(fs::exists(std::string(app::version_file) + ".tmp"));
    EXPECT_EQ(app::is_loop, 1);
    EXPECT_EQ(sleeps.load(), 1);
    EXPECT_EQ(last_sleep.load(), 5u);
    EXPECT_EQ(beeps(), 2);  // the key, then the success
    EXPECT_EQ(app::num_file, 0);
    EXPECT_EQ(stop_flag(), 1);
    EXPECT_EQ(app::pstate, 0);
}

TEST_F(Dialog, SelectOnNoSkipsWithoutScriptExtractionOrVersionFile) {
    write_file(app::version_file, "1.0\n3.1\n7");
    write_file("first.sh", "echo ran >> /tmp/first.log\n");
    offer({{"program.tuf", program("2.0")}});
    app::key_handler(1);
    app::key_handler(3);
    EXPECT_FALSE(fs::exists("/opt/program.bin"));
    EXPECT_FALSE(fs::exists("/tmp/first.log"));
    EXPECT_EQ(read_file(app::version_file), "1.0\n3.1\n7");
    EXPECT_EQ(app::is_loop, 0);
    EXPECT_EQ(app::yes_first, 0);
    EXPECT_EQ(sleeps.load(), 0);
    EXPECT_EQ(stop_flag(), 1);
}

TEST_F(Dialog, FirstScriptRunsOnceBeforeTheFirstExtractionForTwoConfirmedPackages) {
    write_file("first.sh", "if [ -e /opt/program.bin ]; then echo late; else echo early; fi >> /tmp/first.log\n");
    app::have_sh = 0;
    offer({{"program.tuf", program("2.0")},
           {"map.tuf", test::PackageBuilder("MAP4170", "3.2").dir("/opt").file("/opt/map.bin", "map")}});
    ::testing::internal::CaptureStdout();
    app::key_handler(3);
    EXPECT_TRUE(shows(x, y, dlg2, 30));  // the second package is offered at once
    app::key_handler(3);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_file("/tmp/first.log"), "early\n");
    EXPECT_EQ(read_file("/opt/map.bin"), "map");
    EXPECT_EQ(app::is_loop, 2);
    EXPECT_NE(out.find("TODO first script!!!\n<<<<<< : sh ./first.sh\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("TODO first script!!!"), out.rfind("TODO first script!!!"));
}

TEST_F(Dialog, FoundScriptWithSpacesRunsQuotedAndShowsTheCommandAsRun) {
    write_file("my first.sh", "echo quoted >> /tmp/first.log\n");
    write_file("my", "echo wrong >> /tmp/first.log\n");
    app::have_sh = 1;
    std::snprintf(app::filesh, sizeof app::filesh, "%s", "my first.sh");
    offer({{"program.tuf", program()}});
    ::testing::internal::CaptureStdout();
    app::key_handler(3);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(">>>>>> : sh ./'my first.sh'\n"), std::string::npos) << out;
    EXPECT_EQ(read_file("/tmp/first.log"), "quoted\n");
}

TEST_F(Dialog, ExtractionFailureDrawsMsg1AndLeavesTheVersionFile) {
    write_file(app::version_file, "1.0\n3.1\n7");
    offer({{"broken.tuf", test::PackageBuilder("QX4170", "2.0").file("/missing/dir/file", "x")}});
    app::key_handler(3);
    EXPECT_TRUE(shows(x, y, msg1));
    EXPECT_EQ(read_file(app::version_file), "1.0\n3.1\n7");
    EXPECT_EQ(app::is_loop, 0);
    EXPECT_EQ(beeps(), 1);  // the key only
    EXPECT_EQ(stop_flag(), 1);
}

TEST_F(Dialog, AfterAFailureTheNextDialogReplacesTheMessage) {
    offer({{"broken.tuf", test::PackageBuilder("QX4170", "2.0").file("/missing/dir/file", "x")},
           {"map.tuf", test::PackageBuilder("MAP4170", "3.2")}});
    app::key_handler(3);
    EXPECT_TRUE(shows(x, y, dlg2, 30));
    EXPECT_TRUE(shows(x + 75, y + 100, yes1));
    EXPECT_EQ(app::next, 1);
    EXPECT_EQ(app::num_file, 1);
    EXPECT_EQ(stop_flag(), 0);
}

TEST_F(Dialog, UnknownIdIsSkippedWithALineAndTheNextPackageOffered) {
    ::testing::internal::CaptureStdout();
    offer({{"odd.tuf", test::PackageBuilder("OTHER", "9")}, {"program.tuf", program("2.0")}});
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "PATH odd.tuf\nSkip : unknown package ID \"OTHER\"\nPATH program.tuf\n");
    EXPECT_EQ(app::next, 1);
    EXPECT_EQ(app::num_file, 1);
    EXPECT_STREQ(app::tufpath, "program.tuf");
    EXPECT_TRUE(shows(x, y, dlg1, 30));
    EXPECT_EQ(stop_flag(), 0);
}

TEST_F(Dialog, UnknownIdAsTheLastPackageEndsTheRun) {
    offer({{"odd.tuf", test::PackageBuilder("QX41700", "9")}});
    EXPECT_EQ(app::num_file, 0);
    EXPECT_EQ(stop_flag(), 1);
    EXPECT_FALSE(shows(x, y, dlg1, 30));
}

TEST_F(Dialog, AnsweringAfterTheLastPackageOnlyBeeps) {
    offer({{"program.tuf", program()}});
    app::key_handler(1);
    app::key_handler(3);
    const int before = beeps();
    app::key_handler(1);
    app::key_handler(3);
    EXPECT_EQ(beeps(), before + 2);
    EXPECT_EQ(app::num_file, 0);
    EXPECT_EQ(app::yes_focus, 0);
}

TEST_F(Dialog, PowerHandlerSwitchesOffOnlyOnThePowerKey) {
    const std::size_t before = controller->writes().size();
    for (int code : {1, 2, 3}) app::key_handler_power(code);
    EXPECT_EQ(controller->writes().size(), before);
    app::key_handler_power(4);
    std::string written;
    auto writes = controller->writes();
    for (std::size_t i = before; i < writes.size(); ++i) written += writes[i];
    EXPECT_EQ(written, std::string("$SNB3\r\n\0$SLB255\r\n\0$OFF\r\n\0", 25));
}

// ---- the card ----

TEST_F(Dialog, CardScanOffersTheFirstTenPackagesAndSkipsOtherFiles) {
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(program(std::to_string(i)).write("p" + std::to_string(i) + ".tuf"));
    write_file("readme.txt", "not a package");
    EXPECT_EQ(app::do_all(app::card_dir), 0);
    EXPECT_EQ(app::num_file, 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(std::string(app::files[i]).find('/'), std::string::npos);
        EXPECT_EQ(std::string(app::headers[i].id), "QX4170");
    }
}

// ---- signed packages: the trust key is on the device ----

class SignedDialog : public Dialog {
protected:
    void SetUp() override {
        Dialog::SetUp();
        fs::remove_all("/keys");
        fs::create_directories("/keys");
        key = std::make_unique<tuf_test::MinisignKey>("/keys");
        fs::copy_file(key->public_key(), app::trust_key_file);
        app::trust_init(app::trust_key_file);
    }

    // The package written to the card and signed; `damage` then changes it.
    void signed_package(const std::string& name, const test::PackageBuilder& package,
                        void (*damage)(const std::string&) = nullptr) {
        ASSERT_TRUE(package.write(name));
        key->sign(name);
        if (damage != nullptr) damage(name);
    }

    // The byte before the last record and its 6 bytes of data: for a package whose file
    // before that one is compressed, the check value of its stream.
    static void flip_before_last_file(const std::string& name) {
        std::string bytes = read_file(name);
        char& last = bytes[bytes.size() - 151];
        last = static_cast<char>(last ^ 0x20);
        write_file(name, bytes);
    }
    static void remove_signature(const std::string& name) { fs::remove(name + ".minisig"); }

    std::unique_ptr<tuf_test::MinisignKey> key;
};

TEST_F(SignedDialog, SignedPackageAndSignedFirstScriptAreApplied) {
    write_file("first.sh", "echo ran >> /tmp/first.log\n");
    key->sign("first.sh");
    signed_package("program.tuf", program("2.0"));
    offer_as_on_card({"program.tuf"});
    app::key_handler(3);
    EXPECT_EQ(read_file("/tmp/first.log"), "ran\n");
    EXPECT_EQ(read_file("/opt/program.bin"), "program 2.0");
    EXPECT_EQ(app::is_loop, 1);
}

ssize_t full_at_second(int fd, const void* data, std::size_t count) {
    if (count >= 6 && std::memcmp(data, "second", 6) == 0) {
        errno = ENOSPC;
        return -1;
    }
    return ::write(fd, data, count);
}

// The package is read once, after the first script, its files staged beside their targets.
// Whatever fails leaves the old files and no staged one: a package replaced on the card since
// its dialog (here by the first script: unsigned with the same header, or signed with another
// version), a damaged one (its first file's stream, which stops the walk; the rest is still
// read for the signature's line), a full disk.
TEST_F(SignedDialog, FailedSignedApplyLeavesTheOldFilesAndNothingStaged) {
    write_file("first.sh", "cp /spare/program.tuf* ./ 2>/dev/null\n");
    key->sign("first.sh");
    const std::string mismatch = "Error : signature of \"program.tuf\" : the file does not match its signature";
    const struct { const char* replacement; bool damaged, disk_full; std::string line; } failures[] = {
        {"2.0", false, false, mismatch},
        {"2.1", false, false, "Error : package \"program.tuf\" is not the one offered (ID \"QX4170\", version \"2.1\")"},
        {nullptr, true, false, mismatch},
        {nullptr, false, true, "+ Create file : (03) /opt/second.bin"}};
    for (const auto& c : failures) {
        SCOPED_TRACE(c.line);
        fs::remove_all("/spare");
        fs::create_directories("/spare");
        fs::create_directories("/opt");
        write_file("/opt/program.bin", "old");
        write_file(app::version_file, "1.0\n3.1\n7");
        app::yes_first = 0;
        if (c.replacement != nullptr) {
            ASSERT_TRUE(test::PackageBuilder("QX4170", c.replacement, "touch /opt/replaced").dir("/opt")
                            .file("/opt/program.bin", "replaced").write("/spare/program.tuf"));
            if (c.replacement != std::string("2.0")) key->sign("/spare/program.tuf");
        }
        signed_package("program.tuf", program("2.0").file("/opt/second.bin", "second"),
                       c.damaged ? flip_before_last_file : nullptr);
        offer_as_on_card({"program.tuf"});
        tuf::set_write_call_for_testing(c.disk_full ? full_at_second : nullptr);
        ::testing::internal::CaptureStdout();
        app::key_handler(3);
        const std::string out = ::testing::internal::GetCapturedStdout();
        tuf::set_write_call_for_testing(nullptr);
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_EQ(files_under("/opt"), std::set<std::string>{"/opt/program.bin"});
        EXPECT_EQ(read_file("/opt/program.bin"), "old");
        EXPECT_EQ(read_file(app::version_file), "1.0\n3.1\n7");
        EXPECT_TRUE(shows(x, y, msg1));
        EXPECT_EQ(app::is_loop, 0);
    }
}

// The script runs from a private copy of the bytes checked: changed on the card between
// its check and its run, it still runs as signed, and the copy is gone afterwards.
TEST_F(SignedDialog, FirstScriptRunsAsCheckedWhateverTheCardHoldsWhenItRuns) {
    write_file("first.sh", "echo signed >> /tmp/first.log\n");
    key->sign("first.sh");
    signed_package("program.tuf", program("2.0"));
    offer_as_on_card({"program.tuf"});
    rewrite_first_script = true;
    app::key_handler(3);
    EXPECT_FALSE(rewrite_first_script.load());
    EXPECT_EQ(read_file("/tmp/first.log"), "signed\n");
    EXPECT_EQ(files_under("/tmp"), std::set<std::string>{"/tmp/first.log"});
}

TEST_F(SignedDialog, RefusedPackageLeavesTheFirstScriptToTheNextConfirmedPackage) {
    write_file("first.sh", "if [ -e /opt/map.bin ]; then echo late; else echo early; fi >> /tmp/first.log\n");
    key->sign("first.sh");
    signed_package("program.tuf", program("2.0"), remove_signature);
    signed_package("map.tuf", test::PackageBuilder("MAP4170", "3.2").dir("/opt").file("/opt/map.bin", "map"));
    offer_as_on_card({"program.tuf", "map.tuf"});
    app::key_handler(3);
    EXPECT_TRUE(shows(x, y, dlg2, 30));
    app::key_handler(3);
    EXPECT_EQ(read_file("/tmp/first.log"), "early\n");
    EXPECT_EQ(read_file("/opt/map.bin"), "map");
    EXPECT_FALSE(fs::exists("/opt/program.bin"));
    EXPECT_EQ(app::is_loop, 1);
}

TEST_F(SignedDialog, UnsignedFirstScriptIsSkippedAndThePackageStillApplied) {
    write_file("first.sh", "echo ran >> /tmp/first.log\n");
    write_file("other.sh", "echo other >> /tmp/first.log\n");
    tuf_test::MinisignKey("/keys", "other").sign("other.sh");
    app::have_sh = 1;
    for (const char* script : {"first.sh", "other.sh"}) {
        std::snprintf(app::filesh, sizeof app::filesh, "%s", script);
        app::yes_first = 0;
        signed_package("program.tuf", program());
        offer_as_on_card({"program.tuf"});
        ::testing::internal::CaptureStdout();
        app::key_handler(3);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.rfind("TODO first script!!!\nSkip : first script \"" + std::string(script) + "\" is not signed\n"
                            "TUF File Info: program.tuf\n",
                            0),
                  0u)
            << out;
        EXPECT_FALSE(fs::exists("/tmp/first.log"));
        EXPECT_EQ(read_file("/opt/program.bin"), "program 2.0");
    }
}

TEST_F(SignedDialog, CardSearchOffersOnlyPackagesSignedWithTheKey) {
    signed_package("signed.tuf", program());
    ASSERT_TRUE(program().write("unsigned.tuf"));
    ASSERT_TRUE(program().write("other.tuf"));
    tuf_test::MinisignKey("/keys", "other").sign("other.tuf");
    ASSERT_TRUE(program().write("legacy.tuf"));
    tuf_test::minisign({"-S", "-l", "-s", "/keys/key.sec", "-m", "legacy.tuf"});
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(app::do_all(app::card_dir), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(app::num_file, 1);
    EXPECT_STREQ(app::files[0], "signed.tuf");
    for (const char* refused : {"unsigned.tuf", "other.tuf", "legacy.tuf"})
        EXPECT_NE(out.find("PATH " + std::string(refused) + "\nSkip : no valid signature for \"" + refused + "\"\n"),
                  std::string::npos)
            << out;
}

TEST_F(SignedDialog, MalformedKeyTrustsNothing) {
    signed_package("signed.tuf", program());
    write_file(app::trust_key_file, "untrusted comment: minisign public key\nnot a key\n");
    ::testing::internal::CaptureStdout();
    app::trust_init(app::trust_key_file);
    EXPECT_EQ(app::do_all(app::card_dir), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(app::num_file, 0);
    EXPECT_EQ(out, "Error : trust key \"/cmap/upgrade.pub\" is not a minisign public key : no package is trusted\n"
                   "PATH signed.tuf\nSkip : no valid signature for \"signed.tuf\"\n");
}

TEST_F(SignedDialog, KeyLinkThatLeadsNowhereTrustsNothing) {
    fs::create_symlink("/keys/unmounted.pub", "/cmap/dangling.pub");
    ::testing::internal::CaptureStdout();
    app::trust_init("/cmap/dangling.pub");
    EXPECT_FALSE(app::trust_offer("program.tuf"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout().rfind(
                  "Error : trust key \"/cmap/dangling.pub\" cannot be read (No such file or directory)", 0), 0u);
}

TEST_F(SignedDialog, NoFirstScriptAtAllIsPassedOverWithoutALine) {
    signed_package("program.tuf", program());
    offer_as_on_card({"program.tuf"});
    ::testing::internal::CaptureStdout();
    app::key_handler(3);
    EXPECT_EQ(::testing::internal::GetCapturedStdout().find("Skip"), std::string::npos);
}

TEST_F(SignedDialog, KeyThatCannotBeReadTrustsNothingRatherThanEverything) {
    signed_package("signed.tuf", program());
    fs::remove(app::trust_key_file);
    fs::create_directory(app::trust_key_file);
    ::testing::internal::CaptureStdout();
    app::trust_init(app::trust_key_file);
    EXPECT_EQ(app::do_all(app::card_dir), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    fs::remove(app::trust_key_file);
    EXPECT_EQ(app::num_file, 0);
    EXPECT_EQ(out.rfind("Error : trust key \"/cmap/upgrade.pub\" cannot be read (Is a directory) : no package is "
                        "trusted\n",
                        0),
              0u)
        << out;
}

}  // namespace

extern "C" int __wrap_system(const char* command) {
    if (rewrite_first_script.exchange(false)) write_file("first.sh", "echo changed >> /tmp/first.log\n");
    return __real_system(command);
}

extern "C" unsigned __wrap_sleep(unsigned seconds) {
    ++sleeps;
    last_sleep = seconds;
    return 0;
}
