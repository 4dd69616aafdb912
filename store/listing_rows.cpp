#include "store/listing_rows.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "store/queries.h"
#include "store/statement.h"

namespace kestrel::store {

namespace {

// Rows per driver call: a few hundred keep the call count low and the
// buffers small.
constexpr SQLUINTEGER kBlockRows = 256;
constexpr SQLLEN kNameWidth = 1024;
constexpr SQLLEN kAccountWidth = 64;

// Only what a line shows; the nine permission bits arrive as one number.
constexpr const char* kListingSql =
    "SELECT \"files.name\", directory, link, size, modified, "
    "\"user read\"*256+\"user write\"*128+\"user execute\"*64+"
    "\"group read\"*32+\"group write\"*16+\"group execute\"*8+"
    "\"other read\"*4+\"other write\"*2+\"other execute\", login, \"groups.name\" "
    "FROM \"directory\" WHERE parent=? ORDER BY \"files.name\"";

struct Buffers {
  std::unique_ptr<char[]> name{new char[kBlockRows * kNameWidth]};
  std::unique_ptr<char[]> owner{new char[kBlockRows * kAccountWidth]};
  std::unique_ptr<char[]> group{new char[kBlockRows * kAccountWidth]};
  std::int64_t directory[kBlockRows], link[kBlockRows], size[kBlockRows], bits[kBlockRows];
  TIMESTAMP_STRUCT modified[kBlockRows];
  SQLLEN nameLength[kBlockRows], ownerLength[kBlockRows], groupLength[kBlockRows];
  SQLLEN directoryInd[kBlockRows], linkInd[kBlockRows], sizeInd[kBlockRows], bitsInd[kBlockRows];
  SQLLEN modifiedInd[kBlockRows];
};

bool succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

std::int64_t orZero(std::int64_t v, SQLLEN indicator) { return indicator == SQL_NULL_DATA ? 0 : v; }

void copyAccount(char (&to)[9], const char* from, SQLLEN length) {
  std::size_t n = length == SQL_NULL_DATA || length < 0 ? 0 : static_cast<std::size_t>(length);
  n = std::min({n, std::strlen(from), std::size_t{8}});
  std::memcpy(to, from, n);
  to[n] = '\0';
}

// The slow path, for a name too long for the block buffers.
ListingRows listingRowsByRecord(Database& db, std::int64_t parent) {
  ListingRows rows;
  for (const DirectoryRecord& r : selectRows<DirectoryRecord>(db, "parent=?", "\"files.name\"", parent))
    rows.add(listingEntry(r), r.name);
  return rows;
}

}  // namespace

ListingEntry listingEntry(const DirectoryRecord& r) {
  ListingEntry e;
  e.size = r.size;
  e.directory = r.directory;
  e.link = r.link != 0;
  const bool bits[9] = {r.userRead,  r.userWrite,  r.userExecute,  r.groupRead, r.groupWrite,
                        r.groupExecute, r.otherRead, r.otherWrite, r.otherExecute};
  for (int i = 0; i < 9; ++i)
    if (bits[i]) e.bits |= static_cast<std::uint16_t>(0400 >> i);
  e.modified = storedTime(r.modified);
  copyAccount(e.owner, r.login.c_str(), static_cast<SQLLEN>(r.login.size()));
  copyAccount(e.group, r.groupName.c_str(), static_cast<SQLLEN>(r.groupName.size()));
  return e;
}

StoredTime storedTime(long long epochSeconds) {
  std::time_t t = static_cast<std::time_t>(epochSeconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  StoredTime s;
  s.year = static_cast<std::int16_t>(tm.tm_year + 1900);
  s.month = static_cast<std::uint8_t>(tm.tm_mon + 1);
  s.day = static_cast<std::uint8_t>(tm.tm_mday);
  s.hour = static_cast<std::uint8_t>(tm.tm_hour);
  s.minute = static_cast<std::uint8_t>(tm.tm_min);
  return s;
}

void ListingRows::add(ListingEntry entry, std::string_view name) {
  entry.nameAt = static_cast<std::uint32_t>(names_.size());
  entry.nameLength = static_cast<std::uint32_t>(name.size());
  names_.append(name);
  entries_.push_back(entry);
}

ListingRows listingRows(Database& db, std::int64_t parent) {
  ListingRows rows;
  bool tooLong = false;
  {
    auto b = std::make_unique<Buffers>();
    Statement s(db, kListingSql);
    SQLHSTMT h = s.handle();
    // Column-wise arrays of kBlockRows rows; unbound again whatever happens,
    // as the handle is kept for the next listing.
    struct Unbind {
      SQLHSTMT h;
      ~Unbind() {
        SQLFreeStmt(h, SQL_UNBIND);
        SQLSetStmtOption(h, SQL_ROWSET_SIZE, 1);
      }
    } unbind{h};
    if (!succeeded(SQLSetStmtOption(h, SQL_ROWSET_SIZE, kBlockRows))) s.fail();
    auto bindCol = [&](SQLUSMALLINT column, SQLSMALLINT type, void* buffer, SQLLEN width, SQLLEN* indicators) {
      if (!succeeded(SQLBindCol(h, column, type, buffer, width, indicators))) s.fail();
    };
    bindCol(1, SQL_C_CHAR, b->name.get(), kNameWidth, b->nameLength);
    bindCol(2, SQL_C_SBIGINT, b->directory, sizeof(std::int64_t), b->directoryInd);
    bindCol(3, SQL_C_SBIGINT, b->link, sizeof(std::int64_t), b->linkInd);
    bindCol(4, SQL_C_SBIGINT, b->size, sizeof(std::int64_t), b->sizeInd);
    bindCol(5, SQL_C_TIMESTAMP, b->modified, sizeof(TIMESTAMP_STRUCT), b->modifiedInd);
    bindCol(6, SQL_C_SBIGINT, b->bits, sizeof(std::int64_t), b->bitsInd);
    bindCol(7, SQL_C_CHAR, b->owner.get(), kAccountWidth, b->ownerLength);
    bindCol(8, SQL_C_CHAR, b->group.get(), kAccountWidth, b->groupLength);
    s.bind(1, parent).execute();
    const StoredTime epoch = storedTime(0);
    for (;;) {
      SQLULEN fetched = 0;
      SQLUSMALLINT status[kBlockRows];
      SQLRETURN rc = SQLExtendedFetch(h, SQL_FETCH_NEXT, 0, &fetched, status);
      if (rc == SQL_NO_DATA_FOUND) break;
      if (!succeeded(rc)) s.fail();
      for (SQLULEN i = 0; i < fetched; ++i) {
        if (status[i] == SQL_ROW_ERROR || status[i] == SQL_ROW_DELETED || status[i] == SQL_ROW_NOROW) continue;
        SQLLEN nameLength = b->nameLength[i];
        if (nameLength == SQL_NO_TOTAL || nameLength >= kNameWidth) {
          tooLong = true;
          break;
        }
        ListingEntry e;
        e.directory = orZero(b->directory[i], b->directoryInd[i]) != 0;
        e.link = orZero(b->link[i], b->linkInd[i]) != 0;
        e.size = orZero(b->size[i], b->sizeInd[i]);
        e.bits = static_cast<std::uint16_t>(orZero(b->bits[i], b->bitsInd[i]) & 0777);
        if (b->modifiedInd[i] == SQL_NULL_DATA) {
          e.modified = epoch;
        } else {
          const TIMESTAMP_STRUCT& t = b->modified[i];
          e.modified = {static_cast<std::int16_t>(t.year), static_cast<std::uint8_t>(t.month),
                        static_cast<std::uint8_t>(t.day), static_cast<std::uint8_t>(t.hour),
                        static_cast<std::uint8_t>(t.minute)};
        }
        copyAccount(e.owner, b->owner.get() + i * kAccountWidth, b->ownerLength[i]);
        copyAccount(e.group, b->group.get() + i * kAccountWidth, b->groupLength[i]);
        std::size_t length = nameLength < 0 ? 0 : static_cast<std::size_t>(nameLength);
        rows.add(e, std::string_view(b->name.get() + i * kNameWidth, length));
      }
      if (tooLong || fetched < kBlockRows) break;
    }
  }
  if (tooLong) return listingRowsByRecord(db, parent);
  return rows;
}

}  // namespace kestrel::store
