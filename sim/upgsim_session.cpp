#include "sim/upgsim_session.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/upgqx4170.h"
#include "gui/t4170gui.h"
#include "gui/t4170img.h"
#include "sim/fake_controller.h"
#include "sim/key_controller.h"
#include "sim/screenshot.h"
#include "sim/upgsim_report.h"
#include "sim/upgsim_window.h"
#include "tuf/ttuf.h"

// upgsim is linked with --wrap for these calls of the program, so the device
// program itself carries nothing for the simulation:
//  - InputSetHandler: the installed handler is called through a trampoline that
//    counts entries and returns, which tells the watcher when the program is idle;
//  - sleep: with --fast the five seconds after an extraction pass quickly;
//  - pause: the driver's power wait, the one place where it waits with no dialog;
//  - delProc: the end of the driver's wait, a start-up figure for --timing;
//  - GuiShowImage: the first spinner frame over the updating window, which never
//    settles, is the moment to take its picture; the updating window itself
//    starts an apply;
//  - tuf_extract, tuf_extract_checked: its status, for the summary;
//  - system: what the shell prints is not taken for the program's own lines.
extern "C" void __real__Z15InputSetHandlerPFviE(void (*handler)(int));
extern "C" void __wrap__Z15InputSetHandlerPFviE(void (*handler)(int));
extern "C" unsigned __real_sleep(unsigned seconds);
extern "C" unsigned __wrap_sleep(unsigned seconds);
extern "C" int __real_pause();
extern "C" int __wrap_pause();
extern "C" void __real__ZN3app7delProcEv();
extern "C" void __wrap__ZN3app7delProcEv();
extern "C" int __real__Z12GuiShowImageiiP10IMAGE_A555(int x, int y, IMAGE_A555* img);
extern "C" int __wrap__Z12GuiShowImageiiP10IMAGE_A555(int x, int y, IMAGE_A555* img);
extern "C" int __real__Z11tuf_extractPKcS0_(const char* path, const char* root);
extern "C" int __wrap__Z11tuf_extractPKcS0_(const char* path, const char* root);
extern "C" int __real__Z19tuf_extract_checkedPKcS0_RN3tuf12PackageCheckE(const char* path, const char* root,
                                                                        tuf::PackageCheck& check);
extern "C" int __wrap__Z19tuf_extract_checkedPKcS0_RN3tuf12PackageCheckE(const char* path, const char* root,
                                                                        tuf::PackageCheck& check);
extern "C" int __real_system(const char* command);
extern "C" int __wrap_system(const char* command);

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<void (*)(int)> app_handler{nullptr};
std::atomic<unsigned long> handler_entries{0};
std::atomic<unsigned long> handler_returns{0};
std::atomic<bool> fast_sleep{false};
std::atomic<long long> first_dialog_at{0};  // steady clock ticks, 0: not yet
std::atomic<bool> in_power_wait{false};
std::atomic<bool> report_timing{false};
std::atomic<long long> program_started_at{0};  // steady clock ticks

long long since(Clock::time_point start, long long ticks) {
    Clock::time_point then{Clock::duration(ticks)};
    return std::chrono::duration_cast<std::chrono::microseconds>(then - start).count();
}

void say(const char* format, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "upgsim: %s\n", line);
}

// The program's standard output passes through a pipe of the session's: each
// byte goes on to where it was going, and each whole line is handed on. The
// calls the simulation wraps drain the pipe first, so the lines and the calls
// are seen in the order the program made them.
class OutputRelay {
public:
    using LineHandler = std::function<void(const std::string&)>;

