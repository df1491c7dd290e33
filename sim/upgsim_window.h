// The live screen of `upgsim --window`. The session inside the sandbox publishes
// each new picture of the fake framebuffer in shared memory; upgsim's host side,
// outside the sandbox (only it may reach the PC's display), shows it in an SDL
// window and turns the keys typed there into the device's keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/screenshot.h"

namespace sim {

// A picture in shared memory: a sequence number (odd while a picture is being
// written), the size, then the RGB565 pixels.
class SharedScreen {
public:
    SharedScreen() = default;
    ~SharedScreen();
    SharedScreen(const SharedScreen&) = delete;
    SharedScreen& operator=(const SharedScreen&) = delete;

    // Host: a new shared memory descriptor for a width x height screen, mapped; -1 on failure.
    int create(int width, int height);
    // Inside: maps the descriptor given by the host.
    bool attach(int fd, int width, int height);

    bool attached() const { return base_ != nullptr; }  // publishing is worth a capture
    void publish(const Rgb565Image& picture);
    // Copies the picture when a whole new one is there since `seen`.
    bool take(Rgb565Image& picture, std::uint32_t& seen) const;

private:
    bool map(int fd);
    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    int width_ = 0, height_ = 0;
};

class Window {
public:
    // Opens the window (the screen's size times `scale`); nothing, with the reason
    // in *error, when there is no display.
    static std::unique_ptr<Window> open(int width, int height, int scale, std::string* error);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    void show(const Rgb565Image& picture);
    // Handles the window's events: the keys typed are appended as '1'..'4' (left,
    // right, Enter, p). False once the window has been closed.
    bool handle_events(std::string& keys);

private:
    Window() = default;
    struct Sdl;
    std::unique_ptr<Sdl> sdl_;
    Rgb565Image shown_;
};

}  // namespace sim
