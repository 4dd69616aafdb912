#include "ftp/extensions.h"

#include <gtest/gtest.h>

namespace kestrel::ftp {
namespace {

using Outcome = ExtendedPort::Outcome;

TEST(ExtendedPort, ParsesIpv4WithAnyDelimiter) {
  ExtendedPort p = parseExtendedPort("|1|127.0.0.1|50000|");
  ASSERT_EQ(p.outcome, Outcome::Ok);
  EXPECT_EQ(p.address, "127.0.0.1");
  EXPECT_EQ(p.port, 50000);
  p = parseExtendedPort("!1!10.0.0.7!2121!");
  ASSERT_EQ(p.outcome, Outcome::Ok);
  EXPECT_EQ(p.address, "10.0.0.7");
  // Leading zeros must not let an address slip past the comparison with the peer's.
  p = parseExtendedPort("|1|127.000.0.01|2000|");
  ASSERT_EQ(p.outcome, Outcome::Ok);
  EXPECT_EQ(p.address, "127.0.0.1");
}

TEST(ExtendedPort, RefusesOtherProtocolsAndJunk) {
  EXPECT_EQ(parseExtendedPort("|2|::1|50000|").outcome, Outcome::UnsupportedProtocol);
  EXPECT_EQ(parseExtendedPort("|7|x|1|").outcome, Outcome::UnsupportedProtocol);
  for (const char* bad : {"", "|", "|1|127.0.0.1|50000", "|1|127.0.0.1|50000|x", "|1|127.0.0.1|0|",
                          "|1|127.0.0.1|65536|", "|1|127.0.0.256|2000|", "|1|127.0.0|2000|", "|1|127.0.0.1.5|2000|",
                          "1|1|127.0.0.1|2000|", "|1|127.0.0.1|-20|", "|1|127.0.0.1|+2000|", "|x|127.0.0.1|2000|",
                          " |1|127.0.0.1|2000|", "|1|127.0.0.1|99999999999999999999|"})
    EXPECT_EQ(parseExtendedPort(bad).outcome, Outcome::Malformed) << bad;
}

TEST(PassiveRequest, Forms) {
  EXPECT_EQ(parsePassiveRequest(""), PassiveRequest::Ipv4);
  EXPECT_EQ(parsePassiveRequest("1"), PassiveRequest::Ipv4);
  EXPECT_EQ(parsePassiveRequest("all"), PassiveRequest::All);
  EXPECT_EQ(parsePassiveRequest("2"), PassiveRequest::UnsupportedProtocol);
  EXPECT_EQ(parsePassiveRequest("ALLX"), PassiveRequest::Malformed);
  EXPECT_EQ(parsePassiveRequest("-1"), PassiveRequest::Malformed);
}

TEST(Facts, SelectionRoundTripsAndIgnoresUnknownFacts) {
  EXPECT_EQ(parseFactList("type;size;"), unsigned(kFactType | kFactSize));
  EXPECT_EQ(parseFactList("Modify;unknown;UNIQUE"), unsigned(kFactModify | kFactUnique));
  EXPECT_EQ(parseFactList(""), 0u);
  EXPECT_EQ(factSelectionText(kFactType | kFactPerm), "type;perm;");
  EXPECT_EQ(factFeatureText(kFactSize), "type;size*;modify;perm;unique;");
  EXPECT_EQ(factFeatureText(kAllFacts), "type*;size*;modify*;perm*;unique*;");
}

TEST(Facts, FormatUsesUtcAndOnlyTheSelectedFacts) {
  EntryFacts file{false, 3000000000LL, 86400 * 365, "rw", 42};
  EXPECT_EQ(formatFacts(file, kAllFacts), "type=file;size=3000000000;modify=19710101000000;perm=rw;unique=42;");
  EntryFacts dir{true, 0, 0, "el", 7};
  EXPECT_EQ(formatFacts(dir, kFactType | kFactUnique), "type=dir;unique=7;");
  EXPECT_EQ(formatFacts(dir, 0), "");
}

TEST(ExtensionHelp, NamesEveryNewCommandAndNoOldOne) {
  for (const char* c : {"AUTH", "PBSZ", "PROT", "CCC", "FEAT", "OPTS", "EPSV", "EPRT", "MLSD", "MLST"})
    EXPECT_NE(extensionSyntax(c), nullptr) << c;
  EXPECT_EQ(extensionSyntax("SIZE"), nullptr);
  EXPECT_EQ(extensionSyntax("auth"), nullptr);  // HELP upper-cases its topic first
}

}  // namespace
}  // namespace kestrel::ftp
