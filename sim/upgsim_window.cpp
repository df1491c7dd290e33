#include "sim/upgsim_window.h"

#include <SDL.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr std::size_t header_size = 64;

std::atomic_ref<std::uint32_t> sequence_of(std::uint8_t* base) {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base));
}

}  // namespace

SharedScreen::~SharedScreen() {
    if (base_ != nullptr) ::munmap(base_, size_);
}

bool SharedScreen::map(int fd) {
    size_ = header_size + static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 2;
    void* base = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return false;
    base_ = static_cast<std::uint8_t*>(base);
    return true;
}

int SharedScreen::create(int width, int height) {
    width_ = width;
    height_ = height;
    const int fd = ::memfd_create("upgsim-screen", 0);
    if (fd < 0) return -1;
    if (::ftruncate(fd, static_cast<off_t>(header_size + static_cast<std::size_t>(width) * height * 2)) != 0 ||
        !map(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SharedScreen::attach(int fd, int width, int height) {
    width_ = width;
    height_ = height;
    return map(fd);
}

void SharedScreen::publish(const Rgb565Image& picture) {
    if (base_ == nullptr || picture.width != width_ || picture.height != height_) return;
    // The reader is another process: read-modify-writes order the pixels
    // between the odd and the even number.
    auto sequence = sequence_of(base_);
    sequence.fetch_add(1, std::memory_order_acq_rel);
    std::memcpy(base_ + header_size, picture.pixels.data(), picture.pixels.size() * 2);
    sequence.fetch_add(1, std::memory_order_acq_rel);
}

bool SharedScreen::take(Rgb565Image& picture, std::uint32_t& seen) const {
    if (base_ == nullptr) return false;
    auto sequence = sequence_of(base_);
    const std::uint32_t before = sequence.load(std::memory_order_acquire);
    if (before == seen || (before & 1) != 0) return false;
    picture.width = width_;
    picture.height = height_;
    picture.pixels.resize(static_cast<std::size_t>(width_) * height_);
    std::memcpy(picture.pixels.data(), base_ + header_size, picture.pixels.size() * 2);
    if (sequence.fetch_add(0, std::memory_order_acq_rel) != before) return false;
    seen = before;
    return true;
}

struct Window::Sdl {
    SDL_Window* window = nullptr;
    ~Sdl() {
        if (window != nullptr) SDL_DestroyWindow(window);
        SDL_Quit();
    }
};

std::unique_ptr<Window> Window::open(int width, int height, int scale, std::string* error) {
    // upgsim's own handlers pass Ctrl-C and the like on to the program.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // The window's surface drawn by the display server itself (X shared memory),
    // not through OpenGL: nothing of the PC's graphics drivers is loaded.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // Only a real display: without one SDL would fall back to drawing in memory.
    if (std::getenv("SDL_VIDEODRIVER") == nullptr) {
        std::string drivers;
        if (std::getenv("DISPLAY") != nullptr) drivers = "x11";
        if (std::getenv("WAYLAND_DISPLAY") != nullptr) drivers += drivers.empty() ? "wayland" : ",wayland";
        if (drivers.empty()) {
            *error = "neither DISPLAY nor WAYLAND_DISPLAY is set";
            return nullptr;
        }
        SDL_SetHint(SDL_HINT_VIDEODRIVER, drivers.c_str());
    }
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        *error = SDL_GetError();
        SDL_Quit();
        return nullptr;
    }
    std::unique_ptr<Window> window(new Window());
    window->sdl_ = std::make_unique<Sdl>();
    window->sdl_->window = SDL_CreateWindow("upgsim", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                            width * scale, height * scale, 0);
    if (window->sdl_->window == nullptr) {
        *error = SDL_GetError();
        return nullptr;
    }
    window->show(Rgb565Image{width, height, std::vector<std::uint16_t>(static_cast<std::size_t>(width) * height)});
    return window;
}

Window::~Window() = default;

void Window::show(const Rgb565Image& picture) {
    shown_ = picture;
    SDL_Surface* source = SDL_CreateRGBSurfaceWithFormatFrom(shown_.pixels.data(), shown_.width, shown_.height, 16,
                                                              shown_.width * 2, SDL_PIXELFORMAT_RGB565);
    SDL_Surface* target = SDL_GetWindowSurface(sdl_->window);
    if (source != nullptr && target != nullptr) {
        SDL_BlitScaled(source, nullptr, target, nullptr);
        SDL_UpdateWindowSurface(sdl_->window);
    }
    if (source != nullptr) SDL_FreeSurface(source);
}

bool Window::handle_events(std::string& keys) {
    SDL_Event event;
    bool open = true;
    while (SDL_PollEvent(&event) != 0) {
        if (event.type == SDL_QUIT) {
            open = false;
        } else if (event.type == SDL_WINDOWEVENT) {
            if (event.window.event == SDL_WINDOWEVENT_CLOSE) open = false;
            else if (event.window.event == SDL_WINDOWEVENT_EXPOSED || event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
                show(shown_);
        } else if (event.type == SDL_KEYDOWN && event.key.repeat == 0) {
            switch (event.key.keysym.sym) {
                case SDLK_LEFT: case SDLK_1: keys += '1'; break;
                case SDLK_RIGHT: case SDLK_2: keys += '2'; break;
                case SDLK_RETURN: case SDLK_KP_ENTER: case SDLK_3: keys += '3'; break;
                case SDLK_p: case SDLK_4: keys += '4'; break;
                default: break;
            }
        }
    }
    return open;
}

}  // namespace sim
