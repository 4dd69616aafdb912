// Disk synchronisation: brings the rows under a directory of the virtual tree
// in line with the physical directory behind it, on a worker thread of its
// own that reports to one progress window at a time.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "store/database.h"

namespace kestrel::store {

// The parameters of one refresh: eighteen integers in this order.
struct RefreshOptions {
  std::int32_t recurse = 1;
  std::int32_t includeHidden = 0;
  std::int32_t includeSystem = 0;
  std::int32_t purge = 1;
  std::int32_t addNew = 1;
  std::int32_t directory = 0;   // the Files row to refresh
  std::int32_t ownerUser = 0;   // 0: each directory row's own UserID
  std::int32_t ownerGroup = 0;  // 0: each directory row's own GroupID
  std::int32_t domain = 0;      // written into new rows
  std::int32_t groupRead = 1, groupWrite = 1, groupExecute = 1;
  std::int32_t userRead = 1, userWrite = 1, userExecute = 1;
  std::int32_t otherRead = 1, otherWrite = 0, otherExecute = 1;
};
static_assert(sizeof(RefreshOptions) == 18 * sizeof(std::int32_t));

// What the walk says to its progress window. Any report may find the window
// withdrawn (the operator pressed Cancel): it then answers false and the walk
// stops after finishing the change it was reporting.
class RefreshMonitor {
 public:
  virtual ~RefreshMonitor() = default;
  // First line: the physical path being walked; clears the second line.
  virtual bool enterDirectory(const std::string& path) = 0;
  // Second line: the change about to be made.
  virtual bool reportAction(const std::string& text) = 0;
  // An OK box.
  virtual void showMessage(const std::string& text) = 0;
  // An OK/Cancel box; true for OK.
  virtual bool askToContinue(const std::string& text) = 0;
  // The process is ending: stop at once, reported or not.
  virtual bool aborted() const { return false; }
};

// What one refresh changed; read from other threads while it runs.
struct RefreshCounts {
  std::atomic<long long> added{0}, updated{0}, deleted{0};
  std::atomic<bool> directoriesAdded{false};
};

inline constexpr char kMissingRecordText[] = "Missing database record %d.";
inline constexpr char kEmptyPathText[] = "Empty directory path found.";
inline constexpr char kInvalidDirectoryText[] = "The directory '%s' is invalid.";

// "Missing database record %d." for this id.
std::string missingRecordText(std::int64_t id);

// Refreshes the directory row options.directory (recursively when asked).
// Returns false when the walk was stopped. Throws DbError.
bool refreshDirectory(Database& db, const RefreshOptions& options, RefreshMonitor& monitor,
                      RefreshCounts& counts);

// Whether a directory row whose entry has gone may be purged: its Path is
// the refreshed directory's prefix (compared without regard to case) and one
// more name.
bool pathLiesDirectlyIn(std::string_view path, std::string_view prefix);

// Whether a name found on disk can become a row: printable UTF-8, no control
// characters (they would end up inside FTP replies and listings).
bool storableName(std::string_view name);

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
    std::vector<RefreshOptions> refreshes;
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
  bool start(Run run, Database& db);
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
  void work(Run run, Database& db);
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
  std::shared_ptr<RefreshCounts> counts_;           // guarded by mutex_
  std::chrono::steady_clock::time_point lastProgress_{};  // guarded by mutex_
  bool progressPending_ = false;                    // guarded by mutex_
};

}  // namespace kestrel::store
