#include "server/main_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/settings.h"

namespace kestrel::server {
namespace {

// Stands in for the console: records what the frame reports.
class RecordingEvents : public FrameEvents {
 public:
  void connectionAdded(const ConnectionRecord& r) override { seen.push_back("added:" + r.name); }
  void connectionChanged(const ConnectionRecord& r) override { seen.push_back("changed:" + r.name); }
  void connectionRemoved(std::uint64_t id) override { seen.push_back("removed:" + std::to_string(id)); }
  void consoleLine(const std::string& text) override { seen.push_back("line:" + text); }
  void exitQuestionAsked() override { seen.push_back("asked"); }
  void exitQuestionClosed() override { seen.push_back("question-closed"); }
  void closing() override { seen.push_back("closing"); }
  void closed() override { seen.push_back("closed"); }
  void notice(const std::string& text) override { seen.push_back("notice:" + text); }
  bool consoleOpen() const override { return watching; }

  std::vector<std::string> seen;
  bool watching = false;
};

class MainFrameTest : public ::testing::Test {
 protected:
  // No file is created: reading the settings never writes.
  platform::Settings settings_{::testing::TempDir() + "kestrel-frame-test-absent.ini"};
  platform::EventLoop loop_;
  RecordingEvents events_;

  // Runs what has been posted to the loop so far.
  void drain() {
    loop_.post([this] { loop_.quit(); });
    loop_.run();
  }
};

TEST_F(MainFrameTest, AStopWithNobodyConnectedClosesAtOnce) {
  CMainFrame frame(loop_, settings_);
  frame.setEvents(&events_);
  events_.watching = true;
  int closedCalls = 0;
  frame.onClosed = [&] { ++closedCalls; };
  frame.requestStop();
  EXPECT_EQ(closedCalls, 1);
  EXPECT_EQ(events_.seen, std::vector<std::string>{"closed"});
  EXPECT_FALSE(frame.exitQuestionOpen());
  // Once closed, further requests change nothing and close nothing twice.
  EXPECT_EQ(frame.requestClose("OK"), CloseOutcome::Ignored);
  frame.requestStop();
  EXPECT_EQ(closedCalls, 1);
}

TEST_F(MainFrameTest, ServiceModeIgnoresTheConsolesExitUntilTheManagerStops) {
  CMainFrame frame(loop_, settings_, /*serviceMode=*/true);
  frame.setEvents(&events_);
  bool closed = false;
  frame.onClosed = [&] { closed = true; };
  EXPECT_EQ(frame.requestClose("OK"), CloseOutcome::Ignored);
  EXPECT_FALSE(closed);
  frame.requestStop();
  EXPECT_TRUE(closed);
}

TEST_F(MainFrameTest, AnExitFromTheConsoleWithNobodyConnectedCloses) {
  CMainFrame frame(loop_, settings_);
  frame.setEvents(&events_);
  EXPECT_EQ(frame.requestClose(""), CloseOutcome::Closed);
  EXPECT_FALSE(frame.closing());
  EXPECT_EQ(events_.seen, std::vector<std::string>{"closed"});
}

TEST_F(MainFrameTest, WithoutAViewerTheFrameStillCloses) {
  CMainFrame frame(loop_, settings_);
  bool closed = false;
  frame.onClosed = [&] { closed = true; };
  frame.requestStop();
  EXPECT_TRUE(closed);
}

TEST_F(MainFrameTest, ConsoleLinesReachTheViewerAndStrayConnectionMessagesAreDropped) {
  CMainFrame frame(loop_, settings_);
  frame.setEvents(&events_);
  frame.post({Msg::ConsoleLine, nullptr, "SITE MSG from alice", true});
  int stray = 0;  // a connection the frame never listed, or one that has ended
  frame.post({Msg::ConnectionNamed, &stray, "bob", true});
  frame.post({Msg::ConnectionEnded, &stray});
  drain();
  EXPECT_EQ(events_.seen, std::vector<std::string>{"line:SITE MSG from alice"});
  EXPECT_TRUE(frame.connections().empty());
}

// With no console watching, a transfer's row changes wait in their thread
// (no wake-up of the main thread) and are whole when the rows are read; a
// console that starts watching gets them first, then each change as it comes.
TEST_F(MainFrameTest, RowChangesWaitInTheirThreadUntilSomeoneReadsTheRows) {
  CMainFrame frame(loop_, settings_);
  frame.setEvents(&events_);
  auto thread = std::make_shared<CUserThread>(platform::Fd(), 1, "127.0.0.1", 20, "127.0.0.1", frame, settings_);
  frame.addConnection(thread, "dom");
  events_.seen.clear();

  thread->postToMain(Message(Msg::DownloadStarted, thread.get(), "a.bin"));
  thread->postToMain(Message(Msg::Activity, thread.get()));
  thread->postToMain(Message(Msg::UploadCounted, thread.get()));
  EXPECT_TRUE(events_.seen.empty());
  const ConnectionRecord& row = frame.connections().front();
  EXPECT_EQ(row.downloads, 1);
  EXPECT_EQ(row.uploads, 1);
  EXPECT_EQ(row.activity, "");
  EXPECT_EQ(events_.seen, std::vector<std::string>{"changed:<unknown>"});

  thread->postToMain(Message(Msg::DownloadStarted, thread.get(), "b.bin"));
  frame.setRowsWatched(true);
  EXPECT_EQ(frame.connections().front().activity, "RETR b.bin");
  thread->postToMain(Message(Msg::Activity, thread.get(), "STOR c.bin"));
  EXPECT_EQ(frame.connections().front().activity, "RETR b.bin");  // posted, not kept
  // Only the watched change was posted: the kept ones are not applied twice.
  drain();
  EXPECT_EQ(frame.connections().front().activity, "STOR c.bin");
  EXPECT_EQ(frame.connections().front().downloads, 2);
  EXPECT_EQ(frame.connections().front().uploads, 1);
}

}  // namespace
}  // namespace kestrel::server
