// The whole key path, from the controller's bytes to the key handler, and the
// commands back, with the fake controller behind the device seam.
#include "input/t4170input.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "input/tcomport.h"
#include "key_log.h"
#include "sim/fake_controller.h"
#include "sim/key_controller.h"

namespace {

using key_log::key;
using key_log::received;
using namespace std::chrono_literals;
using Codes = std::vector<int>;

class KeyInput : public ::testing::Test {
protected:
    void SetUp() override {
        received.reset(false);
        fake_ = std::make_unique<sim::FakeController>();
        ::testing::internal::CaptureStdout();
        int result = InputInit();
        init_output_ = ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(0, result);
        running_ = true;
    }

    void TearDown() override {
        received.release();
        if (running_) InputEnd();
        fake_.reset();
    }

    // Stops the service; every key code already read has reached the handler
    // (or been dropped) when this returns.
    void end() {
        running_ = false;
        ASSERT_EQ(0, InputEnd());
    }

    std::unique_ptr<sim::FakeController> fake_;
    std::string init_output_;
    bool running_ = false;
};

TEST_F(KeyInput, InitAnnouncesTheLinkOpensTheDeviceReadWriteAndSelectsItsMode) {
    EXPECT_EQ(">> Use SPI!!!\n", init_output_);
    EXPECT_EQ(1, fake_->open_count());
    EXPECT_EQ(O_RDWR, fake_->last_open_flags());
    auto ioctls = fake_->ioctls();
    ASSERT_EQ(1u, ioctls.size());
    EXPECT_EQ(fake_->device_fd(), ioctls[0].fd);
    EXPECT_EQ(0x802ul, ioctls[0].request);
    EXPECT_EQ(2u, ioctls[0].argument);
}

TEST_F(KeyInput, KeySentenceFedWholeYieldsItsCode) {
    InputSetHandler(key_log::record);
    for (int code = 1; code <= 4; ++code) ASSERT_TRUE(fake_->feed(key(code)));
    ASSERT_TRUE(received.wait_for(4));
    EXPECT_EQ((Codes{1, 2, 3, 4}), received.codes());
}

TEST_F(KeyInput, KeySplitOverTwoReadsYieldsOneCodeAfterTheSecondRead) {
    InputSetHandler(key_log::record);
    const std::string sentence = key(3);
    ASSERT_TRUE(fake_->feed(sentence.substr(0, 9)));
    ASSERT_TRUE(fake_->wait_for_reads(1, 30s));
    ASSERT_TRUE(fake_->feed(sentence.substr(9)));
    ASSERT_TRUE(received.wait_for(1));
    end();
    EXPECT_EQ((Codes{3}), received.codes());
    EXPECT_EQ((std::vector<long>{9, static_cast<long>(sentence.size() - 9)}), fake_->read_results());
}

TEST_F(KeyInput, ThreeKeysInOneReadYieldThreeCodesInOrder) {
    InputSetHandler(key_log::record);
    const std::string three = key(2) + key(4) + key(1);
    ASSERT_TRUE(fake_->feed(three));
    ASSERT_TRUE(received.wait_for(3));
    EXPECT_EQ((Codes{2, 4, 1}), received.codes());
    EXPECT_EQ((std::vector<long>{static_cast<long>(three.size())}), fake_->read_results());
}

TEST_F(KeyInput, WrongChecksumYieldsNothingAndNoChecksumYieldsTheCodeOnItsLineEnd) {
    InputSetHandler(key_log::record);
    std::string wrong = key(1);
    wrong[wrong.size() - 3] = wrong[wrong.size() - 3] == '0' ? '1' : '0';
    ASSERT_TRUE(fake_->feed(wrong));
    ASSERT_TRUE(fake_->feed("$QXKBD,xxx0110\r\n"));
    ASSERT_TRUE(received.wait_for(1));
    end();
    EXPECT_EQ((Codes{2}), received.codes());
}

TEST_F(KeyInput, ForeignAddressYieldsNothingWhateverTheData) {
    InputSetHandler(key_log::record);
    ASSERT_TRUE(fake_->feed("$QXKBDX,xxx0140\r\n$QXKB,xxx0140\r\n$GPKBD,xxx0140\r\n$qxkbd,xxx0140\r\n$,xxx0140\r\n"));
    ASSERT_TRUE(fake_->feed(key(4)));
    ASSERT_TRUE(received.wait_for(1));
    end();
    EXPECT_EQ((Codes{4}), received.codes());
}

TEST_F(KeyInput, OnlyTheCodeAtDataPositionsThreeToSixCounts) {
    InputSetHandler(key_log::record);
    ASSERT_TRUE(fake_->feed("$QXKBD,0140xxx\r\n"));     // code at the front only
    ASSERT_TRUE(fake_->feed("$QXKBD,0140110\r\n"));     // "0110" at 3..6
    ASSERT_TRUE(fake_->feed("$QXKBD,abc0102trailing characters\r\n"));
    ASSERT_TRUE(fake_->feed("$QXKBD,xxx0041\r\n"));     // no such code
    ASSERT_TRUE(fake_->feed("$QXKBD,xx0040\r\n"));      // one position early
    ASSERT_TRUE(fake_->feed("$QXKBD,xxx0040\r\n"));
    ASSERT_TRUE(received.wait_for(3));
    end();
    EXPECT_EQ((Codes{2, 3, 4}), received.codes());
}

TEST_F(KeyInput, KeySentenceWithFewerThanSevenDataCharactersYieldsNothing) {
    InputSetHandler(key_log::record);
    // Each short field lies over the bytes the key sentence before it left behind.
    ASSERT_TRUE(fake_->feed("$QXKBD,xxx0140\r\n$QXKBD,ab\r\n$QXKBD,\r\n$QXKBD,xxx014\r\n$QXKBD,x\r\n"));
    ASSERT_TRUE(fake_->feed(key(2)));
    ASSERT_TRUE(received.wait_for(2));
    end();
    EXPECT_EQ((Codes{1, 2}), received.codes());
}

TEST_F(KeyInput, CodesArrivingWithoutHandlerAreLostAndNotReplayedToALaterHandler) {
    // 24 reads: the 24th can only happen once the event worker has taken its
    // second item, so the first code has been handled (without a handler) by then.
    std::vector<std::string> chunks{key(1)};
    for (int i = 0; i < 23; ++i) chunks.push_back(key(2));
    ASSERT_TRUE(fake_->feed_chunks(chunks));
    ASSERT_TRUE(fake_->wait_for_reads(24, 30s));
    InputSetHandler(key_log::record);
    ASSERT_TRUE(fake_->feed(key(3)));
    ASSERT_TRUE(fake_->wait_for_reads(25, 30s));
    end();
    Codes codes = received.codes();
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(3, codes.back());
    for (int code : codes) EXPECT_NE(1, code);
}

TEST_F(KeyInput, HandlerThatRemovesItselfGetsNoLaterCodes) {
    InputSetHandler(key_log::record_and_remove_self);
    ASSERT_TRUE(fake_->feed(key(3) + key(1) + key(2)));
    ASSERT_TRUE(fake_->feed(key(4)));
    ASSERT_TRUE(fake_->wait_for_reads(2, 30s));
    end();
    EXPECT_EQ((Codes{3}), received.codes());
}

TEST_F(KeyInput, ThirtyKeysWhileTheHandlerIsBusyAllArriveInOrder) {
    received.reset(true);  // the first call is held until release()
    InputSetHandler(key_log::record);
    std::vector<std::string> chunks;
    Codes sent;
    for (int i = 0; i < 30; ++i) {
        sent.push_back(i % 4 + 1);
        chunks.push_back(key(sent.back()));
    }
    ASSERT_TRUE(fake_->feed_chunks(chunks));
    // One code in the handler, 10 in the event pool, one decoded and waiting for
    // room, 10 chunks in the parser pool, one chunk waiting for room: 23 reads,
    // and the rest stays in the device.
    ASSERT_TRUE(fake_->wait_for_reads(23, 30s));
    EXPECT_EQ(23u, fake_->read_results().size());
    received.release();
    ASSERT_TRUE(received.wait_for(30));
    EXPECT_EQ(sent, received.codes());
}

TEST_F(KeyInput, EndWorksOffEveryKeyAlreadyReadParserPoolFirst) {
    received.reset(true);
    InputSetHandler(key_log::record);
    std::vector<std::string> chunks;
    Codes sent;
    for (int i = 0; i < 15; ++i) {
        sent.push_back(4 - i % 4);
        chunks.push_back(key(sent.back()));
    }
    ASSERT_TRUE(fake_->feed_chunks(chunks));
    ASSERT_TRUE(fake_->wait_for_reads(15, 30s));
    // Codes still wait in the parser pool while the event pool is full; a
    // teardown that closed the event pool first would lose them.
    auto ending = std::async(std::launch::async, [this] { end(); });
    ASSERT_TRUE(received.wait_for(1));
    received.release();
    ending.get();
    EXPECT_EQ(sent, received.codes());
    EXPECT_TRUE(fake_->device_closed());
}

TEST_F(KeyInput, EndReturnsWhenTheControllerNeverSendsAnything) {
    auto ending = std::async(std::launch::async, [this] {
        ::testing::internal::CaptureStdout();
        end();
        return ::testing::internal::GetCapturedStdout();
    });
    // A generous watchdog, not a timing check: a reader stuck in its read would
    // hold InputEnd for ever.
    if (ending.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "InputEnd did not return";
        std::_Exit(1);
    }
    EXPECT_EQ("", ending.get());
    EXPECT_TRUE(fake_->device_closed());
    EXPECT_TRUE(fake_->read_results().empty());
}

TEST_F(KeyInput, EmptyOrFailedReadsPostNothingAndTheNextReadFollows) {
    InputSetHandler(key_log::record);
    fake_->fail_read(2, 0);
    ASSERT_TRUE(fake_->feed(key(1)));
    ASSERT_TRUE(received.wait_for(1));
    fake_->fail_read(3, EIO);
    ASSERT_TRUE(fake_->feed(key(2)));
    ASSERT_TRUE(received.wait_for(2));
    end();
    EXPECT_EQ((Codes{1, 2}), received.codes());
    const long size = static_cast<long>(key(1).size());
    EXPECT_EQ((std::vector<long>{0, 0, size, -1, -1, -1, size}), fake_->read_results());
}

// Failing, then hung up: a few reads with pauses growing to 100 ms, not a busy loop.
TEST_F(KeyInput, AFailingOrHungUpControllerIsNotReadInABusyLoop) {
    fake_->close_peer();
    fake_->fail_read(1000, EIO);
    std::this_thread::sleep_for(500ms);
    end();
    EXPECT_LT(fake_->read_results().size(), 50u);
}

TEST_F(KeyInput, BeepWritesItsTextThenOneNulInTwoWrites) {
    beep();
    EXPECT_EQ((std::vector<std::string>{"$SOB\r\n", std::string(1, '\0')}), fake_->writes());
    EXPECT_EQ(std::string("\x24\x53\x4F\x42\x0D\x0A\x00", 7), fake_->written());
}

TEST_F(KeyInput, PowerWritesThreeCommandsEachFollowedByNulInSixWrites) {
    power();
    const std::string nul(1, '\0');
    EXPECT_EQ((std::vector<std::string>{"$SNB3\r\n", nul, "$SLB255\r\n", nul, "$OFF\r\n", nul}), fake_->writes());
    EXPECT_EQ(25u, fake_->written().size());
}

TEST_F(KeyInput, ControllerReadsTheCommandsAndSeesThePowerOff) {
    sim::KeyController controller(fake_->peer_fd());
    beep();
    power();
    std::vector<std::string> commands;
    while (commands.size() < 4) {
        auto more = controller.receive(30000);
        ASSERT_FALSE(more.empty());
        commands.insert(commands.end(), more.begin(), more.end());
    }
    EXPECT_EQ((std::vector<std::string>{"$SOB\r\n", "$SNB3\r\n", "$SLB255\r\n", "$OFF\r\n"}), commands);
    EXPECT_TRUE(controller.powered_off());
}

TEST_F(KeyInput, KeysPressedByTheControllerReachTheHandlerWhileItBeeps) {
    // The handler's commands go out on the descriptor the reader waits on.
    static auto beep_back = [](int code) {
        beep();
        received.add(code);
    };
    InputSetHandler(+beep_back);
    sim::KeyController controller(fake_->peer_fd());
    for (int code : {1, 2, 3, 4, 4, 3}) ASSERT_TRUE(controller.press(code));
    ASSERT_TRUE(received.wait_for(6));
    EXPECT_EQ((Codes{1, 2, 3, 4, 4, 3}), received.codes());
    EXPECT_TRUE(fake_->wait_for_writes(12, 30s));
}

TEST_F(KeyInput, FailedCommandWritesAreNeitherRetriedNorReported) {
    fake_->fail_write(1, EIO);
    ::testing::internal::CaptureStdout();
    beep();
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ(1, fake_->failed_writes());
    EXPECT_EQ((std::vector<std::string>{std::string(1, '\0')}), fake_->writes());
}

TEST_F(KeyInput, WritesInterruptedByASignalAreMadeAgain) {
    fake_->fail_write(2, EINTR);
    power();
    EXPECT_EQ(2, fake_->failed_writes());
    EXPECT_EQ(6u, fake_->writes().size());
    EXPECT_EQ(fake_->writes(), (std::vector<std::string>{"$SNB3\r\n", std::string(1, '\0'), "$SLB255\r\n",
                                                          std::string(1, '\0'), "$OFF\r\n", std::string(1, '\0')}));
}

// InputInit leaves what it made when it fails, so each failure runs in a process
// of its own.
TEST(KeyInputStart, FailedOpenReturnsThreeAfterAnnouncingTheLink) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            sim::FakeController fake;
            fake.fail_open(1, ENOENT);
            ::testing::internal::CaptureStdout();
            int result = InputInit();
            bool announced = ::testing::internal::GetCapturedStdout() == ">> Use SPI!!!\n";
            std::_Exit(announced && fake.open_count() == 0 && fake.ioctls().empty() ? result : 100 + result);
        },
        ::testing::ExitedWithCode(3), "");
}

