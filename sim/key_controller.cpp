#include "sim/key_controller.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace sim {

namespace {
constexpr const char* key_codes[] = {"0140", "0110", "0102", "0040"};
}

std::string KeyController::key_sentence(int code) {
    if (code < 1 || code > 4) return {};
    std::string body = std::string("QXKBD,xxx") + key_codes[code - 1];
    unsigned checksum = 0;
    for (char c : body) checksum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", checksum);
    return "$" + body + tail;
}

int KeyController::key_code(const std::string& name) {
    if (name == "1" || name == "left") return 1;
    if (name == "2" || name == "right") return 2;
    if (name == "3" || name == "ok") return 3;
    if (name == "4" || name == "power") return 4;
    return 0;
}

bool KeyController::press(int code) {
    const std::string sentence = key_sentence(code);
    if (sentence.empty()) return false;
    std::size_t done = 0;
    while (done < sentence.size()) {
        ssize_t n = ::write(fd_, sentence.data() + done, sentence.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<std::string> KeyController::receive(int timeout_ms) {
    std::vector<std::string> completed;
    pollfd pfd{fd_, POLLIN, 0};
    int wait = timeout_ms;
    while (!closed_) {
        int ready = ::poll(&pfd, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[256];
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            closed_ = true;
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\0') {
                partial_ += buffer[i];
                continue;
            }
            Command kind = classify(partial_);
            if (kind == Command::power_key_light) power_step_ = 1;
            else if (kind == Command::power_backlight && power_step_ == 1) power_step_ = 2;
            else if (kind == Command::power_off && power_step_ == 2) power_step_ = 3;
            else if (power_step_ != 3) power_step_ = 0;
            commands_.push_back(partial_);
            completed.push_back(partial_);
            partial_.clear();
        }
        wait = 0;  // take what else is there, then return
    }
    return completed;
}

Command KeyController::classify(const std::string& command) {
    if (command == "$SOB\r\n") return Command::beep;
    if (command == "$SNB3\r\n") return Command::power_key_light;
    if (command == "$SLB255\r\n") return Command::power_backlight;
    if (command == "$OFF\r\n") return Command::power_off;
    return Command::other;
}

std::string KeyController::describe(const std::string& command) {
    switch (classify(command)) {
    case Command::beep: return "beep";
    case Command::power_key_light: return "power: $SNB3";
    case Command::power_backlight: return "power: $SLB255";
    case Command::power_off: return "power off";
    case Command::other: break;
    }
    std::string text;
    for (char ch : command) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

}  // namespace sim
