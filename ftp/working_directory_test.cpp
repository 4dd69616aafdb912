#include "ftp/working_directory.h"

#include <gtest/gtest.h>


namespace kestrel::ftp {
namespace {

using Names = std::vector<std::string>;

TEST(SplitClientPath, FoldsCaseTrimsTheEndAndTakesEitherSeparator) {
  ClientPath p = splitClientPath("\\Docs/Old\\Notes.TXT  ");
  EXPECT_TRUE(p.absolute);
  EXPECT_EQ(p.names, (Names{"docs", "old", "notes.txt"}));

  p = splitClientPath("sub/");
  EXPECT_FALSE(p.absolute);
  EXPECT_EQ(p.names, Names{"sub"});
  EXPECT_TRUE(splitClientPath("").names.empty());
}

TEST(SplitClientPath, ASecondSeparatorLeavesAnEmptyNameThatFindsNothing) {
  EXPECT_EQ(splitClientPath("a//b").names, (Names{"a", "", "b"}));
  EXPECT_EQ(splitClientPath("//a").names, Names{"a"});
  EXPECT_EQ(splitClientPath("///a").names, (Names{"", "a"}));
  // Dots inside a path are names like any other: no walking up through them.
  EXPECT_EQ(splitClientPath("a/../b").names, (Names{"a", "..", "b"}));
}

TEST(SplitDirectoryArgument, KeepsCaseAndOnlySlashSeparates) {
  DirectoryArgument a = splitDirectoryArgument("/Pub/In\\Coming/");
  EXPECT_TRUE(a.absolute);
  EXPECT_EQ(a.shown, "Pub/In\\Coming/");
  EXPECT_EQ(a.names, (Names{"Pub", "In\\Coming"}));

  a = splitDirectoryArgument("/");
  EXPECT_TRUE(a.absolute);
  EXPECT_EQ(a.shown, "");
  EXPECT_TRUE(a.names.empty());
  EXPECT_EQ(splitDirectoryArgument("a//b").names, (Names{"a", "", "b"}));
}

// A tree where every directory n has one child "d" with id n + 1, and
// "link" in the root stands for directory 7, spelt "Target".
std::optional<Step> chainLookup(std::int64_t parent, const std::string& name) {
  if (name == "d") return Step{parent + 1, "D" + std::to_string(parent + 1)};
  if (parent == 1 && name == "link") return Step{7, "Target"};
  return std::nullopt;
}

TEST(WorkingDirectory, WalksFromHereOrFromTheRootAndKeepsTheRowsSpelling) {
  WorkingDirectory cwd;
  cwd.reset(1);
  std::optional<Route> route = cwd.walk(splitDirectoryArgument("d/d"), chainLookup);
  ASSERT_TRUE(route);
  EXPECT_EQ(route->ids, (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(cwd.currentId(), 1) << "walking alone changes nothing";
  cwd.enter(*route);
  EXPECT_EQ(cwd.depth(), 2);
  EXPECT_EQ(cwd.shownNames(), (Names{"D2", "D3"}));

  route = cwd.walk(splitDirectoryArgument("/link"), chainLookup);
  ASSERT_TRUE(route);
  EXPECT_EQ(route->ids, (std::vector<std::int64_t>{1, 7}));
  EXPECT_EQ(route->names.back(), "Target");

  EXPECT_FALSE(cwd.walk(splitDirectoryArgument("d/missing"), chainLookup));
  EXPECT_FALSE(cwd.walk(splitDirectoryArgument("d//d"), chainLookup));
}

TEST(WorkingDirectory, GoesNoDeeperThanTheLevelsItCanHold) {
  WorkingDirectory cwd;
  cwd.reset(1);
  std::string deepest;
  for (int i = 1; i < kMaxDepth; ++i) deepest += "d/";
  std::optional<Route> route = cwd.walk(splitDirectoryArgument(deepest), chainLookup);
  ASSERT_TRUE(route);
  EXPECT_EQ(route->ids.size(), static_cast<std::size_t>(kMaxDepth));
  cwd.enter(*route);
  EXPECT_EQ(cwd.depth(), kMaxDepth - 1);

  EXPECT_FALSE(cwd.walk(splitDirectoryArgument("d"), chainLookup));
  EXPECT_FALSE(cwd.walk(splitDirectoryArgument("/" + deepest + "d"), chainLookup));
  EXPECT_EQ(cwd.depth(), kMaxDepth - 1);
}

TEST(WorkingDirectory, LeavingAndFailedLoginsReturnUpTheRoute) {
  WorkingDirectory cwd;
  cwd.reset(1);
  cwd.enter(*cwd.walk(splitDirectoryArgument("d/d"), chainLookup));
  EXPECT_EQ(cwd.parentId(), 2);
  cwd.leave();
  EXPECT_EQ(cwd.currentId(), 2);
  EXPECT_EQ(cwd.shownNames(), Names{"D2"});
  cwd.toRoot();
  EXPECT_EQ(cwd.depth(), 0);
  EXPECT_EQ(cwd.currentId(), 1);
  EXPECT_TRUE(cwd.shownNames().empty());
}

TEST(WorkingDirectory, ADescriptionIsShownOncePerSession) {
  WorkingDirectory cwd;
  EXPECT_FALSE(cwd.seen(5));
  EXPECT_TRUE(cwd.seen(5));
  EXPECT_FALSE(cwd.seen(6));
  // A second login on the connection does not show them again.
  cwd.reset(9);
  EXPECT_TRUE(cwd.seen(5));
}

}  // namespace
}  // namespace kestrel::ftp
