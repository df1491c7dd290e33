// The version record, the first-script command line, the card scans on a folder
// that cannot be opened, the signal handler's fault path and the program's
// start-up failures. Nothing here needs the device's fixed paths.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/upgqx4170.h"
#include "package_builder.h"
#include "sim/fake_controller.h"
#include "sim/fake_framebuffer.h"
#include "tdpool/fault_injection.h"

namespace fs = std::filesystem;

bool no_decompressor = false;  // armed: no memory for the pictures' decompressor (linked with --wrap)
extern "C" void* __real_libdeflate_alloc_decompressor();
extern "C" void* __wrap_libdeflate_alloc_decompressor() { return no_decompressor ? nullptr : __real_libdeflate_alloc_decompressor(); }

namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "app-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Versions {
    char pro[16], map[16], user[16];
    int result;
};

Versions read_versions(const std::string& path) {
    Versions v{};
    v.result = app::get_ver(path.c_str(), v.pro, v.map, v.user, 16);
    return v;
}

// ---- reading ----

TEST(VersionFileRead, GivesTheThreeLinesWithoutTheirNewlines) {
    TempDir dir;
    write_file(dir / "version.txt", "1.0\n3.1\n7");
    Versions v = read_versions(dir / "version.txt");
    EXPECT_EQ(v.result, 0);
    EXPECT_STREQ(v.pro, "1.0");
    EXPECT_STREQ(v.map, "3.1");
    EXPECT_STREQ(v.user, "7");
}

TEST(VersionFileRead, RemovesTheNewlineAfterTheThirdLineToo) {
    TempDir dir;
    write_file(dir / "version.txt", "a\nb\nc\n");
    EXPECT_STREQ(read_versions(dir / "version.txt").user, "c");
}

TEST(VersionFileRead, MissingFileGivesThreeBangsAndResultOne) {
    TempDir dir;
    Versions v = read_versions(dir / "absent.txt");
    EXPECT_EQ(v.result, 1);
    EXPECT_STREQ(v.pro, "!!!");
    EXPECT_STREQ(v.map, "!!!");
    EXPECT_STREQ(v.user, "!!!");
}

TEST(VersionFileRead, MissingLinesGiveQuestionMarks) {
    TempDir dir;
    write_file(dir / "version.txt", "1.0\n");
    Versions v = read_versions(dir / "version.txt");
    EXPECT_EQ(v.result, 0);
    EXPECT_STREQ(v.pro, "1.0");
    EXPECT_STREQ(v.map, "???");
    EXPECT_STREQ(v.user, "???");
}

TEST(VersionFileRead, LongLineKeepsItsFirst15CharactersAndDropsTheRest) {
    TempDir dir;
    write_file(dir / "version.txt", "0123456789ABCDEFGHIJ\n3.1\n7");
    Versions v = read_versions(dir / "version.txt");
    EXPECT_STREQ(v.pro, "0123456789ABCDE");
    EXPECT_STREQ(v.map, "3.1");
    EXPECT_STREQ(v.user, "7");
}

TEST(VersionFileRead, LineOfExactly15CharactersIsKeptWhole) {
    TempDir dir;
    write_file(dir / "version.txt", "0123456789ABCDE\nmap\nuser");
    Versions v = read_versions(dir / "version.txt");
    EXPECT_STREQ(v.pro, "0123456789ABCDE");
    EXPECT_STREQ(v.map, "map");
    EXPECT_STREQ(v.user, "user");
}

TEST(VersionFileRead, LongLastLineIsCutWithoutReadingPastTheSlot) {
    TempDir dir;
    write_file(dir / "version.txt", "1\n2\n0123456789ABCDEFGHIJKLMNOP");
    EXPECT_STREQ(read_versions(dir / "version.txt").user, "0123456789ABCDE");
}

TEST(VersionFileRead, NulByteEndsTheValueButNotTheLine) {
    TempDir dir;
    write_file(dir / "version.txt", std::string("1.0\0x\n3.1\n7", 11));
    Versions v = read_versions(dir / "version.txt");
    EXPECT_STREQ(v.pro, "1.0");
    EXPECT_STREQ(v.map, "3.1");
    EXPECT_STREQ(v.user, "7");
}

