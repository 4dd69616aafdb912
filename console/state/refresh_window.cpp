#include "console/state/refresh_window.h"

namespace kestrel::console {

namespace {

// Progress lines reach the consoles at most this often; the last one is never lost.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

}  // namespace

class RefreshWorker::Monitor : public store::RefreshMonitor {
 public:
  Monitor(RefreshWorker& worker, bool interactive) : worker_(worker), interactive_(interactive) {}

  bool enterDirectory(const std::string& path) override {
    platform::MutexLock lock(worker_.mutex_);
    if (!worker_.published_) return false;
    worker_.window_.firstLine = path;
    worker_.window_.secondLine.clear();
    worker_.publishProgress(false);
    return true;
  }

  bool reportAction(const std::string& text) override {
    platform::MutexLock lock(worker_.mutex_);
    if (!worker_.published_) return false;
    worker_.window_.secondLine = text;
    worker_.publishProgress(false);
    return true;
  }

  void showMessage(const std::string& text) override {
    platform::MutexLock lock(worker_.mutex_);
    if (worker_.observer_) worker_.observer_->message(text);
  }

  bool askToContinue(const std::string& text) override {
    if (!interactive_) return true;
    platform::MutexLock lock(worker_.mutex_);
    if (!worker_.published_) return false;
    std::uint64_t id = worker_.nextQuestionId_++;
    worker_.window_.questionId = id;
    worker_.window_.question = text;
    worker_.answer_.reset();
    worker_.publishProgress(true);
    worker_.observer_->question(id, text);
    while (!worker_.answer_.has_value() && worker_.published_ && !worker_.abort_.load())
      worker_.wake_.wait(worker_.mutex_);
    bool ok = worker_.published_ && !worker_.abort_ && worker_.answer_.value_or(false);
    worker_.window_.questionId = 0;
    worker_.window_.question.clear();
    worker_.answer_.reset();
    return ok;
  }

  bool aborted() const override { return worker_.abort_.load(); }

 private:
  RefreshWorker& worker_;
  bool interactive_;
};

RefreshWorker::~RefreshWorker() { shutdown(); }

bool RefreshWorker::start(Run run, store::Database& db) {
  {
    platform::MutexLock lock(mutex_);
    if (running_ || shutDown_ || !run.observer) return false;
  }
  // The last worker has said all it will; let it go.
  if (thread_.joinable()) thread_.join();
  {
    platform::MutexLock lock(mutex_);
    running_ = true;
    observer_ = run.observer;
  }
  thread_ = std::thread([this, run = std::move(run), &db]() mutable { work(std::move(run), db); });
  return true;
}

bool RefreshWorker::running() const {
  platform::MutexLock lock(mutex_);
  return running_;
}

RefreshWindowState RefreshWorker::state() const {
  platform::MutexLock lock(mutex_);
  return window_;
}

std::optional<RefreshWindowResult> RefreshWorker::lastResult() const {
  platform::MutexLock lock(mutex_);
  return lastResult_;
}

RefreshWindowResult RefreshWorker::resultLocked() const {
  RefreshWindowResult result;
  result.directory = window_.directory;
  result.automatic = window_.automatic;
  result.cancelled = cancelled_;
  if (counts_) {
    result.directoriesAdded = counts_->directoriesAdded;
    result.added = counts_->added;
    result.updated = counts_->updated;
    result.deleted = counts_->deleted;
  }
  return result;
}

void RefreshWorker::publishProgress(bool force) {
  auto now = std::chrono::steady_clock::now();
  if (!force && now - lastProgress_ < kProgressInterval) {
    progressPending_ = true;
    return;
  }
  lastProgress_ = now;
  progressPending_ = false;
  if (observer_) observer_->progress(window_);
}

std::optional<RefreshWindowResult> RefreshWorker::cancel() {
  platform::MutexLock lock(mutex_);
  if (!published_) return std::nullopt;
  published_ = false;
  if (!finished_) cancelled_ = true;
  window_.open = false;
  lastResult_ = resultLocked();
  observer_->closed(*lastResult_);
  wake_.notifyAll();
  return lastResult_;
}

bool RefreshWorker::answer(std::uint64_t questionId, bool ok) {
  platform::MutexLock lock(mutex_);
  if (!published_ || questionId == 0 || window_.questionId != questionId || answer_.has_value()) return false;
  answer_ = ok;
  wake_.notifyAll();
  return true;
}

void RefreshWorker::shutdown() {
  {
    platform::MutexLock lock(mutex_);
    shutDown_ = true;
    abort_ = true;
    published_ = false;
    window_.open = false;
    wake_.notifyAll();
  }
  if (thread_.joinable()) thread_.join();
}

void RefreshWorker::work(Run run, store::Database& db) {
  Monitor monitor(*this, run.interactive);
  bool runCancelled = false;
  for (std::size_t i = 0; i < run.refreshes.size() && !abort_; ++i) {
    const store::RefreshOptions& options = run.refreshes[i];
    auto counts = std::make_shared<store::RefreshCounts>();
    {
      platform::MutexLock lock(mutex_);
      if (abort_) break;
      finished_ = cancelled_ = false;
      published_ = true;
      answer_.reset();
      counts_ = counts;
      window_ = RefreshWindowState{};
      window_.open = true;
      window_.automatic = run.automatic;
      window_.directory = options.directory;
      window_.index = i;
      window_.count = run.refreshes.size();
      lastProgress_ = {};
      progressPending_ = false;
      observer_->opened(window_);
    }
    try {
      store::refreshDirectory(db, options, monitor, *counts);
    } catch (const store::DbError& e) {
      monitor.showMessage(std::string("Database error: ") + e.what());
    }
    platform::MutexLock lock(mutex_);
    if (published_) {
      // Ended by itself: the window shows its last line and closes.
      if (progressPending_) observer_->progress(window_);
      finished_ = true;
      published_ = false;
      window_.open = false;
      lastResult_ = resultLocked();
      observer_->closed(*lastResult_);
    } else if (lastResult_ && lastResult_->directory == options.directory) {
      // Cancelled: the change under way when Cancel came has been made since.
      lastResult_->added = counts->added;
      lastResult_->updated = counts->updated;
      lastResult_->deleted = counts->deleted;
    }
    if (cancelled_ || abort_) {
      runCancelled = true;
      break;
    }
  }
  std::shared_ptr<RefreshObserver> observer;
  {
    platform::MutexLock lock(mutex_);
    running_ = false;
    counts_.reset();
    observer = std::move(observer_);
  }
  observer->ended(run.automatic, runCancelled);
}

}  // namespace kestrel::console
