#include "store/listing_rows.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "store/queries.h"
#include "store/db/statement.h"

namespace kestrel::store {

namespace {

// Rows per driver call: a few hundred keep the call count low and the
// buffers small.
constexpr SQLUINTEGER kBlockRows = 256;
constexpr SQLLEN kNameWidth = 1024;

// Only what a line shows; the nine permission bits arrive as one number. The
// owner and group come as ids: a directory has few distinct ones, and a join
// per row made PostgreSQL's share of a large listing several times larger.
// The time comes as the stored text (the drivers' own conversion parses and
// prints it again), and the directory and link flags ride on the bits.
constexpr const char* kListingColumns =
    "SELECT name, size, CAST(modified AS VARCHAR(32)), "
    "\"user read\"*256+\"user write\"*128+\"user execute\"*64+"
    "\"group read\"*32+\"group write\"*16+\"group execute\"*8+"
    "\"other read\"*4+\"other write\"*2+\"other execute\"+"
    "CASE WHEN directory<>0 THEN 512 ELSE 0 END+CASE WHEN link<>0 THEN 1024 ELSE 0 END, "
    "userid, groupid, id FROM files WHERE parent=?";
// A page starts after the last key of the one before; the index on (parent,
// name) serves both the range and the order.
constexpr const char* kFirstPage = " ORDER BY name, id LIMIT ?";
constexpr const char* kNextPage = " AND (name, id)>(?, ?) ORDER BY name, id LIMIT ?";
constexpr std::int64_t kDirectoryFlag = 512, kLinkFlag = 1024;

constexpr SQLLEN kTimeWidth = 32;

struct Buffers {
  std::unique_ptr<char[]> name{new char[kBlockRows * kNameWidth]};
  char modified[kBlockRows][kTimeWidth];
  std::int64_t size[kBlockRows], bits[kBlockRows];
  std::int64_t owner[kBlockRows], group[kBlockRows], id[kBlockRows];
  SQLLEN nameLength[kBlockRows], modifiedLength[kBlockRows];
  SQLLEN sizeInd[kBlockRows], bitsInd[kBlockRows];
  SQLLEN ownerInd[kBlockRows], groupInd[kBlockRows], idInd[kBlockRows];
};

// "YYYY-MM-DD HH:MM[:SS]" as both engines return a stored time. The drivers'
// own conversion to a timestamp struct parses with sscanf, which was the
// largest single cost of a long listing on PostgreSQL.
bool parseStoredTime(const char* text, std::size_t length, StoredTime& out) {
  int fields[5] = {};
  std::size_t at = 0;
  for (int f = 0; f < 5; ++f) {
    if (f > 0) {
      if (at >= length || (text[at] != '-' && text[at] != ' ' && text[at] != ':' && text[at] != 'T')) return false;
      ++at;
    }
    std::size_t start = at;
    int value = 0;
    while (at < length && at - start < 5 && text[at] >= '0' && text[at] <= '9') value = value * 10 + (text[at++] - '0');
    if (at == start) return false;
    fields[f] = value;
  }
  if (fields[1] < 1 || fields[1] > 12 || fields[2] < 1 || fields[2] > 31 || fields[3] > 23 || fields[4] > 59)
    return false;
  out = {static_cast<std::int16_t>(fields[0]), static_cast<std::uint8_t>(fields[1]),
         static_cast<std::uint8_t>(fields[2]), static_cast<std::uint8_t>(fields[3]),
         static_cast<std::uint8_t>(fields[4])};
  return true;
}

void copyAccount(char (&to)[9], const char* from, SQLLEN length) {
  std::size_t n = length == SQL_NULL_DATA || length < 0 ? 0 : static_cast<std::size_t>(length);
  n = std::min({n, std::strlen(from), std::size_t{8}});
  std::memcpy(to, from, n);
  to[n] = '\0';
}

// The names of the few owners and groups a listing shows, each read once.
class AccountNames {
 public:
  AccountNames(Database& db, const char* sql) : db_(db), sql_(sql) {}
  void fill(char (&to)[9], std::int64_t id) {
    for (const auto& [known, name] : names_)
      if (known == id) return copyAccount(to, name.c_str(), static_cast<SQLLEN>(name.size()));
    std::string name;
    if (id != 0) {
      Statement s(db_, sql_);
      s.bind(1, id).execute();
      if (s.next()) name = s.text(1);
    }
    copyAccount(to, name.c_str(), static_cast<SQLLEN>(name.size()));
    names_.emplace_back(id, std::move(name));
  }

