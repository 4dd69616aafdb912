#include "store/counters.h"

#include <chrono>

#include "store/db/database.h"
#include "store/db/statement.h"

namespace kestrel::store {

namespace {
constexpr auto kFlushInterval = std::chrono::seconds(1);
}  // namespace

CounterBatch::~CounterBatch() {
  std::thread writer;
  {
    platform::MutexLock lock(pendingMutex_);
    stopping_ = true;
    writer.swap(writer_);
  }
  wake_.notifyAll();
  if (writer.joinable()) writer.join();
  try {
    flush();
  } catch (const DbError&) {
    // The database is gone: nothing more can be written.
  }
}

void CounterBatch::countDownload(std::int64_t userId, std::int64_t fileId) {
  platform::MutexLock lock(pendingMutex_);
  add(&Pending::userDownloads, userId);
  add(&Pending::fileDownloads, fileId);
}

void CounterBatch::countUpload(std::int64_t userId) {
  platform::MutexLock lock(pendingMutex_);
  add(&Pending::userUploads, userId);
}

void CounterBatch::add(std::map<std::int64_t, std::int64_t> Pending::*which, std::int64_t id) {
  ++(pending_.*which)[id];
  if (!writer_.joinable() && !stopping_) startWriter();
}

void CounterBatch::startWriter() {
  writer_ = std::thread([this] { run(); });
}

void CounterBatch::flush() {
  platform::MutexLock flushing(flushMutex_);
  Pending taken;
  {
    platform::MutexLock lock(pendingMutex_);
    taken.userDownloads.swap(pending_.userDownloads);
    taken.userUploads.swap(pending_.userUploads);
    taken.fileDownloads.swap(pending_.fileDownloads);
  }
  if (taken.empty()) return;
  try {
    write(db_, taken);
  } catch (const DbError&) {
    restore(taken);
    throw;
  }
}

void CounterBatch::run() {
  pendingMutex_.lock();
  while (!stopping_) {
    wake_.waitUntil(pendingMutex_, std::chrono::steady_clock::now() + kFlushInterval);
    if (stopping_) break;
    pendingMutex_.unlock();
    try {
      flush();
    } catch (const DbError&) {
      // Kept for the next second: the connection comes back by itself.
    }
    pendingMutex_.lock();
  }
  pendingMutex_.unlock();
}

void CounterBatch::restore(const Pending& taken) {
  platform::MutexLock lock(pendingMutex_);
  for (auto [id, n] : taken.userDownloads) pending_.userDownloads[id] += n;
  for (auto [id, n] : taken.userUploads) pending_.userUploads[id] += n;
  for (auto [id, n] : taken.fileDownloads) pending_.fileDownloads[id] += n;
}

void CounterBatch::write(Database& db, const Pending& p) {
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

}  // namespace kestrel::store
