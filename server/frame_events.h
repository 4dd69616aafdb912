// What the hub reports to whoever shows it. The server owns this interface and
// the console implements it, so the hub never depends on its viewers.
#pragma once
#include <cstdint>
#include <string>

namespace kestrel::server {

struct ConnectionRecord;

class FrameEvents {
 public:
  virtual ~FrameEvents() = default;
  virtual void connectionAdded(const ConnectionRecord& record) = 0;
  virtual void connectionChanged(const ConnectionRecord& record) = 0;
  virtual void connectionRemoved(std::uint64_t id) = 0;
  // A line for the message console (already written to the journal).
  virtual void consoleLine(const std::string& text) = 0;
  // Users are connected and a stop or exit was requested: ask the operator.
  virtual void exitQuestionAsked() = 0;
  virtual void exitQuestionClosed() = 0;
  virtual void closing() = 0;
  virtual void closed() = 0;
  // A box for the operator.
  virtual void notice(const std::string& text) = 0;
  // Whether anyone is watching who could answer a question.
  virtual bool consoleOpen() const = 0;
};

}  // namespace kestrel::server
