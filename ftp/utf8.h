// Command lines may carry names in UTF-8: the reader passes a multi-byte
// character on only once it is complete and well formed.
#pragma once
#include <cstddef>
#include <string>

namespace kestrel::ftp {

// Collects the bytes of one character of 128 and above. A sequence that is
// malformed (stray continuation byte, overlong form, surrogate, beyond
// U+10FFFF, cut short by another byte) is dropped whole.
class Utf8Assembler {
 public:
  enum class Step { Pending, Complete, Dropped };

  // Takes one byte >= 128. Complete: character() holds the whole sequence.
  Step take(unsigned char byte);
  // Another byte (ASCII, CR, Telnet) arrived: a partial sequence is dropped.
  void interrupt() { reset(); }
  bool pending() const { return need_ != 0; }
  const std::string& character() const { return bytes_; }

 private:
  void reset() {
    need_ = 0;
    bytes_.clear();
  }

  std::string bytes_;
  std::size_t need_ = 0;  // continuation bytes still expected
  unsigned char low_ = 0x80, high_ = 0xBF;  // allowed range of the second byte
};

// True when text is entirely well-formed UTF-8.
bool isValidUtf8(const std::string& text);

}  // namespace kestrel::ftp
