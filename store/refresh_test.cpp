#include "store/refresh.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "store/records.h"
#include "store/db/test_datasource.h"


namespace kestrel::store {
namespace {

namespace fs = std::filesystem;

TEST(RefreshPaths, OnlyAPathOneNameBelowThePrefixMayBePurged) {
  EXPECT_TRUE(pathLiesDirectlyIn("/srv/pub/docs", "/srv/pub/"));
  EXPECT_FALSE(pathLiesDirectlyIn("/srv/pub/docs/deeper", "/srv/pub/"));
  EXPECT_FALSE(pathLiesDirectlyIn("/srv/pub/docs/", "/srv/pub/"));
  EXPECT_FALSE(pathLiesDirectlyIn("/elsewhere/docs", "/srv/pub/"));
  // Neither the directory itself nor its parent counts as one of its entries.
  EXPECT_FALSE(pathLiesDirectlyIn("/srv/pub/", "/srv/pub/"));
  EXPECT_FALSE(pathLiesDirectlyIn("/srv/pub/..", "/srv/pub/"));
  // Linux paths differ by case: /srv/Pub/docs is another directory.
  EXPECT_FALSE(pathLiesDirectlyIn("/srv/Pub/docs", "/srv/pub/"));
  EXPECT_FALSE(pathLiesDirectlyIn("", "/srv/pub/"));
}

TEST(RefreshNames, ControlCharactersAndBrokenUtf8StayOffTheTree) {
  EXPECT_TRUE(storableName("readme.txt"));
  EXPECT_TRUE(storableName("caf\xc3\xa9 it's 100% ok; -- [x]"));
  EXPECT_TRUE(storableName("\xf0\x9f\x99\x82"));
  EXPECT_FALSE(storableName(""));
  EXPECT_FALSE(storableName("evil\r\n226 done"));
  EXPECT_FALSE(storableName("tab\there"));
  EXPECT_FALSE(storableName("del\x7f"));
  EXPECT_FALSE(storableName("latin1 \xe9t\xe9"));
  EXPECT_FALSE(storableName("\xc0\xaf"));          // overlong "/"
  EXPECT_FALSE(storableName("\xed\xa0\x80"));      // a surrogate
  EXPECT_FALSE(storableName("cut \xe2\x82"));      // truncated sequence
}

// A monitor that records the action lines and withdraws the window after a
// given number of them.
class ScriptedMonitor : public RefreshMonitor {
 public:
  bool enterDirectory(const std::string&) override { return !withdrawn; }
  bool reportAction(const std::string& text) override {
    actions.push_back(text);
    if (withdrawAfter > 0 && static_cast<int>(actions.size()) >= withdrawAfter) withdrawn = true;
    return !withdrawn;
  }
  void showMessage(const std::string& text) override { ADD_FAILURE() << text; }
  bool askToContinue(const std::string& text) override {
    ADD_FAILURE() << text;
    return false;
  }

  std::vector<std::string> actions;
  int withdrawAfter = 0;
  bool withdrawn = false;
};

// A throw-away SQLite data source with the full schema, and a disk folder.
class RefreshWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = std::make_unique<testing::SqliteDataSource>("refresh");
    db_ = source_->database();
    ASSERT_NE(db_, nullptr) << "no SQLite data source could be made";
    tmp_ = source_->directory();
    disk_ = tmp_ + "/disk";
    fs::create_directories(disk_);
    root_ = addDirectoryRow(disk_);
  }
  void TearDown() override { source_.reset(); }

  std::int64_t addDirectoryRow(const std::string& path) {
    db_->execute("INSERT INTO files (name, parent, path, directory, userid, groupid, domain) VALUES ('', 0, " +
                 quoteText(path) + ", 1, 7, 8, 1)");
    return std::stoll(db_->query("SELECT max(id) FROM files").at(0).at(0).text);
  }
  void writeFile(const std::string& name) { std::ofstream(disk_ + "/" + name) << "x"; }
  // name -> the row's columns, for the rows directly under parent.
  std::map<std::string, FileRecord> children(std::int64_t parent) {
    CDBFile rows(*db_);
    rows.setFilter("parent=" + std::to_string(parent));
    rows.open();
    std::map<std::string, FileRecord> out;
    for (const auto& r : rows.rows()) out[r.name] = r;
    return out;
  }
  RefreshOptions options() {
    RefreshOptions o;
    o.directory = static_cast<std::int32_t>(root_);
    o.domain = 1;
    return o;
  }
  bool run(const RefreshOptions& o, ScriptedMonitor& monitor, RefreshCounts& counts) {
    return refreshDirectory(*db_, o, monitor, counts);
  }

  std::unique_ptr<testing::SqliteDataSource> source_;
  std::string tmp_, disk_;
  Database* db_ = nullptr;
  std::int64_t root_ = 0;
};

TEST_F(RefreshWalk, WithdrawnWindowFinishesTheReportedAdditionThenStops) {
  for (const char* name : {"a", "b", "c", "d", "e"}) writeFile(name);
  ScriptedMonitor monitor;
  monitor.withdrawAfter = 2;
  RefreshCounts counts;
  EXPECT_FALSE(run(options(), monitor, counts));
  auto rows = children(root_);
  EXPECT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows.count("a") + rows.count("b"), 2u);
  EXPECT_EQ(monitor.actions, (std::vector<std::string>{"Adding a", "Adding b"}));
}

TEST_F(RefreshWalk, LargeDirectoryIsMatchedWithoutRewritingIt) {
  const int kEntries = std::getenv("REFRESH_ENTRIES") ? std::atoi(std::getenv("REFRESH_ENTRIES")) : 3000;
  for (int i = 0; i < kEntries; ++i) writeFile("f" + std::to_string(i));
  ScriptedMonitor monitor;
  RefreshCounts counts;
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(run(options(), monitor, counts));
  auto adding = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(counts.added, kEntries);
  started = std::chrono::steady_clock::now();
  RefreshCounts second;
  ASSERT_TRUE(run(options(), monitor, second));
  auto matching = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(second.added + second.updated + second.deleted, 0);
  // One read of the rows and one of the directory, against a statement per row.
  EXPECT_LT(matching, adding / 2);
}

}  // namespace
}  // namespace kestrel::store
