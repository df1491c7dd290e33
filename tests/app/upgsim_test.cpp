// The whole device program through upgsim: each test gives it a temporary root
// file system and card, keys or signals, and checks what the program printed,
// what landed in the root file system, the pictures and the exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../tuf/minisign_key.h"
#include "gui/t4170img.h"
#include "package_builder.h"
#include "upgsim_runner.h"
#include "sim/screenshot.h"
#include "upg_version.h"

// Last: Xlib's macros (None, Bool, Status) would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace fs = std::filesystem;

namespace {

// upgsim with the test's arguments; a sanitizer report in the simulated program
// fails the test even when the run itself ended well (power-off leaves with _exit).
class Upgsim : public test::Upgsim {
public:
    explicit Upgsim(const std::vector<std::string>& arguments, const std::string& path_env = "",
                    const std::vector<std::string>& environment = {}, int input = -1)
        : test::Upgsim(UPGSIM_PATH, arguments, path_env, environment, input) {}

    int finish() {
        int status = test::Upgsim::finish();
        for (const char* report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                   "runtime error:"})
            EXPECT_EQ(err().find(report), std::string::npos) << err();
        return status;
    }
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// True when the picture holds `image` with its top-left corner at (x, y).
bool picture_shows(const sim::Rgb565Image& picture, int x, int y, const IMAGE_A555& image) {
    if (GuiLoadPictures() != 0) return false;  // unpacked by GuiInit, which this process does not call
    for (int row = 0; row < image.height; ++row)
        for (int column = 0; column < image.width; ++column) {
            const std::uint8_t* p = image.data + row * image.pitch + column * 2;
            if (picture.at(x + column, y + row) != static_cast<std::uint16_t>(p[0] | (p[1] << 8))) return false;
        }
    return true;
}

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

// A pseudo-terminal: upgsim reads the keys typed on it.
struct Terminal {
    Terminal() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            input = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Terminal() {
        ::close(input);
        ::close(master);
    }
    void type(const std::string& keys) const { EXPECT_EQ(::write(master, keys.data(), keys.size()), ssize_t(keys.size())); }
    int master = -1, input = -1;
};

// A virtual X display (Xvfb) for the window's tests.
class VirtualDisplay {
public:
    VirtualDisplay() {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            const std::string fd = std::to_string(ready[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1600x1200x24", "-nolisten", "tcp",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(ready[1]);
        char number[16] = {};
        pollfd wait{ready[0], POLLIN, 0};
        if (::poll(&wait, 1, 30000) == 1 && ::read(ready[0], number, sizeof number - 1) > 0)
            name_ = ":" + std::string(number, std::strcspn(number, "\n"));
        ::close(ready[0]);
    }
    ~VirtualDisplay() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& name() const { return name_; }  // empty: Xvfb did not start

private:
    pid_t pid_ = -1;
    std::string name_;
};

std::vector<Window> top_level_windows(Display* display) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    std::vector<Window> windows(children, children + count);
    if (children != nullptr) XFree(children);
    return windows;
}

// What the X server shows in the top-level window of the given size, as RGB565.
sim::Rgb565Image capture_window(Display* display, int width, int height) {
    sim::Rgb565Image picture;
    for (const Window window : top_level_windows(display)) {
        XWindowAttributes attributes;
        if (!picture.pixels.empty() || !XGetWindowAttributes(display, window, &attributes) ||
            attributes.map_state != IsViewable || attributes.width != width || attributes.height != height)
            continue;
        XImage* image = XGetImage(display, window, 0, 0, width, height, AllPlanes, ZPixmap);
        if (image == nullptr) continue;
        auto channel = [](unsigned long pixel, unsigned long mask) {
            return static_cast<std::uint8_t>((pixel & mask) / (mask & ~(mask << 1)));
        };
        picture.width = width;
        picture.height = height;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const unsigned long pixel = XGetPixel(image, x, y);
                picture.pixels.push_back(sim::rgb888_to_rgb565(channel(pixel, image->red_mask),
                                                               channel(pixel, image->green_mask),
                                                               channel(pixel, image->blue_mask)));
            }
        XDestroyImage(image);
    }
    return picture;
}

class Device : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "upgsim-e2e-XXXXXX").string();
        top_ = ::mkdtemp(pattern.data());
        rootfs_ = top_ / "rootfs";
        card_ = top_ / "card";
        screens_ = top_ / "screens";
        fs::create_directories(rootfs_ / "cmap");
        fs::create_directories(card_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(top_, ignored);
    }

    std::vector<std::string> arguments(const std::vector<std::string>& more = {}) const {
        std::vector<std::string> words = {"--rootfs", rootfs_.string(), "--card", card_.string(), "--screens",
                                          screens_.string(), "--fast"};
        words.insert(words.end(), more.begin(), more.end());
        return words;
    }

    std::vector<fs::path> screens() const {
        std::vector<fs::path> names;
        if (fs::exists(screens_))
            for (const auto& entry : fs::directory_iterator(screens_)) names.push_back(entry.path());
        std::sort(names.begin(), names.end());
        return names;
    }

    sim::Rgb565Image last_screen() const {
        auto names = screens();
        if (names.empty()) return {};
        auto picture = sim::read_png_rgb565(names.back().string());
        return picture ? *picture : sim::Rgb565Image{};
    }

    static test::PackageBuilder program(const std::string& version = "2.0") {
        return test::PackageBuilder("QX4170", version, "echo command ran > /opt/app/command.txt")
            .dir("/opt")
            .dir("/opt/app")
            .file("/opt/app/program.bin", std::string(5000, 'p'), true)
            .file("/opt/app/readme.txt", "stored as is");
    }

    fs::path top_, rootfs_, card_, screens_;
};

