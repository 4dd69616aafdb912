// The progress window "Refresh Status" and the worker thread behind it: one
// synchronisation at a time, one or more directories in order, each in its
// own window. The walk itself is store::refreshDirectory.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"
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
  bool start(Run run, store::Database& db) EXCLUDES(mutex_);
  bool running() const EXCLUDES(mutex_);
  // The operator's Cancel: withdraws the window and returns how it ended;
  // nullopt when no window is open.
  std::optional<RefreshWindowResult> cancel() EXCLUDES(mutex_);
  // The operator's answer to the open question; false when it is not open.
  bool answer(std::uint64_t questionId, bool ok) EXCLUDES(mutex_);
  RefreshWindowState state() const EXCLUDES(mutex_);
  std::optional<RefreshWindowResult> lastResult() const EXCLUDES(mutex_);
  // Stops the walk at once and waits for the thread; later starts are refused.
  void shutdown() EXCLUDES(mutex_);

 private:
  class Monitor;
  void work(Run run, store::Database& db) EXCLUDES(mutex_);
  void publishProgress(bool force) REQUIRES(mutex_);
  RefreshWindowResult resultLocked() const REQUIRES(mutex_);

  mutable platform::Mutex mutex_;
  platform::CondVar wake_;
  std::thread thread_;  // started and joined by the thread that calls start() and shutdown()
  std::atomic<bool> abort_{false};
  bool running_ GUARDED_BY(mutex_) = false;
  bool shutDown_ GUARDED_BY(mutex_) = false;
  bool published_ GUARDED_BY(mutex_) = false;  // the window may be drawn on
  bool finished_ GUARDED_BY(mutex_) = false;
  bool cancelled_ GUARDED_BY(mutex_) = false;
  RefreshWindowState window_ GUARDED_BY(mutex_);
  std::optional<bool> answer_ GUARDED_BY(mutex_);
  std::uint64_t nextQuestionId_ GUARDED_BY(mutex_) = 1;
  std::optional<RefreshWindowResult> lastResult_ GUARDED_BY(mutex_);
  std::shared_ptr<RefreshObserver> observer_ GUARDED_BY(mutex_);
  std::shared_ptr<store::RefreshCounts> counts_ GUARDED_BY(mutex_);
  std::chrono::steady_clock::time_point lastProgress_ GUARDED_BY(mutex_){};
  bool progressPending_ GUARDED_BY(mutex_) = false;
};

}  // namespace kestrel::console
