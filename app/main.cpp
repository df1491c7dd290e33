// The upgrade driver: start-up, the search of the card, the wait for the end of
// the run, and the power wait.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/trust.h"
#include "app/upgqx4170.h"
#include "gui/t4170img.h"
#include "input/t4170input.h"

namespace app {

char files[max_files][path_size];
HEADTUFFILE headers[max_files];
int num_file = 0;
int next = 0;
char filesh[path_size];
int have_sh = 0;
int stop = 1;
pthread_mutex_t stop_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t stop_cond = PTHREAD_COND_INITIALIZER;
int is_loop = 0;
bool key_turn = false;

namespace {

// A stop asked for before the first offer (a signal during the card search):
// the offer must not wipe it. Guarded by stop_mutex.
bool stop_requested = false;

constexpr const char* program_id = "UpgQx4170 - ver.130315";
constexpr int signals[] = {SIGINT, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGQUIT,
                           SIGSEGV, SIGSYS, SIGTRAP, SIGXCPU, SIGXFSZ, -999};

// The handler may not call stdio or lock a mutex: it writes its line with
// write() and passes the work on to the signal thread through a pipe.
constexpr unsigned char request_end = 0;     // the signal thread leaves
constexpr unsigned char request_exit = 0xFF;  // second SIGINT: tear down and exit 0
int signal_pipe[2] = {-1, -1};
pthread_t signal_thread;
bool signal_thread_running = false;

constexpr int max_signal = 64;
char signal_names[max_signal + 1][64];  // descriptions, copied before any handler is installed

// The program's devices are ended once, whether by the end of the run or by the
// second SIGINT racing it.
pthread_mutex_t teardown_mutex = PTHREAD_MUTEX_INITIALIZER;
bool input_ended = false;
bool gui_ended = false;

void end_input() {
    pthread_mutex_lock(&teardown_mutex);
    if (!input_ended) {
        input_ended = true;
        InputEnd();
    }
    pthread_mutex_unlock(&teardown_mutex);
}

void end_gui() {
    pthread_mutex_lock(&teardown_mutex);
    if (!gui_ended) {
        gui_ended = true;
        GuiEnd();
    }
    pthread_mutex_unlock(&teardown_mutex);
}

const char* signal_name(int id) { return id > 0 && id <= max_signal ? signal_names[id] : "Unknown signal"; }

void* signal_thread_body(void*) {
    for (;;) {
        unsigned char request;
        ssize_t n = ::read(signal_pipe[0], &request, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || request == request_end) return nullptr;
        if (request == request_exit) {
            end_input();
            // The spinner would otherwise draw into a screen that is no longer mapped.
            disable_proc();
            end_gui();
            std::fflush(nullptr);
            std::exit(0);
        }
        request_stop();
    }
}

void send_request(unsigned char request) {
    if (signal_pipe[1] >= 0) {
        ssize_t n = ::write(signal_pipe[1], &request, 1);
        (void)n;
    }
}

bool start_signal_thread() {
    if (::pipe2(signal_pipe, O_CLOEXEC) != 0) return false;
    // A full pipe must never block a handler; requests are idempotent anyway.
    ::fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK);
    signal_thread_running = pthread_create(&signal_thread, nullptr, signal_thread_body, nullptr) == 0;
    return signal_thread_running;
}

void stop_signal_thread() {
    if (!signal_thread_running) return;
    send_request(request_end);
    pthread_join(signal_thread, nullptr);
    signal_thread_running = false;
}

void append(char* line, std::size_t& length, std::size_t size, const char* text) {
    while (*text != '\0' && length + 1 < size) line[length++] = *text++;
}

void append_number(char* line, std::size_t& length, std::size_t size, int number) {
    char digits[16];
    int count = 0;
    unsigned value = number < 0 ? 0u - static_cast<unsigned>(number) : static_cast<unsigned>(number);
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (number < 0) append(line, length, size, "-");
    while (count > 0 && length + 1 < size) line[length++] = digits[--count];
}

bool is_fault(int id) { return id == SIGSEGV || id == SIGBUS || id == SIGFPE || id == SIGILL; }

DIR* open_dir(const char* dir) {
    DIR* listing = ::opendir(dir);
    if (listing == nullptr) {
        // get_first_sh and do_all both list the card: report a bad card once.
        static char reported[path_size];
        if (std::strncmp(reported, dir, sizeof reported) != 0) {
            std::printf("Error : opendir(%s) : %s\n", dir, std::strerror(errno));
            std::snprintf(reported, sizeof reported, "%s", dir);
        }
    }
    return listing;
}

void offer_argument(const char* path) {
    std::size_t length = std::strlen(path);
    if (length >= static_cast<std::size_t>(path_size)) {
        std::printf("Error : package path of %zu characters is too long (%d at most), nothing offered\n", length,
                    path_size - 1);
        return;
    }
    HEADTUFFILE header;
    if (tuf_is_tuf_file(path, &header) == 0 && trust_offer(path)) {
        std::memcpy(files[num_file], path, length + 1);
        headers[num_file] = header;
        ++num_file;
    }
}

}  // namespace

void request_stop() {
    pthread_mutex_lock(&stop_mutex);
    stop = 1;
    stop_requested = true;
    pthread_cond_signal(&stop_cond);
    pthread_mutex_unlock(&stop_mutex);
}