constexpr int dialog_x = 184, dialog_y = 177;  // the centred dialog on 640 x 480

TEST_F(Device, EmptyCardReturnsZeroAtOnceWithNothingOffered) {
    Upgsim run(arguments());
    EXPECT_EQ(run.finish(), 0);
    EXPECT_EQ(run.out().rfind("UpgQx4170 - ver.130315 ", 0), 0u) << run.out();
    EXPECT_NE(run.out().find("Frame Buffer Info :\n+ Width  : 640\n+ Height : 480\n"), std::string::npos);
    EXPECT_EQ(run.out().find("PATH"), std::string::npos);
    EXPECT_NE(run.out().find("program          : returned 0"), std::string::npos);
    EXPECT_NE(run.out().find("packages applied : 0"), std::string::npos);
    EXPECT_TRUE(screens().empty());
    EXPECT_EQ(count(run.err(), "cmap/version.txt does not exist: the device shows \"!!!\""), 1) << run.err();
}

TEST_F(Device, TwelvePackagesOnTheCardOfferOnlyTen) {
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(program(std::to_string(i)).write((card_ / ("p" + std::to_string(i) + ".tuf")).string()));
    std::string keys;
    for (int i = 0; i < 10; ++i) keys += std::string(i ? "," : "") + "right,ok";
    Upgsim run(arguments({"--keys", keys}));
    EXPECT_EQ(run.finish(), 0) << run.out() << run.err();
    EXPECT_EQ(count(run.out(), "PATH "), 10);
    EXPECT_NE(run.out().find("program          : returned 0"), std::string::npos);
    EXPECT_FALSE(fs::exists(rootfs_ / "opt"));
}

TEST_F(Device, OneArgumentIsTheOnlyPackageOfferedAndTheScriptIsStillFound) {
    fs::create_directories(rootfs_ / "pkgs");
    ASSERT_TRUE(program().write((rootfs_ / "pkgs" / "p.tuf").string()));
    ASSERT_TRUE(program("9.9").write((card_ / "card.tuf").string()));
    write_file(card_ / "first.sh", "true\n");
    Upgsim run(arguments({"--keys", "right,ok", "/pkgs/p.tuf"}));
    EXPECT_EQ(run.finish(), 0) << run.out() << run.err();
    EXPECT_NE(run.out().find("Found .sh : first.sh\n"), std::string::npos) << run.out();
    EXPECT_NE(run.out().find("PATH /pkgs/p.tuf\n"), std::string::npos);
    EXPECT_EQ(count(run.out(), "PATH "), 1);
}

TEST_F(Device, TwoPackagesAreAUsageErrorSayingWhy) {
    ASSERT_TRUE(program().write((card_ / "a.tuf").string()));
    Upgsim run(arguments({"a.tuf", "a.tuf"}));
    EXPECT_EQ(run.finish(), 2);
    EXPECT_NE(run.err().find("one PACKAGE at most, as on the device"), std::string::npos) << run.err();
    EXPECT_EQ(run.out().find("PATH"), std::string::npos);
}

