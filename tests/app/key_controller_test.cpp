// The key controller's side of the link, over a plain socket pair (as the target
// harness drives it over a unix socket).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "sim/key_controller.h"

namespace {

class Link : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
    void TearDown() override {
        for (int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    void program_writes(const std::string& bytes) {
        ASSERT_EQ(::write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    int controller_fd() const { return fds_[0]; }
    int program_fd() const { return fds_[1]; }

    int fds_[2] = {-1, -1};
};

TEST(KeySentence, CarriesTheKeyCodeAtDataPositions3To6AndAValidChecksum) {
    EXPECT_EQ(sim::KeyController::key_sentence(1).substr(0, 15), "$QXKBD,xxx0140*");
    for (int code = 1; code <= 4; ++code) {
        const std::string sentence = sim::KeyController::key_sentence(code);
        const std::string body = sentence.substr(1, sentence.find('*') - 1);
        unsigned checksum = 0;
        for (unsigned char c : body) checksum ^= c;
        EXPECT_EQ(std::stoul(sentence.substr(sentence.find('*') + 1, 2), nullptr, 16), checksum) << sentence;
        EXPECT_EQ(sentence.substr(sentence.size() - 2), "\r\n");
    }
    EXPECT_EQ(sim::KeyController::key_sentence(2).substr(10, 4), "0110");
    EXPECT_EQ(sim::KeyController::key_sentence(3).substr(10, 4), "0102");
    EXPECT_EQ(sim::KeyController::key_sentence(4).substr(10, 4), "0040");
    EXPECT_EQ(sim::KeyController::key_sentence(0), "");
    EXPECT_EQ(sim::KeyController::key_sentence(5), "");
}

TEST(KeyNames, NamesAndDigitsGiveTheCodesAndAnythingElseZero) {
    EXPECT_EQ(sim::KeyController::key_code("left"), 1);
    EXPECT_EQ(sim::KeyController::key_code("right"), 2);
    EXPECT_EQ(sim::KeyController::key_code("ok"), 3);
    EXPECT_EQ(sim::KeyController::key_code("power"), 4);
    for (int code = 1; code <= 4; ++code) EXPECT_EQ(sim::KeyController::key_code(std::to_string(code)), code);
    EXPECT_EQ(sim::KeyController::key_code("5"), 0);
    EXPECT_EQ(sim::KeyController::key_code("up"), 0);
    EXPECT_EQ(sim::KeyController::key_code(""), 0);
}

TEST_F(Link, PressWritesTheWholeSentence) {
    sim::KeyController controller(controller_fd());
    ASSERT_TRUE(controller.press(3));
    char buffer[64];
    ssize_t n = ::read(program_fd(), buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), sim::KeyController::key_sentence(3));
    EXPECT_FALSE(controller.press(9));
}

TEST_F(Link, CommandsEndAtTheZeroByteEvenWhenSplitAcrossReads) {
    sim::KeyController controller(controller_fd());
    program_writes(std::string("$SO", 3));
    EXPECT_TRUE(controller.receive(1000).empty());
    program_writes(std::string("B\r\n\0$SOB\r\n\0", 11));
    auto commands = controller.receive(1000);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(sim::KeyController::describe(commands[0]), "beep");
    EXPECT_EQ(controller.commands().size(), 2u);
    EXPECT_FALSE(controller.powered_off());
}

TEST_F(Link, PowerOffNeedsTheThreeCommandsInOrder) {
    sim::KeyController controller(controller_fd());
    program_writes(std::string("$SLB255\r\n\0$OFF\r\n\0", 17));
    controller.receive(1000);
    EXPECT_FALSE(controller.powered_off());
    program_writes(std::string("$SNB3\r\n\0$SLB255\r\n\0$OFF\r\n\0", 25));
    controller.receive(1000);
    EXPECT_TRUE(controller.powered_off());
}

TEST_F(Link, UnknownCommandsAreShownEscaped) {
    EXPECT_EQ(sim::KeyController::describe(std::string("$X\r\n")), "$X\\x0D\\x0A");
    EXPECT_EQ(sim::KeyController::describe("$OFF\r\n"), "power off");
}

TEST_F(Link, AClosedPeerIsNoticed) {
    sim::KeyController controller(controller_fd());
    ::close(fds_[1]);
    fds_[1] = -1;
    controller.receive(1000);
    EXPECT_TRUE(controller.closed());
}

}  // namespace
