#include "ftp/command_table.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

namespace kestrel::ftp {
namespace {

TEST(CommandTable, WholeAndPrefixMatchingInOrder) {
  std::string arg;
  EXPECT_NE(findCommand("noop", arg), nullptr);
  EXPECT_EQ(findCommand("NOOP ", arg), nullptr);  // trailing blank: unknown
  EXPECT_EQ(findCommand("CWD", arg), nullptr);    // needs its space
  const Command* c = findCommand("cwd  two spaces", arg);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(arg, " two spaces");
  EXPECT_EQ(findCommand("REST", arg)->handler, nullptr);  // whole form is not implemented
  EXPECT_NE(findCommand("REST 100", arg)->handler, nullptr);
  EXPECT_EQ(findCommand("APPE file", arg), nullptr);
  EXPECT_EQ(findCommand("NLST", arg)->handler, &CUserSocket::cmdNlst);
}

// An entry placed after one that already matches all its lines would never run.
TEST(CommandTable, EveryEntryIsReachable) {
  for (const Command& entry : commandTable()) {
    std::string line = entry.text;
    if (entry.match == Match::Prefix) line += "argument";
    std::string arg;
    EXPECT_EQ(findCommand(line, arg), &entry) << "\"" << line << "\" is taken by an earlier entry";
  }
}

TEST(CommandTable, TextsAreUpperCaseVerbsAndPrefixesEndInOneBlank) {
  std::set<std::pair<std::string, Match>> seen;
  for (const Command& entry : commandTable()) {
    std::string text = entry.text;
    EXPECT_TRUE(seen.insert({text, entry.match}).second) << text << " is listed twice";
    std::string verb = entry.match == Match::Prefix ? text.substr(0, text.size() - 1) : text;
    if (entry.match == Match::Prefix) {
      EXPECT_EQ(text.back(), ' ') << text;
    }
    EXPECT_TRUE(verb.size() == 3 || verb.size() == 4) << text;
    for (char ch : verb) EXPECT_TRUE(std::isupper(static_cast<unsigned char>(ch))) << text;
  }
}

TEST(CommandTable, MatchingIgnoresCaseButNotSpacing) {
  std::string arg = "left over";
  const Command* pwd = findCommand("pWd", arg);
  ASSERT_NE(pwd, nullptr);
  EXPECT_EQ(pwd->handler, &CUserSocket::cmdPwd);
  EXPECT_EQ(arg, "");  // a whole match clears what the last command left
  EXPECT_EQ(findCommand(" PWD", arg), nullptr);
  EXPECT_EQ(findCommand("PWDX", arg), nullptr);
  EXPECT_EQ(findCommand("", arg), nullptr);
}

TEST(CommandTable, PrefixEntriesPassTheRestOfTheLineUntouched) {
  std::string arg;
  const Command* stor = findCommand("stor My File.TXT ", arg);
  ASSERT_NE(stor, nullptr);
  EXPECT_EQ(stor->handler, &CUserSocket::cmdStor);
  EXPECT_EQ(arg, "My File.TXT ");
  const Command* site = findCommand("SITE ", arg);
  ASSERT_NE(site, nullptr);
  EXPECT_EQ(arg, "");
}

TEST(CommandTable, AliasesShareTheirHandler) {
  std::string arg;
  EXPECT_EQ(findCommand("XPWD", arg)->handler, findCommand("PWD", arg)->handler);
  EXPECT_EQ(findCommand("XCUP", arg)->handler, findCommand("CDUP", arg)->handler);
  EXPECT_EQ(findCommand("XCWD a", arg)->handler, findCommand("CWD a", arg)->handler);
  EXPECT_EQ(findCommand("XMKD a", arg)->handler, findCommand("MKD a", arg)->handler);
  EXPECT_EQ(findCommand("XRMD a", arg)->handler, findCommand("RMD a", arg)->handler);
  // The bare and the argument forms of a verb are different entries.
  EXPECT_NE(findCommand("LIST", arg), findCommand("LIST /pub", arg));
  EXPECT_NE(findCommand("HELP", arg)->handler, findCommand("HELP SITE", arg)->handler);
}

}  // namespace
}  // namespace kestrel::ftp
