#include "store/db/database.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>
#include <ctime>
#include <string>

#include "platform/faults.h"
#include "store/db/test_datasource.h"

namespace kestrel::store {
namespace {

class ResultReading : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = std::make_unique<testing::SqliteDataSource>("query");
    db_ = source_->database();
    ASSERT_NE(db_, nullptr) << "no SQLite data source could be made";
  }
  // Adds a domain row named text and returns its id.
  std::string addNamed(const std::string& text) {
    db_->execute("INSERT INTO home (name) VALUES (" + quoteText(text) + ")");
    return db_->query("SELECT max(id) FROM home").at(0).at(0).text;
  }

  std::unique_ptr<testing::SqliteDataSource> source_;
  Database* db_ = nullptr;
};

// Values around the width of the bound buffers, and a long one late in the
// result, which makes the whole result be read again: every row must come
// back exactly once and whole.
TEST_F(ResultReading, ValuesOfEveryLengthComeBackWhole) {
  const std::string lengths[] = {"", std::string(255, 'a'), std::string(256, 'b'), std::string(4095, 'c'),
                                 std::string(9000, 'd')};
  // Multi-byte characters across the buffer's edge.
  const std::string accents = std::string(254, 'x') + "\xc3\xa9\xc3\xa9";
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) expected.push_back("row " + std::to_string(i));
  for (const auto& text : lengths) expected.push_back(text);
  expected.push_back(accents);
  std::string before = db_->query("SELECT coalesce(max(id), 0) FROM home").at(0).at(0).text;
  for (const auto& text : expected) addNamed(text);

  auto rows = db_->query("SELECT name, id, NULL FROM home WHERE id > " + before + " ORDER BY id");
  ASSERT_EQ(rows.size(), expected.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 3u);
    EXPECT_EQ(rows[i][0].text, expected[i]) << "row " << i;
    EXPECT_FALSE(rows[i][0].null);
    EXPECT_TRUE(rows[i][2].null);
  }
  EXPECT_TRUE(db_->query("SELECT name FROM home WHERE id < 0").empty());
}

// The stamps of a listing: parsed times must match the full conversion on
// either side of a daylight-saving change, hour by hour.
// A database that restarts must not need a restart of the program: the
// connection is reopened by a later statement once it answers again, and
// the listener hears of the loss and of the return once each.
TEST_F(ResultReading, ALostConnectionIsReopenedOnceTheDatabaseAnswers) {
  std::vector<bool> heard;
  db_->setConnectionListener([&](bool open) { heard.push_back(open); });
  // The next statement finds the connection gone, the first reopening fails.
  platform::armFault(platform::FaultPoint::DatabaseLost, EIO, 2);
  EXPECT_THROW(db_->query("SELECT 1"), DbError);
  EXPECT_TRUE(db_->connectionLost());
  // Within the second no attempt is made: callers fail at once.
  EXPECT_THROW(db_->query("SELECT 1"), DbError);
  std::vector<RowValues> rows;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (rows.empty() && std::chrono::steady_clock::now() < deadline) {
    try {
      IGNORING_DRIVER_LEAKS(rows = db_->query("SELECT 1"));
    } catch (const DbError&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  platform::disarmFaults();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(db_->connectionLost());
  EXPECT_EQ(heard, (std::vector<bool>{false, true}));
  db_->setConnectionListener(nullptr);
}

// A failed statement is not a lost connection.
TEST_F(ResultReading, AStatementErrorLeavesTheConnectionOpen) {
  EXPECT_THROW(db_->query("SELECT * FROM no_such_table"), DbError);
  EXPECT_FALSE(db_->connectionLost());
  EXPECT_EQ(db_->query("SELECT 1").size(), 1u);
}

TEST(TimeText, RoundTripsAcrossDaylightSavingChanges) {
  const char* saved = std::getenv("TZ");
  std::string previous = saved ? saved : "";
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  // 2026-03-29 01:00 UTC is the spring change, 2026-10-25 01:00 UTC the autumn one.
  for (long long change : {1774746000LL, 1792890000LL}) {
    for (long long t = change - 3 * 3600; t <= change + 3 * 3600; t += 599) {
      std::string text = formatTime(t);
      long long parsed = parseTime(text);
      // The hour repeated in autumn names two instants; either will do.
      if (text.rfind("2026-10-25 02:", 0) == 0)
        EXPECT_TRUE(parsed == t || parsed == t - 3600 || parsed == t + 3600) << text;
      else
        EXPECT_EQ(parsed, t) << text;
    }
  }
  // Lord Howe Island moves its clocks by half an hour at 02:00.
  ::setenv("TZ", "Australia/Lord_Howe", 1);
  ::tzset();
  for (long long change : {1775314800LL, 1791041400LL}) {  // 2026-04-04 15:00 and 2026-10-03 15:30 UTC
    for (long long t = change - 2 * 3600; t <= change + 2 * 3600; t += 301) {
      std::string text = formatTime(t);
      long long parsed = parseTime(text);
      if (parsed != t) {
        EXPECT_EQ(formatTime(parsed), text) << "a repeated local time may name either instant";
      }
    }
  }
  EXPECT_EQ(parseTime(""), 0);
  EXPECT_EQ(parseTime("not a time"), 0);
  // A date alone is its midnight.
  EXPECT_EQ(formatTime(parseTime("2026-07-01")), "2026-07-01 00:00:00");
  if (saved) ::setenv("TZ", previous.c_str(), 1);
  else ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
}  // namespace kestrel::store
