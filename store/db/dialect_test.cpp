#include "store/db/dialect.h"

#include <gtest/gtest.h>

#include "store/db/database.h"

namespace kestrel::store {
namespace {

std::string rw(std::string_view sql) { return rewriteForEngine(sql, Engine::PostgreSQL); }

TEST(Dialect, QuotedNamesBecomeLowerCaseIdentifiers) {
  EXPECT_EQ(rw("delete from `Site List` where `Domain ID`=3"), "delete from \"site list\" where \"domain id\"=3");
  EXPECT_EQ(rw("[Files].[Name]"), "\"files\".\"name\"");
}

TEST(Dialect, BooleanWordsOutsideLiteralsOnly) {
  EXPECT_EQ(rw("parent=4 and directory=YES and name='yes'"), "parent=4 and directory=1 and name='yes'");
  EXPECT_EQ(rw("locked=no"), "locked=0");
  // A name that merely contains the word is left alone.
  EXPECT_EQ(rw("nobody=1 and yesterday=2"), "nobody=1 and yesterday=2");
}

TEST(Dialect, DeleteStarDropsTheStar) {
  EXPECT_EQ(rw("delete * from `site list` where `group id`=2"), "delete from \"site list\" where \"group id\"=2");
  EXPECT_EQ(rw("select * from files"), "select * from files");
}

TEST(Dialect, LiteralsAreNeverRewritten) {
  // Quotes doubled inside a literal, and look-alikes of names, words and stars.
  std::string sql = "name='it''s `no` [yes] delete * from x -- ;' and id=1";
  EXPECT_EQ(rw(sql), sql);
}

TEST(Dialect, QuoteTextDoublesQuotesAndDropsNul) {
  EXPECT_EQ(quoteText("o'neil"), "'o''neil'");
  EXPECT_EQ(quoteText(std::string("a\0b", 3)), "'ab'");
  EXPECT_EQ(quoteText("50%\\;--"), "'50%\\;--'");
}

TEST(Dialect, AliasesReachQualifiedViewColumns) {
  std::map<std::string, std::string> aliases{{"files.name", "\"files.name\""}};
  EXPECT_EQ(applyAliases("parent=3 order by Files.Name", aliases), "parent=3 order by \"files.name\"");
  EXPECT_EQ(applyAliases("[Files].[Name]='files.name'", aliases), "\"files.name\"='files.name'");
}

TEST(Dialect, TimesRoundTripInLocalTime) {
  long long t = 1796000000;
  EXPECT_EQ(parseTime(formatTime(t)), t);
  EXPECT_EQ(quoteTime(0), "NULL");
  EXPECT_EQ(parseTime(""), 0);
}

}  // namespace
}  // namespace kestrel::store
