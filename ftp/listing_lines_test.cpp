#include "ftp/listing_lines.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace kestrel::ftp {
namespace {

store::ListingEntry entry(std::int16_t year, std::uint8_t month, std::uint8_t day, std::uint8_t hour,
                          std::uint8_t minute) {
  store::ListingEntry e;
  e.modified = {year, month, day, hour, minute};
  e.bits = 0754;
  e.size = 3'000'000'000LL;  // beyond 32 bits
  std::strcpy(e.owner, "alice");
  std::strcpy(e.group, "staff");
  return e;
}

class Lines : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = std::getenv("TZ") ? std::getenv("TZ") : "";
    hadTz_ = std::getenv("TZ") != nullptr;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    if (hadTz_) ::setenv("TZ", saved_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
  std::string saved_;
  bool hadTz_ = false;
};

// 2026-12-08 10:00 UTC: a date of this year shows its time of day, any other
// year shows the year in the same twelve columns.
TEST_F(Lines, DatesOfThisYearShowTheTimeOthersTheYear) {
  ListingLines lines(1796724000);
  std::string out;
  lines.append(out, entry(2026, 1, 5, 9, 7), "a.txt");
  lines.append(out, entry(2025, 12, 31, 23, 59), "b.txt");
  lines.append(out, entry(1999, 2, 1, 0, 0), "c d.txt");
  EXPECT_EQ(out,
            "-rwxr-xr--   1    alice    staff 3000000000 Jan 05 09:07 a.txt\r\n"
            "-rwxr-xr--   1    alice    staff 3000000000 Dec 31 2025  b.txt\r\n"
            "-rwxr-xr--   1    alice    staff 3000000000 Feb 01 1999  c d.txt\r\n");
}

// The cached date text is used only for the same minute: a row one minute or
// one year later gets its own.
TEST_F(Lines, TheCachedDateFollowsEveryChange) {
  ListingLines lines(1796724000);
  std::string a, b, c;
  lines.append(a, entry(2026, 6, 1, 12, 30), "x");
  lines.append(b, entry(2026, 6, 1, 12, 31), "x");
  lines.append(c, entry(2024, 6, 1, 12, 31), "x");
  EXPECT_NE(a.find("Jun 01 12:30 x"), std::string::npos);
  EXPECT_NE(b.find("Jun 01 12:31 x"), std::string::npos);
  EXPECT_NE(c.find("Jun 01 2024  x"), std::string::npos);
}

// A listing shows links and directories as 'd'; the status form tells a link by 'l'.
TEST_F(Lines, TypeLetterOfLinksAndDirectories) {
  ListingLines lines(1796724000);
  store::ListingEntry link = entry(2026, 1, 1, 0, 0);
  link.link = true;
  link.size = 0;
  link.bits = 0;
  store::ListingEntry dir = link;
  dir.link = false;
  dir.directory = true;
  std::string out;
  lines.append(out, link, "l1");
  lines.append(out, link, "l1", true);
  lines.append(out, dir, "d1", true);
  EXPECT_EQ(out,
            "d---------   1    alice    staff         0 Jan 01 00:00 l1\r\n"
            "l---------   1    alice    staff         0 Jan 01 00:00 l1\r\n"
            "d---------   1    alice    staff         0 Jan 01 00:00 d1\r\n");
}

}  // namespace
}  // namespace kestrel::ftp