    bool start(int forward_fd, LineHandler on_line) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return false;
        forward_fd_ = forward_fd;
        on_line_ = std::move(on_line);
        std::fflush(stdout);
        ::dup2(ends[1], STDOUT_FILENO);  // without close-on-exec: the shell's commands write there too
        ::close(ends[1]);
        read_fd_ = ends[0];
        ::fcntl(read_fd_, F_SETFL, O_NONBLOCK);
        thread_ = std::thread([this] {
            while (!quit_.load()) {
                pollfd fd{read_fd_, POLLIN, 0};
                if (::poll(&fd, 1, 50) > 0) drain();
            }
        });
        return true;
    }

    void drain() {
        if (read_fd_ < 0) return;
        std::lock_guard lock(mutex_);
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(read_fd_, buffer, sizeof buffer)) > 0) {
            for (ssize_t done = 0; done < n;) {
                const ssize_t written = ::write(forward_fd_, buffer + done, static_cast<std::size_t>(n - done));
                if (written <= 0) break;
                done += written;
            }
            partial_.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end; (end = partial_.find('\n')) != std::string::npos; partial_.erase(0, end + 1))
                on_line_(partial_.substr(0, end));
        }
    }

    void stop() {
        quit_.store(true);
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

private:
    int read_fd_ = -1;
    int forward_fd_ = -1;
    LineHandler on_line_;
    std::mutex mutex_;
    std::string partial_;
    std::thread thread_;
    std::atomic<bool> quit_{false};
};

// What became of each package, from the program's own lines ("PATH", "Skip : ...",
// "Error : signature of ...", "Error : package ...", "+ Do command : (N) ...") and from the turns of the
// select key: a turn that ends with one package fewer to answer answered it, with
// the updating window drawn it applied it, and the count of packages applied says
// whether that worked.
class Ledger {
public:
    explicit Ledger(std::function<void(const std::string&)> report) : report_(std::move(report)) {}

    void line(const std::string& text) {
        std::lock_guard lock(mutex_);
        if (in_child_) return;
        if (text.rfind("PATH ", 0) == 0) {
            results_.push_back({text.substr(5), Outcome::offered, "", std::nullopt, std::nullopt});
            current_ = static_cast<int>(results_.size()) - 1;
            send(current_);
        } else if (current_ >= 0 && text.rfind("Skip : ", 0) == 0 && text.find("first script") == std::string::npos) {
            results_[current_].outcome = Outcome::failed;
            results_[current_].reason = text.substr(7);
            send(current_);
        } else if (text.rfind("Error : signature of ", 0) == 0) {
            const auto colon = text.rfind(" : ");
            refusal_ = "signature: " + (colon == std::string::npos ? text : text.substr(colon + 3));
        } else if (text.rfind("Error : package ", 0) == 0) {
            refusal_ = text.substr(8);
        } else if (current_ >= 0 && text.rfind("+ Do command : (", 0) == 0) {
            results_[current_].command_status = command_exit_status(std::atoi(text.c_str() + 16));
            send(current_);
        }
    }

    void child_running(bool running) {
        std::lock_guard lock(mutex_);
        in_child_ = running;
    }

    void add_failed(const std::string& path, const std::string& reason) {
        std::lock_guard lock(mutex_);
        results_.push_back({path, Outcome::failed, reason, std::nullopt, std::nullopt});
        send(static_cast<int>(results_.size()) - 1);
    }

    bool knows(const std::string& path) {
        std::lock_guard lock(mutex_);
        for (const auto& result : results_)
            if (result.path == path) return true;
        return false;
    }

    void turn_begin(int unanswered, int applied) {
        std::lock_guard lock(mutex_);
        turn_ = current_;
        unanswered_ = unanswered;
        applied_ = applied;
        applying_ = false;
        refusal_.clear();
    }

    void apply_started() {
        std::lock_guard lock(mutex_);
        if (turn_ < 0 || applying_) return;
        applying_ = true;
        results_[turn_].outcome = Outcome::applying;
        send(turn_);
    }

    void extracted(int status) {
        std::lock_guard lock(mutex_);
        if (turn_ >= 0) results_[turn_].extraction = status;
    }