// A package anywhere on the PC is offered; a file that is no package fails.
TEST_F(Device, PackageFromAnywhereOnThePcIsOfferedAndANonPackageFails) {
    fs::create_directories(top_ / "elsewhere");
    ASSERT_TRUE(program().write((top_ / "elsewhere" / "p.tuf").string()));
    Upgsim run(arguments({"--keys", "ok,power", (top_ / "elsewhere" / "p.tuf").string()}));
    EXPECT_EQ(run.finish(), 0) << run.out() << run.err();
    EXPECT_NE(run.out().find("package          : /.upgsim/package/p.tuf: applied (command exit status 0)\n"),
              std::string::npos) << run.out();
    EXPECT_EQ(read_file(rootfs_ / "opt" / "app" / "command.txt"), "command ran\n");

    write_file(top_ / "elsewhere" / "notes.txt", "not a package");
    Upgsim other(arguments({"--force", (top_ / "elsewhere" / "notes.txt").string()}));
    EXPECT_EQ(other.finish(), 1);
    EXPECT_NE(other.out().find("notes.txt: failed: not a package (status 2"), std::string::npos) << other.out();
}

TEST_F(Device, PackagePathOf256CharactersIsRefusedWithNothingOffered) {
    const std::string path = "/" + std::string(255, 'x');
    ASSERT_TRUE(program().write((rootfs_ / path.substr(1)).string()));
    Upgsim run(arguments({path}));
    EXPECT_EQ(run.finish(), 1);
    EXPECT_NE(run.out().find("Error : package path of 256 characters is too long (255 at most), nothing offered\n"),
              std::string::npos)
        << run.out();
    EXPECT_EQ(run.out().find("PATH"), std::string::npos);
}

TEST_F(Device, ConfirmedProgramPackageIsAppliedAndThePowerKeyEndsTheRun) {
    write_file(rootfs_ / "cmap" / "version.txt", "1.0\n3.1\n7");
    write_file(card_ / "first.sh", "echo script > /opt-first.txt; ls -l /proc/$$/fd | grep -c -e memfd: -e socket: >> /opt-first.txt\n");
    ASSERT_TRUE(program("2.0").write((card_ / "program.tuf").string()));
    Upgsim run(arguments({"--keys", "ok,power"}));
    EXPECT_EQ(run.finish(), 0) << run.out() << run.err();

    EXPECT_EQ(read_file(rootfs_ / "opt-first.txt"), "script\n0\n");  // no descriptor of the screen or controller
    EXPECT_EQ(read_file(rootfs_ / "opt" / "app" / "program.bin"), std::string(5000, 'p'));
    EXPECT_EQ(read_file(rootfs_ / "opt" / "app" / "readme.txt"), "stored as is");
    EXPECT_EQ(read_file(rootfs_ / "opt" / "app" / "command.txt"), "command ran\n");
    EXPECT_EQ(read_file(rootfs_ / "cmap" / "version.txt"), "2.0\n3.1\n7");
    EXPECT_NE(run.out().find("PATH program.tuf\nTODO first script!!!\n>>>>>> : sh ./first.sh\n"), std::string::npos)
        << run.out();
    EXPECT_NE(run.out().find("+ Do command : (00) echo command ran > /opt/app/command.txt\n"), std::string::npos);
    EXPECT_NE(run.out().find("program          : powered off by the power key"), std::string::npos);
    EXPECT_NE(run.out().find("package          : program.tuf: applied (command exit status 0)\n"), std::string::npos);
    EXPECT_NE(run.out().find("packages applied : 1"), std::string::npos);
    EXPECT_NE(run.err().find("controller: power off"), std::string::npos) << run.err();

    // The dialog, the updating window with a spinner frame, the completion message.
    auto names = screens();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0].filename(), "001.png");
    EXPECT_EQ(names[1].filename(), "001_updating.png");
    EXPECT_EQ(names[2].filename(), "002.png");
    auto first = sim::read_png_rgb565(names.front().string());
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(picture_shows(*first, dialog_x + 75, dialog_y + 100, yes1));
    auto updating = sim::read_png_rgb565(names[1].string());
    ASSERT_TRUE(updating.has_value());
    IMAGE_A555 above_spinner = dlgUpt;
    above_spinner.height = 60;
    EXPECT_TRUE(picture_shows(*updating, dialog_x, dialog_y, above_spinner));
    bool spinner_frame = false;
    for (const IMAGE_A555* frame : {&proc0, &proc1, &proc2, &proc3, &proc4, &proc5})
        spinner_frame = spinner_frame || picture_shows(*updating, dialog_x + 110, dialog_y + 60, *frame);
    EXPECT_TRUE(spinner_frame);
    EXPECT_TRUE(picture_shows(last_screen(), dialog_x, dialog_y, msg0));
}

