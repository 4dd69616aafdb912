#include "ftp/utf8.h"

#include <gtest/gtest.h>

namespace kestrel::ftp {
namespace {

// What the reader keeps of a byte string: ASCII as it is, multi-byte
// characters only when whole.
std::string kept(const std::string& bytes) {
  Utf8Assembler reader;
  std::string out;
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      reader.interrupt();
      out += c;
    } else if (reader.take(b) == Utf8Assembler::Step::Complete) {
      out += reader.character();
    }
  }
  return out;
}

TEST(Utf8Assembler, KeepsWellFormedCharactersOfEveryLength) {
  EXPECT_EQ(kept("caf\xC3\xA9.txt"), "caf\xC3\xA9.txt");
  EXPECT_EQ(kept("\xE2\x82\xAC"), "\xE2\x82\xAC");          // euro sign
  EXPECT_EQ(kept("\xF0\x9F\x90\xA6"), "\xF0\x9F\x90\xA6");  // a bird, four bytes
  EXPECT_EQ(kept("\xEF\xBF\xBD"), "\xEF\xBF\xBD");
}

TEST(Utf8Assembler, DropsMalformedSequencesWhole) {
  EXPECT_EQ(kept("a\xE9z"), "az");                 // Latin-1 byte
  EXPECT_EQ(kept("a\x80\xBFz"), "az");             // continuation bytes alone
  EXPECT_EQ(kept("\xC0\xAF"), "");                 // overlong '/'
  EXPECT_EQ(kept("\xE0\x80\xAF"), "");             // overlong, three bytes
  EXPECT_EQ(kept("\xED\xA0\x80"), "");             // a surrogate
  EXPECT_EQ(kept("\xF4\x90\x80\x80"), "");         // past U+10FFFF
  EXPECT_EQ(kept("\xF5\x80\x80\x80"), "");
  EXPECT_EQ(kept("\xFF"), "");
}

TEST(Utf8Assembler, ACutSequenceIsDroppedAndWhatCutItSurvives) {
  EXPECT_EQ(kept("\xC3x"), "x");                   // ASCII cuts it short
  EXPECT_EQ(kept("\xE2\x82\xC3\xA9"), "\xC3\xA9");  // a new lead byte starts over
  EXPECT_EQ(kept("\xE2\x82"), "");
}

TEST(Utf8Validity, WholeTexts) {
  EXPECT_TRUE(isValidUtf8("plain"));
  EXPECT_TRUE(isValidUtf8("caf\xC3\xA9"));
  EXPECT_FALSE(isValidUtf8("caf\xC3"));
  EXPECT_FALSE(isValidUtf8("caf\xE9"));
}

}  // namespace
}  // namespace kestrel::ftp
