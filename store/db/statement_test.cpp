#include "store/db/statement.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/faults.h"
#include "store/counters.h"
#include "store/listing_rows.h"
#include "store/queries.h"
#include "store/db/test_datasource.h"

namespace kestrel::store {
namespace {

class PreparedStatements : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = std::make_unique<testing::SqliteDataSource>("prepared");
    db_ = source_->database();
    ASSERT_NE(db_, nullptr) << "no SQLite data source could be made";
    FileRecord root;
    root.name = "root";
    root.directory = true;
    rootId_ = addFile(*db_, root);
  }
  std::int64_t addChild(const std::string& name, bool directory = false, long long modified = 0) {
    FileRecord row;
    row.name = name;
    row.parent = rootId_;
    row.directory = directory;
    row.modified = modified;
    row.size = 42;
    row.userRead = row.userWrite = row.otherRead = true;
    return addFile(*db_, row);
  }

  std::unique_ptr<testing::SqliteDataSource> source_;
  Database* db_ = nullptr;
  std::int64_t rootId_ = 0;
};

// Values a client chooses reach the engine as values: quotes, wildcards,
// backslashes, statement separators and comment marks are stored and found
// as they are, and a value shaped like SQL matches nothing.
TEST_F(PreparedStatements, ClientTextIsBoundNeverSpliced) {
  const std::vector<std::string> names = {"it's", "100%", "a_b", "back\\slash", "x; DELETE FROM files", "-- note",
                                          std::string(3000, 'L')};
  std::vector<std::int64_t> ids;
  for (const auto& name : names) ids.push_back(addChild(name));
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto found = childByName(*db_, rootId_, names[i]);
    ASSERT_TRUE(found) << names[i].substr(0, 40);
    EXPECT_EQ(found->id, ids[i]);
    EXPECT_EQ(fileById(*db_, ids[i])->name, names[i]);
  }
  EXPECT_FALSE(childByName(*db_, rootId_, "x' or '1'='1"));
  EXPECT_FALSE(childByName(*db_, rootId_, "%"));
  EXPECT_FALSE(childByName(*db_, rootId_, "a%"));
  // Names compare without regard to case.
  EXPECT_TRUE(childByName(*db_, rootId_, "IT'S"));
  EXPECT_EQ(selectRows<PathFindRecord>(*db_, "parent=?", {}, rootId_).size(), names.size());
}

// One statement text is prepared once and used again with new values, also
// when the last use left rows unread.
TEST_F(PreparedStatements, AStatementIsReusedWithNewValues) {
  for (int i = 0; i < 5; ++i) addChild("f" + std::to_string(i));
  {
    Statement s(*db_, "SELECT name FROM files WHERE parent=? ORDER BY name");
    s.bind(1, rootId_).execute();
    ASSERT_TRUE(s.next());
    EXPECT_EQ(s.text(1), "f0");
  }
  for (int round = 0; round < 3; ++round) {
    Statement s(*db_, "SELECT name FROM files WHERE parent=? ORDER BY name");
    s.bind(1, rootId_).execute();
    int count = 0;
    while (s.next()) ++count;
    EXPECT_EQ(count, 5);
  }
  // The counter batch's UPDATEs, one prepared text each, in two flushes.
  auto id = addChild("counted");
  {
    CounterBatch counters(*db_);
    for (int i = 0; i < 3; ++i) counters.countDownload(0, id);  // no such user: changes nothing, fails nothing
    counters.flush();
    counters.countDownload(0, id);
    counters.countDownload(0, id);
    counters.flush();
    counters.countDownload(0, id);  // written as the batch goes
  }
  EXPECT_EQ(fileById(*db_, id)->downloads, 6);
  EXPECT_EQ(parentOf(*db_, id), rootId_);
  EXPECT_EQ(parentOf(*db_, 999999), 0);
}

// The prepared statements belong to the connection: after the database was
// lost and reopened they are prepared again and give the right rows.
TEST_F(PreparedStatements, StatementsArePreparedAgainAfterAReconnect) {
  auto id = addChild("kept");
  ASSERT_TRUE(fileById(*db_, id));
  platform::armFault(platform::FaultPoint::DatabaseLost, EIO, 1);
  EXPECT_THROW(fileById(*db_, id), DbError);
  EXPECT_TRUE(db_->connectionLost());
  std::optional<FileRecord> row;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!row && std::chrono::steady_clock::now() < deadline) {
    try {
      IGNORING_DRIVER_LEAKS(row = fileById(*db_, id));
    } catch (const DbError&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  platform::disarmFaults();
  ASSERT_TRUE(row);
  EXPECT_EQ(row->name, "kept");
  EXPECT_EQ(childByName(*db_, rootId_, "kept")->id, id);
}

// A listing larger than one block comes back whole, in name order, with the
// bits, times and flags of each row; a name too long for the block buffers
// sends the listing down the slow path, still whole.
TEST_F(PreparedStatements, ListingRowsSpanBlocksAndKeepEveryField) {
  const long long stamp = parseTime("2025-03-04 05:06:07");
  for (int i = 0; i < 600; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "n%04d", i);
    addChild(name, i % 7 == 0, stamp);
  }
  ListingRows rows = listingRows(*db_, rootId_);
  ASSERT_EQ(rows.size(), 600u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "n%04zu", i);
    ASSERT_EQ(rows.name(rows[i]), name);
    EXPECT_EQ(rows[i].directory, i % 7 == 0);
    EXPECT_EQ(rows[i].size, 42);
    EXPECT_EQ(rows[i].bits, 0604);
    EXPECT_EQ(rows[i].modified.year, 2025);
    EXPECT_EQ(rows[i].modified.minute, 6);
  }
  std::string longName(2000, 'z');
  addChild(longName);
  rows = listingRows(*db_, rootId_);
  ASSERT_EQ(rows.size(), 601u);
  EXPECT_EQ(rows.name(rows[600]), longName);
  EXPECT_EQ(rows[0].bits, 0604);
  EXPECT_TRUE(listingRows(*db_, 999999).size() == 0);
}

// Read in pages, a listing shows every entry once and in order: names equal
// but for case straddle a page's end, and a page that falls back to full
// rows for a long name continues where the last one stopped.
TEST_F(PreparedStatements, ListingPagesShowEveryEntryOnceInOrder) {
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "p%02d", i);
    addChild(name);
    expected.push_back(name);
  }
  // Disk synchronisation can bring names that differ only in case.
  addChild("p05");
  addChild("P05");
  expected.insert(expected.begin() + 6, {"p05", "P05"});
  std::string longName = "p07" + std::string(1500, 'x');
  addChild(longName);
  expected.insert(expected.begin() + 10, longName);

  for (std::size_t limit : {1u, 2u, 3u, 5u, 7u, 100u}) {
    std::vector<std::string> seen;
    ListingRows page = listingRows(*db_, rootId_, nullptr, limit);
    for (int guard = 0; guard < 100; ++guard) {
      for (std::size_t i = 0; i < page.size(); ++i) seen.emplace_back(page.name(page[i]));
      if (!page.hasMore()) break;
      ListingKey after = page.last();
      page = listingRows(*db_, rootId_, &after, limit);
    }
    ASSERT_EQ(seen.size(), expected.size()) << "pages of " << limit;
    // Names equal under the engine's collation come in id order.
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], expected[i]) << "pages of " << limit;
  }
}

}  // namespace
}  // namespace kestrel::store
