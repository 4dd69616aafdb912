#include "store/db/statement.h"

#include <cctype>
#include <cstring>
#include <deque>

#include "platform/faults.h"
#include "store/db/generation.h"
#include "store/db/dialect.h"

namespace kestrel::store {

namespace {
bool succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }
}  // namespace

bool mayChangeFiles(std::string_view sql) {
  std::size_t start = sql.find_first_not_of(" \t\r\n(");
  if (start != std::string_view::npos && sql.size() - start >= 6) {
    std::string head(sql.substr(start, 6));
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (head == "select") return false;
  }
  for (std::size_t i = 0; i + 5 <= sql.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(sql[i])) != 'f') continue;
    std::string word(sql.substr(i, 5));
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word == "files") return true;
  }
  return false;
}

Database::Prepared& Database::prepared(std::string_view sql) {
  if (!lost_ && platform::injectedFault(platform::FaultPoint::DatabaseLost)) {
    markLost();
    throw DbError("08S01: connection to the server lost (injected)");
  }
  reconnectIfLost();
  auto found = prepared_.find(std::string(sql));
  if (found != prepared_.end()) return *found->second;
  auto entry = std::make_unique<Prepared>();
  if (!succeeded(SQLAllocStmt(dbc_, &entry->handle))) {
    entry->handle = SQL_NULL_HSTMT;
    fail(SQL_NULL_HSTMT);
  }
  std::string text = rewriteForEngine(sql, engine_);
  if (!succeeded(SQLPrepare(entry->handle, reinterpret_cast<SQLCHAR*>(text.data()),
                            static_cast<SQLINTEGER>(text.size()))))
    fail(entry->handle);
  Prepared& kept = *entry;
  prepared_.emplace(std::string(sql), std::move(entry));
  return kept;
}

void Database::dropPrepared() { prepared_.clear(); }

Statement::Statement(Database& db, std::string_view sql)
    : db_(db), lock_(db.statementMutex_), changesFiles_(mayChangeFiles(sql)) {
  prepared_ = &db_.prepared(sql);
}

Statement::Statement(Transaction& transaction, std::string_view sql)
    : db_(transaction.database()), changesFiles_(mayChangeFiles(sql)) {
  prepared_ = &db_.prepared(sql);
}

Transaction::Transaction(Database& db) : db_(db), lock_(db.statementMutex_) {
  db_.reconnectIfLost();
  if (!succeeded(SQLSetConnectOption(db_.dbc_, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF))) db_.fail(SQL_NULL_HSTMT);
}

void Transaction::commit() {
  db_.statementMutex_.assertHeld();  // taken by the constructor
  SQLRETURN rc = SQLTransact(db_.env_, db_.dbc_, SQL_COMMIT);
  done_ = true;
  SQLSetConnectOption(db_.dbc_, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON);
  if (!succeeded(rc)) db_.fail(SQL_NULL_HSTMT);
}

Transaction::~Transaction() {
  if (done_ || db_.dbc_ == SQL_NULL_HDBC) return;
  SQLTransact(db_.env_, db_.dbc_, SQL_ROLLBACK);
  SQLSetConnectOption(db_.dbc_, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON);
}

Statement::~Statement() {
  // The handle stays prepared for the next use; only its cursor closes.
  if (open_ && prepared_) SQLFreeStmt(prepared_->handle, SQL_CLOSE);
}

SQLHSTMT Statement::handle() const { return prepared_->handle; }

void Statement::fail() {
  db_.statementMutex_.assertHeld();  // by this statement or its transaction, since construction
  db_.fail(prepared_->handle);
}

Statement& Statement::bind(int index, std::int64_t value) {
  auto& p = prepared_->parameter(index);
  p.integer = value;
  p.indicator = 0;
  if (!succeeded(SQLBindParameter(prepared_->handle, static_cast<SQLUSMALLINT>(index), SQL_PARAM_INPUT,
                                  SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &p.integer, 0, &p.indicator)))
    fail();
  return *this;
}

Statement& Statement::bind(int index, std::string_view value) {
  auto& p = prepared_->parameter(index);
  p.text.assign(value.data(), value.size());
  // No engine keeps a NUL inside a text value.
  std::erase(p.text, '\0');
  p.indicator = static_cast<SQLLEN>(p.text.size());
  if (!succeeded(SQLBindParameter(prepared_->handle, static_cast<SQLUSMALLINT>(index), SQL_PARAM_INPUT,
                                  SQL_C_CHAR, SQL_VARCHAR, p.text.empty() ? 1 : p.text.size(), 0,
                                  p.text.data(), static_cast<SQLLEN>(p.text.size() + 1), &p.indicator)))
    fail();
  return *this;
}

Statement& Statement::bindTime(int index, long long epochSeconds) {
  auto& p = prepared_->parameter(index);
  p.text = epochSeconds == 0 ? std::string() : formatTime(epochSeconds);
  p.indicator = epochSeconds == 0 ? SQL_NULL_DATA : static_cast<SQLLEN>(p.text.size());
  if (!succeeded(SQLBindParameter(prepared_->handle, static_cast<SQLUSMALLINT>(index), SQL_PARAM_INPUT,
                                  SQL_C_CHAR, SQL_TIMESTAMP, 19, 0, p.text.data(),
                                  static_cast<SQLLEN>(p.text.size() + 1), &p.indicator)))
    fail();
  return *this;
}

long Statement::execute() {
  if (open_) {
    SQLFreeStmt(prepared_->handle, SQL_CLOSE);
    open_ = false;
  }
  if (changesFiles_) db_.filesChanged();
  SQLRETURN rc = SQLExecute(prepared_->handle);
  if (changesFiles_) db_.filesChanged();
  if (rc == SQL_NO_DATA_FOUND) return 0;  // an UPDATE or DELETE that matched nothing
  if (!succeeded(rc)) fail();
  open_ = true;
  SQLLEN count = 0;
  if (!succeeded(SQLRowCount(prepared_->handle, &count)) || count < 0) count = 0;
  return static_cast<long>(count);
}

bool Statement::next() {
  if (!open_) return false;
  SQLRETURN rc = SQLFetch(prepared_->handle);
  if (rc == SQL_NO_DATA_FOUND) return false;
  if (!succeeded(rc)) fail();
  return true;
}

std::int64_t Statement::integer(int column) {
  std::int64_t value = 0;
  SQLLEN indicator = 0;
  SQLRETURN rc = SQLGetData(prepared_->handle, static_cast<SQLUSMALLINT>(column), SQL_C_SBIGINT, &value,
                            sizeof value, &indicator);
  if (!succeeded(rc)) fail();
  return indicator == SQL_NULL_DATA ? 0 : value;
}

std::string Statement::text(int column) {
  std::string out;
  char buffer[256];
  // Long texts arrive in pieces; each piece but the last fills the buffer.
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(prepared_->handle, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR, buffer,
                              sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA_FOUND) break;
    if (!succeeded(rc)) fail();
    if (indicator == SQL_NULL_DATA) break;
    if (rc == SQL_SUCCESS_WITH_INFO &&
        (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer))) {
      out.append(buffer, sizeof buffer - 1);
      continue;
    }
    out.append(buffer, indicator >= 0 && indicator < static_cast<SQLLEN>(sizeof buffer)
                           ? static_cast<std::size_t>(indicator)
                           : std::strlen(buffer));
    break;
  }
  return out;
}

}  // namespace kestrel::store
