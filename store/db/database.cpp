#include "store/db/database.h"

#include <chrono>
#include <cstring>
#include <ctime>

#include "platform/faults.h"
#include "platform/metrics.h"
#include "store/db/dialect.h"
#include "store/db/generation.h"

namespace kestrel::store {

namespace {

std::string diagnostics(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt) {
  std::string text;
  SQLCHAR state[6];
  SQLCHAR message[SQL_MAX_MESSAGE_LENGTH];
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  for (int i = 0; i < 4; ++i) {
    SQLRETURN rc = SQLError(env, dbc, stmt, state, &native, message, sizeof message, &length);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) break;
    if (!text.empty()) text += "; ";
    text += reinterpret_cast<char*>(state);
    text += ": ";
    text += reinterpret_cast<char*>(message);
  }
  return text.empty() ? "unknown database error" : text;
}

bool succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// Frees a statement handle on every path.
}  // namespace

struct Database::Statement {
  SQLHSTMT handle = SQL_NULL_HSTMT;
  ~Statement() {
    if (handle != SQL_NULL_HSTMT) SQLFreeStmt(handle, SQL_DROP);
  }
};

std::unique_ptr<Database> Database::open(const std::string& connectString) {
  std::unique_ptr<Database> db(new Database());
  db->connectString_ = connectString;
  if (!succeeded(SQLAllocEnv(&db->env_))) {
    db->env_ = SQL_NULL_HENV;
    throw DbError("cannot allocate an ODBC environment (is the driver manager installed?)");
  }
  db->connect();
  char name[128] = {};
  SQLSMALLINT nameLength = 0;
  if (succeeded(SQLGetInfo(db->dbc_, SQL_DBMS_NAME, name, sizeof name, &nameLength))) {
    std::string dbms = name;
    if (dbms.find("SQLite") != std::string::npos) db->engine_ = Engine::SQLite;
    else if (dbms.find("PostgreSQL") != std::string::npos) db->engine_ = Engine::PostgreSQL;
  }
  return db;
}

void Database::connect() {
  if (!succeeded(SQLAllocConnect(env_, &dbc_))) {
    dbc_ = SQL_NULL_HDBC;
    throw DbError(diagnostics(env_, SQL_NULL_HDBC, SQL_NULL_HSTMT));
  }
  SQLCHAR out[1024];
  SQLSMALLINT outLength = 0;
  std::string in = connectString_;
  SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                  static_cast<SQLSMALLINT>(in.size()), out, sizeof out, &outLength,
                                  SQL_DRIVER_NOPROMPT);
  if (!succeeded(rc)) {
    std::string message = diagnostics(env_, dbc_, SQL_NULL_HSTMT);
    SQLFreeConnect(dbc_);
    dbc_ = SQL_NULL_HDBC;
    throw DbError(message);
  }
}

void Database::disconnect() {
  if (dbc_ == SQL_NULL_HDBC) return;
  SQLDisconnect(dbc_);
  SQLFreeConnect(dbc_);
  dbc_ = SQL_NULL_HDBC;
}

namespace {

// The driver's words for a connection that is gone (the server stopped or
// restarted, the network dropped), as opposed to a statement that failed.
bool meansConnectionLost(const std::string& diagnostics) {
  for (std::size_t at = 0; at != std::string::npos;) {
    std::string_view state = std::string_view(diagnostics).substr(at, 5);
    if (state.substr(0, 2) == "08" || state.substr(0, 4) == "57P0") return true;
    at = diagnostics.find("; ", at);
    if (at != std::string::npos) at += 2;
  }
  return diagnostics.find("no connection to the server") != std::string::npos ||
         diagnostics.find("server closed the connection") != std::string::npos;
}

constexpr auto kReconnectInterval = std::chrono::seconds(1);

}  // namespace

void Database::fail(SQLHSTMT stmt) {
  std::string text = errorText(stmt);
  if (meansConnectionLost(text)) markLost();
  throw DbError(text);
}

void Database::markLost() {
  if (lost_) return;
  lost_ = true;
  lastAttempt_ = std::chrono::steady_clock::now();
  if (onConnectionChange_) onConnectionChange_(false);
}

