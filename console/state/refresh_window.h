// The progress window "Refresh Status" and the worker thread behind it: one
// synchronisation at a time, one or more directories in order, each in its
// own window. The walk itself is store::refreshDirectory.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "store/refresh.h"

namespace kestrel::console {

// The shown state of the progress window "Refresh Status".
struct RefreshWindowState {
  bool open = false;
  bool automatic = false;
  std::int64_t directory = 0;
  std::size_t index = 0, count = 0;  // which refresh of an automatic run
  std::string firstLine, secondLine;
  std::uint64_t questionId = 0;  // 0: no question waits
  std::string question;
};

// How a window ended.
struct RefreshWindowResult {
  std::int64_t directory = 0;
  bool automatic = false;
  bool cancelled = false;  // the operator pressed Cancel before the walk ended
  bool directoriesAdded = false;
  long long added = 0, updated = 0, deleted = 0;
};

// Where the progress window is drawn. Called from the worker, and from the
// thread that cancels or answers; never while the window is withdrawn,
// except for closed().
class RefreshObserver {
 public:
  virtual ~RefreshObserver() = default;
  virtual void opened(const RefreshWindowState& state) = 0;
  virtual void progress(const RefreshWindowState& state) = 0;
  virtual void question(std::uint64_t id, const std::string& text) = 0;
  virtual void message(const std::string& text) = 0;
  virtual void closed(const RefreshWindowResult& result) = 0;
  // The worker has ended; cancelled when the operator stopped the run.
  virtual void ended(bool automatic, bool cancelled) = 0;
};

// The process-wide progress state and its worker thread: one synchronisation
// at a time, one or more directories in order, each in its own window.
class RefreshWorker {
 public:
  struct Run {
    std::vector<store::RefreshOptions> refreshes;
    bool automatic = false;
    // With nobody to ask, a question is taken as answered OK.
    bool interactive = true;
    std::shared_ptr<RefreshObserver> observer;
  };

  RefreshWorker() = default;
  ~RefreshWorker();
  RefreshWorker(const RefreshWorker&) = delete;
  RefreshWorker& operator=(const RefreshWorker&) = delete;

  // False when a synchronisation is still running or the worker was shut down.
  bool start(Run run, store::Database& db);
  bool running() const;
  // The operator's Cancel: withdraws the window and returns how it ended;
  // nullopt when no window is open.
  std::optional<RefreshWindowResult> cancel();
  // The operator's answer to the open question; false when it is not open.
  bool answer(std::uint64_t questionId, bool ok);
  RefreshWindowState state() const;
  std::optional<RefreshWindowResult> lastResult() const;
  // Stops the walk at once and waits for the thread; later starts are refused.
  void shutdown();

 private:
  class Monitor;
  void work(Run run, store::Database& db);
  // With the lock held.
  void publishProgress(bool force);
  RefreshWindowResult resultLocked() const;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  std::atomic<bool> abort_{false};
  bool running_ = false;       // guarded by mutex_
  bool shutDown_ = false;      // guarded by mutex_
  bool published_ = false;     // guarded by mutex_: the window may be drawn on
  bool finished_ = false;      // guarded by mutex_
  bool cancelled_ = false;     // guarded by mutex_
  RefreshWindowState window_;  // guarded by mutex_
  std::optional<bool> answer_;                      // guarded by mutex_
  std::uint64_t nextQuestionId_ = 1;                // guarded by mutex_
  std::optional<RefreshWindowResult> lastResult_;   // guarded by mutex_
  std::shared_ptr<RefreshObserver> observer_;       // guarded by mutex_
  std::shared_ptr<store::RefreshCounts> counts_;           // guarded by mutex_
  std::chrono::steady_clock::time_point lastProgress_{};  // guarded by mutex_
  bool progressPending_ = false;                    // guarded by mutex_
};

}  // namespace kestrel::console
