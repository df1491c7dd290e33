// The key controller's side of the link to the device program: sends key
// sentences and reads the commands the program writes back. The transport is any
// connected byte stream: one end of a socket pair (upgsim) or the socket behind
// an emulated serial port (the target harness).
#pragma once

#include <string>
#include <vector>

namespace sim {

enum class Command { beep, power_key_light, power_backlight, power_off, other };

class KeyController {
public:
    explicit KeyController(int fd) : fd_(fd) {}  // the descriptor stays the caller's

    // The sentence the controller sends for key code 1..4: "$QXKBD,xxx0140*3D\r\n".
    static std::string key_sentence(int code);
    // Key name ("left", "right", "ok", "power") or "1".."4" to a code; 0 if unknown.
    static int key_code(const std::string& name);

    // Sends the sentence of one key; false if the write failed.
    bool press(int code);

    // Waits up to timeout_ms for bytes from the program (0: only what is there),
    // splits them into commands at each 0x00 byte and returns the commands that
    // were completed by this call. Returns what it has when the peer closes.
    std::vector<std::string> receive(int timeout_ms);

    static Command classify(const std::string& command);
    // Text for a log line: "beep", "power off", or the bytes escaped.
    static std::string describe(const std::string& command);

    // True once "$SNB3\r\n", "$SLB255\r\n" and "$OFF\r\n" have arrived in that order.
    bool powered_off() const { return power_step_ == 3; }
    bool closed() const { return closed_; }
    const std::vector<std::string>& commands() const { return commands_; }

private:
    int fd_;
    std::string partial_;
    std::vector<std::string> commands_;
    int power_step_ = 0;
    bool closed_ = false;
};

}  // namespace sim
