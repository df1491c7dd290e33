// Key press to redrawn buttons: a key sentence written by the controller's side
// until both buttons of the dialog show the moved focus on the screen, against
// the same sentence until a handler that does nothing is called (the floor: the
// reader, parser and event pool). Median and 99th percentile of each, and their
// ratios, from one run. Runs inside the sandbox: the dialog reads the version file.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include "app/upgqx4170.h"
#include "gui/t4170img.h"
#include "input/t4170input.h"
#include "sim/fake_controller.h"
#include "sim/fake_framebuffer.h"
#include "sim/key_controller.h"
#include "sim/upgsim_sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> floor_handled{false};
void floor_handler(int) { floor_handled.store(true); }

bool shows(const sim::FakeFramebuffer& screen, int x, int y, const IMAGE_A555& image) {
    for (int row = 0; row < image.height; ++row)
        for (int column = 0; column < image.width; ++column) {
            const std::uint8_t* p = image.data + row * image.pitch + column * 2;
            if (screen.pixel16(x + column, y + row) != static_cast<std::uint16_t>(p[0] | (p[1] << 8))) return false;
        }
    return true;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    std::size_t index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

double micros(Clock::duration duration) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count()) / 1000.0;
}

void KeyPressToRedrawnButtons(benchmark::State& state) {
    sim::FakeFramebuffer screen;
    sim::FakeController controller;
    if (InputInit() != 0 || GuiInit() != 0 || app::initProc() != 0) {
        state.SkipWithError("devices did not start");
        return;
    }
    sim::KeyController keys(controller.peer_fd());

    HEADTUFFILE header{};
    std::memcpy(header.magic, "TUF", 3);
    std::memcpy(header.id, "QX4170", 6);
    std::memcpy(header.version, "2.0", 3);
    app::num_file = 1;
    pthread_mutex_lock(&app::stop_mutex);
    app::stop = 0;  // offering, as the driver leaves it: keys are handled only then
    pthread_mutex_unlock(&app::stop_mutex);
    app::do_upg("program.tuf", &header);
    const int x = DLG_X, y = DLG_Y;
    bool yes_focused = true;

    std::vector<double> floor, full;
    for (auto _ : state) {
        InputSetHandler(floor_handler);
        floor_handled.store(false);
        Clock::time_point start = Clock::now();
        keys.press(1);
        while (!floor_handled.load()) {
        }
        floor.push_back(micros(Clock::now() - start));

        InputSetHandler(app::key_handler);
        yes_focused = !yes_focused;
        const IMAGE_A555& yes = yes_focused ? yes1 : yes0;
        const IMAGE_A555& no = yes_focused ? no0 : no1;
        start = Clock::now();
        keys.press(1);
        while (!(shows(screen, x + 75, y + 100, yes) && shows(screen, x + 160, y + 100, no))) {
        }
        full.push_back(micros(Clock::now() - start));
        keys.receive(0);  // the beeps
    }
    InputSetHandler(nullptr);
    app::delProc();
    InputEnd();
    GuiEnd();

    state.counters["floor_median_us"] = percentile(floor, 0.5);
    state.counters["floor_p99_us"] = percentile(floor, 0.99);
    state.counters["buttons_median_us"] = percentile(full, 0.5);
    state.counters["buttons_p99_us"] = percentile(full, 0.99);
    state.counters["ratio_median"] = percentile(full, 0.5) / std::max(0.001, percentile(floor, 0.5));
    state.counters["ratio_p99"] = percentile(full, 0.99) / std::max(0.001, percentile(floor, 0.99));
}
// One run per process: the key input service starts once.
BENCHMARK(KeyPressToRedrawnButtons)->Iterations(500)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (auto status = sim::rerun_in_sandbox(argc, argv)) return *status;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