 private:
  Database& db_;
  const char* sql_;
  std::vector<std::pair<std::int64_t, std::string>> names_;
};

bool succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

std::int64_t orZero(std::int64_t v, SQLLEN indicator) { return indicator == SQL_NULL_DATA ? 0 : v; }

// The slow path, for a name too long for the block buffers.
ListingRows listingRowsByRecord(Database& db, std::int64_t parent, const ListingKey* after, std::size_t limit) {
  const auto count = static_cast<std::int64_t>(limit);
  std::vector<DirectoryRecord> page =
      after ? selectRows<DirectoryRecord>(db, "parent=? AND \"files.name\">=? AND (\"files.name\">? OR id>?)",
                                          "\"files.name\", id LIMIT ?", parent, after->name, after->name,
                                          after->id, count)
            : selectRows<DirectoryRecord>(db, "parent=?", "\"files.name\", id LIMIT ?", parent, count);
  ListingRows rows;
  for (const DirectoryRecord& r : page) rows.add(listingEntry(r), r.name);
  if (!page.empty()) rows.setEnd(page.size() == limit, {page.back().name, page.back().id});
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

ListingRows listingRows(Database& db, std::int64_t parent, const ListingKey* after, std::size_t limit) {
  ListingRows rows;
  bool tooLong = false;
  std::size_t seen = 0;  // rows the engine gave, shown or not
  std::int64_t lastId = 0;
  std::vector<std::pair<std::int64_t, std::int64_t>> accounts;  // owner and group ids, row by row
  {
    auto b = std::make_unique<Buffers>();
    Statement s(db, std::string(kListingColumns) + (after ? kNextPage : kFirstPage));
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
    bindCol(2, SQL_C_SBIGINT, b->size, sizeof(std::int64_t), b->sizeInd);
    bindCol(3, SQL_C_CHAR, b->modified, kTimeWidth, b->modifiedLength);
    bindCol(4, SQL_C_SBIGINT, b->bits, sizeof(std::int64_t), b->bitsInd);
    bindCol(5, SQL_C_SBIGINT, b->owner, sizeof(std::int64_t), b->ownerInd);
    bindCol(6, SQL_C_SBIGINT, b->group, sizeof(std::int64_t), b->groupInd);
    bindCol(7, SQL_C_SBIGINT, b->id, sizeof(std::int64_t), b->idInd);
    s.bind(1, parent);
    if (after) s.bind(2, after->name).bind(3, after->id);
    s.bind(after ? 4 : 2, static_cast<std::int64_t>(limit)).execute();
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
        const std::int64_t bits = orZero(b->bits[i], b->bitsInd[i]);
        e.directory = (bits & kDirectoryFlag) != 0;
        e.link = (bits & kLinkFlag) != 0;
        e.size = orZero(b->size[i], b->sizeInd[i]);
        e.bits = static_cast<std::uint16_t>(bits & 0777);
        SQLLEN timeLength = b->modifiedLength[i];
        if (timeLength <= 0 || timeLength >= kTimeWidth ||
            !parseStoredTime(b->modified[i], static_cast<std::size_t>(timeLength), e.modified))
          e.modified = epoch;
        accounts.push_back({orZero(b->owner[i], b->ownerInd[i]), orZero(b->group[i], b->groupInd[i])});
        std::size_t length = nameLength < 0 ? 0 : static_cast<std::size_t>(nameLength);
        rows.add(e, std::string_view(b->name.get() + i * kNameWidth, length));
        lastId = orZero(b->id[i], b->idInd[i]);
      }
      seen += fetched;
      if (tooLong || fetched < kBlockRows) break;
    }
  }
  if (tooLong) return listingRowsByRecord(db, parent, after, limit);
  if (rows.size() > 0) rows.setEnd(seen == limit, {std::string(rows.name(rows[rows.size() - 1])), lastId});
  // Named after the statement has let the connection go.
  AccountNames owners(db, "SELECT login FROM users WHERE id=?");
  AccountNames groups(db, "SELECT name FROM groups WHERE id=?");
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    ListingEntry& e = rows.at(i);
    owners.fill(e.owner, accounts[i].first);
    groups.fill(e.group, accounts[i].second);
  }
  return rows;
}

}  // namespace kestrel::store
