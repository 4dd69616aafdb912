// The virtual tree: who may read, write or enter an entry, and the lookups
// over the shared finders.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>

#include "store/records.h"

namespace kestrel::store {

// What the permission test needs to know about a session.
struct Principal {
  bool anonymous = false;
  std::int64_t userId = 0;
  std::int64_t groupId = 0;
};

enum class Access { Read, Write, Execute };

// Anonymous sessions get the Other bit only; others get the User bit as
// owner, the Group bit as member, and the Other bit. No name is special.
template <class Row>
bool permits(const Principal& who, const Row& row, Access access) {
  auto pick = [access](bool r, bool w, bool x) {
    return access == Access::Read ? r : access == Access::Write ? w : x;
  };
  bool other = pick(row.otherRead, row.otherWrite, row.otherExecute);
  if (who.anonymous) return other;
  bool allowed = who.userId == row.userId && pick(row.userRead, row.userWrite, row.userExecute);
  if (who.groupId == row.groupId) allowed = allowed || pick(row.groupRead, row.groupWrite, row.groupExecute);
  return allowed || other;
}

// Three octal digits (owner, group, other; 4 read, 2 write, 1 execute).
template <class Row>
void setPermissionsFromOctal(Row& row, const char digits[3]) {
  auto bits = [](char d, bool& r, bool& w, bool& x) {
    int v = d - '0';
    r = v & 4;
    w = v & 2;
    x = v & 1;
  };
  bits(digits[0], row.userRead, row.userWrite, row.userExecute);
  bits(digits[1], row.groupRead, row.groupWrite, row.groupExecute);
  bits(digits[2], row.otherRead, row.otherWrite, row.otherExecute);
}

// The long-lived record sets every thread shares, each behind its lock.
class SharedRecordSets {
 public:
  explicit SharedRecordSets(Database& db);

  std::mutex lockA;  // pathFinder
  CDBPathFind pathFinder;
  std::mutex lockB;  // nameFinder
  CDBPathFind nameFinder;
  CDBGroup group;  // console thread only
  CDBUser user;    // console thread only
  std::mutex lockC;  // log
  CDBLog log;
};

SharedRecordSets* sharedRecordSets();
// Opens the shared record sets on the shared connection; throws DbError.
void openSharedRecordSets();
void closeSharedRecordSets();

// "/name/name" of an entry; a root gives "/" and its own name.
std::string buildVirtualPath(std::int64_t id);
bool nameExistsUnder(std::int64_t parent, const std::string& name);

}  // namespace kestrel::store
