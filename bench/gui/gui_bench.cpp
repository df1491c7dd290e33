// Drawing speed on a 640 x 480 RGB565 fake screen, each against its baseline in
// the same run: the full 272 x 126 dialog with GuiShowImage against memcpy of the
// same 126 rows of 544 bytes into the same memory, and a 15-character version
// with GuiShowString against memcpy of its glyphs' rows.
//   build/<dir>/bench/gui/gui_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "gui/t4170gui.h"
#include "gui/t4170gui_internal.h"
#include "gui/t4170img.h"
#include "sim/fake_framebuffer.h"

namespace {

const char version[] = "V1.2.3-rc4_beta";
static_assert(sizeof version - 1 == 15);

std::uint8_t* screen_at(int x, int y) {
    GuiCanvas canvas = GuiCurrentCanvas();
    return canvas.buffer + static_cast<std::ptrdiff_t>(y) * canvas.pitch + static_cast<std::ptrdiff_t>(x) * 2;
}

void BM_DialogMemcpyRows(benchmark::State& state) {
    std::uint8_t* dst = screen_at(DLG_X, DLG_Y);
    const std::size_t pitch = static_cast<std::size_t>(GuiCurrentCanvas().pitch);
    for (auto _ : state) {
        const std::uint8_t* src = dlg1.data;
        std::uint8_t* row = dst;
        for (int y = 0; y < dlg1.height; ++y) {
            std::memcpy(row, src, static_cast<std::size_t>(dlg1.pitch));
            src += dlg1.pitch;
            row += pitch;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * dlg1.size);
}
BENCHMARK(BM_DialogMemcpyRows);

void BM_DialogGuiShowImage(benchmark::State& state) {
    for (auto _ : state) {
        GuiShowImage(DLG_X, DLG_Y, &dlg1);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * dlg1.size);
}
BENCHMARK(BM_DialogGuiShowImage);

// The glyphs of `version`, looked up once, outside the timing.
std::vector<const IMAGE_A555*> version_glyphs() {
    std::map<char, const IMAGE_A555*> glyphs = {{'V', &chr_86}, {'1', &chr_49}, {'.', &chr_46}, {'2', &chr_50},
                                                {'3', &chr_51}, {'-', &chr_45}, {'r', &chr_114}, {'c', &chr_99},
                                                {'4', &chr_52}, {'_', &chr_95}, {'b', &chr_98}, {'e', &chr_101},
                                                {'t', &chr_116}, {'a', &chr_97}};
    std::vector<const IMAGE_A555*> out;
    for (const char* p = version; *p; ++p) out.push_back(glyphs.at(*p));
    return out;
}

void BM_VersionMemcpyGlyphRows(benchmark::State& state) {
    const std::vector<const IMAGE_A555*> glyphs = version_glyphs();
    const std::size_t pitch = static_cast<std::size_t>(GuiCurrentCanvas().pitch);
    for (auto _ : state) {
        int pen = DLG_X + 195;
        for (const IMAGE_A555* glyph : glyphs) {
            const std::uint8_t* src = glyph->data;
            std::uint8_t* row = screen_at(pen, DLG_Y + 32);
            for (int y = 0; y < glyph->height; ++y) {
                std::memcpy(row, src, static_cast<std::size_t>(glyph->pitch));
                src += glyph->pitch;
                row += pitch;
            }
            pen += glyph->width;
        }
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_VersionMemcpyGlyphRows);

void BM_VersionGuiShowString(benchmark::State& state) {
    for (auto _ : state) {
        GuiShowString(DLG_X + 195, DLG_Y + 32, version);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_VersionGuiShowString);

class TimeReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration) ns_[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    double ns(const std::string& name) const {
        auto it = ns_.find(name);
        return it == ns_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> ns_;
};

void print_ratio(const char* label, double measured, double baseline, double target) {
    double ratio = baseline > 0 ? measured / baseline : 0.0;
    std::printf("%s: %.0f ns / %.0f ns = %.2fx (target <= %.2fx) %s\n", label, measured, baseline, ratio, target,
                ratio <= target ? "ok" : "ABOVE TARGET");
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    sim::FakeFramebuffer screen(sim::FramebufferFormat::rgb565(640, 480));
    if (GuiInit() != 0) return 1;
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_ratio("dialog 272x126: GuiShowImage / memcpy rows", reporter.ns("BM_DialogGuiShowImage"),
                reporter.ns("BM_DialogMemcpyRows"), 1.2);
    std::printf("version of 15 characters: GuiShowString %.0f ns, its glyph rows by memcpy %.0f ns (%.2fx)\n",
                reporter.ns("BM_VersionGuiShowString"), reporter.ns("BM_VersionMemcpyGlyphRows"),
                reporter.ns("BM_VersionGuiShowString") / reporter.ns("BM_VersionMemcpyGlyphRows"));
    GuiEnd();
    benchmark::Shutdown();
    return 0;
}