    void turn_end(int unanswered, int applied) {
        std::lock_guard lock(mutex_);
        if (turn_ < 0 || unanswered >= unanswered_) {
            turn_ = -1;
            return;
        }
        PackageResult& result = results_[turn_];
        if (!applying_) {
            result.outcome = Outcome::skipped;
        } else if (applied > applied_) {
            result.outcome = Outcome::applied;
        } else {
            result.outcome = Outcome::failed;
            if (!refusal_.empty())
                result.reason = refusal_;
            else if (result.extraction.value_or(0) != 0)
                result.reason = "extraction status " + std::to_string(*result.extraction);
            else
                result.reason = "the apply did not succeed";
        }
        send(turn_);
        turn_ = -1;
    }

private:
    void send(int index) { report_(encode_result(index, results_[index])); }

    std::function<void(const std::string&)> report_;
    std::mutex mutex_;
    std::vector<PackageResult> results_;
    int current_ = -1;     // the package of the last "PATH" line
    bool in_child_ = false;
    int turn_ = -1;        // the package on show when the select key's turn began
    int unanswered_ = 0, applied_ = 0;
    bool applying_ = false;
    std::string refusal_;  // why the package on show was refused on yes (signature, not the one offered)
};

std::string not_a_package(int status) {
    const char* why = status == 1 ? "it cannot be opened" : status == 2 ? "it is shorter than a package header"
                      : status == 7 ? "it does not start with \"TUF\"" : "the package check failed";
    return "not a package (status " + std::to_string(status) + ": " + why + ")";
}

int applied_count() {
    pthread_mutex_lock(&app::stop_mutex);
    const int applied = app::is_loop;
    pthread_mutex_unlock(&app::stop_mutex);
    return applied;
}

class Session {
public:
    explicit Session(const SessionOptions& options)
        : options_(options), framebuffer_(options.format), keys_(options.keys.begin(), options.keys.end()),
          last_written_(capture(framebuffer_)), ledger_([this](const std::string& line) { report(line); }) {
        controller_ = new FakeController();
        key_controller_ = new KeyController(controller_->peer_fd());
        if (options_.control_fd >= 0) ::fcntl(options_.control_fd, F_SETFL, O_NONBLOCK);
        if (options_.screen_fd >= 0 && shared_.attach(options_.screen_fd, options_.format.width, options_.format.height))
            shared_.publish(last_written_);
    }

    void start_relay() {
        const int forward = ::dup(options_.output_to_stderr ? STDERR_FILENO : STDOUT_FILENO);
        if (!relay_.start(forward, [this](const std::string& line) { ledger_.line(line); }))
            say("the program's output cannot be followed: the summary will lack the packages");
    }

    // The device program is given one package: one that is no package is never
    // offered, and says so only here.
    void check_named_package() {
        if (options_.program_args.size() != 1) return;
        HEADTUFFILE header;
        const int status = tuf_is_tuf_file(options_.program_args[0].c_str(), &header);
        if (status != 0) ledger_.add_failed(options_.program_args[0], not_a_package(status));
    }

    void turn_begin() {
        relay_.drain();
        ledger_.turn_begin(app::num_file, applied_count());
    }
    void turn_end() {
        relay_.drain();
        ledger_.turn_end(app::num_file, applied_count());
    }
    void apply_started() { ledger_.apply_started(); }
    void extracted(int status) {
        relay_.drain();
        ledger_.extracted(status);
    }
    void child_running(bool running) {
        relay_.drain();
        ledger_.child_running(running);
    }

    void report(const std::string& line) {
        if (options_.status_fd < 0) return;
        std::string text = line + "\n";
        ssize_t n = ::write(options_.status_fd, text.data(), text.size());
        (void)n;
    }

    void start() { watcher_ = std::thread([this] { watch(); }); }

    void stop_watcher() {
        quit_.store(true);
        if (watcher_.joinable() && watcher_.get_id() != std::this_thread::get_id()) watcher_.join();
    }