TEST_F(Device, PackageCommandRunsWithoutCapabilitiesOrNetwork) {
    ASSERT_TRUE(test::PackageBuilder("QX4170", "2.0",
                                     "grep CapEff /proc/self/status > /caps.txt; cat /proc/net/dev > /net.txt")
                    .write((card_ / "probe.tuf").string()));
    Upgsim run(arguments({"--keys", "ok,power"}));
    EXPECT_EQ(run.finish(), 0) << run.out() << run.err();
    EXPECT_EQ(read_file(rootfs_ / "caps.txt"), "CapEff:\t0000000000000000\n");
    // Two header lines, then one line per interface: only the sandbox's own loopback.
    std::stringstream net(read_file(rootfs_ / "net.txt"));
    std::vector<std::string> interfaces;
    for (std::string line; std::getline(net, line);)
        if (auto colon = line.find(':'); colon != std::string::npos && line.find('|') == std::string::npos)
            interfaces.push_back(line.substr(line.find_first_not_of(' '), colon - line.find_first_not_of(' ')));
    EXPECT_EQ(interfaces, std::vector<std::string>{"lo"}) << read_file(rootfs_ / "net.txt");
}

// The device's root: writes land in the rootfs wherever they go, /usr and /tmp
// included, the PC's shell lying underneath; nothing of the sandbox stays.
TEST_F(Device, WritesLandInTheRootfsWhereverTheyGoAndNothingOfTheSandboxStays) {
    // Only root's namespace can copy the PC's own folders (owned by root) up.
    const std::string bin = ::getuid() == 0 ? "bin" : "vendor";
    ASSERT_TRUE(test::PackageBuilder("QX4170", "2.0", "echo kept > /tmp/kept.txt")
                    .dir("/usr")
                    .dir("/usr/" + bin)
                    .file("/usr/" + bin + "/myapp", "app")
                    .write((card_ / "program.tuf").string()));
    write_file(card_ / "first.sh", "echo first > /tmp/first.txt\n");
    Upgsim run(arguments({"--keys", "ok,power"}));
    EXPECT_EQ(run.finish(), 0) << run.out() << run.err();
    EXPECT_EQ(read_file(rootfs_ / "usr" / bin / "myapp"), "app");
    EXPECT_EQ(read_file(rootfs_ / "tmp" / "first.txt"), "first\n");
    EXPECT_EQ(read_file(rootfs_ / "tmp" / "kept.txt"), "kept\n");
    EXPECT_EQ(names_in(rootfs_), (std::set<std::string>{"cmap", "tmp", "usr"}));
    EXPECT_EQ(names_in(top_), (std::set<std::string>{"card", "rootfs", "screens"}));
}

// A key typed before the first dialog is drawn is discarded; one typed during an
// apply is held until the program waits for a key again.
TEST_F(Device, TypedKeyBeforeTheFirstDialogIsDiscardedAndDuringAnApplyHeld) {
    ASSERT_TRUE(program().write((card_ / "program.tuf").string()));
    // The card search opens every entry: a FIFO holds the program there.
    ASSERT_EQ(::mkfifo((card_ / "hold.tuf").c_str(), 0600), 0);
    Terminal terminal;
    Upgsim run({"--rootfs", rootfs_.string(), "--card", card_.string()}, "", {}, terminal.input);
    ASSERT_TRUE(run.wait_for_out("Frame Buffer Info")) << run.out();
    terminal.type("\r");
    ASSERT_TRUE(run.wait_for_err("key ok discarded: no dialog is up yet")) << run.err();
    write_file(card_ / "hold.tuf", "");
    ASSERT_TRUE(run.wait_for_err("screen 1 settled")) << run.err();
    terminal.type("\r");
    ASSERT_TRUE(run.wait_for_out("+ Do command")) << run.out();  // then five seconds of spinner
    terminal.type("p");
    EXPECT_EQ(run.finish(), 0) << run.out() << run.err();
    EXPECT_EQ(count(run.err(), "key held until the next dialog: power\n"), 1) << run.err();
    EXPECT_NE(run.out().find("program          : powered off by the power key\n"), std::string::npos) << run.out();
    EXPECT_EQ(count(run.out(), "PATH "), 1);
}

TEST_F(Device, ScreensFolderOfAnEarlierRunIsRefusedUnlessForced) {
    fs::create_directories(screens_);
    write_file(screens_ / "003.png", "old");
    write_file(screens_ / "notes.txt", "mine");
    Upgsim refused(arguments());
    EXPECT_EQ(refused.finish(), 2);
    EXPECT_NE(refused.err().find("holds pictures of an earlier run (003.png, ...): give --force"), std::string::npos)
        << refused.err();
    ASSERT_TRUE(program().write((card_ / "program.tuf").string()));
    Upgsim forced(arguments({"--force", "--keys", "right,ok"}));
    EXPECT_EQ(forced.finish(), 0) << forced.out() << forced.err();
    EXPECT_EQ(names_in(screens_), (std::set<std::string>{"001.png", "002.png", "notes.txt"}));
}

