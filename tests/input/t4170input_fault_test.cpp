// InputInit's results when a thread can't be created, injected by link-time
// wrapping (tests/tdpool/fault_injection.h). InputInit leaves what it made when it
// fails, so each case runs in a process of its own.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "fault_injection.h"
#include "input/t4170input.h"
#include "sim/fake_controller.h"

namespace {

// Threads InputInit creates, in order: the event pool's worker, the parser pool's
// worker, the reader. A start that succeeds is ended while the fake controller
// still stands, as the reader thread reads from it until then.
int init_with_failed_thread(int nth, int* opened) {
    sim::FakeController fake;
    fault::fail_pthread_create(nth, EAGAIN);
    int result = InputInit();
    *opened = fake.open_count();
    if (result == 0) InputEnd();
    return result;
}

class KeyInputStart : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(KeyInputStart, EventPoolFailureReturnsOneBeforeTheDeviceIsOpened) {
    EXPECT_EXIT(
        {
            int opened = -1;
            int result = init_with_failed_thread(1, &opened);
            std::_Exit(opened == 0 ? result : 100);
        },
        ::testing::ExitedWithCode(1), "pthread_create 11");
}

TEST_F(KeyInputStart, ParserPoolFailureReturnsTwoBeforeTheDeviceIsOpened) {
    EXPECT_EXIT(
        {
            int opened = -1;
            int result = init_with_failed_thread(2, &opened);
            std::_Exit(opened == 0 ? result : 100);
        },
        ::testing::ExitedWithCode(2), "pthread_create 11");
}

TEST_F(KeyInputStart, ReaderThreadFailureReturnsFourWithTheDeviceOpen) {
    EXPECT_EXIT(
        {
            int opened = -1;
            int result = init_with_failed_thread(3, &opened);
            std::_Exit(opened == 1 ? result : 100);
        },
        ::testing::ExitedWithCode(4), "");
}

TEST_F(KeyInputStart, NoFailureReturnsZero) {
    EXPECT_EXIT(
        {
            int opened = -1;
            int result = init_with_failed_thread(0, &opened);
            std::_Exit(opened == 1 ? result : 100);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace

namespace {

TEST_F(KeyInputStart, EndAfterAFailedStartReleasesWhatWasMadeAndReportsTheMissingReader) {
    EXPECT_EXIT(
        {
            sim::FakeController fake;
            fault::fail_pthread_create(3, EAGAIN);
            if (InputInit() != 4) std::_Exit(100);
            ::testing::internal::CaptureStdout();
            int result = InputEnd();
            bool reported = ::testing::internal::GetCapturedStdout() == "Error : join input_thread\n";
            std::_Exit(reported && fake.device_closed() ? result : 101);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(KeyInputStart, EndAfterTheEventPoolFailedTouchesNoPool) {
    EXPECT_EXIT(
        {
            sim::FakeController fake;
            fault::fail_pthread_create(1, EAGAIN);
            if (InputInit() != 1) std::_Exit(100);
            std::_Exit(InputEnd());
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
