// One event loop per thread: epoll for sockets, an eventfd-woken task queue
// for messages from other threads, and deadline timers.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/mutex.h"

namespace kestrel::platform {

// What a handler waits for (add, modify) and what happened (onEvents), as
// bits of one mask. They have epoll's values, so the loop hands them through
// untouched; users need not include the system's header.
namespace io {
inline constexpr std::uint32_t kReadable = 0x001;
inline constexpr std::uint32_t kWritable = 0x004;
inline constexpr std::uint32_t kError = 0x008;  // reported whether asked for or not
inline constexpr std::uint32_t kHangUp = 0x010;  // likewise
inline constexpr std::uint32_t kPeerClosed = 0x2000;  // the peer shut down its sending side
}  // namespace io

class EventHandler {
 public:
  virtual ~EventHandler() = default;
  // events: a mask of the io:: bits.
  virtual void onEvents(std::uint32_t events) = 0;
};

class EventLoop {
 public:
  using Task = std::function<void()>;
  using Clock = std::chrono::steady_clock;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  // False when the system refused the loop its descriptors; such a loop
  // registers nothing and run() returns at once.
  bool ready() const { return epollFd_ >= 0 && wakeFd_ >= 0; }
  EventLoop& operator=(const EventLoop&) = delete;

  // Loop thread only. A handler may remove itself (or others) from inside
  // onEvents; events already collected for a removed handler are dropped.
  bool add(int fd, std::uint32_t events, EventHandler* handler);
  bool modify(int fd, std::uint32_t events);
  void remove(int fd);
  // remove() for a descriptor that is closed right after and was never
  // duplicated: closing it takes it out of the epoll set, one call fewer.
  void removeBeforeClose(int fd);

  // Any thread. post: queue and return; send: run on the loop thread and
  // wait for it (runs inline when called on the loop thread).
  void post(Task task);
  void send(const Task& task);
  void quit();
  bool quitRequested() const;

  // Loop thread only.
  int addTimer(std::chrono::milliseconds period, Task fn);
  void cancelTimer(int id);

  // Runs until quit(); tasks still queued then are dropped unrun.
  void run();
  bool inLoopThread() const { return std::this_thread::get_id() == owner_; }
  void adoptCurrentThread() { owner_ = std::this_thread::get_id(); }

 private:
  struct Registration {
    int fd;
    EventHandler* handler;
  };
  struct Timer {
    Clock::time_point due;
    std::chrono::milliseconds period;
    Task fn;
  };

  void wake();
  void drainTasks();
  int nextTimeoutMs() const;
  void runDueTimers();

  int epollFd_ = -1;
  int wakeFd_ = -1;
  std::thread::id owner_;
  std::map<std::uint64_t, Registration> registrations_;
  std::map<int, std::uint64_t> tokenByFd_;
  std::uint64_t nextToken_ = 1;
  std::map<int, Timer> timers_;
  int nextTimerId_ = 1;

  mutable Mutex tasksMutex_;
  std::deque<Task> tasks_ GUARDED_BY(tasksMutex_);
  bool quit_ GUARDED_BY(tasksMutex_) = false;
};

}  // namespace kestrel::platform
