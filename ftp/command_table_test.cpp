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

// The dispatcher's columns are the only login and busy checks left: a verb
// that loses its column would run for anyone, or under a running transfer.
TEST(CommandTable, TreeAndDataCommandsNeedALoginAndSessionCommandsDoNot) {
  const std::set<std::string> needLogin = {
      "ABOR",  "ALLO ", "CDUP",  "CWD ",  "DELE ", "LIST", "LIST ", "MKD ",  "MLSD",  "MLSD ",
      "MLST",  "MLST ", "NLST",  "NLST ", "PWD",   "RETR ", "RMD ", "RNFR ", "RNTO ", "STAT ",
      "STOR ", "SYST",  "XCUP",  "XCWD ", "XMKD ", "XPWD",  "XRMD "};
  for (const Command& entry : commandTable()) {
    if (!entry.handler) continue;
    EXPECT_EQ(entry.login == Login::Required, needLogin.count(entry.text) == 1) << entry.text;
  }
  std::string arg;
  for (const char* free : {"USER x", "PASS x", "QUIT", "NOOP", "HELP", "FEAT", "AUTH TLS", "STAT", "SITE IDLE"})
    EXPECT_EQ(findCommand(free, arg)->login, Login::Optional) << free;
}

TEST(CommandTable, OnlyTransfersAndListingsWaitForAnIdleDataChannel) {
  std::set<std::string> idle;
  for (const Command& entry : commandTable()) {
    if (entry.dataIdle != DataIdle::Required) continue;
    idle.insert(entry.text);
    // The login answer comes first: a stranger learns nothing of a transfer.
    EXPECT_EQ(entry.login, Login::Required) << entry.text;
  }
  EXPECT_EQ(idle, (std::set<std::string>{"LIST", "LIST ", "MLSD", "MLSD ", "NLST", "NLST ", "RETR ", "STOR "}));
}

TEST(SiteTable, SubcommandsMatchInOrderWithTheRestPassedOn) {
  std::string rest;
  EXPECT_EQ(findSiteCommand("idle", rest)->handler, &CUserSocket::siteIdleQuery);
  const SiteCommand* idle = findSiteCommand("IDLE 300", rest);
  ASSERT_NE(idle, nullptr);
  EXPECT_EQ(idle->handler, &CUserSocket::siteIdle);
  EXPECT_EQ(rest, "300");
  EXPECT_EQ(findSiteCommand("ANON DENY", rest)->handler, &CUserSocket::siteAnon);
  EXPECT_EQ(rest, "DENY");
  EXPECT_EQ(findSiteCommand("ANON", rest)->handler, &CUserSocket::siteAnonQuery);
  EXPECT_EQ(findSiteCommand("anonymous", rest)->handler, &CUserSocket::siteAnonQuery);
  EXPECT_EQ(findSiteCommand("chgrp staff f", rest)->handler, &CUserSocket::siteChgrp);
  EXPECT_EQ(findSiteCommand("CHOWN bob f", rest)->handler, &CUserSocket::siteChown);
  EXPECT_EQ(rest, "bob f");
  EXPECT_EQ(findSiteCommand("WHO", rest)->handler, &CUserSocket::siteWho);
  EXPECT_EQ(findSiteCommand("ALLOW bob", rest)->handler, &CUserSocket::siteAllow);
  EXPECT_EQ(findSiteCommand("DENY bob", rest)->handler, &CUserSocket::siteDeny);
  EXPECT_EQ(findSiteCommand("UMSG 1 hi", rest)->handler, &CUserSocket::siteUmsg);
  EXPECT_EQ(findSiteCommand("MSG hi", rest)->handler, &CUserSocket::siteMsg);
  // Without its blank a subcommand that takes an argument is unknown.
  EXPECT_EQ(findSiteCommand("CHMOD", rest), nullptr);
  EXPECT_EQ(findSiteCommand("KICK", rest), nullptr);
  EXPECT_EQ(findSiteCommand("IDLEX", rest), nullptr);
  EXPECT_EQ(findSiteCommand("", rest), nullptr);
}

TEST(SiteTable, EveryEntryIsReachableAndEveryRightNeedsALogin) {
  std::set<int> rights;
  for (const SiteCommand& entry : siteCommandTable()) {
    std::string line = entry.text;
    if (entry.match == Match::Prefix) line += "x";
    std::string rest;
    EXPECT_EQ(findSiteCommand(line, rest), &entry) << "\"" << line << "\" is taken by an earlier entry";
    if (entry.right == kNoRight) continue;
    EXPECT_EQ(entry.login, Login::Required) << entry.text;
    EXPECT_GT(entry.right, 0);
    EXPECT_LE(entry.right, kSiteRights);
    EXPECT_TRUE(rights.insert(entry.right).second) << entry.text << " shares its right";
  }
  EXPECT_EQ(rights.size(), 10u);
  // Only the two questions are open to a session that has not logged in.
  std::string rest;
  EXPECT_EQ(findSiteCommand("IDLE", rest)->login, Login::Optional);
  EXPECT_EQ(findSiteCommand("ANON", rest)->login, Login::Optional);
  EXPECT_EQ(findSiteCommand("IDLE 60", rest)->login, Login::Required);
}

}  // namespace
}  // namespace kestrel::ftp