// --memory: the program sees the /proc/meminfo of a device of that size and, where
// a memory cgroup can be made, the sandbox cannot use more.
TEST_F(Device, MemoryOptionGivesTheDevicesMeminfoAndLimit) {
    ASSERT_TRUE(test::PackageBuilder("QX4170", "2.0",
                                     "cat /proc/meminfo > /meminfo.txt; "
                                     "head -c 400M /dev/zero | tail -n 1 > /dev/null; echo $? > /hog.txt")
                    .write((card_ / "program.tuf").string()));
    Upgsim run(arguments({"--memory", "128", "--keys", "ok,power"}));
    EXPECT_EQ(run.finish(), 0) << run.out() << run.err();
    std::map<std::string, long> kib;
    std::stringstream meminfo(read_file(rootfs_ / "meminfo.txt"));
    for (std::string name; meminfo >> name;) meminfo >> kib[name] >> name;
    EXPECT_EQ(kib["MemTotal:"], 128 * 1024);
    EXPECT_LE(kib["MemFree:"], kib["MemAvailable:"]);
    EXPECT_LE(kib["MemAvailable:"], kib["MemFree:"] + kib["Buffers:"] + kib["Cached:"]);
    if (run.err().find("a memory cgroup holding the sandbox to 128 MiB") != std::string::npos)
        EXPECT_EQ(read_file(rootfs_ / "hog.txt"), "137\n");  // killed for want of memory
    else
        EXPECT_NE(run.err().find("no memory limit on the sandbox"), std::string::npos) << run.err();
}

TEST_F(Device, SkippedPackageChangesNothing) {
    write_file(rootfs_ / "cmap" / "version.txt", "1.0\n3.1\n7");
    write_file(card_ / "first.sh", "echo ran > /first-ran\n");
    ASSERT_TRUE(program().write((card_ / "program.tuf").string()));
    Upgsim run(arguments({"--keys", "right,ok"}));
    EXPECT_EQ(run.finish(), 0) << run.out() << run.err();
    EXPECT_FALSE(fs::exists(rootfs_ / "opt"));
    EXPECT_FALSE(fs::exists(rootfs_ / "first-ran"));
    EXPECT_EQ(read_file(rootfs_ / "cmap" / "version.txt"), "1.0\n3.1\n7");
    EXPECT_EQ(names_in(rootfs_), std::set<std::string>{"cmap"});  // the sandbox's mount points went
    EXPECT_NE(run.out().find("program          : returned 0"), std::string::npos);
    EXPECT_NE(run.out().find("package          : program.tuf: skipped by the user\n"), std::string::npos);
    EXPECT_TRUE(picture_shows(last_screen(), dialog_x + 160, dialog_y + 100, no1));
}

