// Prepared statements with bound parameters. Each distinct statement text is
// prepared once per connection and kept; a value never becomes SQL text.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/metrics.h"
#include "store/db/database.h"
#include "store/db/recordset.h"

namespace kestrel::store {

// Several statements as one transaction, holding the connection's statement
// lock throughout: no other session's statement can land inside it. Rolled
// back unless committed.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit();
  Database& database() { return db_; }

 private:
  Database& db_;
  std::unique_lock<platform::Mutex> lock_;
  bool done_ = false;
};

// One use of a prepared statement. Holds the connection's statement lock from
// construction to destruction: read what you need, then let it go before any
// other store call or any wait on the network.
class Statement {
 public:
  // sql is written with "?" markers and the usual dialect; it is rewritten
  // and prepared on first use only. Throws DbError.
  Statement(Database& db, std::string_view sql);
  // A statement inside a transaction, which already holds the lock.
  Statement(Transaction& transaction, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Parameters count from 1, as in ODBC. The value is copied.
  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, std::string_view value);
  Statement& bind(int index, const char* value) { return bind(index, std::string_view(value)); }
  Statement& bind(int index, int value) { return bind(index, static_cast<std::int64_t>(value)); }
  // A local time stamp, or NULL for 0.
  Statement& bindTime(int index, long long epochSeconds);

  // Runs the statement; the rows it changed where the driver tells.
  long execute();
  // Moves to the next row of a query's result; false after the last.
  bool next();
  // Values of the current row, columns counted from 1. NULL reads as 0 or "".
  std::int64_t integer(int column);
  bool boolean(int column) { return integer(column) != 0; }
  std::string text(int column);
  long long time(int column) { return parseTime(text(column)); }

  // The handle, for readers that bind columns of their own (block fetches).
  SQLHSTMT handle() const;
  Database& database() { return db_; }
  [[noreturn]] void fail();

 private:
  Database& db_;
  std::unique_lock<platform::Mutex> lock_;
  metrics::StatementTimer timer_;
  Database::Prepared* prepared_ = nullptr;
  bool open_ = false;  // a cursor is open on the handle
  bool changesFiles_ = false;
};

}  // namespace kestrel::store

namespace kestrel::store {

// The column list of a row type, in its fields' order.
template <class Row>
std::string columnList() {
  std::string out;
  for (const auto& f : Row::fields()) {
    if (!out.empty()) out += ',';
    out += quoteName(f.column);
  }
  return out;
}

// Fills a row from the current result row, read in its fields' order.
template <class Row>
void readRow(Statement& s, Row& row) {
  const auto& fields = Row::fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const int column = static_cast<int>(i + 1);
    std::visit(
        [&](auto member) {
          using T = std::remove_cvref_t<decltype(row.*member)>;
          if constexpr (std::is_same_v<T, std::string>) row.*member = s.text(column);
          else if constexpr (std::is_same_v<T, bool>) row.*member = s.boolean(column);
          else if constexpr (std::is_same_v<T, double>) row.*member = std::strtod(s.text(column).c_str(), nullptr);
          else if (fields[i].type == FieldType::DateTime) row.*member = s.time(column);
          else row.*member = s.integer(column);
        },
        fields[i].member);
  }
}

// Rows of Row's source matching `where` (with "?" markers, bound in order to
// params), sorted by `order` when given.
template <class Row, class... Params>
std::vector<Row> selectRows(Database& db, std::string_view where, std::string_view order, const Params&... params) {
  std::string sql = "SELECT " + columnList<Row>() + " FROM " + quoteName(Row::kSource);
  if (!where.empty()) sql.append(" WHERE ").append(where);
  if (!order.empty()) sql.append(" ORDER BY ").append(order);
  Statement s(db, sql);
  int index = 0;
  (s.bind(++index, params), ...);
  s.execute();
  std::vector<Row> rows;
  while (s.next()) readRow(s, rows.emplace_back());
  return rows;
}

// The first of those rows, or none.
template <class Row, class... Params>
std::optional<Row> selectFirst(Database& db, std::string_view where, std::string_view order,
                               const Params&... params) {
  auto rows = selectRows<Row>(db, where, order, params...);
  if (rows.empty()) return std::nullopt;
  return std::move(rows.front());
}

template <class Row, class... Params>
std::optional<Row> selectRow(Database& db, std::string_view where, const Params&... params) {
  return selectFirst<Row>(db, where, {}, params...);
}

}  // namespace kestrel::store

namespace kestrel::store {

// Inserts a row with every field but the key (the data source makes ids).
template <class Row>
void insertRow(Database& db, const Row& row) {
  std::string names, markers;
  for (const auto& f : Row::fields()) {
    if (Row::kKey && std::string_view(f.column) == Row::kKey) continue;
    if (!names.empty()) {
      names += ',';
      markers += ',';
    }
    names += quoteName(f.column);
    markers += '?';
  }
  Statement s(db, "INSERT INTO " + quoteName(Row::kSource) + " (" + names + ") VALUES (" + markers + ")");
  int index = 0;
  for (const auto& f : Row::fields()) {
    if (Row::kKey && std::string_view(f.column) == Row::kKey) continue;
    ++index;
    std::visit(
        [&](auto member) {
          using T = std::remove_cvref_t<decltype(row.*member)>;
          if constexpr (std::is_same_v<T, std::string>) s.bind(index, std::string_view(row.*member));
          else if constexpr (std::is_same_v<T, bool>) s.bind(index, std::int64_t{row.*member ? 1 : 0});
          else if constexpr (std::is_same_v<T, double>) s.bind(index, static_cast<std::int64_t>(row.*member));
          else if (f.type == FieldType::DateTime) s.bindTime(index, row.*member);
          else s.bind(index, static_cast<std::int64_t>(row.*member));
        },
        f.member);
  }
  s.execute();
}

}  // namespace kestrel::store
