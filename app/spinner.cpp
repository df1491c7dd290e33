// The progress spinner: a thread that turns the wheel inside the updating window.
#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "app/upgqx4170.h"
#include "gui/t4170img.h"

namespace app {

short pstate = 0;
pthread_mutex_t mtx_proc = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t con_proc = PTHREAD_COND_INITIALIZER;
short mode = 0;

namespace {

pthread_t thr_proc;
IMAGE_A555 frames[6];
pthread_once_t frames_once = PTHREAD_ONCE_INIT;

void fill_frames() {
    frames[0] = proc0;
    frames[1] = proc1;
    frames[2] = proc2;
    frames[3] = proc3;
    frames[4] = proc4;
    frames[5] = proc5;
}

void set_state(short state) {
    pthread_mutex_lock(&mtx_proc);
    pstate = state;
    pthread_cond_signal(&con_proc);
    pthread_mutex_unlock(&mtx_proc);
}

void* process_do(void*) {
    for (;;) {
        pthread_mutex_lock(&mtx_proc);
        while (pstate == 0) pthread_cond_wait(&con_proc, &mtx_proc);
        if (pstate == 2) {
            pthread_mutex_unlock(&mtx_proc);
            return nullptr;
        }
        // Drawn under the lock: once disable_proc has returned no frame is in
        // progress and none follows, so nothing lands on the next picture.
        process_draw();
        pthread_mutex_unlock(&mtx_proc);

        timespec period{0, 100000000};
        while (nanosleep(&period, &period) != 0 && errno == EINTR) {
        }
    }
}

}  // namespace

int initProc() {
    set_state(0);
    return pthread_create(&thr_proc, nullptr, process_do, nullptr);
}

void enable_proc() { set_state(1); }

void disable_proc() { set_state(0); }

void delProc() {
    set_state(2);
    pthread_join(thr_proc, nullptr);
}

void process_draw() {
    pthread_once(&frames_once, fill_frames);
    mode = static_cast<short>(mode <= 4 ? mode + 1 : 0);
    GuiShowImage(DLG_X + 110, DLG_Y + 60, &frames[mode]);
}

}  // namespace app
