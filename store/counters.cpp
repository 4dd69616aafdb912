#include "store/counters.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "store/database.h"
#include "store/statement.h"

namespace kestrel::store {

namespace {

constexpr auto kFlushInterval = std::chrono::seconds(1);

struct Pending {
  std::map<std::int64_t, std::int64_t> userDownloads, userUploads, fileDownloads;
  bool empty() const { return userDownloads.empty() && userUploads.empty() && fileDownloads.empty(); }
};

// The process-wide counts not yet written, with their writer thread.
class CounterBatch {
 public:
  // At exit only the writer stops: the shared connection may already be gone.
  ~CounterBatch() { stopWriter(); }

  void add(std::map<std::int64_t, std::int64_t> Pending::*which, std::int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++(pending_.*which)[id];
    if (!writer_.joinable() && !stopping_) writer_ = std::thread([this] { run(); });
  }

  void flush() {
    // One flush at a time, so that counts taken out are written before a
    // later flush reports "nothing pending".
    std::lock_guard<std::mutex> flushing(flushMutex_);
    Pending taken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      taken.userDownloads.swap(pending_.userDownloads);
      taken.userUploads.swap(pending_.userUploads);
      taken.fileDownloads.swap(pending_.fileDownloads);
    }
    if (taken.empty()) return;
    Database* db = db_;
    try {
      if (!db) throw DbError("no data source");
      write(*db, taken);
    } catch (const DbError&) {
      restore(taken);
      throw;
    }
  }

  void stopWriter() {
    std::thread writer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      writer.swap(writer_);
    }
    wake_.notify_all();
    if (writer.joinable()) writer.join();
  }

  void attach(Database* db) {
    // Counts gathered on the old connection are written before it goes.
    stop();
    std::lock_guard<std::mutex> flushing(flushMutex_);
    db_ = db;
  }

  void stop() {
    try {
      flush();
    } catch (const DbError&) {
      // The database is gone: nothing more can be written.
    }
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      wake_.wait_for(lock, kFlushInterval);
      if (stopping_) break;
      lock.unlock();
      try {
        flush();
      } catch (const DbError&) {
        // Kept for the next second: the connection comes back by itself.
      }
      lock.lock();
    }
  }

  void restore(const Pending& taken) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto [id, n] : taken.userDownloads) pending_.userDownloads[id] += n;
    for (auto [id, n] : taken.userUploads) pending_.userUploads[id] += n;
    for (auto [id, n] : taken.fileDownloads) pending_.fileDownloads[id] += n;
  }

  static void write(Database& db, const Pending& p) {
    // One transaction: one journal write for the whole second on SQLite.
    Transaction t(db);
    auto add = [&t](const char* sql, std::int64_t id, std::int64_t n) {
      Statement s(t, sql);
      s.bind(1, n).bind(2, id).execute();
    };
    for (auto [id, n] : p.userDownloads) add("UPDATE users SET downloads=downloads+? WHERE id=?", id, n);
    for (auto [id, n] : p.userUploads) add("UPDATE users SET uploads=uploads+? WHERE id=?", id, n);
    for (auto [id, n] : p.fileDownloads) add("UPDATE files SET downloads=downloads+? WHERE id=?", id, n);
    t.commit();
  }

  std::mutex flushMutex_;
  Database* db_ = nullptr;  // guarded by flushMutex_
  std::mutex mutex_;
  std::condition_variable wake_;
  Pending pending_;        // guarded by mutex_
  bool stopping_ = false;  // guarded by mutex_
  std::thread writer_;
};

CounterBatch gCounters;

}  // namespace

void countDownload(std::int64_t userId, std::int64_t fileId) {
  gCounters.add(&Pending::userDownloads, userId);
  gCounters.add(&Pending::fileDownloads, fileId);
}

void countUpload(std::int64_t userId) { gCounters.add(&Pending::userUploads, userId); }

void flushCounters() { gCounters.flush(); }

void stopCounters() { gCounters.stop(); }

void attachCounters(Database* db) { gCounters.attach(db); }

}  // namespace kestrel::store
