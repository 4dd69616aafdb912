// Typed record sets: a source (table or stored query), a filter and a sort;
// rows are read at open and re-query, edited by key, added by insert.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "store/db/database.h"

namespace kestrel::store {

enum class FieldType { Long, Int, Byte, Boolean, Text, DateTime, Double };

template <class Row>
struct Field {
  const char* column;  // the source's column name, lower case
  FieldType type;
  std::variant<std::int64_t Row::*, bool Row::*, std::string Row::*, double Row::*> member;
};

// The parts of a record set that do not depend on the row type.
class RecordSetBase {
 public:
  explicit RecordSetBase(Database& db) : db_(db) {}

  void setFilter(std::string filter) { filter_ = std::move(filter); }
  void setSort(std::string sort) { sort_ = std::move(sort); }
  const std::string& filter() const { return filter_; }

  bool isEmpty() const { return count_ == 0; }
  bool atEnd() const { return position_ >= count_; }
  void moveNext() {
    if (position_ < count_) ++position_;
  }
  std::size_t count() const { return count_; }

 protected:
  std::string selectStatement(const char* source, const std::vector<const char*>& columns,
                              const std::map<std::string, std::string>& aliases) const;

  Database& db_;
  std::string filter_;
  std::string sort_;
  std::size_t position_ = 0;
  std::size_t count_ = 0;
};

std::string quoteName(const char* name);

template <class Row>
class RecordSet : public RecordSetBase {
 public:
  explicit RecordSet(Database& db) : RecordSetBase(db) {}

  void open() { requery(); }
  void close() {
    rows_.clear();
    count_ = position_ = 0;
  }
  void requery() {
    std::vector<const char*> columns;
    for (const auto& f : Row::fields()) columns.push_back(f.column);
    auto result = db_.query(selectStatement(Row::kSource, columns, aliases()));
    rows_.clear();
    rows_.reserve(result.size());
    for (const auto& values : result) {
      Row row{};
      const auto& fields = Row::fields();
      for (std::size_t i = 0; i < fields.size() && i < values.size(); ++i) assign(row, fields[i], values[i]);
      rows_.push_back(std::move(row));
    }
    count_ = rows_.size();
    position_ = 0;
    adding_ = editing_ = false;
  }

  Row& row() { return adding_ ? pending_ : rows_.at(position_); }
  const std::vector<Row>& rows() const { return rows_; }

  // Starts a new row with every field empty; update() inserts it.
  void addNew() {
    pending_ = Row{};
    adding_ = true;
  }
  // Starts editing the current row; update() writes back the changed fields.
  void edit() {
    original_ = rows_.at(position_);
    editing_ = true;
  }
  void update() {
    if (adding_) {
      insert(pending_);
      adding_ = false;
    } else if (editing_) {
      writeChanges(original_, rows_.at(position_));
      editing_ = false;
    }
  }
  void cancelUpdate() {
    if (editing_) rows_.at(position_) = original_;
    adding_ = editing_ = false;
  }
  // Deletes the current row by its key.
  void remove() {
    const Row& r = rows_.at(position_);
    db_.execute(std::string("DELETE FROM ") + quoteName(Row::kSource) + " WHERE " + quoteName(Row::kKey) +
                "=" + std::to_string(r.*keyMember()));
  }

 private:
  static const std::map<std::string, std::string>& aliases() {
    static const std::map<std::string, std::string> none;
    if constexpr (requires { Row::aliases(); }) return Row::aliases();
    else return none;
  }
  static std::int64_t Row::*keyMember() { return &Row::id; }

  static void assign(Row& row, const Field<Row>& f, const Value& v) {
    std::visit(
        [&](auto member) {
          using T = std::remove_cvref_t<decltype(row.*member)>;
          if constexpr (std::is_same_v<T, std::string>) {
            row.*member = v.text;
          } else if constexpr (std::is_same_v<T, bool>) {
            row.*member = !v.null && !v.text.empty() && v.text != "0" && v.text != "f" && v.text != "false";
          } else if constexpr (std::is_same_v<T, double>) {
            row.*member = v.null ? 0.0 : std::strtod(v.text.c_str(), nullptr);
          } else {
            if (f.type == FieldType::DateTime) row.*member = v.null ? 0 : parseTime(v.text);
            else row.*member = v.null ? 0 : std::strtoll(v.text.c_str(), nullptr, 10);
          }
        },
        f.member);
  }

  static std::string valueSql(const Row& row, const Field<Row>& f) {
    return std::visit(
        [&](auto member) -> std::string {
          using T = std::remove_cvref_t<decltype(row.*member)>;
          if constexpr (std::is_same_v<T, std::string>) {
            return quoteText(row.*member);
          } else if constexpr (std::is_same_v<T, bool>) {
            return row.*member ? "1" : "0";
          } else if constexpr (std::is_same_v<T, double>) {
            return std::to_string(row.*member);
          } else {
            if (f.type == FieldType::DateTime) return quoteTime(row.*member);
            return std::to_string(row.*member);
          }
        },
        f.member);
  }

  static bool isKey(const Field<Row>& f) {
    return Row::kKey != nullptr && std::string_view(f.column) == Row::kKey;
  }

  void insert(const Row& row) {
    std::string names, values;
    for (const auto& f : Row::fields()) {
      if (isKey(f)) continue;  // the data source generates ids
      if (!names.empty()) {
        names += ',';
        values += ',';
      }
      names += quoteName(f.column);
      values += valueSql(row, f);
    }
    db_.execute(std::string("INSERT INTO ") + quoteName(Row::kSource) + " (" + names + ") VALUES (" + values + ")");
  }

  void writeChanges(const Row& before, const Row& after) {
    std::string sets;
    for (const auto& f : Row::fields()) {
      if (isKey(f)) continue;
      std::string old = valueSql(before, f), now = valueSql(after, f);
      if (old == now) continue;  // untouched columns keep what others wrote meanwhile
      if (!sets.empty()) sets += ',';
      sets += quoteName(f.column) + "=" + now;
    }
    if (sets.empty()) return;
    db_.execute(std::string("UPDATE ") + quoteName(Row::kSource) + " SET " + sets + " WHERE " +
                quoteName(Row::kKey) + "=" + std::to_string(after.*keyMember()));
  }

  std::vector<Row> rows_;
  Row pending_{};
  Row original_{};
  bool adding_ = false;
  bool editing_ = false;
};

}  // namespace kestrel::store
