#include "console/http/console_limits.h"

#include <arpa/inet.h>

#include <algorithm>
#include <system_error>

namespace kestrel::console {

// --- password back-off -----------------------------------------------------

std::string LoginBackoff::sourceKey(const std::string& address) {
  unsigned char bytes[16];
  if (address.find(':') == std::string::npos || ::inet_pton(AF_INET6, address.c_str(), bytes) != 1) return address;
  static const unsigned char kMappedV4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::equal(kMappedV4, kMappedV4 + 12, bytes))
    return std::to_string(bytes[12]) + "." + std::to_string(bytes[13]) + "." + std::to_string(bytes[14]) + "." +
           std::to_string(bytes[15]);
  static const char kHex[] = "0123456789abcdef";
  std::string key = "v6:";
  for (int i = 0; i < 8; ++i) {
    key += kHex[bytes[i] >> 4];
    key += kHex[bytes[i] & 15];
  }
  return key + "::/64";
}

LoginBackoff::Entry& LoginBackoff::entryFor(const std::string& address, Clock::time_point now) {
  auto it = entries_.find(address);
  if (it == entries_.end()) {
    makeRoom(now);
    it = entries_.emplace(address, Entry{}).first;
  }
  return it->second;
}

std::optional<LoginBackoff::Clock::duration> LoginBackoff::admit(const std::string& address, Clock::time_point now) {
  platform::MutexLock lock(entriesMutex_);
  Entry& entry = entryFor(address, now);
  // A check still running has not yet set its delay: wait for at least the first one.
  if (entry.checking) return kFirstDelay;
  if (now < entry.blockedUntil) return entry.blockedUntil - now;
  entry.checking = true;
  return std::nullopt;
}

LoginBackoff::Clock::duration LoginBackoff::failed(const std::string& address, Clock::time_point now) {
  platform::MutexLock lock(entriesMutex_);
  Entry& entry = entryFor(address, now);
  if (entry.failures > 0 && now - entry.lastFailure > kForgetAfter) entry.failures = 0;
  entry.failures = std::min(entry.failures + 1, 5);
  entry.checking = false;
  entry.lastFailure = now;
  Clock::duration delay = kFirstDelay * (1 << (entry.failures - 1));
  entry.blockedUntil = now + delay;
  return delay;
}

void LoginBackoff::succeeded(const std::string& address) {
  platform::MutexLock lock(entriesMutex_);
  entries_.erase(address);
}

std::size_t LoginBackoff::tracked() const {
  platform::MutexLock lock(entriesMutex_);
  return entries_.size();
}

void LoginBackoff::makeRoom(Clock::time_point now) {
  // Forgotten addresses go first; when the table is
  // still full, the address whose last failure is oldest makes way, so an
  // attacker with many addresses cannot grow the table without end.
  if (entries_.size() < capacity_) return;
  for (auto it = entries_.begin(); it != entries_.end();) {
    const Entry& e = it->second;
    bool forgotten = !e.checking && now >= e.blockedUntil && now - e.lastFailure > kForgetAfter;
    it = forgotten ? entries_.erase(it) : std::next(it);
  }
  while (entries_.size() >= capacity_) {
    auto oldest = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->second.checking) continue;
      if (oldest == entries_.end() || it->second.lastFailure < oldest->second.lastFailure) oldest = it;
    }
    if (oldest == entries_.end()) oldest = entries_.begin();
    entries_.erase(oldest);
  }
}

// --- connection workers ----------------------------------------------------

ConnectionWorkers::~ConnectionWorkers() { shutdown(); }

void ConnectionWorkers::enqueue(std::function<void()> job) {
  platform::MutexLock lock(mutex_);
  jobs_.push_back(std::move(job));
  if (jobs_.size() > idle_ + starting_ && threads_.size() < max_ && !stopping_) {
    ++starting_;
    try {
      threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      --starting_;  // no thread to be had: the job waits for one that is
    }
  }
  wake_.notifyOne();
}

void ConnectionWorkers::work() {
  mutex_.lock();
  --starting_;
  for (;;) {
    ++idle_;
    while (!stopping_ && jobs_.empty()) wake_.wait(mutex_);
    --idle_;
    if (jobs_.empty()) break;  // stopping, and nothing left to run
    auto job = std::move(jobs_.front());
    jobs_.pop_front();
    mutex_.unlock();
    job();
    job = nullptr;  // what the job holds goes before the next wait
    mutex_.lock();
  }
  mutex_.unlock();
}

void ConnectionWorkers::shutdown() {
  std::vector<std::thread> threads;
  {
    platform::MutexLock lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  wake_.notifyAll();
  for (auto& t : threads) t.join();
  // Without any thread (never needed one), queued jobs still run: each closes its socket.
  std::deque<std::function<void()>> left;
  {
    platform::MutexLock lock(mutex_);
    left.swap(jobs_);
  }
  for (auto& job : left) job();
}

std::size_t ConnectionWorkers::threads() const {
  platform::MutexLock lock(mutex_);
  return threads_.size();
}

}  // namespace kestrel::console