    // The program has ended one way or another: last picture, applied count, how.
    void finish(const std::string& how) {
        std::lock_guard<std::mutex> lock(finish_mutex_);
        if (finished_) return;
        finished_ = true;
        std::fflush(stdout);
        relay_.stop();
        relay_.drain();
        // Commands the program sent just before it ended are still in the socket.
        for (const std::string& command : key_controller_->receive(0))
            say("controller: %s", KeyController::describe(command).c_str());
        write_screen_if_new();
        if (options_.program_args.size() == 1 && !ledger_.knows(options_.program_args[0]))
            ledger_.add_failed(options_.program_args[0], "not offered (the program's output says why)");
        report("applied " + std::to_string(applied_count()));
        report("end " + how);
        std::fflush(stderr);
    }

    // The updating window with its first spinner frame: the spinner keeps the
    // screen from settling, so without this picture a run's pictures would skip
    // from the answered dialog to the result. Named after the settled picture it
    // follows ("001_updating.png" after "001.png"), so the names sort in the order
    // of the run and the settled pictures keep their numbers.
    void write_updating_picture() {
        std::lock_guard lock(pictures_mutex_);
        if (options_.screens_dir.empty()) return;
        updating_in_a_row_ = updating_after_ == screens_ ? updating_in_a_row_ + 1 : 1;
        updating_after_ = screens_;
        char name[48];
        if (updating_in_a_row_ == 1)
            std::snprintf(name, sizeof name, "%03d_updating.png", screens_);
        else
            std::snprintf(name, sizeof name, "%03d_updating_%d.png", screens_, updating_in_a_row_);
        std::string error;
        if (write_png(options_.screens_dir + "/" + name, capture(framebuffer_), &error)) {
            say("updating window: %s", name);
            report(std::string("screen ") + name);
        } else {
            say("updating window, but %s could not be written: %s", name, error.c_str());
        }
    }

private:
    static bool spinner_running() {
        pthread_mutex_lock(&app::mtx_proc);
        bool running = app::pstate == 1;
        pthread_mutex_unlock(&app::mtx_proc);
        return running;
    }

    // The program waits for a key: a dialog is up (the run is not stopping) and
    // its handler has returned with the spinner off, or the power wait has begun.
    static bool waiting_for_key() {
        if (in_power_wait.load()) return true;
        if (app_handler.load() == nullptr) return false;
        if (handler_entries.load() != handler_returns.load() || spinner_running()) return false;
        pthread_mutex_lock(&app::stop_mutex);
        bool offering = app::stop == 0;
        pthread_mutex_unlock(&app::stop_mutex);
        return offering;
    }

    void write_screen_if_new() {
        std::lock_guard lock(pictures_mutex_);
        Rgb565Image picture = capture(framebuffer_);
        if (picture == last_written_) return;
        last_written_ = std::move(picture);
        ++screens_;
        char name[32];
        std::snprintf(name, sizeof name, "%03d.png", screens_);
        if (options_.screens_dir.empty()) {
            say("screen %d settled", screens_);
            return;
        }
        std::string error;
        if (write_png(options_.screens_dir + "/" + name, last_written_, &error)) {
            say("screen %d settled: %s", screens_, name);
            report(std::string("screen ") + name);
        } else {
            say("screen %d settled, but %s could not be written: %s", screens_, name, error.c_str());
        }
    }

    // A key typed on the terminal or in the window.
    void typed(int code, bool idle) {
        static const char* key_names[] = {"", "left", "right", "ok", "power"};
        if (first_dialog_at.load() == 0 && !in_power_wait.load()) {
            say("key %s discarded: no dialog is up yet", key_names[code]);
            return;
        }
        if (!idle || !keys_.empty()) say("key held until the next dialog: %s", key_names[code]);
        keys_.push_back(code);
    }

