#include "ftp/reply.h"

#include <gtest/gtest.h>

namespace kestrel::ftp {
namespace {

TEST(MultiLine, OneLineAndSeveral) {
  EXPECT_EQ(multiLine("220", "ready"), "220 ready\r\n");
  EXPECT_EQ(multiLine("230", "Hello\r\nthere\r\nUser 'x' logged in  \r\n"),
            "230-Hello\r\n230-there\r\n230 User 'x' logged in\r\n");
}

TEST(FormatReply, LongRepliesAreCutAndStillEndWithCrLf) {
  std::string arg(400, 'a');
  std::string r = formatReplyf("500 '%s': Unknown command\r\n", arg.c_str());
  EXPECT_EQ(r.size(), kReplyBuffer - 1);
  EXPECT_EQ(r.substr(r.size() - 2), "\r\n");
  EXPECT_EQ(formatReplyf("200 %lld\r\n", 5000000000LL), "200 5000000000\r\n");
}

TEST(QuotedPathName, EveryLevelEndsWithASlashAndQuotesAreDoubled) {
  EXPECT_EQ(quotedPathName({}), "/");
  EXPECT_EQ(quotedPathName({"pub", "Music"}), "/pub/Music/");
  EXPECT_EQ(quotedPathName({"say \"hi\"", "\"\""}), "/say \"\"hi\"\"/\"\"\"\"/");
}

TEST(ReplyQueue, PartialSendsKeepTheRest) {
  ReplyQueue q;
  q.push("abc");
  q.push("de");
  q.consume(2);
  EXPECT_EQ(q.head(), "c");
  q.consume(1);
  EXPECT_EQ(q.head(), "de");
  q.consume(2);
  EXPECT_TRUE(q.empty());
}

TEST(ReplyQueue, AppendedRepliesJoinTheLastBufferBehindWhatWasSent) {
  ReplyQueue q;
  q.append("150 a\r\n");
  q.consume(3);
  q.append("226 b\r\n");
  EXPECT_EQ(q.size(), 1u);
  EXPECT_EQ(q.bytes(), 11u);
  EXPECT_EQ(q.head(), " a\r\n226 b\r\n");
  q.consume(q.head().size());
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.bytes(), 0u);
}

}  // namespace
}  // namespace kestrel::ftp
