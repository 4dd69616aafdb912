#include "platform/system.h"

#include <gtest/gtest.h>

#include <set>

namespace kestrel::platform {
namespace {

TEST(RandomHex, TwoLowerCaseHexDigitsPerByte) {
  for (std::size_t bytes : {0u, 1u, 16u, 32u}) {
    std::string text = randomHex(bytes);
    EXPECT_EQ(text.size(), bytes * 2);
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
  }
}

TEST(RandomHex, SecretsDoNotRepeat) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(seen.insert(randomHex(16)).second);
}

TEST(TotalMemory, TheKernelReportsSome) { EXPECT_GT(totalMemoryKilobytes(), 0u); }

}  // namespace
}  // namespace kestrel::platform
