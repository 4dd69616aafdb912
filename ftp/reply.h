// How replies are built: fixed-size formatting, multi-line replies and the
// queue that sends them without ever blocking the thread.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::ftp {

// Sent to a client turned away before its session starts (no descriptors,
// no thread, the database unreachable).
inline constexpr char kServiceUnavailable[] = "421 Service not available, closing control connection.\r\n";
inline constexpr char kNotLoggedIn[] = "530 Not Logged in.\r\n";
inline constexpr char kDataConnectionBusy[] = "125 Data connection already open.  Transfer starting.\r\n";
inline constexpr char kOpeningDataConnection[] = "150 File status OK.  Opening data connection.\r\n";
inline constexpr char kCantOpen[] = "425 Can't open data connection.\r\n";
inline constexpr char kAborted[] = "426 Connection closed.  Transfer aborted.\r\n";
inline constexpr char kLocalError[] = "451 Requested action aborted.  Local error in processing.\r\n";
inline constexpr char kBadArgument[] = "501 Syntax error in parameters or arguments.\r\n";
inline constexpr char kEpsvAllActive[] = "503 EPSV ALL in effect: only EPSV may set up data connections.\r\n";
inline constexpr char kNoSuchDirectory[] = "550 No such directory.\r\n";
inline constexpr char kNoSuchEntry[] = "550 No such file or directory.\r\n";

// A formatted reply holds at most 299 characters. A longer one is cut and
// still ends with CR LF.
constexpr std::size_t kReplyBuffer = 300;
std::string formatReply(const char* format, va_list args);
std::string formatReplyf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "220-line\r\n220 last\r\n" from a text whose lines are separated by CR LF.
std::string multiLine(std::string_view code, std::string text);

// The path of the 257 replies (PWD, MKD): "/" and then each level's name
// and "/", with every '"' doubled so that a client finds where it ends.
std::string quotedPathName(const std::vector<std::string>& levels);

// Buffers waiting to be sent; the head may be partly sent.
class ReplyQueue {
 public:
  void push(std::string buffer) {
    bytes_ += buffer.size();
    queue_.push_back(std::move(buffer));
  }
  // Joins the last buffer, so that replies queued together leave in one send.
  void append(std::string buffer) {
    if (queue_.empty()) {
      push(std::move(buffer));
      return;
    }
    bytes_ += buffer.size();
    queue_.back() += buffer;
  }
  bool empty() const { return queue_.empty(); }
  std::size_t size() const { return queue_.size(); }
  // Unsent bytes in all buffers.
  std::size_t bytes() const { return bytes_; }
  // The unsent rest of the head.
  std::string_view head() const { return std::string_view(queue_.front()).substr(sent_); }
  // Marks n bytes of the head as sent; frees it when done.
  void consume(std::size_t n);
  void clear() {
    queue_.clear();
    sent_ = 0;
    bytes_ = 0;
  }

 private:
  std::deque<std::string> queue_;
  std::size_t sent_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace kestrel::ftp
