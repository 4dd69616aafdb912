#include "store/db/recordset.h"

#include "store/db/dialect.h"

namespace kestrel::store {

std::string quoteName(const char* name) { return std::string("\"") + name + "\""; }

std::string RecordSetBase::selectStatement(const char* source, const std::vector<const char*>& columns,
                                           const std::map<std::string, std::string>& aliases) const {
  std::string sql = "SELECT ";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) sql += ',';
    sql += quoteName(columns[i]);
  }
  sql += " FROM ";
  sql += quoteName(source);
  if (!filter_.empty()) sql += " WHERE " + applyAliases(filter_, aliases);
  if (!sort_.empty()) sql += " ORDER BY " + applyAliases(sort_, aliases);
  return sql;
}

}  // namespace kestrel::store
