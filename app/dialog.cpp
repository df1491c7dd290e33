// The confirmation dialog, its keys, and the version record "/cmap/version.txt".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/trust.h"
#include "app/upgqx4170.h"
#include "gui/t4170img.h"
#include "input/t4170input.h"
#include "tuf/package_reader.h"

namespace app {

int is_map = 0;
char cur_pro_ver[version_size], cur_map_ver[version_size], cur_user_ver[version_size];
char new_pro_ver[version_size], new_map_ver[version_size], new_user_ver[version_size];
char tufpath[path_size];
int yes_focus = 1;
int yes_first = 0;
char sys_cmd[sys_cmd_size];

namespace {

// A header field need not hold its terminator; never read past its width.
void copy_field(char* to, int size, const char* field, std::size_t width) {
    std::size_t length = strnlen(field, width);
    if (length > static_cast<std::size_t>(size - 1)) length = static_cast<std::size_t>(size - 1);
    std::memcpy(to, field, length);
    to[length] = '\0';
}

void copy_text(char* to, int size, const char* text) { copy_field(to, size, text, std::strlen(text)); }

bool id_is(const HEADTUFFILE* header, const char* id) {
    return std::strncmp(header->id, id, sizeof header->id) == 0;
}

bool plain_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-' || c == '+';
}

// `text` as one word of a shell command line.
std::string shell_word(const char* text) {
    bool plain = *text != '\0';
    for (const char* c = text; *c != '\0'; ++c) plain = plain && plain_name_char(*c);
    if (plain) return text;
    // Single quotes take everything literally; a quote inside ends the quoting,
    // adds an escaped quote and starts it again.
    std::string word = "'";
    for (const char* c = text; *c != '\0'; ++c) word += *c == '\'' ? std::string("'\\''") : std::string(1, *c);
    return word + '\'';
}

// The kind of package (is_map) its ID names; -1 for none of the three.
int kind_of(const HEADTUFFILE* header) {
    if (id_is(header, "QX4170")) return 0;
    if (id_is(header, "MAP4170")) return 1;
    if (id_is(header, "USERMAP")) return 2;
    return -1;
}

// The versions to record after the upgrade: the package's in the slot of its kind
// (is_map), the current ones in the other two.
void set_new_versions(const HEADTUFFILE& header) {
    copy_text(new_pro_ver, version_size, cur_pro_ver);
    copy_text(new_map_ver, version_size, cur_map_ver);
    copy_text(new_user_ver, version_size, cur_user_ver);
    char* slot = is_map == 0 ? new_pro_ver : is_map == 1 ? new_map_ver : new_user_ver;
    copy_field(slot, version_size, header.version, sizeof header.version);
}

void draw_buttons() {
    if (yes_focus) {
        GuiShowImage(DLG_X + 75, DLG_Y + 100, &yes1);
        GuiShowImage(DLG_X + 160, DLG_Y + 100, &no0);
    } else {
        GuiShowImage(DLG_X + 75, DLG_Y + 100, &yes0);
        GuiShowImage(DLG_X + 160, DLG_Y + 100, &no1);
    }
}

bool stopping() {
    pthread_mutex_lock(&stop_mutex);
    const bool stopped = stop != 0;
    pthread_mutex_unlock(&stop_mutex);
    return stopped;
}

// One package has been answered (or passed over): offer the next or end the run.
// Once the run is stopping (a signal), nothing more is offered: the driver is
// about to end the run or to wait for the power key.
void answered() {
    --num_file;
    if (num_file > 0 && !stopping()) {
        ++next;
        do_upg(files[next], &headers[next]);
    } else {
        request_stop();
    }
}

void run_first_script() {
    std::puts("TODO first script!!!");
    // With the trust key the script runs from a private copy of the bytes checked, so
    // what runs is what was checked, whatever happens on the card meanwhile.
    ScriptCopy copy;
    if (!trust_first_script(have_sh ? filesh : "first.sh", copy)) return;
    const std::string from_copy = copy.path().empty() ? "" : "sh " + shell_word(copy.path().c_str());
    if (have_sh) {
        first_script_command(filesh, sys_cmd, sys_cmd_size);
        std::printf(">>>>>> : %s\n", sys_cmd);
    } else {
        std::puts("<<<<<< : sh ./first.sh");
    }
    std::fflush(stdout);
    (void)std::system(!from_copy.empty() ? from_copy.c_str() : have_sh ? sys_cmd : "sh ./first.sh");
}

void apply() {
    GuiShowImage(DLG_X, DLG_Y, &dlgUpt);
    enable_proc();
    int result = 1;
    PackageTrust trust;
    if (trust_package(tufpath, trust)) {
        if (yes_first == 0) run_first_script();
        ++yes_first;
        HEADTUFFILE applied;
        result = trust_extract(tufpath, trust, headers[next], applied);
        // What is recorded is what was applied (with the key, the header that was
        // checked; it names the same kind as the dialog's).
        if (result == 0) {
            is_map = kind_of(&applied);
            assert(is_map >= 0);
            set_new_versions(applied);
        }
    }
    sleep(5);
    disable_proc();
    if (result != 0) {
        GuiShowImage(DLG_X, DLG_Y, &msg1);
    } else {
        beep();
        write_new_version(version_file, new_pro_ver, new_map_ver, new_user_ver);
        // Under the stop lock: a signal can end the driver's wait while this runs.
        pthread_mutex_lock(&stop_mutex);
        ++is_loop;
        pthread_mutex_unlock(&stop_mutex);
    }
}

// A version file is three short lines: no more of it than this is read, so a
// file that never ends (a link to /dev/zero) cannot hold up the dialog.
constexpr int version_file_limit = 4096;

// Reads one line of the version file into `slot` (size - 1 characters at most,
// without its newline); false at the end of the file or of `budget`. Only a line
// that really is longer than the slot has its rest dropped; a NUL byte ends the
// value but not the line.
bool read_version_line(FILE* file, char* slot, int size, int& budget) {
    int length = 0, c = 0;
    bool any = false;
    while (budget > 0 && (c = std::getc(file)) != EOF) {
        --budget;
        any = true;
        if (c == '\n') break;
        if (length < size - 1) slot[length++] = static_cast<char>(c);
    }
    slot[length] = '\0';
    return any;
}

std::string first_line(const char* value) { return std::string(value, std::strcspn(value, "\r\n")); }

// Where `path` leads after following its symbolic links (the path itself when it
// cannot be resolved: no such file, or links that go round in circles).
std::string link_target(const char* path) {
    char resolved[PATH_MAX];
    return ::realpath(path, resolved) != nullptr ? resolved : path;
}

// Where the record cannot be replaced by a rename (a read-only folder, a file
// bind-mounted in place, a target that is not a regular file), it is written in
// place, truncated first. A FIFO that nobody reads is refused rather than waited on.
int write_in_place(const std::string& target, const std::string& content) {
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return 1;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    bool ok = tuf::write_all(fd, content.data(), content.size());
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    return ok ? 0 : 1;
}

}  // namespace

