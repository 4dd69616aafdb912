#include "console/state/account_dialogs.h"

#include <gtest/gtest.h>

#include <memory>

#include "store/account_queries.h"
#include "store/queries.h"
#include "store/db/test_datasource.h"

namespace kestrel::console {
namespace {

TEST(AccountNoticeTexts, QuoteTheirSubjectAndAskTheDomainQuestionWithNoAsDefault) {
  EXPECT_EQ(noticeText({store::AccountNotice::DomainExists, "It's"}), "A domain by the name 'It's' already exists.");
  EXPECT_EQ(noticeText({store::AccountNotice::BlankLogin, {}}), kBlankEntry);

  store::AccountOutcome asked;
  asked.question = store::AccountNote{store::AccountNotice::DeleteDomain, {}};
  AccountAnswer answer = dialogAnswer(asked);
  ASSERT_TRUE(answer.question);
  EXPECT_EQ(answer.question->buttons, (std::vector<std::string>{"Yes", "No"}));
  EXPECT_EQ(answer.question->defaultButton, "No");
  EXPECT_TRUE(answer.badInput.empty());
}

// The two windows' deletions against the real schema.
class AccountDialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = std::make_unique<store::testing::SqliteDataSource>("dialogs");
    db_ = source_->database();
    ASSERT_NE(db_, nullptr) << "no SQLite data source could be made";
    store::ensureDomain(*db_, "Default");
    for (const store::HomeRecord& home : store::allDomains(*db_, store::DomainOrder::ById))
      if (home.name == "Default") domain_ = home.id;
    for (const store::GroupRecord& group : store::groupsOfDomain(*db_, domain_))
      if (group.name == "system") system_ = group.id;
    ASSERT_NE(system_, 0);
    staff_ = store::addGroup(*db_, domain_, {"staff", "", std::nullopt}).id;
    ASSERT_NE(staff_, 0);
  }
  void TearDown() override { source_.reset(); }

  std::int64_t fileGroup(std::int64_t fileId) {
    auto row = store::fileById(*db_, fileId);
    return row ? row->groupId : 0;
  }

  std::unique_ptr<store::testing::SqliteDataSource> source_;
  store::Database* db_ = nullptr;
  std::int64_t domain_ = 0, system_ = 0, staff_ = 0;
};

TEST_F(AccountDialogs, TheDomainsWindowRefusesTheSystemGroupBeforeAsking) {
  AccountAnswer answer = deleteGroups(*db_, {system_}, AccountWindow::Domains, std::nullopt);
  EXPECT_FALSE(answer.question);
  ASSERT_EQ(answer.messages.size(), 1u);
  EXPECT_EQ(answer.messages[0].text, "Can't delete the system group.");
  EXPECT_FALSE(answer.changed);
  EXPECT_EQ(deleteGroups(*db_, {system_, staff_}, AccountWindow::Domains, true).badInput,
            "The Domains window deletes one group at a time.");
}

TEST_F(AccountDialogs, AListWindowAsksOnceThenRefusesTheSystemGroupAndDeletesTheRest) {
  std::int64_t root = store::createRootDirectory(*db_, domain_, staff_, 0, false);
  AccountAnswer asked = deleteGroups(*db_, {system_, staff_}, AccountWindow::List, std::nullopt);
  ASSERT_TRUE(asked.question);
  EXPECT_EQ(asked.question->buttons, (std::vector<std::string>{"OK", "Cancel"}));
  EXPECT_TRUE(store::groupById(*db_, staff_));  // nothing changed yet

  AccountAnswer done = deleteGroups(*db_, {system_, staff_}, AccountWindow::List, true);
  EXPECT_TRUE(done.changed);
  EXPECT_EQ(done.removed, std::vector<std::int64_t>{staff_});
  ASSERT_EQ(done.messages.size(), 1u);
  EXPECT_EQ(done.messages[0].text, "Cannot delete the 'system' group.");
  // From a list window the group's files go to the system group.
  EXPECT_EQ(fileGroup(root), system_);
}

TEST_F(AccountDialogs, FromTheDomainsWindowAGroupsFilesKeepTheirGroup) {
  std::int64_t root = store::createRootDirectory(*db_, domain_, staff_, 0, false);
  AccountAnswer done = deleteGroups(*db_, {staff_}, AccountWindow::Domains, true);
  EXPECT_TRUE(done.changed);
  EXPECT_EQ(fileGroup(root), staff_);
}

TEST_F(AccountDialogs, OnlyTheListWindowKeepsTheAnonymousLogin) {
  auto anonymous = store::findUser(*db_, "login='anonymous'");
  ASSERT_TRUE(anonymous);
  store::UserRecord sheet = *anonymous;
  sheet.login = "guest";
  AccountAnswer kept = editUser(*db_, anonymous->id, sheet, AccountWindow::List);
  ASSERT_EQ(kept.messages.size(), 1u);
  EXPECT_EQ(kept.messages[0].text, "You cannot change the name of the 'anonymous' user.");
  EXPECT_EQ(store::userById(*db_, anonymous->id)->login, "anonymous");

  EXPECT_TRUE(editUser(*db_, anonymous->id, sheet, AccountWindow::Domains).changed);
  EXPECT_EQ(store::userById(*db_, anonymous->id)->login, "guest");
}

}  // namespace
}  // namespace kestrel::console