TEST_F(Device, FailingPackageShowsTheFailureAndLeavesTheVersionFile) {
    write_file(rootfs_ / "cmap" / "version.txt", "1.0\n3.1\n7");
    ASSERT_TRUE(test::PackageBuilder("QX4170", "2.0", "touch /command-ran")
                    .file("/missing/folder/file", "x")
                    .write((card_ / "broken.tuf").string()));
    Upgsim run(arguments({"--keys", "ok", "--json"}));
    EXPECT_EQ(run.finish(), 1) << run.out() << run.err();
    // With --json the program's lines go to standard error, the summary alone to standard output.
    EXPECT_NE(run.err().find("+ Create file : (01) /missing/folder/file\n"), std::string::npos) << run.err();
    EXPECT_EQ(run.out().rfind("{\n", 0), 0u) << run.out();
    EXPECT_NE(run.out().find("{\"path\": \"broken.tuf\", \"outcome\": \"failed\", \"reason\": \"extraction status 10\", "
                             "\"extraction_status\": 10, \"command_exit_status\": null}"),
              std::string::npos) << run.out();
    EXPECT_NE(run.out().find("\"exit_status\": 1\n}\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(rootfs_ / "command-ran"));
    EXPECT_EQ(read_file(rootfs_ / "cmap" / "version.txt"), "1.0\n3.1\n7");
    EXPECT_NE(run.out().find("\"packages_applied\": 0"), std::string::npos);
    EXPECT_TRUE(picture_shows(last_screen(), dialog_x, dialog_y, msg1));
}

TEST_F(Device, UnknownIdIsSkippedAndTheRunEnds) {
    ASSERT_TRUE(test::PackageBuilder("ODD", "1").write((card_ / "odd.tuf").string()));
    Upgsim run(arguments());
    EXPECT_EQ(run.finish(), 1) << run.out() << run.err();
    EXPECT_NE(run.out().find("PATH odd.tuf\nSkip : unknown package ID \"ODD\"\n"), std::string::npos) << run.out();
    EXPECT_NE(run.out().find("package          : odd.tuf: failed: unknown package ID \"ODD\"\n"), std::string::npos);
    EXPECT_NE(run.out().find("program          : returned 0"), std::string::npos);
}

// With the trust key on the device: the signed package and script are used, the
// unsigned package is not offered, a changed one shows the failure and leaves no file.
TEST_F(Device, TrustKeyAdmitsOnlySignedPackagesAndScripts) {
    const tuf_test::MinisignKey key(top_.string());
    fs::copy_file(key.public_key(), rootfs_ / "cmap" / "upgrade.pub");
    write_file(rootfs_ / "cmap" / "version.txt", "1.0\n3.1\n7");
    write_file(card_ / "first.sh", "echo script > /first-ran\n");
    key.sign((card_ / "first.sh").string());
    ASSERT_TRUE(program("2.0").write((card_ / "program.tuf").string()));
    key.sign((card_ / "program.tuf").string());
    ASSERT_TRUE(test::PackageBuilder("MAP4170", "3.2", "touch /map-ran").write((card_ / "map.tuf").string()));
    Upgsim run(arguments({"--keys", "ok,power"}));
    EXPECT_EQ(run.finish(), 1) << run.out() << run.err();
    EXPECT_NE(run.out().find("PATH map.tuf\nSkip : no valid signature for \"map.tuf\"\n"), std::string::npos)
        << run.out();
    EXPECT_NE(run.out().find("package          : map.tuf: failed: no valid signature for \"map.tuf\"\n"),
              std::string::npos);
    EXPECT_EQ(count(run.out(), "PATH "), 2);
    EXPECT_FALSE(fs::exists(rootfs_ / "map-ran"));
    EXPECT_EQ(read_file(rootfs_ / "first-ran"), "script\n");
    EXPECT_EQ(read_file(rootfs_ / "opt" / "app" / "command.txt"), "command ran\n");
    EXPECT_EQ(read_file(rootfs_ / "cmap" / "version.txt"), "2.0\n3.1\n7");
    EXPECT_NE(run.out().find("packages applied : 1"), std::string::npos);
}

TEST_F(Device, ChangedSignedPackageShowsTheFailureAndWritesNothing) {
    const tuf_test::MinisignKey key(top_.string());
    fs::copy_file(key.public_key(), rootfs_ / "cmap" / "upgrade.pub");
    write_file(rootfs_ / "cmap" / "version.txt", "1.0\n3.1\n7");
    const fs::path package = card_ / "program.tuf";
    ASSERT_TRUE(program("2.0").write(package.string()));
    key.sign(package.string());
    std::string bytes = read_file(package);
    bytes[bytes.size() - 3] = static_cast<char>(bytes[bytes.size() - 3] ^ 1);  // inside readme.txt's data
    write_file(package, bytes);
    Upgsim run(arguments({"--keys", "ok"}));
    EXPECT_EQ(run.finish(), 1) << run.out() << run.err();
    EXPECT_NE(run.out().find("Error : signature of \"program.tuf\" : the file does not match"), std::string::npos)
        << run.out();
    EXPECT_NE(run.out().find("package          : program.tuf: failed: signature: the file does not match"),
              std::string::npos) << run.out();
    // Its folders may stay; none of its files, staged or in place.
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(rootfs_ / "opt", ignored))
        EXPECT_TRUE(entry.is_directory()) << entry.path();
    EXPECT_EQ(read_file(rootfs_ / "cmap" / "version.txt"), "1.0\n3.1\n7");
    EXPECT_NE(run.out().find("packages applied : 0"), std::string::npos);
    EXPECT_TRUE(picture_shows(last_screen(), dialog_x, dialog_y, msg1));
}

TEST_F(Device, MalformedTrustKeyOffersNothing) {
    write_file(rootfs_ / "cmap" / "upgrade.pub", "untrusted comment: minisign public key\n");
    ASSERT_TRUE(program().write((card_ / "program.tuf").string()));
    Upgsim run(arguments());
    EXPECT_EQ(run.finish(), 1) << run.out() << run.err();
    EXPECT_NE(run.out().find("Error : trust key \"/cmap/upgrade.pub\" is not a minisign public key : no package is "
                             "trusted\n"),
              std::string::npos)
        << run.out();
    EXPECT_NE(run.out().find("Skip : no valid signature for \"program.tuf\"\n"), std::string::npos);
    EXPECT_NE(run.out().find("packages applied : 0"), std::string::npos);
    EXPECT_TRUE(screens().empty());
}

TEST_F(Device, FirstSigintEndsTheWaitAndTheRunReturns) {
    ASSERT_TRUE(program().write((card_ / "program.tuf").string()));
    Upgsim run(arguments());
    ASSERT_TRUE(run.wait_for_err("screen 1 settled")) << run.err();
    run.signal(SIGINT);
    EXPECT_EQ(run.finish(), 1) << run.out() << run.err();
    EXPECT_EQ(count(run.out(), "SIG CAUGHT (ID 2 - Interrupt)\n"), 1) << run.out();
    EXPECT_NE(run.out().find("program          : returned 0 (interrupted)"), std::string::npos);
    EXPECT_NE(run.out().find("package          : program.tuf: not answered\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(rootfs_ / "opt"));
}

TEST_F(Device, SigintDuringAnApplyEndsTheRunInThePowerWaitWithNothingMoreOffered) {
    for (const char* name : {"a.tuf", "b.tuf"}) ASSERT_TRUE(program().write((card_ / name).string()));
    // Without --fast: the signal comes during the five seconds after the extraction.
    Upgsim run({"--rootfs", rootfs_.string(), "--card", card_.string(), "--screens", screens_.string(), "--keys",
                "ok,power"});
    ASSERT_TRUE(run.wait_for_out("+ Do command")) << run.out();
    run.signal(SIGINT);
    EXPECT_EQ(run.finish(), 1) << run.out() << run.err();
    EXPECT_EQ(count(run.out(), "SIG CAUGHT (ID 2 - Interrupt)\n"), 1) << run.out();
    EXPECT_EQ(count(run.out(), "PATH "), 1) << run.out();
    EXPECT_EQ(read_file(rootfs_ / "cmap" / "version.txt").substr(0, 4), "2.0\n");
    EXPECT_NE(run.out().find("packages applied : 1"), std::string::npos) << run.out();
    EXPECT_NE(run.out().find("program          : powered off by the power key (interrupted)"), std::string::npos)
        << run.out();
    EXPECT_TRUE(picture_shows(last_screen(), dialog_x, dialog_y, msg0));
}

TEST_F(Device, SecondSigintEndsThePowerWaitWithStatusZero) {
    ASSERT_TRUE(program().write((card_ / "program.tuf").string()));
    Upgsim run(arguments({"--keys", "ok", "--hold"}));
    ASSERT_TRUE(run.wait_for_err("screen 2 settled")) << run.err();  // the completion message
    run.signal(SIGINT);
    ASSERT_TRUE(run.wait_for_out("SIG CAUGHT (ID 2 - Interrupt)\n")) << run.out();
    run.signal(SIGINT);
    EXPECT_EQ(run.finish(), 1) << run.out() << run.err();
    EXPECT_EQ(count(run.out(), "SIG CAUGHT (ID 2 - Interrupt)\n"), 2) << run.out();
    EXPECT_NE(run.out().find("program          : ended with exit status 0"), std::string::npos);
    EXPECT_NE(run.out().find("packages applied : 1"), std::string::npos);
    EXPECT_TRUE(picture_shows(last_screen(), dialog_x, dialog_y, msg0));
}

TEST_F(Device, KeysThatRunOutWhileTheProgramWaitsEndTheSimulationWithOne) {
    ASSERT_TRUE(program().write((card_ / "program.tuf").string()));
    Upgsim run(arguments({"--keys", "right"}));
    EXPECT_EQ(run.finish(), 1);
    EXPECT_NE(run.out().find("program          : still waiting for a key when --keys ran out"), std::string::npos);
}

TEST_F(Device, ScreenOptionSetsTheFramebufferAndTheDialogIsCentredOnIt) {
    ASSERT_TRUE(program().write((card_ / "program.tuf").string()));
    Upgsim run(arguments({"--screen", "800x600x32", "--keys", "right,ok"}));
    EXPECT_EQ(run.finish(), 0) << run.out() << run.err();
    EXPECT_NE(run.out().find("+ Width  : 800\n+ Height : 600\n+ Size   : 1920000\n+ BPP    : 32\n"), std::string::npos)
        << run.out();
    auto names = screens();
    ASSERT_FALSE(names.empty());
    auto first = sim::read_png_rgb565(names.front().string());
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->width, 800);
    EXPECT_EQ(first->height, 600);
    EXPECT_TRUE(picture_shows(*first, 264 + 75, 237 + 100, yes1));
}

TEST_F(Device, BadKeyIsNamedInOneLine) {
    Upgsim run(arguments({"--keys", "ok,up,power"}));
    EXPECT_EQ(run.finish(), 2);
    EXPECT_EQ(run.err(), "upgsim: bad key 'up' in --keys 'ok,up,power': the keys are left, right, ok, power or 1..4 "
                         "(upgsim --help lists the options)\n");
}

// Without a display --window says so in one line; under Xvfb the window shows the
// settled screen (here twice its size), and closing it cuts the run off like a power cut.
TEST_F(Device, WindowShowsTheSettledScreenAndClosingItCutsTheRunOff) {
    ASSERT_TRUE(program().write((card_ / "program.tuf").string()));
    Upgsim headless(arguments({"--window", "--keys", "right"}), "", {"DISPLAY", "WAYLAND_DISPLAY"});
    EXPECT_EQ(headless.finish(), 2);
    EXPECT_EQ(count(headless.err(), "\n"), 1) << headless.err();
    EXPECT_NE(headless.err().find("upgsim: --window needs a display"), std::string::npos) << headless.err();

    VirtualDisplay xvfb;
    ASSERT_FALSE(xvfb.name().empty()) << "Xvfb (Debian package xvfb) did not start";
    // SDL leaves allocations of the libraries it loads and unloads (libdbus, X
    // extensions) at exit, which LeakSanitizer cannot attribute: not ours to find.
    const char* asan = std::getenv("ASAN_OPTIONS");
    Upgsim run(arguments({"--window", "--scale", "2", "--keys", "right", "--hold"}), "",
               {"DISPLAY=" + xvfb.name(), "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":detect_leaks=0"});
    ASSERT_TRUE(run.wait_for_err("screen 2 settled: 002.png")) << run.err();
    const auto settled = sim::read_png_rgb565((screens_ / "002.png").string());
    ASSERT_TRUE(settled.has_value());
    sim::Rgb565Image doubled{1280, 960, {}};
    for (int y = 0; y < 960; ++y)
        for (int x = 0; x < 1280; ++x) doubled.pixels.push_back(settled->at(x / 2, y / 2));
    Display* display = XOpenDisplay(xvfb.name().c_str());
    ASSERT_NE(display, nullptr);
    sim::Rgb565Image shown;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         shown != doubled && std::chrono::steady_clock::now() < deadline;)
        shown = capture_window(display, 1280, 960);
    EXPECT_TRUE(shown == doubled) << "the window does not show 002.png twice its size";

    // The window manager's close request, as a click on the window's close button.
    for (const Window window : top_level_windows(display)) {
        XEvent close{};
        close.xclient.type = ClientMessage;
        close.xclient.window = window;
        close.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        close.xclient.format = 32;
        close.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
        XSendEvent(display, window, False, NoEventMask, &close);
    }
    XCloseDisplay(display);
    EXPECT_EQ(run.finish(), 1) << run.out() << run.err();
    EXPECT_NE(run.out().find("program          : cut off: the window was closed, as a power cut\n"), std::string::npos)
        << run.out();
    EXPECT_NE(run.out().find("package          : program.tuf: not answered\n"), std::string::npos);
}

TEST_F(Device, VersionIsTheProjectVersion) {
    Upgsim run({"--version"});
    EXPECT_EQ(run.finish(), 0);
    EXPECT_EQ(run.out(), "upgsim " UPG_VERSION "\n");
}

TEST_F(Device, MissingBubblewrapIsReportedClearly) {
    fs::create_directories(top_ / "empty-path");
    Upgsim run(arguments(), (top_ / "empty-path").string());
    EXPECT_EQ(run.finish(), 1);
    EXPECT_NE(run.err().find("bubblewrap (bwrap) was not found"), std::string::npos) << run.err();
}

TEST_F(Device, SandboxThatCannotStartIsReportedClearly) {
    fs::create_directories(top_ / "bin");
    write_file(top_ / "bin" / "bwrap", "#!/bin/sh\necho 'bwrap: No permission to create namespaces' >&2\nexit 1\n");
    fs::permissions(top_ / "bin" / "bwrap", fs::perms::owner_all);
    Upgsim run(arguments(), (top_ / "bin").string() + ":/usr/bin:/bin");
    EXPECT_EQ(run.finish(), 1);
    EXPECT_NE(run.err().find("the sandbox could not start"), std::string::npos) << run.err();
}

}  // namespace
