#include "input/t4170input.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "input/t4170input_internal.h"
#include "input/tcomport.h"
#include "input/tparser.h"
#include "tdpool/tdpool.h"

namespace {

using key_handler_t = void (*)(int code);

std::atomic<key_handler_t> handler{nullptr};
std::atomic<int> stop{0};
int tty_fd = -1;
pthread_t tty_thread_id;
bool tty_thread_started = false;
tdpool* evt_pool = nullptr;
tdpool* tty_pool = nullptr;
tparser_t parser;
std::atomic<bool> reader_done{false};

// Wakes the reader out of a read on a silent controller when the service stops.
// Its handler is installed without SA_RESTART, so the read returns EINTR however
// the driver waits: a driver without poll could not be woken any other way.
int wake_signal() { return SIGRTMIN; }
void wake_handler(int) {}

// A controller that hung up or keeps failing answers every read at once; the
// reader then waits this long, doubled each time up to the limit, so it does
// not take the CPU from the extraction and the spinner.
constexpr long FIRST_PAUSE_MS = 1;
constexpr long LAST_PAUSE_MS = 100;

void pause_ms(long ms) {
    timespec delay{ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&delay, nullptr);  // ended early by the wake signal, which is what InputEnd wants
}

constexpr int READ_SIZE = 63;
constexpr int POOL_SIZE = 10;
constexpr const char* KEY_ADDRESS = "QXKBD";
// Key codes 1..4, in the order they are compared.
constexpr const char* KEY_CODES[] = {"0140", "0110", "0102", "0040"};
constexpr std::size_t KEY_CODE_OFFSET = 3;
constexpr std::size_t KEY_DATA_MIN = KEY_CODE_OFFSET + 4;

const char SOB[] = "$SOB\r\n";
const char SNB3[] = "$SNB3\r\n";
const char SLB255[] = "$SLB255\r\n";
const char OFF[] = "$OFF\r\n";

void send_command(const char* text, std::size_t length) {
    tcom_write(tty_fd, text, static_cast<int>(length));
}

}  // namespace

void* input_thread(void*) {
    BYTE buffer[READ_SIZE + 1];
    long pause = 0;
    while (stop.load() == 0) {
        int n = tcom_read(tty_fd, buffer, READ_SIZE);
        if (n > 0) {
            pause = 0;
            buffer[n] = 0;
            tdpool_add_data(tty_pool, buffer, n + 1);
        } else if (!(n < 0 && errno == EINTR) && stop.load() == 0) {
            pause = pause == 0 ? FIRST_PAUSE_MS : std::min(2 * pause, LAST_PAUSE_MS);
            pause_ms(pause);
        }
    }
    reader_done.store(true);
    return nullptr;
}

int do_parser(void* data, int size) {
    tparser_parser(&parser, static_cast<const BYTE*>(data), size - 1);
    return 0;
}

int key_decode(BYTE* address, BYTE* data) {
    if (std::strcmp(reinterpret_cast<const char*>(address), KEY_ADDRESS) != 0) return 0;
    // Behind a short field's NUL lie the bytes of earlier sentences: they must not
    // be taken for a key.
    const char* text = reinterpret_cast<const char*>(data);
    if (strnlen(text, KEY_DATA_MIN) < KEY_DATA_MIN) return 0;
    for (int i = 0; i < 4; ++i) {
        if (std::strncmp(text + KEY_CODE_OFFSET, KEY_CODES[i], 4) == 0) {
            const unsigned char code = static_cast<unsigned char>(i + 1);
            tdpool_add_data(evt_pool, &code, 1);
            return 0;
        }
    }
    return 0;
}

int evt_pro(void* data, int size) {
    key_handler_t current = handler.load();
    if (current != nullptr && size >= 1) current(*static_cast<unsigned char*>(data));
    return 0;
}

int InputInit(void) {
    handler.store(nullptr);
    stop.store(0);
    if (tdpool_init(&evt_pool, evt_pro, 1, POOL_SIZE, 0) != 0) return 1;
    if (tdpool_init(&tty_pool, do_parser, 1, POOL_SIZE, 0) != 0) return 2;
    tparser_init(&parser, key_decode);
    tty_fd = tcom_init("/dev/spi_key");
    if (tty_fd < 0) return 3;
    struct sigaction wake {};
    wake.sa_handler = wake_handler;
    sigemptyset(&wake.sa_mask);
    if (sigaction(wake_signal(), &wake, nullptr) != 0) return 4;
    reader_done.store(false);
    if (pthread_create(&tty_thread_id, nullptr, input_thread, nullptr) != 0) return 4;
    tty_thread_started = true;
    return 0;
}

int InputEnd(void) {
    stop.store(1);
    // A signal that comes just before the reader enters its read is lost: it is
    // sent again until the reader has gone.
    for (long waited = 0; tty_thread_started && !reader_done.load(); waited = std::min(waited + 1, 10L)) {
        pthread_kill(tty_thread_id, wake_signal());
        pause_ms(waited);
    }
    if (!tty_thread_started || pthread_join(tty_thread_id, nullptr) != 0) std::puts("Error : join input_thread");
    tty_thread_started = false;
    // tty_fd keeps its value: a handler still running during the drain below may
    // read it for a command.
    if (tty_fd >= 0) tcom_close(tty_fd);
    // The parser pool first: while it works off its queue it still posts key codes.
    if (tty_pool != nullptr) tdpool_destroy(tty_pool, 1);
    tty_pool = nullptr;
    if (evt_pool != nullptr) tdpool_destroy(evt_pool, 1);
    evt_pool = nullptr;
    return 0;
}

void InputSetHandler(void (*new_handler)(int code)) { handler.store(new_handler); }

void beep(void) { send_command(SOB, sizeof SOB - 1); }

void power(void) {
    send_command(SNB3, sizeof SNB3 - 1);
    send_command(SLB255, sizeof SLB255 - 1);
    send_command(OFF, sizeof OFF - 1);
}
