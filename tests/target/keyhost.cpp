// The key controller of the emulated device: connects to the unix socket behind
// the guest's "spi_key" port and drives it with sim::KeyController, the same
// controller upgsim uses over its socket pair. The harness talks to it by lines:
//   stdin : "press NAME"      NAME: left, right, ok, power or 1..4
//   stdout: "ready"           connected
//           "pressed NAME"    the sentence was written
//           "command HEX TEXT" a command from the program (HEX: its bytes)
//           "powered-off"     the power-off sequence is complete
//           "closed"          the guest side went away
//   keyhost SOCKET [CONNECT_TIMEOUT_MS]
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "sim/key_controller.h"

namespace {

int connect_socket(const std::string& path, int timeout_ms) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        ::close(fd);
        // QEMU creates the socket shortly after it starts.
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string hex(const std::string& bytes) {
    std::string text;
    char digits[3];
    for (unsigned char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", c);
        text += digits;
    }
    return text;
}

void say(const std::string& line) {
    std::cout << line << '\n' << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: keyhost SOCKET [CONNECT_TIMEOUT_MS]\n";
        return 2;
    }
    const int timeout_ms = argc == 3 ? std::atoi(argv[2]) : 10000;
    const int fd = connect_socket(argv[1], timeout_ms);
    if (fd < 0) {
        std::cerr << "keyhost: cannot connect to " << argv[1] << ": " << std::strerror(errno) << '\n';
        return 1;
    }
    sim::KeyController controller(fd);
    say("ready");

    bool was_off = false;
    bool input_open = true;
    std::string line;
    while (!controller.closed()) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {input_open ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) {
            for (const std::string& command : controller.receive(0))
                say("command " + hex(command) + " " + sim::KeyController::describe(command));
            if (controller.powered_off() && !was_off) {
                was_off = true;
                say("powered-off");
            }
        }
        if (fds[1].revents != 0) {
            // One line at a time, unbuffered, so poll sees what is still pending.
            char c;
            ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n <= 0) {
                input_open = false;
                continue;
            }
            if (c != '\n') {
                line += c;
                continue;
            }
            if (line.rfind("press ", 0) == 0) {
                const std::string name = line.substr(6);
                const int code = sim::KeyController::key_code(name);
                if (code == 0 || !controller.press(code)) say("error " + name);
                else say("pressed " + name);
            } else {
                say("error " + line);
            }
            line.clear();
        }
    }
    say("closed");
    ::close(fd);
    return 0;
}
