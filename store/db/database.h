// The one shared connection to the data source. Every call goes through the
// serialiser library; statements are rewritten for the engine in use.
#pragma once
#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/metrics.h"
#include "platform/mutex.h"

namespace kestrel::store {

// A driver failure, carrying the driver's own message.
class DbError : public std::runtime_error {
 public:
  // Each one raised is counted for the metrics page.
  explicit DbError(const std::string& what) : std::runtime_error(what) { metrics::databaseError(); }
  explicit DbError(const char* what) : std::runtime_error(what) { metrics::databaseError(); }
};

enum class Engine { SQLite, PostgreSQL, Other };

struct Value {
  std::string text;
  bool null = true;
};
using RowValues = std::vector<Value>;

class Statement;
class Transaction;
class SharedRecordSets;

class Database {
 public:
  // A statement prepared on this connection, kept until the connection goes.
  struct Prepared {
    SQLHSTMT handle = SQL_NULL_HSTMT;
    // The driver keeps pointers to bound values until the next execution:
    // each parameter's storage stays put (a deque never moves its elements).
    struct Parameter {
      std::string text;
      std::int64_t integer = 0;
      SQLLEN indicator = 0;
    };
    std::deque<Parameter> parameters;

    Parameter& parameter(int index) {
      while (parameters.size() < static_cast<std::size_t>(index)) parameters.emplace_back();
      return parameters[static_cast<std::size_t>(index) - 1];
    }
    Prepared() = default;
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
    ~Prepared() {
      if (handle != SQL_NULL_HSTMT) SQLFreeStmt(handle, SQL_DROP);
    }
  };

  // Connects with an ODBC connect string such as "DSN=x;UID=y;PWD=z".
  // Throws DbError.
  static std::unique_ptr<Database> open(const std::string& connectString);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  Engine engine() const { return engine_; }

  // Runs one statement that returns no rows (after the dialect rewrite).
  // Returns the number of rows it changed where the driver tells.
  long execute(std::string_view sql);
  // Runs a query and returns every row, each value as text.
  std::vector<RowValues> query(std::string_view sql);

  // Called (under the statement lock: post, do not call back) when the
  // connection is found lost and when it is open again. Set before use.
  void setConnectionListener(std::function<void(bool open)> listener) {
    platform::MutexLock lock(statementMutex_);
    onConnectionChange_ = std::move(listener);
  }
  bool connectionLost();
  static constexpr const char* kConnectionLost = "the connection to the database is lost";

  // A count of the changes made to the files table through this connection,
  // so that a session may keep a row it read and know when to read it again.
  // Bumped before and after each change: a reader that saw the old row either
  // sees a new count or read after the change.
  std::uint64_t filesGeneration() const { return filesGeneration_.load(std::memory_order_acquire); }

  // The long-lived record sets every thread shares on this connection, lent
  // by their owner (runApplication) for as long as they live; null on any
  // other connection, whose look-ups open record sets of their own.
  void lendRecordSets(SharedRecordSets* sets) { recordSets_ = sets; }
  SharedRecordSets* recordSets() const { return recordSets_; }

  // The data sources the driver manager knows (name, description).
  static std::vector<std::pair<std::string, std::string>> dataSources();

 private:
  friend class Statement;
  friend class Transaction;
  Database() = default;
  // The prepared statement for sql.
  Prepared& prepared(std::string_view sql) REQUIRES(statementMutex_);
  // Frees every prepared statement: before the connection they belong to goes.
  void dropPrepared() REQUIRES(statementMutex_);
  void connect();
  void disconnect();
  // Throws the driver's error for stmt; a lost connection is closed and
  // reopened by the next statement once the database answers again.
  [[noreturn]] void fail(SQLHSTMT stmt) REQUIRES(statementMutex_);
  void markLost() REQUIRES(statementMutex_);
  void reconnectIfLost() REQUIRES(statementMutex_);
  std::string errorText(SQLHSTMT stmt) const;
  struct Statement;
  // Allocates stmt and executes sql on it.
  SQLRETURN run(std::string_view sql, Statement& stmt) REQUIRES(statementMutex_);
  // Executes sql; the result's column count, or -1 when it has no rows at all.
  SQLSMALLINT openResult(std::string_view sql, Statement& stmt) REQUIRES(statementMutex_);
  // Moves to the next row of the result; false after the last.
  bool nextRow(Statement& stmt) REQUIRES(statementMutex_);
  // The two ways to read a result: through bound buffers, one driver call per
  // row, false when a value did not fit; and cell by cell, for values of any
  // length.
  bool queryBound(std::string_view sql, std::vector<RowValues>& rows) REQUIRES(statementMutex_);
  void queryByCell(std::string_view sql, std::vector<RowValues>& rows) REQUIRES(statementMutex_);
  void filesChanged() { filesGeneration_.fetch_add(1, std::memory_order_acq_rel); }

  // One statement at a time from execution to release: not every driver lets
  // several threads keep cursors open on one connection. A store::Statement
  // or Transaction holds it for its whole life.
  platform::Mutex statementMutex_;
  std::string connectString_;
  SharedRecordSets* recordSets_ = nullptr;  // set before any thread but its owner's uses it
  std::function<void(bool)> onConnectionChange_ GUARDED_BY(statementMutex_);
  bool lost_ GUARDED_BY(statementMutex_) = false;
  std::chrono::steady_clock::time_point lastAttempt_ GUARDED_BY(statementMutex_);
  // The connection's handles change only while reconnecting, under the lock;
  // Database::open and the destructor run before and after every other user.
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  Engine engine_ = Engine::Other;
  std::unordered_map<std::string, std::unique_ptr<Prepared>> prepared_ GUARDED_BY(statementMutex_);
  std::atomic<std::uint64_t> filesGeneration_{0};  // read by every session without a lock
};

// Text values for SQL: wraps in single quotes, doubling each quote. The one
// place where text becomes part of a statement.
std::string quoteText(std::string_view text);
// Local time as 'YYYY-MM-DD HH:MM:SS' (quoted), or NULL for 0.
std::string quoteTime(long long epochSeconds);
long long parseTime(const std::string& text);
std::string formatTime(long long epochSeconds);

}  // namespace kestrel::store
