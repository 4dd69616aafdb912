// Process-wide counters for the metrics page. Each is an atomic bumped with
// one call where the work happens; reading them never touches the database.
// Process-wide on purpose: every layer counts (a database error where it is
// raised, a byte where it is sent), and a counter passed down would be one
// more parameter on every call for a number nobody reads on the way.
// Relaxed ordering throughout: a scrape may see one counter a moment ahead of
// another, which the text format tolerates.
#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::metrics {

enum class LoginResult { kOk, kIncorrect, kLocked, kTooMany, kCount };
enum class TransferResult { kComplete, kFailed, kAborted, kCount };

const char* loginResultName(LoginResult result);
const char* transferResultName(TransferResult result);

// Upper bounds of the statement-time buckets, in microseconds; +Inf follows.
inline constexpr std::array<std::uint64_t, 14> kStatementBucketsUs = {
    100, 250, 500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000, 5000000};

class Histogram {
 public:
  void observe(std::chrono::microseconds elapsed);
  // Observations at or below each bound, the last entry being +Inf (cumulative, as exposed).
  std::array<std::uint64_t, kStatementBucketsUs.size() + 1> cumulative() const;
  std::uint64_t count() const { return count_.load(std::memory_order_relaxed); }
  std::uint64_t sumUs() const { return sumUs_.load(std::memory_order_relaxed); }

 private:
  std::array<std::atomic<std::uint64_t>, kStatementBucketsUs.size() + 1> buckets_{};
  std::atomic<std::uint64_t> count_{0};
  std::atomic<std::uint64_t> sumUs_{0};
};

// Room for every entry of the command table; index kCommandSlots - 1 counts
// lines that matched none.
inline constexpr std::size_t kCommandSlots = 96;

struct Counters {
  std::atomic<std::int64_t> sessionsOpen{0};
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(LoginResult::kCount)> logins{};
  std::array<std::atomic<std::uint64_t>, kCommandSlots> commands{};
  std::atomic<std::uint64_t> bytesSent{0};
  std::atomic<std::uint64_t> bytesReceived{0};
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(TransferResult::kCount)> transfers{};
  std::atomic<std::uint64_t> databaseErrors{0};
  Histogram statementTime;
};

Counters& counters();

// The one-line calls used at the places where the work happens.
inline void sessionOpened() { counters().sessionsOpen.fetch_add(1, std::memory_order_relaxed); }
inline void sessionClosed() { counters().sessionsOpen.fetch_sub(1, std::memory_order_relaxed); }
inline void login(LoginResult r) {
  counters().logins[static_cast<std::size_t>(r)].fetch_add(1, std::memory_order_relaxed);
}
// slot: the command's index in its table, or a negative value for an unknown line.
void command(std::ptrdiff_t slot);
inline void bytesSent(std::int64_t n) {
  if (n > 0) counters().bytesSent.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
}
inline void bytesReceived(std::int64_t n) {
  if (n > 0) counters().bytesReceived.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
}
inline void transfer(TransferResult r) {
  counters().transfers[static_cast<std::size_t>(r)].fetch_add(1, std::memory_order_relaxed);
}
inline void databaseError() { counters().databaseErrors.fetch_add(1, std::memory_order_relaxed); }

// Times one database statement from construction to destruction.
class StatementTimer {
 public:
  StatementTimer() : start_(std::chrono::steady_clock::now()) {}
  ~StatementTimer();
  StatementTimer(const StatementTimer&) = delete;
  StatementTimer& operator=(const StatementTimer&) = delete;

 private:
  std::chrono::steady_clock::time_point start_;
};

// Writes the Prometheus text exposition format (version 0.0.4).
class Exposition {
 public:
  // Starts a metric family with its HELP and TYPE lines.
  void family(std::string_view name, std::string_view type, std::string_view help);
  // One sample; labels as name/value pairs, values escaped here.
  void sample(std::string_view name, std::initializer_list<std::pair<std::string_view, std::string_view>> labels,
              double value);
  void sample(std::string_view name, double value) { sample(name, {}, value); }
  // A whole histogram family from microsecond buckets, exposed in seconds.
  void histogram(std::string_view name, std::string_view help, const Histogram& h);
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace kestrel::metrics