TEST(VersionFileRead, AFileThatNeverEndsIsReadOnlyAsFarAsABound) {
    TempDir dir;
    fs::create_symlink("/dev/zero", dir / "version.txt");
    ::alarm(60);  // a reader that does not stop fails here instead of hanging
    EXPECT_STREQ(read_versions(dir / "version.txt").user, "???");
    ::alarm(0);
}

// ---- writing ----

// Each value holds one line: a line break in a package's version would shift the
// values after it.
TEST(VersionFileWrite, WritesTheThreeValuesEachCutAtItsFirstLineBreakNoNewlineAfterTheLast) {
    struct Case {
        const char *pro, *map, *user;
    };
    for (const Case& values : {Case{"2.0", "3.1", "7"}, Case{"2.0\nZZ", "3.1\r\n", "7\rx"}}) {
        TempDir dir;
        ASSERT_EQ(app::write_new_version((dir / "version.txt").c_str(), values.pro, values.map, values.user), 0);
        EXPECT_EQ(read_file(dir / "version.txt"), "2.0\n3.1\n7") << values.pro;
    }
}

TEST(VersionFileWrite, WhatIsWrittenReadsBackUnchanged) {
    TempDir dir;
    ASSERT_EQ(app::write_new_version((dir / "version.txt").c_str(), "2.0", "!!!", "???"), 0);
    Versions v = read_versions(dir / "version.txt");
    EXPECT_STREQ(v.pro, "2.0");
    EXPECT_STREQ(v.map, "!!!");
    EXPECT_STREQ(v.user, "???");
}

TEST(VersionFileWrite, ReplacesTheFileByRenameSoTheOldRecordIsNeverTorn) {
    TempDir dir;
    write_file(dir / "version.txt", "1.0\n3.1\n7");
    // A second name for the old file: a write in place would change it too.
    ASSERT_EQ(::link((dir / "version.txt").c_str(), (dir / "old.txt").c_str()), 0);
    ASSERT_EQ(app::write_new_version((dir / "version.txt").c_str(), "2.0", "3.1", "7"), 0);
    EXPECT_EQ(read_file(dir / "old.txt"), "1.0\n3.1\n7");
    EXPECT_EQ(read_file(dir / "version.txt"), "2.0\n3.1\n7");
    EXPECT_FALSE(fs::exists(dir / "version.txt.tmp"));
}

