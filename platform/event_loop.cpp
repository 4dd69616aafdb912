#include "platform/event_loop.h"

#include "platform/faults.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <future>
#include <vector>

namespace kestrel::platform {

namespace {
constexpr std::uint64_t kWakeToken = 0;
static_assert(io::kReadable == EPOLLIN && io::kWritable == EPOLLOUT && io::kError == EPOLLERR &&
              io::kHangUp == EPOLLHUP && io::kPeerClosed == EPOLLRDHUP);
}

EventLoop::EventLoop() : owner_(std::this_thread::get_id()) {
  // Out of descriptors is an ordinary condition under load: the loop is
  // left unready and its owner gives up on the one connection it was for.
  if (int e = injectedFault(FaultPoint::EpollCreate)) errno = e;
  else epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epollFd_ < 0) return;
  if (int e = injectedFault(FaultPoint::EventFd)) errno = e;
  else wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeToken;
  ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
}

EventLoop::~EventLoop() {
  if (wakeFd_ >= 0) ::close(wakeFd_);
  if (epollFd_ >= 0) ::close(epollFd_);
}

bool EventLoop::add(int fd, std::uint32_t events, EventHandler* handler) {
  if (!ready()) return false;
  std::uint64_t token = nextToken_++;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = token;
  if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  registrations_[token] = {fd, handler};
  tokenByFd_[fd] = token;
  return true;
}

bool EventLoop::modify(int fd, std::uint32_t events) {
  auto it = tokenByFd_.find(fd);
  if (it == tokenByFd_.end()) return false;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = it->second;
  return ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void EventLoop::remove(int fd) {
  auto it = tokenByFd_.find(fd);
  if (it == tokenByFd_.end()) return;
  ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  registrations_.erase(it->second);
  tokenByFd_.erase(it);
}

void EventLoop::removeBeforeClose(int fd) {
  auto it = tokenByFd_.find(fd);
  if (it == tokenByFd_.end()) return;
  // An event the kernel collected before the close finds no registration
  // under its token and is dropped.
  registrations_.erase(it->second);
  tokenByFd_.erase(it);
}

void EventLoop::post(Task task) {
  bool first;
  {
    MutexLock lock(tasksMutex_);
    first = tasks_.empty();
    tasks_.push_back(std::move(task));
  }
  // Only the first task of a batch needs to wake the loop: drainTasks takes
  // the whole queue after it has read the wake-up.
  if (first) wake();
}

void EventLoop::wake() {
  if (wakeFd_ < 0) return;
  std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

void EventLoop::send(const Task& task) {
  if (inLoopThread()) {
    task();
    return;
  }
  // The task refers to the caller's stack: it either runs while the caller
  // waits, or is given up by the caller and then never runs.
  enum : int { kPending, kRunning, kAbandoned };
  struct Claim {
    std::atomic<int> state{kPending};
    std::promise<void> done;
  };
  auto claim = std::make_shared<Claim>();
  auto finished = claim->done.get_future();
  post([task, claim] {
    int expected = kPending;
    if (!claim->state.compare_exchange_strong(expected, kRunning)) return;
    // The caller is released however the task ends.
    struct Release {
      std::promise<void>& done;
      ~Release() { done.set_value(); }
    } release{claim->done};
    task();
  });
  // A loop that quits before running the task drops it; do not wait forever.
  while (finished.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
    int expected = kPending;
    if (quitRequested() && claim->state.compare_exchange_strong(expected, kAbandoned)) return;
  }
}

void EventLoop::quit() {
  {
    MutexLock lock(tasksMutex_);
    quit_ = true;
  }
  wake();
}

bool EventLoop::quitRequested() const {
  MutexLock lock(tasksMutex_);
  return quit_;
}

int EventLoop::addTimer(std::chrono::milliseconds period, Task fn) {
  int id = nextTimerId_++;
  timers_[id] = {Clock::now() + period, period, std::move(fn)};
  return id;
}

void EventLoop::cancelTimer(int id) { timers_.erase(id); }

int EventLoop::nextTimeoutMs() const {
  if (timers_.empty()) return -1;
  auto now = Clock::now();
  auto earliest = Clock::time_point::max();
  for (const auto& [id, t] : timers_) earliest = std::min(earliest, t.due);
  if (earliest <= now) return 0;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(earliest - now).count();
  return static_cast<int>(ms + 1);
}

void EventLoop::runDueTimers() {
  auto now = Clock::now();
  std::vector<int> due;
  for (const auto& [id, t] : timers_)
    if (t.due <= now) due.push_back(id);
  for (int id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // cancelled by an earlier timer
    it->second.due = now + it->second.period;
    Task fn = it->second.fn;  // the timer may cancel itself
    fn();
  }
}

void EventLoop::drainTasks() {
  // One read takes the eventfd's whole count and makes it unreadable again.
  std::uint64_t count;
  [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
  std::deque<Task> batch;
  {
    MutexLock lock(tasksMutex_);
    batch.swap(tasks_);
  }
  for (auto& task : batch) {
    if (quitRequested()) return;
    task();
  }
}

void EventLoop::run() {
  owner_ = std::this_thread::get_id();
  if (!ready()) return;
  epoll_event events[64];
  while (!quitRequested()) {
    int n = ::epoll_wait(epollFd_, events, 64, nextTimeoutMs());
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n && !quitRequested(); ++i) {
      if (events[i].data.u64 == kWakeToken) {
        drainTasks();
        continue;
      }
      auto it = registrations_.find(events[i].data.u64);
      if (it == registrations_.end()) continue;  // removed earlier in this batch
      it->second.handler->onEvents(events[i].events);
    }
    if (!quitRequested()) runDueTimers();
  }
  MutexLock lock(tasksMutex_);
  tasks_.clear();
}

}  // namespace kestrel::platform
