#include "ftp/utf8.h"

namespace kestrel::ftp {

Utf8Assembler::Step Utf8Assembler::take(unsigned char byte) {
  if (need_ == 0) {
    bytes_.clear();
    low_ = 0x80;
    high_ = 0xBF;
    // The second byte's range rules out overlong forms, surrogates and
    // anything past U+10FFFF (the table of RFC 3629).
    if (byte >= 0xC2 && byte <= 0xDF) {
      need_ = 1;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
      need_ = 2;
      if (byte == 0xE0) low_ = 0xA0;
      if (byte == 0xED) high_ = 0x9F;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
      need_ = 3;
      if (byte == 0xF0) low_ = 0x90;
      if (byte == 0xF4) high_ = 0x8F;
    } else {
      return Step::Dropped;  // a continuation byte alone, C0, C1, F5..FF
    }
    bytes_ += static_cast<char>(byte);
    return Step::Pending;
  }
  if (byte < low_ || byte > high_) {
    const bool startsAnother = byte >= 0xC0;
    reset();
    // A lead byte that cuts a sequence short starts its own.
    if (startsAnother) return take(byte) == Step::Pending ? Step::Pending : Step::Dropped;
    return Step::Dropped;
  }
  low_ = 0x80;
  high_ = 0xBF;
  bytes_ += static_cast<char>(byte);
  if (--need_ != 0) return Step::Pending;
  return Step::Complete;
}

bool isValidUtf8(const std::string& text) {
  Utf8Assembler reader;
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      if (reader.pending()) return false;
      continue;
    }
    if (reader.take(b) == Utf8Assembler::Step::Dropped) return false;
  }
  return !reader.pending();
}

}  // namespace kestrel::ftp