bool begin_key_turn() {
    pthread_mutex_lock(&stop_mutex);
    const bool go = stop == 0;
    key_turn = go;
    pthread_mutex_unlock(&stop_mutex);
    return go;
}

void end_key_turn() {
    pthread_mutex_lock(&stop_mutex);
    key_turn = false;
    pthread_cond_broadcast(&stop_cond);
    pthread_mutex_unlock(&stop_mutex);
}

void install_signal_handlers() {
    for (int id = 1; id <= max_signal; ++id) std::snprintf(signal_names[id], sizeof signal_names[id], "%s", strsignal(id));
    if (!signal_thread_running && !start_signal_thread()) std::puts("Error : signal thread");
    for (int i = 0; signals[i] != -999; ++i) {
        struct sigaction action{};
        action.sa_handler = signal_handler;
        // Calls interrupted by a signal go on: a controller command (power off) is
        // never lost to an interruption.
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        if (sigaction(signals[i], &action, nullptr) != 0)
            std::printf("Error : set signal handler %s!\n", signal_name(signals[i]));
    }
}

void help(const char* prog) { std::printf("Usage : %s FILE\n", prog); }

void signal_handler(int id) {
    const int saved_errno = errno;
    char line[128];
    std::size_t length = 0;
    append(line, length, sizeof line, "SIG CAUGHT (ID ");
    append_number(line, length, sizeof line, id);
    append(line, length, sizeof line, " - ");
    append(line, length, sizeof line, signal_name(id));
    append(line, length, sizeof line, ")\n");
    ssize_t written = ::write(STDOUT_FILENO, line, length);
    (void)written;

    if (is_fault(id)) {
        // Going on after a fault would only fault again: end with the default action.
        struct sigaction action{};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        sigaction(id, &action, nullptr);
        raise(id);
        errno = saved_errno;
        return;
    }
    static std::atomic<int> interrupts{0};
    if (id == SIGINT && interrupts.fetch_add(1) + 1 >= 2) {
        send_request(request_exit);
    } else {
        send_request(static_cast<unsigned char>(id));
    }
    errno = saved_errno;
}

int get_first_sh(const char* dir) {
    DIR* listing = open_dir(dir);
    if (listing == nullptr) return 0;
    int found = 0;
    while (dirent* entry = ::readdir(listing)) {
        std::size_t length = std::strlen(entry->d_name);
        if (length >= 3 && std::strcmp(entry->d_name + length - 3, ".sh") == 0) {
            std::snprintf(filesh, sizeof filesh, "%s", entry->d_name);
            have_sh = 1;
            found = 1;
            break;
        }
    }
    ::closedir(listing);
    return found;
}

int do_all(const char* dir) {
    DIR* listing = open_dir(dir);
    if (listing == nullptr) return 0;
    while (num_file < max_files) {
        dirent* entry = ::readdir(listing);
        if (entry == nullptr) break;
        HEADTUFFILE header;
        if (tuf_is_tuf_file(entry->d_name, &header) == 0 && trust_offer(entry->d_name)) {
            std::snprintf(files[num_file], path_size, "%s", entry->d_name);
            headers[num_file] = header;
            ++num_file;
        }
    }
    ::closedir(listing);
    return 0;
}

int main(int argc, char** argv) {
    // One line at a time, so a log written to a file is complete and in the order
    // of events even when the process ends by a signal or the power key.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("%s %s %s\n", program_id, __DATE__, __TIME__);

    install_signal_handlers();

    if (InputInit() != 0) {
        std::puts("InputInit : FAIL");
        std::fflush(nullptr);
        std::exit(1);
    }
    if (GuiInit() != 0) {
        std::puts("GuiInit : FAIL");
        std::fflush(nullptr);
        std::exit(1);
    }
    if (initProc() != 0) {
        std::puts("ProcInit : FAIL");
        std::fflush(nullptr);
        std::exit(1);
    }

    trust_init(trust_key_file);
    if (get_first_sh(card_dir)) std::printf("Found .sh : %s\n", filesh);

    bool usage = false;
    if (argc <= 1) {
        do_all(card_dir);
    } else if (argc == 2) {
        offer_argument(argv[1]);
    } else {
        usage = true;
        pthread_mutex_lock(&stop_mutex);
        stop = 1;
        pthread_mutex_unlock(&stop_mutex);
        help(argv[0]);
    }

    if (!usage && num_file != 0) {
        next = 0;
        pthread_mutex_lock(&stop_mutex);
        const bool offer = !stop_requested;
        if (offer) stop = 0;
        pthread_mutex_unlock(&stop_mutex);
        if (offer) do_upg(files[0], &headers[0]);
    }

    int applied = 0;
    if (pthread_mutex_lock(&stop_mutex) == 0) {
        // A stop that comes while a key is handled (an apply in progress) takes
        // effect when the handler is done: only then is it known whether
        // something was applied.
        while (stop == 0 || key_turn) {
            if (pthread_cond_wait(&stop_cond, &stop_mutex) != 0) break;
        }
        applied = is_loop;
        pthread_mutex_unlock(&stop_mutex);
    }

    delProc();

    if (applied == 0) {
        end_input();
        end_gui();
        stop_signal_thread();
        return 0;
    }

    sync();
    GuiShowImage(DLG_X, DLG_Y, &msg0);
    end_gui();
    InputSetHandler(key_handler_power);
    for (;;) pause();
}

}  // namespace app