void first_script_command(const char* name, char* command, int size) {
    assert(name != nullptr && command != nullptr && size > 0);
    const std::string line = "sh ./" + shell_word(name);
    assert(line.size() < static_cast<std::size_t>(size));
    std::memcpy(command, line.c_str(), line.size() + 1);
}

int do_upg(const char* path, const HEADTUFFILE* header) {
    std::printf("PATH %s\n", path);
    const int kind = kind_of(header);
    if (kind < 0) {
        // Passed over as if answered no, so the run never waits on a package it
        // cannot offer.
        std::printf("Skip : unknown package ID \"%.*s\"\n", static_cast<int>(strnlen(header->id, sizeof header->id)),
                    header->id);
        answered();
        return 1;
    }
    is_map = kind;

    get_ver(version_file, cur_pro_ver, cur_map_ver, cur_user_ver, version_size);
    set_new_versions(*header);

    const int x = DLG_X, y = DLG_Y;
    if (is_map == 0) {
        GuiShowImage(x, y, &dlg1);
        GuiShowString(x + 195, y + 32, cur_pro_ver);
        GuiShowString(x + 195, y + 52, new_pro_ver);
    } else {
        GuiShowImage(x, y, &dlg2);
        GuiShowString(x + 150, y + 35, is_map == 1 ? cur_map_ver : cur_user_ver);
        GuiShowString(x + 150, y + 56, is_map == 1 ? new_map_ver : new_user_ver);
    }
    yes_focus = 1;
    draw_buttons();

    // The path first: a key may come as soon as the handler is in place.
    copy_text(tufpath, path_size, path);
    InputSetHandler(key_handler);
    return 0;
}

void key_handler(int code) {
    if (code <= 0 || code >= 4) return;
    beep();
    // A key still queued when the run is stopping does nothing more; while a key
    // is being handled the driver does not decide how the run ends.
    if (!begin_key_turn()) return;
    if (num_file > 0) {
        if (code == 1 || code == 2) {
            yes_focus = !yes_focus;
            draw_buttons();
        } else {
            if (yes_focus) apply();
            answered();
        }
    }
    end_key_turn();
}

void key_handler_power(int code) {
    if (code != 4) return;
    power();
    InputSetHandler(nullptr);
}

int get_ver(const char* path, char* pro, char* map, char* user, int size) {
    assert(path != nullptr && pro != nullptr && map != nullptr && user != nullptr && size >= 2);
    char* slots[3] = {pro, map, user};
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        for (char* slot : slots) copy_text(slot, size, "!!!");
        return 1;
    }
    int budget = version_file_limit;
    for (char* slot : slots)
        if (!read_version_line(file, slot, size, budget)) copy_text(slot, size, "???");
    std::fclose(file);
    return 0;
}

int write_new_version(const char* path, const char* pro, const char* map, const char* user) {
    assert(path != nullptr && pro != nullptr && map != nullptr && user != nullptr);
    // A value holds one line: a line break in a package's version would shift
    // the values after it.
    const std::string content = first_line(pro) + "\n" + first_line(map) + "\n" + first_line(user);
    // A version file that is a symbolic link is updated where it points.
    const std::string target = link_target(path);
    struct stat old {};
    const bool had_old = ::stat(target.c_str(), &old) == 0;
    if (had_old && !S_ISREG(old.st_mode)) return write_in_place(target, content);
    // Written beside the file and renamed over it: a power cut leaves the old or
    // the new record, never a torn one.
    const std::string temporary = target + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return write_in_place(target, content);
    bool ok = true;
    if (had_old) {
        // The new record keeps the old one's owner and mode (owner first: a change
        // of owner clears the set-id bits).
        if (::fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) ok = false;
        ok = ::fchmod(fd, old.st_mode & 07777) == 0 && ok;
    }
    ok = ok && tuf::write_all(fd, content.data(), content.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(temporary.c_str());
        return 1;
    }
    if (std::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return write_in_place(target, content);
    }
    std::string dir = target;
    std::size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return 0;
}

}  // namespace app
