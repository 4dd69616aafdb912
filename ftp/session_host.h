// What a session needs from the thread that runs it.
#pragma once
#include "platform/event_loop.h"
#include "platform/messages.h"

namespace kestrel::platform {
class Settings;
}

namespace kestrel::ftp {

class SessionHost {
 public:
  virtual ~SessionHost() = default;
  virtual platform::EventLoop& loop() = 0;
  virtual void postToMain(Message message) = 0;
  // Ends the connection's thread (from any thread).
  virtual void requestQuit() = 0;
  virtual const void* connectionKey() const = 0;
  virtual const platform::Settings& settings() const = 0;
};

}  // namespace kestrel::ftp
