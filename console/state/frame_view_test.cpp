#include "console/state/frame_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/routes/api.h"
#include "platform/settings.h"
#include "server/main_frame.h"

namespace kestrel::console {
namespace {

// Records what would reach the open pages.
class RecordingHub : public EventHub {
 public:
  void publish(const std::string& channel, const std::string& event, const Json& data) override {
    published.push_back(channel + " " + event + " " + data.dump());
  }
  void notice(const std::string& text, const std::string&) override { notices.push_back(text); }
  bool consoleOpen() const override { return open; }

  std::vector<std::string> published;
  std::vector<std::string> notices;
  bool open = true;
};

class FrameViewTest : public ::testing::Test {
 protected:
  platform::Settings settings_{::testing::TempDir() + "kestrel-view-test-absent.ini"};
  platform::EventLoop loop_;
  server::CMainFrame frame_{loop_, settings_};
  RecordingHub hub_;
  FrameView view_{frame_, hub_};
};

TEST_F(FrameViewTest, TheConsoleWindowKeepsOnlyLinesThatArriveWhileItIsOpen) {
  view_.consoleLine("before");
  EXPECT_EQ(view_.consoleText(), "");
  EXPECT_TRUE(hub_.published.empty());

  view_.setOpen(ChildWindow::Console, true);
  view_.consoleLine("during");
  EXPECT_EQ(view_.consoleText(), "during\r\n");

  // Closed, it has no text: reopened, it starts empty as a new window would.
  view_.setOpen(ChildWindow::Console, false);
  view_.setOpen(ChildWindow::Console, true);
  EXPECT_EQ(view_.consoleText(), "");
  EXPECT_EQ(hub_.published, (std::vector<std::string>{
                                "frame window {\"open\":true,\"window\":\"console\"}",
                                "frame console-line {\"text\":\"during\"}",
                                "frame window {\"open\":false,\"window\":\"console\"}",
                                "frame window {\"open\":true,\"window\":\"console\"}",
                            }));
}

TEST_F(FrameViewTest, TogglingAWindowToItsStateSaysNothing) {
  view_.setOpen(ChildWindow::Users, false);
  EXPECT_TRUE(hub_.published.empty());
  view_.setOpen(ChildWindow::Users, true);
  view_.setOpen(ChildWindow::Users, true);
  EXPECT_EQ(hub_.published.size(), 1u);
  EXPECT_EQ(view_.windowsJson(),
            (Json{{"domains", false}, {"users", true}, {"groups", false}, {"connections", false}, {"console", false}}));
}

TEST_F(FrameViewTest, ASpyNeedsALiveConnectionAndClosesOnce) {
  EXPECT_EQ(view_.openSpy(1), nullptr);  // no connection of that id
  EXPECT_FALSE(view_.closeSpy(1));
  EXPECT_TRUE(view_.spies().empty());
}

TEST_F(FrameViewTest, TheFirstStateAndTheExitQuestionCarryTheFramesTexts) {
  view_.consoleLine("ignored while closed");
  Json state = view_.stateJson();
  EXPECT_EQ(state["connections"], Json::array());
  EXPECT_EQ(state["console"], "");
  EXPECT_EQ(state["closing"], false);
  EXPECT_EQ(FrameView::exitQuestionJson()["text"], "There are still users connected.  Really exit?");
  EXPECT_EQ(FrameView::exitQuestionJson()["buttons"], (Json{"OK", "Cancel"}));
}

// Rows change with every transfer; with no console open nothing is built or
// sent (a console that opens starts from the frame's state instead).
TEST_F(FrameViewTest, ConnectionRowsReachOnlyAnOpenConsole) {
  server::ConnectionRecord record;
  record.id = 7;
  record.activity = "RETR a.bin";
  hub_.open = false;
  view_.connectionAdded(record);
  view_.connectionChanged(record);
  EXPECT_TRUE(hub_.published.empty());
  hub_.open = true;
  view_.connectionChanged(record);
  ASSERT_EQ(hub_.published.size(), 1u);
  EXPECT_EQ(hub_.published[0].rfind("frame connection-changed {", 0), 0u);
  EXPECT_NE(hub_.published[0].find("RETR a.bin"), std::string::npos);
}

TEST_F(FrameViewTest, TheFramesCloseReachesThePages) {
  frame_.setEvents(&view_);
  frame_.requestStop();
  ASSERT_FALSE(hub_.published.empty());
  EXPECT_EQ(hub_.published.back(), "frame closed {}");
}

}  // namespace
}  // namespace kestrel::console
