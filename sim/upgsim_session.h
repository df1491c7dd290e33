// upgsim inside its sandbox: the device program's main() on the fake framebuffer
// and the fake key controller, with a watcher that writes a picture each time the
// screen settles and sends keys only while the program is idle.
#pragma once

#include <string>
#include <vector>

#include "sim/fake_framebuffer.h"

namespace sim {

struct SessionOptions {
    FramebufferFormat format;
    std::string screens_dir;         // inside path; empty: no pictures
    std::vector<int> keys;           // key codes to send, in order
    bool keys_given = false;         // --keys: when they are used up the simulation ends
    bool fast = false;               // the program's waits last 40 ms per second
    bool timing = false;             // report start-up figures (benchmarks)
    bool hold = false;               // keep running when the keys are used up (signal tests)
    int control_fd = -1;             // from the host side: keys and signal requests
    int status_fd = -1;              // to the host side: screens, packages and the end of the run
    int screen_fd = -1;              // shared memory for the live window (SharedScreen); -1: none
    bool output_to_stderr = false;   // the program's standard output goes to standard error (--json)
    std::vector<std::string> program_args;
};

// Lines on the status descriptor, one event each:
//   "started", "screen NAME", "package ..." (sim::encode_result, each time a
//   package's outcome changes), "applied N", "end returned S" | "end poweroff" |
//   "end exit" | "end waiting"
// Bytes on the control descriptor: '1'..'4' a key typed, 'I' SIGINT, 'T' SIGTERM.
// A key typed before the first dialog is drawn is discarded; one typed while the
// program is busy is held until it waits for a key again.
int run_session(const SessionOptions& options);

// How long the screen has to stay unchanged, with the program idle, to count as settled.
constexpr int settle_ms = 120;

}  // namespace sim
