#include "store/tree.h"

#include <gtest/gtest.h>

namespace kestrel::store {
namespace {

FileRecord rowWith(const char octal[3], std::int64_t owner = 5, std::int64_t group = 9) {
  FileRecord row;
  row.userId = owner;
  row.groupId = group;
  setPermissionsFromOctal(row, octal);
  return row;
}

const Principal kOwner{false, 5, 1};
const Principal kMember{false, 6, 9};
const Principal kStranger{false, 7, 1};
const Principal kAnonymous{true, 5, 9};  // even with the owner's ids

TEST(Permits, EachClassGetsItsOwnBits) {
  FileRecord row = rowWith("740");
  for (Access a : {Access::Read, Access::Write, Access::Execute}) EXPECT_TRUE(permits(kOwner, row, a));
  EXPECT_TRUE(permits(kMember, row, Access::Read));
  EXPECT_FALSE(permits(kMember, row, Access::Write));
  EXPECT_FALSE(permits(kMember, row, Access::Execute));
  EXPECT_FALSE(permits(kStranger, row, Access::Read));
}

TEST(Permits, AnonymousSessionsGetTheOtherBitOnly) {
  EXPECT_FALSE(permits(kAnonymous, rowWith("770"), Access::Read));
  EXPECT_TRUE(permits(kAnonymous, rowWith("004"), Access::Read));
  EXPECT_FALSE(permits(kAnonymous, rowWith("004"), Access::Write));
}

// The bits add up: an owner who is also a member, or anyone at all, keeps
// what the group or other bits give even when the owner bits deny it.
TEST(Permits, TheClassesAddUpRatherThanMask) {
  const Principal ownerAndMember{false, 5, 9};
  EXPECT_TRUE(permits(ownerAndMember, rowWith("040"), Access::Read));
  EXPECT_TRUE(permits(kOwner, rowWith("002"), Access::Write));
  EXPECT_TRUE(permits(kMember, rowWith("001"), Access::Execute));
  EXPECT_FALSE(permits(kOwner, rowWith("070"), Access::Read));  // not a member of group 9
}

TEST(Permits, NoNameOrIdIsSpecial) {
  const Principal zero{false, 0, 0};
  EXPECT_FALSE(permits(zero, rowWith("770", 1, 1), Access::Read));
  EXPECT_TRUE(permits(zero, rowWith("700", 0, 1), Access::Read));
}

TEST(SetPermissionsFromOctal, DigitsMapToOwnerGroupOtherInOrder) {
  FileRecord row = rowWith("421");
  EXPECT_TRUE(row.userRead);
  EXPECT_FALSE(row.userWrite);
  EXPECT_FALSE(row.userExecute);
  EXPECT_FALSE(row.groupRead);
  EXPECT_TRUE(row.groupWrite);
  EXPECT_FALSE(row.groupExecute);
  EXPECT_FALSE(row.otherRead);
  EXPECT_FALSE(row.otherWrite);
  EXPECT_TRUE(row.otherExecute);
  int set = 0;
  for (auto bit : kPermissionBits) set += rowWith("777").*bit;
  EXPECT_EQ(set, 9);
}

TEST(NormalisePhysicalPath, PlainAbsoluteFormOnly) {
  EXPECT_EQ(normalisePhysicalPath("/srv//ftp/./pub/"), "/srv/ftp/pub");
  EXPECT_EQ(normalisePhysicalPath("/srv/ftp/../etc"), "/srv/etc");
  EXPECT_EQ(normalisePhysicalPath("/"), "/");
  EXPECT_FALSE(normalisePhysicalPath("srv/ftp"));
  EXPECT_FALSE(normalisePhysicalPath(std::string_view("/srv\0x", 6)));
}

}  // namespace
}  // namespace kestrel::store
