#include "platform/journal.h"

#include <unistd.h>

#include <atomic>
#include <vector>

#include "platform/mutex.h"

namespace kestrel::platform {

namespace {

constexpr std::string_view kMask = "********";
constexpr std::size_t kShortestSecret = 4;

std::atomic<bool> gServiceLog{false};
// The secrets, and whole lines written under the same lock so that lines of
// different threads never interleave.
Mutex gLogMutex;
std::vector<std::string> gSecrets GUARDED_BY(gLogMutex);

std::string masked(std::string_view text) REQUIRES(gLogMutex) {
  std::string out(text);
  for (const std::string& secret : gSecrets) {
    for (std::size_t at = out.find(secret); at != std::string::npos; at = out.find(secret, at + kMask.size()))
      out.replace(at, secret.size(), kMask);
  }
  return out;
}

void writeAll(const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) return;  // nothing useful to do when the log is gone
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void setServiceLog(bool on) { gServiceLog.store(on, std::memory_order_relaxed); }

bool serviceLog() { return gServiceLog.load(std::memory_order_relaxed); }

void addLogSecret(std::string secret) {
  // Masking a one- or two-letter password would garble every line and hide nothing.
  if (secret.size() < kShortestSecret) return;
  MutexLock lock(gLogMutex);
  for (const std::string& s : gSecrets)
    if (s == secret) return;
  gSecrets.push_back(std::move(secret));
}

std::string formatLogLines(Priority priority, std::string_view text, bool prefixed) {
  std::string prefix;
  if (prefixed) {
    prefix += '<';
    prefix += std::to_string(static_cast<int>(priority));
    prefix += '>';
  }
  std::string out;
  std::string body;
  {
    MutexLock lock(gLogMutex);
    body = masked(text);
  }
  std::string_view rest = body;
  do {
    auto end = rest.find_first_of("\r\n");
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty() && end != std::string_view::npos) continue;  // CR LF and blank lines
    out += prefix;
    out += line;
    out += '\n';
  } while (!rest.empty());
  return out;
}

void reportLine(Priority priority, std::string_view text) {
  std::string lines = formatLogLines(priority, text, serviceLog());
  MutexLock lock(gLogMutex);
  writeAll(lines);
}

void journalLine(Priority priority, std::string_view text) {
  if (serviceLog()) reportLine(priority, text);
}

}  // namespace kestrel::platform
