#include "store/accounts.h"

#include <gtest/gtest.h>

#include <memory>

#include "store/db/test_datasource.h"

namespace kestrel::store {
namespace {

TEST(NormaliseName, LowerCaseThenTheLeadingRunOfWordCharacters) {
  EXPECT_EQ(normaliseName("Alice"), "alice");
  EXPECT_EQ(normaliseName("Bob_2 Smith"), "bob_2");
  EXPECT_EQ(normaliseName("o'brien"), "o");
  EXPECT_EQ(normaliseName("x%y"), "x");
  EXPECT_EQ(normaliseName("UPPER123_"), "upper123_");
  // Nothing typable survives: the sheet refuses these as blank.
  EXPECT_EQ(normaliseName(""), "");
  EXPECT_EQ(normaliseName(" alice"), "");
  EXPECT_EQ(normaliseName("-x"), "");
  EXPECT_EQ(normaliseName("\xc3\xa9t\xc3\xa9"), "");  // no letters outside a-z
}

// The uniqueness rules against the real schema on a throw-away SQLite file.
class AccountRules : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = std::make_unique<testing::SqliteDataSource>("accounts");
    db_ = source_->database();
    ASSERT_NE(db_, nullptr) << "no SQLite data source could be made";
    ensureDomain(*db_, "Default");
    ensureDomain(*db_, "Other");
    defaultId_ = idOf("home", "name='Default'");
    otherId_ = idOf("home", "name='Other'");
  }
  void TearDown() override { source_.reset(); }

  std::int64_t idOf(const std::string& table, const std::string& where) {
    auto rows = db_->query("SELECT id FROM " + table + " WHERE " + where);
    return rows.empty() ? 0 : std::stoll(rows.at(0).at(0).text);
  }
  std::int64_t systemGroup(std::int64_t domain) {
    return idOf("groups", "name='system' AND domain=" + std::to_string(domain));
  }
  AccountOutcome addUserNamed(std::int64_t domain, const std::string& login) {
    UserRecord sheet = newUser(domain, systemGroup(domain));
    sheet.login = login;
    return addUser(*db_, sheet);
  }
  static AccountNotice firstNotice(const AccountOutcome& out) {
    return out.notes.empty() ? AccountNotice::None : out.notes.front().notice;
  }

  std::unique_ptr<testing::SqliteDataSource> source_;
  Database* db_ = nullptr;
  std::int64_t defaultId_ = 0, otherId_ = 0;
};

TEST_F(AccountRules, ALoginIsStoredNormalisedAndUniqueWithinItsDomain) {
  AccountOutcome first = addUserNamed(defaultId_, "Alice Smith");
  ASSERT_TRUE(first.changed);
  EXPECT_EQ(idOf("users", "login='alice'"), first.id);

  // Another spelling that normalises to the same login clashes.
  AccountOutcome again = addUserNamed(defaultId_, "ALICE!");
  EXPECT_FALSE(again.changed);
  EXPECT_EQ(firstNotice(again), AccountNotice::UserExists);

  // The same login in another domain is a different user.
  AccountOutcome elsewhere = addUserNamed(otherId_, "alice");
  EXPECT_TRUE(elsewhere.changed);
}

TEST_F(AccountRules, ALoginThatNormalisesToNothingIsRefused) {
  AccountOutcome out = addUserNamed(defaultId_, "'; drop table users; --");
  EXPECT_FALSE(out.changed);
  EXPECT_EQ(firstNotice(out), AccountNotice::BlankLogin);
  EXPECT_NE(idOf("users", "login='anonymous'"), 0);  // the table is still there
}

TEST_F(AccountRules, AGroupNameIsUniqueWithinItsDomain) {
  AccountOutcome staff = addGroup(*db_, defaultId_, {"Staff", "", std::nullopt});
  ASSERT_TRUE(staff.changed);
  EXPECT_EQ(idOf("groups", "name='staff' AND domain=" + std::to_string(defaultId_)), staff.id);
  AccountOutcome again = addGroup(*db_, defaultId_, {"staff", "", std::nullopt});
  EXPECT_FALSE(again.changed);
  EXPECT_EQ(firstNotice(again), AccountNotice::GroupExists);
  EXPECT_TRUE(addGroup(*db_, otherId_, {"staff", "", std::nullopt}).changed);
}

TEST_F(AccountRules, ADomainNameIsUniqueButItsOwnRowIsNoClash) {
  auto clash = validateDomainEdit(*db_, HomeRecord{}, true, "Other", "");
  ASSERT_TRUE(clash);
  EXPECT_EQ(clash->notice, AccountNotice::DomainExists);
  EXPECT_EQ(clash->subject, "Other");

  HomeRecord other;
  other.id = otherId_;
  other.name = "Other";
  EXPECT_FALSE(validateDomainEdit(*db_, other, false, "OTHER", ""));  // a change of letter case
  EXPECT_FALSE(validateDomainEdit(*db_, other, false, "Third", ""));
}

TEST_F(AccountRules, TheDefaultDomainKeepsItsNameAndHasNoAddress) {
  HomeRecord home;
  home.id = defaultId_;
  home.name = "Default";
  EXPECT_FALSE(validateDomainEdit(*db_, home, false, "Default", ""));
  auto renamed = validateDomainEdit(*db_, home, false, "Main", "");
  ASSERT_TRUE(renamed);
  EXPECT_EQ(renamed->notice, AccountNotice::DefaultDomainFixed);
  EXPECT_TRUE(validateDomainEdit(*db_, home, false, "Default", "10.0.0.1"));
}

}  // namespace
}  // namespace kestrel::store
