// Start-up of the device program in upgsim: from main() to the first dialog on
// the screen with ten packages on the card, against main() to the end of the
// driver's wait with an empty card (the floor: banner, signal handlers, devices,
// spinner thread, an empty card scan). Both figures are measured inside the
// sandbox by upgsim itself (--timing), so the sandbox's own start is not counted.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "package_builder.h"
#include "upgsim_runner.h"

namespace fs = std::filesystem;

namespace {

struct Folders {
    fs::path top, rootfs, empty_card, full_card;

    Folders() {
        std::string pattern = (fs::temp_directory_path() / "upgsim-bench-XXXXXX").string();
        top = ::mkdtemp(pattern.data());
        rootfs = top / "rootfs";
        empty_card = top / "empty";
        full_card = top / "ten";
        fs::create_directories(rootfs / "cmap");
        fs::create_directories(empty_card);
        fs::create_directories(full_card);
        for (int i = 0; i < 10; ++i)
            test::PackageBuilder("QX4170", "2." + std::to_string(i))
                .dir("/opt")
                .file("/opt/program.bin", std::string(4096, 'x'), true)
                .write((full_card / ("p" + std::to_string(i) + ".tuf")).string());
    }
    ~Folders() {
        std::error_code ignored;
        fs::remove_all(top, ignored);
    }
};

// Microseconds reported on the line "upgsim: timing: WHAT N us", or -1.
double timing(const std::string& err, const std::string& what) {
    const std::string key = "upgsim: timing: " + what + " ";
    std::size_t at = err.find(key);
    return at == std::string::npos ? -1.0 : std::atof(err.c_str() + at + key.size());
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

void StartupToFirstDialog(benchmark::State& state) {
    Folders folders;
    std::vector<double> floor, dialog;
    for (auto _ : state) {
        {
            test::Upgsim run(UPGSIM_PATH, {"--rootfs", folders.rootfs.string(), "--card", folders.empty_card.string(),
                                           "--timing"});
            run.finish();
            floor.push_back(timing(run.err(), "wait ended"));
        }
        {
            test::Upgsim run(UPGSIM_PATH, {"--rootfs", folders.rootfs.string(), "--card", folders.full_card.string(),
                                           "--timing"});
            run.wait_for_err("timing: first dialog");
            dialog.push_back(timing(run.err(), "first dialog"));
            run.signal(SIGINT);  // the first SIGINT ends the run normally
            run.finish();
        }
        if (floor.back() < 0 || dialog.back() < 0) {
            state.SkipWithError("upgsim gave no timing");
            break;
        }
    }
    state.counters["floor_empty_card_us"] = median(floor);
    state.counters["first_dialog_ten_us"] = median(dialog);
    state.counters["ratio"] = median(dialog) / std::max(1.0, median(floor));
}
BENCHMARK(StartupToFirstDialog)->Iterations(15)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
