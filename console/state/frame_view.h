// What every console page shows of the hub: the connection rows, the child
// windows the View menu toggles, the message console's text, the spy windows
// and the exit question. Main loop only.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "server/frame_events.h"

namespace kestrel::server {
class CMainFrame;
}

namespace kestrel::console {

class EventHub;
class SpyWindow;

// The child windows the View menu toggles, at most one of each.
enum class ChildWindow { Domains, Users, Groups, Connections, Console };
inline constexpr ChildWindow kChildWindows[] = {ChildWindow::Domains, ChildWindow::Users, ChildWindow::Groups,
                                                ChildWindow::Connections, ChildWindow::Console};
const char* childWindowName(ChildWindow window);

nlohmann::json connectionJson(const server::ConnectionRecord& record);

class FrameView : public server::FrameEvents {
 public:
  static constexpr const char* kExitQuestion = "There are still users connected.  Really exit?";

  FrameView(server::CMainFrame& frame, EventHub& events) : frame_(frame), events_(events) {}

  void connectionAdded(const server::ConnectionRecord& record) override;
  void connectionChanged(const server::ConnectionRecord& record) override;
  void connectionRemoved(std::uint64_t id) override;
  void consoleLine(const std::string& text) override;
  void exitQuestionAsked() override;
  void exitQuestionClosed() override;
  void closing() override;
  void closed() override;
  void notice(const std::string& text) override;
  bool consoleOpen() const override;

  bool isOpen(ChildWindow window) const { return open_[static_cast<int>(window)]; }
  void setOpen(ChildWindow window, bool open);
  nlohmann::json windowsJson() const;

  // The message console; at most about 10000 characters are kept.
  const std::string& consoleText() const { return consoleText_; }
  void clearConsole();

  // Spy windows, by their console id.
  std::shared_ptr<SpyWindow> openSpy(std::uint64_t connectionId);
  std::shared_ptr<SpyWindow> findSpy(std::uint64_t spyId) const;
  // Closes a spy: tells its connection to stop copying when it is still live.
  bool closeSpy(std::uint64_t spyId);
  const std::map<std::uint64_t, std::shared_ptr<SpyWindow>>& spies() const { return spies_; }

  // The state a new frame stream starts from.
  nlohmann::json stateJson() const;
  static nlohmann::json exitQuestionJson();

 private:
  void publish(const std::string& event, const nlohmann::json& data);

  server::CMainFrame& frame_;
  EventHub& events_;
  bool open_[5] = {};
  std::string consoleText_;
  std::uint64_t nextSpyId_ = 1;
  std::map<std::uint64_t, std::shared_ptr<SpyWindow>> spies_;
};

}  // namespace kestrel::console