void Database::reconnectIfLost() {
  if (!lost_) return;
  auto now = std::chrono::steady_clock::now();
  // While the server is down, one attempt a second; the others fail at once.
  if (now - lastAttempt_ < kReconnectInterval) throw DbError(kConnectionLost);
  lastAttempt_ = now;
  if (platform::injectedFault(platform::FaultPoint::DatabaseLost)) throw DbError(kConnectionLost);
  // The old connection's statements are gone with it (none is open: the
  // caller holds the statement lock); they are prepared again on first use.
  dropPrepared();
  disconnect();
  try {
    connect();
  } catch (const DbError& e) {
    throw DbError(std::string(kConnectionLost) + " (" + e.what() + ")");
  }
  lost_ = false;
  if (onConnectionChange_) onConnectionChange_(true);
}

bool Database::connectionLost() {
  platform::MutexLock lock(statementMutex_);
  return lost_;
}

Database::~Database() {
  dropPrepared();
  disconnect();
  if (env_ != SQL_NULL_HENV) SQLFreeEnv(env_);
}

std::string Database::errorText(SQLHSTMT stmt) const { return diagnostics(env_, dbc_, stmt); }

SQLRETURN Database::run(std::string_view sql, Statement& stmt) {
  if (!lost_ && platform::injectedFault(platform::FaultPoint::DatabaseLost)) {
    markLost();
    throw DbError("08S01: connection to the server lost (injected)");
  }
  reconnectIfLost();
  std::string text = rewriteForEngine(sql, engine_);
  if (!succeeded(SQLAllocStmt(dbc_, &stmt.handle))) {
    stmt.handle = SQL_NULL_HSTMT;
    fail(SQL_NULL_HSTMT);
  }
  return SQLExecDirect(stmt.handle, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size()));
}

long Database::execute(std::string_view sql) {
  platform::MutexLock lock(statementMutex_);
  metrics::StatementTimer timer;
  Statement stmt;
  const bool changesFiles = mayChangeFiles(sql);
  if (changesFiles) filesChanged();
  SQLRETURN rc = run(sql, stmt);
  if (changesFiles) filesChanged();
  if (rc == SQL_NO_DATA_FOUND) return 0;  // an UPDATE or DELETE that matched nothing
  if (!succeeded(rc)) fail(stmt.handle);
  SQLLEN count = 0;
  if (!succeeded(SQLRowCount(stmt.handle, &count))) count = 0;
  return static_cast<long>(count);
}

std::vector<RowValues> Database::query(std::string_view sql) {
  platform::MutexLock lock(statementMutex_);
  metrics::StatementTimer timer;
  std::vector<RowValues> rows;
  if (queryBound(sql, rows)) return rows;
  // A value longer than the bound buffers: read the result again in full.
  rows.clear();
  queryByCell(sql, rows);
  return rows;
}

namespace {

// Bound buffers hold values this long; almost every value is shorter.
constexpr SQLLEN kBoundWidth = 256;
// A wide result is read cell by cell rather than with one huge row buffer.
constexpr SQLSMALLINT kMostBoundColumns = 64;

}  // namespace

SQLSMALLINT Database::openResult(std::string_view sql, Statement& stmt) {
  SQLRETURN rc = run(sql, stmt);
  if (rc == SQL_NO_DATA_FOUND) return -1;
  if (!succeeded(rc)) fail(stmt.handle);
  SQLSMALLINT columns = 0;
  if (!succeeded(SQLNumResultCols(stmt.handle, &columns))) fail(stmt.handle);
  return columns;
}

bool Database::nextRow(Statement& stmt) {
  SQLRETURN rc = SQLFetch(stmt.handle);
  if (rc == SQL_NO_DATA_FOUND) return false;
  if (!succeeded(rc)) fail(stmt.handle);
  return true;
}

bool Database::queryBound(std::string_view sql, std::vector<RowValues>& rows) {
  Statement stmt;
  SQLSMALLINT columns = openResult(sql, stmt);
  if (columns < 0) return true;
  if (columns > kMostBoundColumns) return false;
  std::vector<char> buffer(static_cast<std::size_t>(columns) * kBoundWidth);
  std::vector<SQLLEN> indicators(static_cast<std::size_t>(columns));
  for (SQLSMALLINT c = 0; c < columns; ++c)
    if (!succeeded(SQLBindCol(stmt.handle, static_cast<SQLUSMALLINT>(c + 1), SQL_C_CHAR,
                              buffer.data() + c * kBoundWidth, kBoundWidth, &indicators[c])))
      return false;
  while (nextRow(stmt)) {
    RowValues row(columns);
    for (SQLSMALLINT c = 0; c < columns; ++c) {
      SQLLEN indicator = indicators[c];
      if (indicator == SQL_NULL_DATA) continue;
      if (indicator == SQL_NO_TOTAL || indicator < 0 || indicator >= kBoundWidth) return false;
      row[c].null = false;
      row[c].text.assign(buffer.data() + c * kBoundWidth, static_cast<std::size_t>(indicator));
    }
    rows.push_back(std::move(row));
  }
  return true;
}

