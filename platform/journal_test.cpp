#include "platform/journal.h"

#include <gtest/gtest.h>

namespace kestrel::platform {
namespace {

// The journal reads the priority from the start of each line only: a
// multi-line text must carry it on every line or its tail lands at info.
TEST(JournalTest, EveryLineOfAMultiLineTextCarriesThePriority) {
  EXPECT_EQ(formatLogLines(Priority::kError, "Missing or invalid database\n(IM002: no driver)", true),
            "<3>Missing or invalid database\n<3>(IM002: no driver)\n");
  EXPECT_EQ(formatLogLines(Priority::kWarning, "one\r\ntwo\r\n", true), "<4>one\n<4>two\n");
  EXPECT_EQ(formatLogLines(Priority::kInfo, "plain", true), "<6>plain\n");
  EXPECT_EQ(formatLogLines(Priority::kInfo, "plain\nlines", false), "plain\nlines\n");
}

TEST(JournalTest, SecretsNeverReachTheLog) {
  addLogSecret("console-pass-123");
  addLogSecret("");   // an empty password would otherwise match everywhere
  addLogSecret("ab");  // and a short one would garble every line
  EXPECT_EQ(formatLogLines(Priority::kInfo, "alice: console-pass-123 and console-pass-123!", true),
            "<6>alice: ******** and ********!\n");
  EXPECT_EQ(formatLogLines(Priority::kError, "PWD=console-pass-123;", false), "PWD=********;\n");
  EXPECT_EQ(formatLogLines(Priority::kInfo, "nothing secret, abab", false), "nothing secret, abab\n");
}

TEST(JournalTest, ServiceModeSwitchesPrefixesOn) {
  EXPECT_FALSE(serviceLog());
  setServiceLog(true);
  EXPECT_TRUE(serviceLog());
  setServiceLog(false);
  EXPECT_FALSE(serviceLog());
}

}  // namespace
}  // namespace kestrel::platform
