#include "ftp/reply.h"

#include <cstdio>

namespace kestrel::ftp {

std::string formatReply(const char* format, va_list args) {
  char buffer[kReplyBuffer];
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (n < 0) return kLocalError;
  std::string text(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), kReplyBuffer - 1));
  if (static_cast<std::size_t>(n) >= kReplyBuffer) {
    // Cut to fit, keeping the line end that every reply must have.
    text.resize(kReplyBuffer - 3);
    text += "\r\n";
  }
  return text;
}

std::string formatReplyf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatReply(format, args);
  va_end(args);
  return text;
}

std::string quotedPathName(const std::vector<std::string>& levels) {
  std::string text = "/";
  for (const std::string& name : levels) {
    for (char c : name) {
      if (c == '"') text += '"';
      text += c;
    }
    text += '/';
  }
  return text;
}

std::string multiLine(std::string_view code, std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n'))
    text.pop_back();
  std::string out;
  std::size_t start = 0;
  for (;;) {
    std::size_t cr = text.find('\r', start);
    if (cr == std::string::npos) break;
    out.append(code);
    out += '-';
    out.append(text, start, cr - start);
    out += "\r\n";
    start = cr + 2;  // the CR and the LF after it
    if (start > text.size()) start = text.size();
  }
  out.append(code);
  out += ' ';
  out.append(text, start, std::string::npos);
  out += "\r\n";
  return out;
}

void ReplyQueue::consume(std::size_t n) {
  sent_ += n;
  bytes_ -= n;
  if (sent_ >= queue_.front().size()) {
    queue_.pop_front();
    sent_ = 0;
  }
}

}  // namespace kestrel::ftp
