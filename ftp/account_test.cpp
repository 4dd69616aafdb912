#include "ftp/account.h"

#include <gtest/gtest.h>

#include <thread>

namespace kestrel::ftp {
namespace {

TEST(Account, AMessageSetAsideGoesBackBeforeWhatArrivedMeanwhile) {
  Account account;
  account.appendPendingMessage("first\r\n");
  std::string saved = account.takePendingMessage();
  EXPECT_EQ(saved, "first\r\n");
  EXPECT_EQ(account.takePendingMessage(), "");
  account.appendPendingMessage("second\r\n");
  account.putBackPendingMessage(saved);
  EXPECT_EQ(account.takePendingMessage(), "first\r\nsecond\r\n");
}

TEST(Account, SiteRightsFromStrayRowsGrantNothing) {
  Account account;
  for (std::int64_t id : std::initializer_list<std::int64_t>{-1, 0, 7, kSiteRights + 1, std::int64_t{1} << 40}) account.grantSiteRight(id);
  EXPECT_TRUE(account.hasSiteRight(7));
  for (int id = 0; id <= kSiteRights + 1; ++id) {
    if (id != 7) {
      EXPECT_FALSE(account.hasSiteRight(id)) << id;
    }
  }
  account.grantSiteRight(kSiteRights);
  EXPECT_TRUE(account.hasSiteRight(kSiteRights));
  account.clearSiteRights();
  EXPECT_FALSE(account.hasSiteRight(7));
  EXPECT_FALSE(account.hasSiteRight(kSiteRights));
}

TEST(Account, OtherThreadsCopyTheIdentityWholeOrNotAtAll) {
  Account account;
  EXPECT_EQ(account.identity().displayName, "Unknown");
  std::thread reader([&] {
    for (int i = 0; i < 2000; ++i) {
      Account::Identity who = account.identity();
      // Each change sets both together: a copy never mixes two of them.
      ASSERT_EQ(who.displayName == "Unknown", who.userId == 0);
    }
  });
  for (int i = 0; i < 2000; ++i) {
    account.changeIdentity([](Account::Identity& who) {
      who.userId = 5;
      who.displayName = "bob";
    });
    account.changeIdentity([](Account::Identity& who) {
      who.userId = 0;
      who.displayName = "Unknown";
    });
  }
  reader.join();
}

TEST(Account, ThePrincipalIsTheLoggedInUsersAndGroup) {
  Account account;
  account.groupId = 3;
  account.changeIdentity([](Account::Identity& who) {
    who.anonymous = true;
    who.userId = 9;
  });
  store::Principal who = account.principal();
  EXPECT_TRUE(who.anonymous);
  EXPECT_EQ(who.userId, 9);
  EXPECT_EQ(who.groupId, 3);
}

}  // namespace
}  // namespace kestrel::ftp