void Database::queryByCell(std::string_view sql, std::vector<RowValues>& rows) {
  Statement stmt;
  SQLSMALLINT columns = openResult(sql, stmt);
  if (columns < 0) return;
  // Small on purpose: drivers may pad the whole buffer, and most values are
  // short; a longer one is fetched in pieces.
  char buffer[256];
  while (nextRow(stmt)) {
    RowValues row(columns);
    for (SQLSMALLINT c = 0; c < columns; ++c) {
      Value& v = row[c];
      // Long texts arrive in pieces; each piece but the last fills the buffer.
      for (;;) {
        SQLLEN indicator = 0;
        SQLRETURN rc = SQLGetData(stmt.handle, static_cast<SQLUSMALLINT>(c + 1), SQL_C_CHAR, buffer,
                                  sizeof buffer, &indicator);
        if (rc == SQL_NO_DATA_FOUND) break;
        if (!succeeded(rc)) fail(stmt.handle);
        if (indicator == SQL_NULL_DATA) break;
        v.null = false;
        if (rc == SQL_SUCCESS_WITH_INFO &&
            (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer))) {
          v.text.append(buffer, std::strlen(buffer));
          continue;
        }
        v.text.append(buffer, indicator >= 0 && indicator < static_cast<SQLLEN>(sizeof buffer)
                                  ? static_cast<std::size_t>(indicator)
                                  : std::strlen(buffer));
        break;
      }
    }
    rows.push_back(std::move(row));
  }
}

std::vector<std::pair<std::string, std::string>> Database::dataSources() {
  std::vector<std::pair<std::string, std::string>> list;
  SQLHENV env = SQL_NULL_HENV;
  if (!succeeded(SQLAllocEnv(&env))) return list;
  SQLCHAR name[SQL_MAX_DSN_LENGTH + 1];
  SQLCHAR description[256];
  SQLSMALLINT nameLength = 0, descriptionLength = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (succeeded(SQLDataSources(env, direction, name, sizeof name, &nameLength, description,
                                  sizeof description, &descriptionLength))) {
    list.emplace_back(reinterpret_cast<char*>(name), reinterpret_cast<char*>(description));
    direction = SQL_FETCH_NEXT;
  }
  SQLFreeEnv(env);
  return list;
}

std::string quoteText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  for (char c : text) {
    if (c == '\0') continue;  // no engine keeps a NUL inside a text value
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
  return out;
}

std::string formatTime(long long epochSeconds) {
  std::time_t t = static_cast<std::time_t>(epochSeconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

std::string quoteTime(long long epochSeconds) {
  if (epochSeconds == 0) return "NULL";
  return "'" + formatTime(epochSeconds) + "'";
}

long long parseTime(const std::string& text) {
  if (text.empty()) return 0;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s);
  if (n < 3) return 0;
  // mktime consults the time zone file on every call; a listing converts
  // thousands of stamps, most within a few hours. The start of the hour is
  // kept and minutes added; localtime_r (which reads no file) confirms the
  // result, so an offset change inside the hour falls back to mktime.
  struct HourStart {
    int y = 0, mo = 0, d = 0, h = -1;
    long long epoch = -1;
  };
  thread_local HourStart last;
  if (mi >= 0 && mi < 60 && s >= 0 && s < 60) {
    if (last.y != y || last.mo != mo || last.d != d || last.h != h) {
      std::tm tm{};
      tm.tm_year = y - 1900;
      tm.tm_mon = mo - 1;
      tm.tm_mday = d;
      tm.tm_hour = h;
      tm.tm_isdst = -1;
      last = {y, mo, d, h, static_cast<long long>(std::mktime(&tm))};
    }
    if (last.epoch != -1) {
      auto candidate = static_cast<std::time_t>(last.epoch + mi * 60 + s);
      std::tm check{};
      if (localtime_r(&candidate, &check) && check.tm_year == y - 1900 && check.tm_mon == mo - 1 &&
          check.tm_mday == d && check.tm_hour == h && check.tm_min == mi && check.tm_sec == s)
        return static_cast<long long>(candidate);
    }
  }
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return static_cast<long long>(std::mktime(&tm));
}

}  // namespace kestrel::store
