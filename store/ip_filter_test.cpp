#include "store/ip_filter.h"

#include <gtest/gtest.h>

namespace kestrel::store {
namespace {

FilterEntry entry(bool allow, const char* pattern) {
  auto parts = parseFilterPattern(pattern);
  EXPECT_TRUE(parts) << pattern;
  return {allow, parts.value_or(std::array<FilterRange, 4>{})};
}

bool admits(const std::vector<FilterEntry>& list, int a, int b, int c, int d) {
  const int octet[4] = {a, b, c, d};
  return filterAdmits(list, octet);
}

TEST(IpFilterPattern, AcceptsStarsNumbersAndRisingRanges) {
  for (const char* ok : {"*.*.*.*", "10.0.0.1", "192.168.1-20.*", "0.0.0.0", "255.255.255.255", "1.2.3.4-5",
                         "001.2.3.4"})
    EXPECT_TRUE(validFilterPattern(ok)) << ok;
  for (const char* bad : {"", "*", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4-4", "1.2.3.5-4", "1.2.3.-4",
                          "1.2.3.4-", "1..3.4", "1.2.3.*5", "1.2.3.5*", "**.1.1.1", "1.2.3.4 ", " 1.2.3.4",
                          "1.2.3.4-5-6", "a.b.c.d", "1.2.3.99999999999999999999"})
    EXPECT_FALSE(validFilterPattern(bad)) << bad;
}

TEST(IpFilterPattern, ParsesBoundsAndFormatsThemBack) {
  auto parts = parseFilterPattern("10.*.3-40.7");
  ASSERT_TRUE(parts);
  EXPECT_EQ((*parts)[0], (FilterRange{10, 10}));
  EXPECT_EQ((*parts)[1], (FilterRange{0, 255}));
  EXPECT_EQ((*parts)[2], (FilterRange{3, 40}));
  EXPECT_EQ((*parts)[3], (FilterRange{7, 7}));
  EXPECT_EQ(formatFilterPattern(*parts), "10.*.3-40.7");
  // 0-255 written out is shown as a star.
  EXPECT_EQ(formatFilterPattern(*parseFilterPattern("0-255.1.2.3")), "*.1.2.3");
  EXPECT_FALSE(parseFilterPattern("1.2.3"));
}

TEST(IpFilterEntry, TheFirstLetterDecidesAndATabSeparates) {
  EXPECT_EQ(parseFilterEntry("Allow\t1.2.3.4"), entry(true, "1.2.3.4"));
  EXPECT_EQ(parseFilterEntry("Admit\t1.2.3.4"), entry(true, "1.2.3.4"));
  EXPECT_EQ(parseFilterEntry("Block\t1.2.3.*"), entry(false, "1.2.3.*"));
  EXPECT_FALSE(parseFilterEntry("Allow 1.2.3.4"));
  EXPECT_FALSE(parseFilterEntry("\t1.2.3.4"));
  EXPECT_FALSE(parseFilterEntry("Allow\t1.2.3"));
}

TEST(IpFilterMatching, AnEmptyListAdmitsEveryone) { EXPECT_TRUE(admits({}, 203, 0, 113, 9)); }

TEST(IpFilterMatching, TheFirstEntryHoldingTheAddressDecides) {
  std::vector<FilterEntry> list = {entry(true, "10.0.0.5"), entry(false, "10.0.0.*"), entry(true, "*.*.*.*")};
  EXPECT_TRUE(admits(list, 10, 0, 0, 5));   // allowed before the block
  EXPECT_FALSE(admits(list, 10, 0, 0, 6));  // blocked before the catch-all
  EXPECT_TRUE(admits(list, 10, 0, 1, 6));
  // The same entries in another order decide otherwise.
  std::vector<FilterEntry> reversed = {entry(false, "10.0.0.*"), entry(true, "10.0.0.5")};
  EXPECT_FALSE(admits(reversed, 10, 0, 0, 5));
}

TEST(IpFilterMatching, RangesIncludeBothBoundsInEveryPart) {
  std::vector<FilterEntry> list = {entry(false, "192.168.10-20.*")};
  EXPECT_FALSE(admits(list, 192, 168, 10, 0));
  EXPECT_FALSE(admits(list, 192, 168, 20, 255));
  EXPECT_TRUE(admits(list, 192, 168, 9, 1));
  EXPECT_TRUE(admits(list, 192, 168, 21, 1));
  EXPECT_TRUE(admits(list, 192, 169, 15, 1));  // every part must hold, not only the ranged one
  EXPECT_TRUE(admits(list, 193, 168, 15, 1));
}

TEST(IpFilterMatching, ABlockEverythingListRefusesAll) {
  std::vector<FilterEntry> list = {entry(true, "127.0.0.1"), entry(false, "*.*.*.*")};
  EXPECT_TRUE(admits(list, 127, 0, 0, 1));
  EXPECT_FALSE(admits(list, 127, 0, 0, 2));
  EXPECT_FALSE(admits(list, 0, 0, 0, 0));
}

}  // namespace
}  // namespace kestrel::store
