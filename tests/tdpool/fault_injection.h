// Failures injected at link time: a test binary linked with
//   -Wl,--wrap=malloc,--wrap=pthread_create,--wrap=pthread_join,
//   --wrap=pthread_cond_broadcast,--wrap=pthread_mutex_init,--wrap=pthread_cond_init
// routes those calls of the code under test through fault_injection.cpp, which
// passes them on to the real ones unless a failure is armed. The production
// libraries are built and linked as they are.
#pragma once

#include <pthread.h>

#include <vector>

namespace fault {

// The n-th malloc from now on the calling thread returns null (0: none fails).
void fail_malloc(int nth);
// The n-th pthread_create from now (any thread) fails with `error`.
void fail_pthread_create(int nth, int error);
// The n-th pthread_cond_broadcast from now does its work but reports `error`.
void fail_pthread_cond_broadcast(int nth, int error);
// The n-th pthread_join from now joins the thread but reports `error`, so no
// thread outlives a pool whose destroy saw the failure.
void fail_pthread_join(int nth, int error);
// The n-th pthread_mutex_init / pthread_cond_init from now fails with `error`.
void fail_pthread_mutex_init(int nth, int error);
void fail_pthread_cond_init(int nth, int error);
void disarm_all();

// Threads created and joined (also by a join armed to fail) through the wrapped calls since the last clear.
void clear_thread_records();
std::vector<pthread_t> created_threads();
std::vector<pthread_t> joined_threads();

}  // namespace fault
