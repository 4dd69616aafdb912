#include "platform/metrics.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrel::metrics {
namespace {

using std::chrono::microseconds;

// Buckets are "less than or equal": an observation exactly on a bound belongs
// to that bound, and every later bucket includes it.
TEST(HistogramTest, BoundsAreInclusiveAndBucketsCumulative) {
  Histogram h;
  h.observe(microseconds(100));       // first bucket exactly
  h.observe(microseconds(101));       // second
  h.observe(microseconds(0));         // first
  h.observe(microseconds(9000000));   // past the last bound: +Inf only
  h.observe(microseconds(-5));        // a clock step back counts as zero
  auto c = h.cumulative();
  EXPECT_EQ(c[0], 3u);
  EXPECT_EQ(c[1], 4u);
  EXPECT_EQ(c[kStatementBucketsUs.size() - 1], 4u);
  EXPECT_EQ(c.back(), 5u);
  EXPECT_EQ(h.count(), 5u);
  EXPECT_EQ(h.sumUs(), 100u + 101u + 9000000u);
}

TEST(ExpositionTest, HistogramIsExposedInSecondsWithInfAndTotals) {
  Histogram h;
  h.observe(microseconds(2000));
  h.observe(microseconds(2000000));
  Exposition out;
  out.histogram("kestrel_db_seconds", "Time.", h);
  const std::string& t = out.text();
  EXPECT_NE(t.find("# TYPE kestrel_db_seconds histogram\n"), std::string::npos) << t;
  EXPECT_NE(t.find("kestrel_db_seconds_bucket{le=\"0.001\"} 0\n"), std::string::npos) << t;
  EXPECT_NE(t.find("kestrel_db_seconds_bucket{le=\"0.0025\"} 1\n"), std::string::npos) << t;
  EXPECT_NE(t.find("kestrel_db_seconds_bucket{le=\"1\"} 1\n"), std::string::npos) << t;
  EXPECT_NE(t.find("kestrel_db_seconds_bucket{le=\"5\"} 2\n"), std::string::npos) << t;
  EXPECT_NE(t.find("kestrel_db_seconds_bucket{le=\"+Inf\"} 2\n"), std::string::npos) << t;
  EXPECT_NE(t.find("kestrel_db_seconds_sum 2.002\n"), std::string::npos) << t;
  EXPECT_NE(t.find("kestrel_db_seconds_count 2\n"), std::string::npos) << t;
}

// A label value comes from the command table today, but the format breaks
// on the first unescaped quote or line feed whatever its source.
TEST(ExpositionTest, LabelValuesAndHelpAreEscaped) {
  Exposition out;
  out.family("x_total", "counter", "Back\\slash\nnew line \"kept\".");
  out.sample("x_total", {{"verb", "a\"b\\c\nd"}, {"k", ""}}, 3);
  EXPECT_EQ(out.text(),
            "# HELP x_total Back\\\\slash\\nnew line \"kept\".\n"
            "# TYPE x_total counter\n"
            "x_total{verb=\"a\\\"b\\\\c\\nd\",k=\"\"} 3\n");
}

TEST(ExpositionTest, LargeCountersStayIntegersAndFractionsKeepPrecision) {
  Exposition out;
  out.sample("a", 5000000000.0);
  out.sample("b", 0.25);
  out.sample("c", -1);
  EXPECT_EQ(out.text(), "a 5000000000\nb 0.25\nc -1\n");
}

TEST(CountersTest, CommandSlotsOutsideTheTableCountAsUnknown) {
  auto& slots = counters().commands;
  auto unknownBefore = slots[kCommandSlots - 1].load();
  auto firstBefore = slots[0].load();
  command(-1);
  command(static_cast<std::ptrdiff_t>(kCommandSlots) + 10);
  command(0);
  EXPECT_EQ(slots[kCommandSlots - 1].load(), unknownBefore + 2);
  EXPECT_EQ(slots[0].load(), firstBefore + 1);
}

}  // namespace
}  // namespace kestrel::metrics