TEST(ControllerLink, CommandIsItsBytesThenANulEachInOneWrite) {
    sim::FakeController fake;
    int fd = tcom_init(sim::FakeController::device_path);
    ASSERT_GE(fd, 0);
    tcom_write(fd, "ab", 2);
    tcom_write(fd, "", 0);
    EXPECT_EQ((std::vector<std::string>{"ab", std::string(1, '\0'), "", std::string(1, '\0')}), fake.writes());
    char buffer[8];
    ASSERT_TRUE(fake.feed("xyz"));
    EXPECT_EQ(3, tcom_read(fd, buffer, 8));
    EXPECT_EQ(0, tcom_close(fd));
    EXPECT_TRUE(fake.device_closed());
}

TEST(ControllerLink, FailedOpenReturnsTheNegativeResultAndIssuesNoRequest) {
    sim::FakeController fake;
    fake.fail_open(1, EACCES);
    EXPECT_LT(tcom_init(sim::FakeController::device_path), 0);
    EXPECT_TRUE(fake.ioctls().empty());
}

}  // namespace

namespace {

TEST(FakeControllerSeam, OtherPathsAndDescriptorsGoToThePreviousTable) {
    sim::FakeController fake;
    const platform::DeviceCalls& calls = platform::device();
    int null_fd = calls.open("/dev/null", O_RDWR);
    ASSERT_GE(null_fd, 0);
    EXPECT_EQ(3, calls.write(null_fd, "abc", 3));
    char byte;
    EXPECT_EQ(0, calls.read(null_fd, &byte, 1));
    EXPECT_EQ(0, calls.close(null_fd));
    EXPECT_EQ(0, fake.open_count());
    EXPECT_TRUE(fake.writes().empty());
    EXPECT_TRUE(fake.read_results().empty());
}

TEST(FakeControllerSeam, RemovingTheFakeRestoresThePreviousTable) {
    const auto open_before = platform::device().open;
    {
        sim::FakeController fake;
        EXPECT_NE(open_before, platform::device().open);
    }
    EXPECT_EQ(open_before, platform::device().open);
}

}  // namespace
