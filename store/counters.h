// Download and upload counters, gathered in memory and written at most a
// second later in one transaction: a small file's RETR no longer waits for
// two autocommitted updates. Written also when a session ends and before
// the shared connection closes, so a stop by SIGTERM loses nothing; a
// kill -9 loses at most the last second's counts.
#pragma once
#include <cstdint>
#include <map>
#include <thread>

#include "platform/mutex.h"

namespace kestrel::store {

class Database;

class CounterBatch {
 public:
  // Counts are written on `db`, which outlives the batch.
  explicit CounterBatch(Database& db) : db_(db) {}
  // Stops the writer and writes what is pending, errors aside.
  ~CounterBatch();
  CounterBatch(const CounterBatch&) = delete;
  CounterBatch& operator=(const CounterBatch&) = delete;

  void countDownload(std::int64_t userId, std::int64_t fileId) EXCLUDES(pendingMutex_);
  void countUpload(std::int64_t userId) EXCLUDES(pendingMutex_);
  // Writes what is pending now. Throws DbError (the counts stay pending for
  // the next attempt).
  void flush() EXCLUDES(flushMutex_, pendingMutex_);

 private:
  struct Pending {
    std::map<std::int64_t, std::int64_t> userDownloads, userUploads, fileDownloads;
    bool empty() const { return userDownloads.empty() && userUploads.empty() && fileDownloads.empty(); }
  };
  void add(std::map<std::int64_t, std::int64_t> Pending::*which, std::int64_t id) REQUIRES(pendingMutex_);
  void startWriter() REQUIRES(pendingMutex_);
  void run() EXCLUDES(pendingMutex_);
  void restore(const Pending& taken) EXCLUDES(pendingMutex_);
  static void write(Database& db, const Pending& p);

  Database& db_;
  // One flush at a time, so that counts taken out are written before a
  // later flush reports "nothing pending".
  platform::Mutex flushMutex_;
  platform::Mutex pendingMutex_;
  platform::CondVar wake_;
  Pending pending_ GUARDED_BY(pendingMutex_);
  bool stopping_ GUARDED_BY(pendingMutex_) = false;
  std::thread writer_ GUARDED_BY(pendingMutex_);
};

}  // namespace kestrel::store
