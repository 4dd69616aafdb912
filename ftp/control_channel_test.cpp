#include "ftp/control_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <exception>
#include <vector>

namespace kestrel::ftp {
namespace {

class TestHost : public SessionHost {
 public:
  platform::EventLoop& loop() override { return loop_; }
  void postToMain(Message) override {}
  void requestQuit() override { ++quits; }
  const void* connectionKey() const override { return this; }
  const platform::Settings& settings() const override { std::terminate(); }
  int quits = 0;

 private:
  platform::EventLoop loop_;
};

// The reader alone: the lines it hands up, and the overflows.
class ControlChannelTest : public ::testing::Test, public ControlChannel::Owner {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    peer_ = fds[1];
    channel_ = std::make_unique<ControlChannel>(host_, *this, platform::Fd(fds[0]), nullptr, "127.0.0.1");
  }
  void TearDown() override {
    channel_.reset();
    ::close(peer_);
  }
  void onCommandLine(const std::string& line) override { lines.push_back(line); }
  void onLineTooLong() override { lines.push_back("<overflow>"); }
  void onHandshakeDone() override {}
  void feed(const std::string& bytes) { channel_->feed(bytes.data(), bytes.size()); }
  std::string received() {
    std::string out;
    char buf[512];
    for (ssize_t n; (n = ::recv(peer_, buf, sizeof buf, MSG_DONTWAIT)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }

  TestHost host_;
  std::unique_ptr<ControlChannel> channel_;
  int peer_ = -1;
  std::vector<std::string> lines;
};

TEST_F(ControlChannelTest, ALineEndsAtItsCarriageReturnAndControlCharactersAreDropped) {
  feed("NOOP\r\nUS");
  feed("ER bob\r\n\tPWD\r");
  EXPECT_EQ(lines, (std::vector<std::string>{"NOOP", "USER bob", "PWD"}));
}

TEST_F(ControlChannelTest, TelnetSequencesAreSkippedEvenWhenSplitAcrossReceives) {
  // Interrupt Process and Data Mark before ABOR, as clients send them.
  feed("\xff\xf4\xff\xf2" "ABOR\r");
  // An option negotiation cut after its second byte completes in the next receive.
  feed("NO\xff\xfb");
  feed("\x01OP\r");
  // Nothing inside a subnegotiation is a command.
  feed("\xff\xfa" "QUIT\r\xff\xf0" "PWD\r");
  EXPECT_EQ(lines, (std::vector<std::string>{"ABOR", "NOOP", "PWD"}));
}

TEST_F(ControlChannelTest, ALineLongerThanTheLimitIsRefusedAndTheNextOneIsRead) {
  std::string longest(kLineMax, 'a');
  feed(longest + "\r");
  feed(longest + "b\r");
  feed("NOOP\r");
  EXPECT_EQ(lines, (std::vector<std::string>{longest, "<overflow>", "NOOP"}));
}

TEST_F(ControlChannelTest, MultiByteCharactersPassWholeOrNotAtAll) {
  feed("CWD caf\xc3\xa9\r");
  // A lead byte cut off by an ASCII byte, and a stray continuation byte.
  feed("CWD a\xc3" "b\x80" "c\r");
  EXPECT_EQ(lines, (std::vector<std::string>{"CWD caf\xc3\xa9", "CWD abc"}));

  // A character that would end past the limit overflows the line.
  lines.clear();
  feed(std::string(kLineMax - 1, 'x') + "\xc3\xa9\r");
  EXPECT_EQ(lines, std::vector<std::string>{"<overflow>"});
}

TEST_F(ControlChannelTest, RepliesGoOutAndOnlyFinalOnesEndACommand) {
  channel_->queue("211-Features:\r\n");
  channel_->queue("150 Opening data connection.\r\n");
  EXPECT_EQ(channel_->finalReplies(), 0u);
  channel_->queue("211-Status\r\n   x\r\n211 End\r\n");
  channel_->queue("550 No such file.\r\n");
  EXPECT_EQ(channel_->finalReplies(), 2u);
  EXPECT_EQ(received(), "211-Features:\r\n150 Opening data connection.\r\n211-Status\r\n   x\r\n211 End\r\n"
                        "550 No such file.\r\n");
}

TEST_F(ControlChannelTest, TheGreetingWaitsForStartAndEndingAsksOnce) {
  channel_->queueBeforeStart("220 ready\r\n");
  EXPECT_EQ(received(), "");
  channel_->end();
  channel_->end();
  EXPECT_EQ(host_.quits, 1);
  // The last replies still leave as the session closes.
  channel_->flushOnClose();
  EXPECT_EQ(received(), "220 ready\r\n");
  // An ended session reads nothing more.
  feed("NOOP\r");
  EXPECT_TRUE(lines.empty());
}

}  // namespace
}  // namespace kestrel::ftp
