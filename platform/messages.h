// Messages between the main thread and the connection threads. The numbers
// are the ones the console and its tools have always used.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace kestrel {

enum class Msg : int {
  IdleCheck = 1025,           // main -> connection: run the idle check
  ConnectionEnded = 1026,     // connection -> main
  ConnectionNamed = 1027,     // connection -> main: text = name to show
  DownloadStarted = 1028,     // connection -> main: text = file name
  UploadCounted = 1029,       // connection -> main
  EndConnection = 1030,       // main -> connection
  AttachMonitor = 1031,       // main -> connection: monitor
  DetachMonitor = 1032,       // main -> connection; connection -> monitor: session ended
  Traffic = 1033,             // connection -> monitor: text
  ConsoleLine = 1034,         // connection -> main: text
  UserMessage = 1035,         // main -> connection: text for the user
  Activity = 1036,            // connection -> main: text or none; -> monitor: upload started
  MonitorDownloadStarted = 1037,  // connection -> monitor: file name
  UploadProgress = 1038,      // connection -> monitor: value = bytes received
  DownloadProgress = 1039,    // connection -> monitor: value = percent
  TransferEnded = 1040,       // connection -> monitor
  Activate = 1041,            // second instance -> main
};

class Monitor;

struct Message {
  Message(Msg id_, const void* key_ = nullptr) : id(id_), key(key_) {}
  Message(Msg id_, const void* key_, std::string text_, bool hasText_ = true, std::int64_t value_ = 0)
      : id(id_), key(key_), text(std::move(text_)), hasText(hasText_), value(value_) {}

  Msg id;
  const void* key = nullptr;  // the connection (its thread object)
  std::string text;
  bool hasText = false;  // distinguishes an empty text from none
  std::int64_t value = 0;
  std::shared_ptr<Monitor> monitor;
};

// A spy window's end: receives the traffic and transfer events of one
// session. send() is synchronous, post() is not.
class Monitor {
 public:
  virtual ~Monitor() = default;
  virtual void send(const Message& message) = 0;
  virtual void post(Message message) = 0;
};

}  // namespace kestrel
