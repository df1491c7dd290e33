// The progress spinner, with the display replaced at link time by a recorder of
// the images drawn (GuiShowImage is wrapped), so frames can be held mid-draw.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "app/upgqx4170.h"
#include "gui/t4170img.h"

namespace {

struct Draw {
    int x, y;
    const std::uint8_t* data;
    bool started_after_disable;
    bool ended_after_disable;
};

std::mutex draw_mutex;
std::condition_variable draw_changed;
std::vector<Draw> draws;
int draws_in_progress = 0;
bool hold_draws = false;
std::atomic<bool> disable_returned{false};

std::size_t draw_count() {
    std::lock_guard<std::mutex> lock(draw_mutex);
    return draws.size();
}

bool wait_for_draws(std::size_t count) {
    std::unique_lock<std::mutex> lock(draw_mutex);
    return draw_changed.wait_for(lock, std::chrono::seconds(20), [&] { return draws.size() >= count; });
}

const std::uint8_t* frame_data(int index) {
    const IMAGE_A555* frames[] = {&proc0, &proc1, &proc2, &proc3, &proc4, &proc5};
    return frames[index]->data;
}

class Spinner : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(draw_mutex);
        draws.clear();
        hold_draws = false;
        disable_returned = false;
        app::mode = 0;
    }
};

TEST(SpinnerDraw, AdvancesTheFrameAndWrapsFromTheLastToTheFirst) {
    app::mode = 4;
    app::process_draw();
    EXPECT_EQ(app::mode, 5);
    app::process_draw();
    EXPECT_EQ(app::mode, 0);
    std::lock_guard<std::mutex> lock(draw_mutex);
    ASSERT_GE(draws.size(), 2u);
    EXPECT_EQ(draws[draws.size() - 2].data, frame_data(5));
    EXPECT_EQ(draws.back().data, frame_data(0));
}

TEST_F(Spinner, DrawsTheFramesInCyclicOrderAtTheSpinnerSquare) {
    ASSERT_EQ(app::initProc(), 0);
    app::enable_proc();
    ASSERT_TRUE(wait_for_draws(8));
    app::disable_proc();
    app::delProc();

    std::lock_guard<std::mutex> lock(draw_mutex);
    for (std::size_t i = 0; i < draws.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(draws[i].data, frame_data(static_cast<int>((i + 1) % 6)));  // proc1 first
        EXPECT_EQ(draws[i].x, DLG_X + 110);
        EXPECT_EQ(draws[i].y, DLG_Y + 60);
    }
}

TEST_F(Spinner, ContinuesTheCycleAfterAPauseInsteadOfRestarting) {
    ASSERT_EQ(app::initProc(), 0);
    app::enable_proc();
    ASSERT_TRUE(wait_for_draws(3));
    app::disable_proc();
    const std::size_t before = draw_count();
    const short last = app::mode;
    app::enable_proc();
    ASSERT_TRUE(wait_for_draws(before + 1));
    app::disable_proc();
    app::delProc();

    std::lock_guard<std::mutex> lock(draw_mutex);
    EXPECT_EQ(draws[before].data, frame_data(last == 5 ? 0 : last + 1));
}

TEST_F(Spinner, NeverDrawsAfterDisableHasReturned) {
    ASSERT_EQ(app::initProc(), 0);
    {
        std::lock_guard<std::mutex> lock(draw_mutex);
        hold_draws = true;
    }
    app::enable_proc();
    {
        std::unique_lock<std::mutex> lock(draw_mutex);
        ASSERT_TRUE(draw_changed.wait_for(lock, std::chrono::seconds(20), [] { return draws_in_progress > 0; }));
    }
    // A frame is being drawn. disable_proc may only return once it is finished.
    std::thread disabler([] {
        app::disable_proc();
        disable_returned = true;
        std::lock_guard<std::mutex> lock(draw_mutex);
        draw_changed.notify_all();
    });
    {
        // Give an early return the chance to show; a correct disable_proc waits here
        // until the frame is released, so this wait runs out.
        std::unique_lock<std::mutex> lock(draw_mutex);
        draw_changed.wait_for(lock, std::chrono::milliseconds(200), [] { return disable_returned.load(); });
        hold_draws = false;
        draw_changed.notify_all();
    }
    disabler.join();
    app::delProc();  // after the join no frame can follow

    std::lock_guard<std::mutex> lock(draw_mutex);
    ASSERT_FALSE(draws.empty());
    for (const Draw& draw : draws) {
        EXPECT_FALSE(draw.started_after_disable);
        EXPECT_FALSE(draw.ended_after_disable);
    }
}

TEST_F(Spinner, DelProcWhileIdleEndsTheThreadWithoutDrawing) {
    ASSERT_EQ(app::initProc(), 0);
    app::delProc();
    EXPECT_EQ(draw_count(), 0u);
    EXPECT_EQ(app::pstate, 2);
}

TEST_F(Spinner, DelProcWhileRunningEndsAfterTheCurrentFrame) {
    ASSERT_EQ(app::initProc(), 0);
    app::enable_proc();
    ASSERT_TRUE(wait_for_draws(1));
    app::delProc();
    std::lock_guard<std::mutex> lock(draw_mutex);
    EXPECT_EQ(draws_in_progress, 0);
    EXPECT_GE(draws.size(), 1u);
}

TEST_F(Spinner, CanBeStartedAgainAfterDelProc) {
    ASSERT_EQ(app::initProc(), 0);
    app::delProc();
    ASSERT_EQ(app::initProc(), 0);
    app::enable_proc();
    EXPECT_TRUE(wait_for_draws(1));
    app::delProc();
}

}  // namespace

extern "C" int __wrap__Z12GuiShowImageiiP10IMAGE_A555(int x, int y, IMAGE_A555* img) {
    std::unique_lock<std::mutex> lock(draw_mutex);
    std::size_t index = draws.size();
    draws.push_back({x, y, img->data, disable_returned.load(), false});
    ++draws_in_progress;
    draw_changed.notify_all();
    draw_changed.wait(lock, [] { return !hold_draws; });
    draws[index].ended_after_disable = disable_returned.load();
    --draws_in_progress;
    draw_changed.notify_all();
    return 0;
}