    void read_control(bool idle) {
        if (options_.control_fd < 0) return;
        char buffer[64];
        ssize_t n = ::read(options_.control_fd, buffer, sizeof buffer);
        for (ssize_t i = 0; i < n; ++i) {
            char c = buffer[i];
            if (c >= '1' && c <= '4') typed(c - '0', idle);
            else if (c == 'I') ::kill(::getpid(), SIGINT);
            else if (c == 'T') ::kill(::getpid(), SIGTERM);
        }
    }

    void power_off() {
        say("the controller switched the device off");
        finish("poweroff");
        ::_exit(0);
    }

    void watch() {
        static const char* key_names[] = {"", "left", "right", "ok", "power"};
        std::uint64_t seen_changes = framebuffer_.poll_changes();
        Clock::time_point last_change = Clock::now();
        Clock::time_point idle_since = Clock::now();
        bool was_idle = false;
        bool delivering = false;
        unsigned long entries_at_send = 0;
        Clock::time_point sent_at{};

        while (!quit_.load()) {
            for (const std::string& command : key_controller_->receive(0))
                say("controller: %s", KeyController::describe(command).c_str());
            if (key_controller_->powered_off()) power_off();

            const Clock::time_point now = Clock::now();
            std::uint64_t changes = framebuffer_.poll_changes();
            if (changes != seen_changes) {
                seen_changes = changes;
                last_change = now;
                if (shared_.attached()) shared_.publish(capture(framebuffer_));
            }
            if (delivering && (handler_entries.load() > entries_at_send || now - sent_at > std::chrono::seconds(10)))
                delivering = false;
            const bool stable = now - last_change >= std::chrono::milliseconds(settle_ms);
            const bool idle = stable && !delivering && waiting_for_key();
            read_control(!delivering && waiting_for_key());
            if (idle && !was_idle) idle_since = now;
            was_idle = idle;

            if (idle) {
                write_screen_if_new();
                if (!keys_.empty()) {
                    int code = keys_.front();
                    keys_.pop_front();
                    say("key %s", key_names[code]);
                    entries_at_send = handler_entries.load();
                    delivering = app_handler.load() != nullptr;
                    sent_at = now;
                    was_idle = false;
                    if (!key_controller_->press(code)) say("the key could not be sent");
                } else if (options_.keys_given && !options_.hold && now - idle_since >= std::chrono::seconds(1)) {
                    say("no keys left and the program waits for one: the simulation ends here");
                    finish("waiting");
                    ::_exit(1);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
    }

    SessionOptions options_;
    FakeFramebuffer framebuffer_;
    FakeController* controller_ = nullptr;   // left in place until the process ends:
    KeyController* key_controller_ = nullptr;  // program threads may still use the device
    std::deque<int> keys_;
    Rgb565Image last_written_;
    int screens_ = 0;
    std::thread watcher_;
    std::atomic<bool> quit_{false};
    std::mutex finish_mutex_;
    bool finished_ = false;
    std::mutex pictures_mutex_;  // the pictures are written by the watcher and the spinner thread
    int updating_after_ = -1;    // the settled picture that the last updating picture followed
    int updating_in_a_row_ = 0;
    SharedScreen shared_;
    Ledger ledger_;
    OutputRelay relay_;
};

Session* session = nullptr;

void trampoline(int code) {
    handler_entries.fetch_add(1);
    auto handler = app_handler.load();
    const bool answering = code == 3 && handler == app::key_handler && session != nullptr;
    if (answering) session->turn_begin();
    if (handler != nullptr) handler(code);
    if (answering) session->turn_end();
    handler_returns.fetch_add(1);
}

void at_exit() {
    if (session == nullptr) return;
    session->stop_watcher();
    session->finish("exit");
}

}  // namespace

int run_session(const SessionOptions& options) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    fast_sleep.store(options.fast);
    // Never destroyed: when the program ends with exit() its threads may still
    // touch the fake devices.
    session = new Session(options);
    session->report("started");
    session->start_relay();
    session->check_named_package();
    std::atexit(at_exit);
    session->start();

    std::vector<std::string> arguments = {"upgqx4170"};
    arguments.insert(arguments.end(), options.program_args.begin(), options.program_args.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    report_timing.store(options.timing);
    const Clock::time_point start = Clock::now();
    program_started_at.store(start.time_since_epoch().count());
    int status = app::main(static_cast<int>(arguments.size()), argv.data());
    const Clock::time_point returned = Clock::now();
    if (options.timing) say("timing: returned %lld us", since(start, returned.time_since_epoch().count()));
    session->stop_watcher();
    session->finish("returned " + std::to_string(status));
    return status;
}

}  // namespace sim

extern "C" void __wrap__Z15InputSetHandlerPFviE(void (*handler)(int)) {
    using namespace sim;
    app_handler.store(handler);
    if (handler != nullptr && first_dialog_at.load() == 0) {
        // do_upg installs the handler right after drawing the dialog.
        long long expected = 0;
        const long long now = Clock::now().time_since_epoch().count();
        if (first_dialog_at.compare_exchange_strong(expected, now) && report_timing.load())
            say("timing: first dialog %lld us", since(Clock::time_point(Clock::duration(program_started_at.load())), now));
    }
    __real__Z15InputSetHandlerPFviE(handler != nullptr ? trampoline : nullptr);
}

extern "C" void __wrap__ZN3app7delProcEv() {
    using namespace sim;
    if (report_timing.load()) {
        const long long now = Clock::now().time_since_epoch().count();
        say("timing: wait ended %lld us", since(Clock::time_point(Clock::duration(program_started_at.load())), now));
    }
    __real__ZN3app7delProcEv();
}

extern "C" int __wrap__Z12GuiShowImageiiP10IMAGE_A555(int x, int y, IMAGE_A555* img) {
    using namespace sim;
    int result = __real__Z12GuiShowImageiiP10IMAGE_A555(x, y, img);
    // The key worker draws the updating window, then the spinner thread its frames:
    // the first frame after the window completes the picture to take.
    static std::atomic<bool> updating_up{false};
    const std::uint8_t* data = img != nullptr ? img->data : nullptr;
    bool spinner_frame = false;
    for (const IMAGE_A555* frame : {&proc0, &proc1, &proc2, &proc3, &proc4, &proc5})
        spinner_frame = spinner_frame || data == frame->data;
    if (data == dlgUpt.data) {
        updating_up.store(true);
        if (session != nullptr) session->apply_started();
    } else if (!spinner_frame) {
        updating_up.store(false);
    } else if (updating_up.exchange(false) && session != nullptr) {
        session->write_updating_picture();
    }
    return result;
}

extern "C" int __wrap_pause() {
    sim::in_power_wait.store(true);
    return __real_pause();
}

extern "C" unsigned __wrap_sleep(unsigned seconds) {
    if (!sim::fast_sleep.load()) return __real_sleep(seconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(40) * seconds);
    return 0;
}

extern "C" int __wrap__Z11tuf_extractPKcS0_(const char* path, const char* root) {
    const int status = __real__Z11tuf_extractPKcS0_(path, root);
    if (sim::session != nullptr) sim::session->extracted(status);
    return status;
}

extern "C" int __wrap__Z19tuf_extract_checkedPKcS0_RN3tuf12PackageCheckE(const char* path, const char* root,
                                                                        tuf::PackageCheck& check) {
    const int status = __real__Z19tuf_extract_checkedPKcS0_RN3tuf12PackageCheckE(path, root, check);
    if (sim::session != nullptr) sim::session->extracted(status);
    return status;
}

extern "C" int __wrap_system(const char* command) {
    if (sim::session != nullptr) sim::session->child_running(true);
    const int status = __real_system(command);
    if (sim::session != nullptr) sim::session->child_running(false);
    return status;
}
