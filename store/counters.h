// Download and upload counters, gathered in memory and written at most a
// second later in one transaction: a small file's RETR no longer waits for
// two autocommitted updates. Written also when a session ends and before
// the shared connection closes, so a stop by SIGTERM loses nothing; a
// kill -9 loses at most the last second's counts.
#pragma once
#include <cstdint>

namespace kestrel::store {

class Database;

void countDownload(std::int64_t userId, std::int64_t fileId);
void countUpload(std::int64_t userId);
// Writes what is pending on the shared connection now. Throws DbError (the
// counts stay pending for the next attempt).
void flushCounters();
// Writes what is pending, errors aside: before the shared connection goes.
void stopCounters();
// The connection the counts are written on (null: none); what is pending is
// first written on the old one.
void attachCounters(Database* db);

}  // namespace kestrel::store