TEST(VersionFileWrite, KeepsTheModeOfTheOldFileAndUpdatesALinkAtItsTarget) {
    TempDir dir;
    fs::create_directory(dir / "data");
    write_file(dir / "data/version.txt", "1.0\n3.1\n7");
    ASSERT_EQ(::chmod((dir / "data/version.txt").c_str(), 0640), 0);
    fs::create_symlink("data/version.txt", dir / "version.txt");
    ASSERT_EQ(app::write_new_version((dir / "version.txt").c_str(), "2.0", "3.1", "7"), 0);
    EXPECT_TRUE(fs::is_symlink(dir / "version.txt"));
    EXPECT_EQ(read_file(dir / "data/version.txt"), "2.0\n3.1\n7");
    struct stat info {};
    ASSERT_EQ(::stat((dir / "data/version.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(VersionFileWrite, FailsWithOneWhenTheFolderIsMissing) {
    TempDir dir;
    EXPECT_EQ(app::write_new_version((dir / "missing/version.txt").c_str(), "2.0", "3.1", "7"), 1);
}

// Written in place where the temporary cannot be made, or where the link leads to
// something other than a regular file (a pipe).
TEST(VersionFileWrite, IsWrittenInPlaceWhenTheTemporaryCannotBeMade) {
    TempDir dir;
    write_file(dir / "version.txt", "1.0\n3.1\n7");
    fs::create_directory(dir / "version.txt.tmp");
    EXPECT_EQ(app::write_new_version((dir / "version.txt").c_str(), "2.0", "3.1", "7"), 0);
    EXPECT_EQ(read_file(dir / "version.txt"), "2.0\n3.1\n7");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    fs::create_symlink("pipe", dir / "piped.txt");
    char got[10] = {};
    const int reader = ::open((dir / "pipe").c_str(), O_RDWR | O_NONBLOCK);
    EXPECT_EQ(app::write_new_version((dir / "piped.txt").c_str(), "2.0", "3.1", "7"), 0);
    EXPECT_EQ(::read(reader, got, 9) == 9 ? std::string(got) : "", "2.0\n3.1\n7");
    ::close(reader);
    EXPECT_EQ(app::write_new_version((dir / "piped.txt").c_str(), "2.0", "3.1", "7"), 1);  // nobody reads: not waited on
}

// ---- the first script's command line ----

std::string command_for(const char* name) {
    char command[app::sys_cmd_size];
    app::first_script_command(name, command, sizeof command);
    return command;
}

TEST(FirstScriptCommand, PlainNamesRunAsTheyStand) {
    EXPECT_EQ(command_for("first.sh"), "sh ./first.sh");
    EXPECT_EQ(command_for("A-b_c+1.sh"), "sh ./A-b_c+1.sh");
}

TEST(FirstScriptCommand, OtherNamesAreSingleQuoted) {
    EXPECT_EQ(command_for("my script.sh"), "sh ./'my script.sh'");
    EXPECT_EQ(command_for("a;b.sh"), "sh ./'a;b.sh'");
    EXPECT_EQ(command_for("it's.sh"), "sh ./'it'\\''s.sh'");
}

TEST(FirstScriptCommand, LongestNameOfQuotesStillFits) {
    std::string name(app::path_size - 1, '\'');
    std::string command = command_for(name.c_str());
    EXPECT_EQ(command.size(), 5 + 2 + 4 * name.size());
}

TEST(FirstScriptCommand, QuotedNameRunsThatFileAndNothingElse) {
    TempDir dir;
    const std::string name = "my $(touch injected) ;touch also; it's.sh";
    write_file(dir / name, "echo ran > ran.txt\n");
    write_file(dir / "my", "echo wrong > wrong.txt\n");
    std::string command = "cd '" + dir.path().string() + "' && " + command_for(name.c_str());
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(fs::exists(dir / "ran.txt"));
    EXPECT_FALSE(fs::exists(dir / "wrong.txt"));
    EXPECT_FALSE(fs::exists(dir / "injected"));
    EXPECT_FALSE(fs::exists(dir / "also"));
}

// ---- the card scans ----

TEST(CardScan, FirstScriptIsTheFirstNameEndingInDotSh) {
    TempDir dir;
    write_file(dir / "notes.txt", "");
    write_file(dir / "sh", "");
    write_file(dir / "go.sh", "");
    app::have_sh = 0;
    EXPECT_EQ(app::get_first_sh(dir.path().c_str()), 1);
    EXPECT_STREQ(app::filesh, "go.sh");
    EXPECT_EQ(app::have_sh, 1);
}

TEST(CardScan, NoScriptGivesZero) {
    TempDir dir;
    write_file(dir / "sh", "");
    write_file(dir / "x.s", "");
    app::have_sh = 0;
    EXPECT_EQ(app::get_first_sh(dir.path().c_str()), 0);
    EXPECT_EQ(app::have_sh, 0);
}

TEST(CardScan, UnopenableCardGivesOneErrorLineAndNothingOffered) {
    TempDir dir;
    const std::string missing = dir / "no-card";
    app::num_file = 0;
    app::have_sh = 0;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(app::get_first_sh(missing.c_str()), 0);
    EXPECT_EQ(app::do_all(missing.c_str()), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Error : opendir(" + missing + ") : No such file or directory\n");
    EXPECT_EQ(app::num_file, 0);
    EXPECT_EQ(app::have_sh, 0);
}

// ---- signals ----

TEST(SignalHandler, OtherSignalsPrintTheirLineAndRequestTheStop) {
    app::install_signal_handlers();
    pthread_mutex_lock(&app::stop_mutex);
    app::stop = 0;
    pthread_mutex_unlock(&app::stop_mutex);

    ::testing::internal::CaptureStdout();
    raise(SIGQUIT);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "SIG CAUGHT (ID 3 - Quit)\n");

    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 20;
    pthread_mutex_lock(&app::stop_mutex);
    while (app::stop == 0 && pthread_cond_timedwait(&app::stop_cond, &app::stop_mutex, &deadline) == 0) {
    }
    const int stopped = app::stop;
    pthread_mutex_unlock(&app::stop_mutex);
    EXPECT_EQ(stopped, 1);
}

class FaultSignal : public ::testing::TestWithParam<int> {};

TEST_P(FaultSignal, PrintsItsLineThenEndsTheProcessWithTheSignal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int id = GetParam();
    const std::string line = std::string("SIG CAUGHT \\(ID ") + std::to_string(id) + " - " + strsignal(id) + "\\)";
    EXPECT_EXIT(
        {
            ::dup2(STDERR_FILENO, STDOUT_FILENO);  // the death test matches standard error
            app::install_signal_handlers();
            raise(id);
            std::exit(0);  // reached only if the handler returned into the faulting code
        },
        ::testing::KilledBySignal(id), line);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultSignal, ::testing::Values(SIGSEGV, SIGBUS, SIGFPE, SIGILL),
                         [](const ::testing::TestParamInfo<int>& param_info) { return std::string(sigabbrev_np(param_info.param)); });

// ---- start-up ----

int run_program(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return app::main(static_cast<int>(words.size()), argv.data());
}

enum class StartFailure { input, gui, proc, pictures };

class StartUp : public ::testing::TestWithParam<StartFailure> {};

// Each start-up failure ends the process at once with status 1 and its line.
TEST_P(StartUp, FailureEndsWithItsLineAndStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const StartFailure failure = GetParam();
    const char* line = failure == StartFailure::input ? "InputInit : FAIL" : failure == StartFailure::gui ? "GuiInit : FAIL" : "ProcInit : FAIL";
    if (failure == StartFailure::pictures) line = "Error : the built-in pictures cannot be unpacked\nGuiInit : FAIL";
    EXPECT_EXIT(
        {
            ::dup2(STDERR_FILENO, STDOUT_FILENO);  // the death test matches standard error
            sim::FakeFramebuffer framebuffer;
            sim::FakeController controller;
            if (failure == StartFailure::input) controller.fail_open(1, ENOENT);
            if (failure == StartFailure::gui) framebuffer.fail(sim::FramebufferCall::open);
            no_decompressor = failure == StartFailure::pictures;
            // The spinner's is the fifth thread: the signal thread, the two pool
            // workers and the controller reader come first.
            if (failure == StartFailure::proc) fault::fail_pthread_create(5, EAGAIN);
            run_program({"upgqx4170", "a", "b"});
            std::_Exit(100);
        },
        ::testing::ExitedWithCode(1), line);
}

INSTANTIATE_TEST_SUITE_P(Failures, StartUp,
                         ::testing::Values(StartFailure::input, StartFailure::gui, StartFailure::proc,
                                           StartFailure::pictures),
                         [](const ::testing::TestParamInfo<StartFailure>& param_info) {
                             return std::string(param_info.param == StartFailure::input ? "Input"
                                                : param_info.param == StartFailure::gui ? "Gui"
                                                : param_info.param == StartFailure::proc ? "Proc" : "Pictures");
                         });

// A stop during the start-up (a signal while the card is searched) ends the run
// with nothing offered, and its end waits for no key.
TEST(StartUpStop, AStopBeforeTheFirstOfferEndsTheRunWithNothingOffered) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    ASSERT_TRUE(test::PackageBuilder("QX4170", "2.0").write(dir / "program.tuf"));
    EXPECT_EXIT(
        {
            ::alarm(60);  // an offered package would wait for a key: fail instead of hanging
            sim::FakeFramebuffer framebuffer;
            sim::FakeController controller;
            app::request_stop();
            std::_Exit(run_program({"upgqx4170", dir / "program.tuf"}));
        },
        ::testing::ExitedWithCode(0), "");
}

// Standard output goes out line by line: what was printed before a fault is in
// the log, before the signal's own line.
TEST(StartUpOutput, LinesPrintedBeforeAFaultAreNotLost) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The death test runs this test again in a child process: the log's name is
    // made from the test process's id, which the child knows as its parent's.
    const auto log_of = [](pid_t test_process) {
        return (fs::temp_directory_path() / ("app-startup-log-" + std::to_string(test_process))).string();
    };
    const std::string log = log_of(::getpid());
    EXPECT_EXIT(
        {
            int fd = ::open(log_of(::getppid()).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, STDOUT_FILENO);
            {
                sim::FakeFramebuffer framebuffer;
                sim::FakeController controller;
                run_program({"upgqx4170", "a", "b"});
            }
            app::signal_handler(SIGSEGV);
            std::_Exit(100);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    const std::string out = read_file(log);
    ::unlink(log.c_str());
    const std::string signal_line = "SIG CAUGHT (ID 11 - Segmentation fault)\n";
    ASSERT_NE(out.find("Usage : upgqx4170 FILE\n"), std::string::npos) << out;
    EXPECT_EQ(out.find(signal_line), out.size() - signal_line.size()) << out;
}

}  // namespace
