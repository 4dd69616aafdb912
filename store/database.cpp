#include "store/database.h"

#include <cstring>
#include <ctime>

#include "platform/metrics.h"
#include "store/dialect.h"

namespace kestrel::store {

namespace {

std::unique_ptr<Database> gShared;

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

Database* sharedDatabase() { return gShared.get(); }
void setSharedDatabase(std::unique_ptr<Database> db) { gShared = std::move(db); }

std::unique_ptr<Database> Database::open(const std::string& connectString) {
  std::unique_ptr<Database> db(new Database());
  if (!succeeded(SQLAllocEnv(&db->env_))) {
    db->env_ = SQL_NULL_HENV;
    throw DbError("cannot allocate an ODBC environment (is the driver manager installed?)");
  }
  if (!succeeded(SQLAllocConnect(db->env_, &db->dbc_))) {
    db->dbc_ = SQL_NULL_HDBC;
    throw DbError(diagnostics(db->env_, SQL_NULL_HDBC, SQL_NULL_HSTMT));
  }
  SQLCHAR out[1024];
  SQLSMALLINT outLength = 0;
  std::string in = connectString;
  SQLRETURN rc = SQLDriverConnect(db->dbc_, nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                  static_cast<SQLSMALLINT>(in.size()), out, sizeof out, &outLength,
                                  SQL_DRIVER_NOPROMPT);
  if (!succeeded(rc)) {
    std::string message = diagnostics(db->env_, db->dbc_, SQL_NULL_HSTMT);
    SQLFreeConnect(db->dbc_);
    db->dbc_ = SQL_NULL_HDBC;
    throw DbError(message);
  }
  char name[128] = {};
  SQLSMALLINT nameLength = 0;
  if (succeeded(SQLGetInfo(db->dbc_, SQL_DBMS_NAME, name, sizeof name, &nameLength))) {
    std::string dbms = name;
    if (dbms.find("SQLite") != std::string::npos) db->engine_ = Engine::SQLite;
    else if (dbms.find("PostgreSQL") != std::string::npos) db->engine_ = Engine::PostgreSQL;
  }
  return db;
}

Database::~Database() {
  if (dbc_ != SQL_NULL_HDBC) {
    SQLDisconnect(dbc_);
    SQLFreeConnect(dbc_);
  }
  if (env_ != SQL_NULL_HENV) SQLFreeEnv(env_);
}

std::string Database::errorText(SQLHSTMT stmt) const { return diagnostics(env_, dbc_, stmt); }

SQLRETURN Database::run(std::string_view sql, Statement& stmt) {
  std::string text = rewriteForEngine(sql, engine_);
  if (!succeeded(SQLAllocStmt(dbc_, &stmt.handle))) {
    stmt.handle = SQL_NULL_HSTMT;
    throw DbError(errorText(SQL_NULL_HSTMT));
  }
  return SQLExecDirect(stmt.handle, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size()));
}

long Database::execute(std::string_view sql) {
  std::lock_guard<std::mutex> lock(statementMutex_);
  metrics::StatementTimer timer;
  Statement stmt;
  SQLRETURN rc = run(sql, stmt);
  if (rc == SQL_NO_DATA_FOUND) return 0;  // an UPDATE or DELETE that matched nothing
  if (!succeeded(rc)) throw DbError(errorText(stmt.handle));
  SQLLEN count = 0;
  if (!succeeded(SQLRowCount(stmt.handle, &count))) count = 0;
  return static_cast<long>(count);
}

std::vector<RowValues> Database::query(std::string_view sql) {
  std::lock_guard<std::mutex> lock(statementMutex_);
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
  if (!succeeded(rc)) throw DbError(errorText(stmt.handle));
  SQLSMALLINT columns = 0;
  if (!succeeded(SQLNumResultCols(stmt.handle, &columns))) throw DbError(errorText(stmt.handle));
  return columns;
}

bool Database::nextRow(Statement& stmt) {
  SQLRETURN rc = SQLFetch(stmt.handle);
  if (rc == SQL_NO_DATA_FOUND) return false;
  if (!succeeded(rc)) throw DbError(errorText(stmt.handle));
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
        if (!succeeded(rc)) throw DbError(errorText(stmt.handle));
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
