#include "platform/metrics.h"

#include <cmath>
#include <cstdio>

namespace kestrel::metrics {

namespace {

// HELP text escapes backslash and line feed; label values also the quote.
void appendEscaped(std::string& out, std::string_view text, bool quote) {
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (quote && c == '"') out += "\\\"";
    else out += c;
  }
}

void appendValue(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value > 0 ? "+Inf" : "-Inf";
  } else if (value == std::floor(value) && std::fabs(value) < 1e15) {
    out += std::to_string(static_cast<long long>(value));
  } else {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    out += text;
  }
}

std::string bucketBound(std::uint64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(us) / 1e6);
  return text;
}

}  // namespace

const char* loginResultName(LoginResult result) {
  switch (result) {
    case LoginResult::kOk: return "ok";
    case LoginResult::kIncorrect: return "incorrect";
    case LoginResult::kLocked: return "locked";
    case LoginResult::kTooMany: return "too_many";
    case LoginResult::kCount: break;
  }
  return "other";
}

const char* transferResultName(TransferResult result) {
  switch (result) {
    case TransferResult::kComplete: return "complete";
    case TransferResult::kFailed: return "failed";
    case TransferResult::kAborted: return "aborted";
    case TransferResult::kCount: break;
  }
  return "other";
}

namespace {
// Constant-initialised, so a counter bumped during start-up is never lost.
constinit Counters gCounters;
}  // namespace

Counters& counters() { return gCounters; }

void command(std::ptrdiff_t slot) {
  auto& slots = counters().commands;
  std::size_t i = slot < 0 || static_cast<std::size_t>(slot) >= kCommandSlots - 1 ? kCommandSlots - 1
                                                                                  : static_cast<std::size_t>(slot);
  slots[i].fetch_add(1, std::memory_order_relaxed);
}

void Histogram::observe(std::chrono::microseconds elapsed) {
  auto us = static_cast<std::uint64_t>(elapsed.count() < 0 ? 0 : elapsed.count());
  std::size_t i = 0;
  while (i < kStatementBucketsUs.size() && us > kStatementBucketsUs[i]) ++i;
  buckets_[i].fetch_add(1, std::memory_order_relaxed);
  sumUs_.fetch_add(us, std::memory_order_relaxed);
  count_.fetch_add(1, std::memory_order_relaxed);
}

std::array<std::uint64_t, kStatementBucketsUs.size() + 1> Histogram::cumulative() const {
  std::array<std::uint64_t, kStatementBucketsUs.size() + 1> out{};
  std::uint64_t running = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    running += buckets_[i].load(std::memory_order_relaxed);
    out[i] = running;
  }
  return out;
}

StatementTimer::~StatementTimer() {
  counters().statementTime.observe(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_));
}

void Exposition::family(std::string_view name, std::string_view type, std::string_view help) {
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  appendEscaped(text_, help, false);
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += type;
  text_ += '\n';
}

void Exposition::sample(std::string_view name,
                        std::initializer_list<std::pair<std::string_view, std::string_view>> labels, double value) {
  text_ += name;
  if (labels.size() != 0) {
    text_ += '{';
    bool first = true;
    for (const auto& [label, labelValue] : labels) {
      if (!first) text_ += ',';
      first = false;
      text_ += label;
      text_ += "=\"";
      appendEscaped(text_, labelValue, true);
      text_ += '"';
    }
    text_ += '}';
  }
  text_ += ' ';
  appendValue(text_, value);
  text_ += '\n';
}

void Exposition::histogram(std::string_view name, std::string_view help, const Histogram& h) {
  family(name, "histogram", help);
  // Count and sum are read before the buckets, so +Inf can only be at or above the count.
  std::uint64_t count = h.count();
  double sum = static_cast<double>(h.sumUs()) / 1e6;
  auto buckets = h.cumulative();
  const std::string bucket = std::string(name) + "_bucket";
  for (std::size_t i = 0; i < kStatementBucketsUs.size(); ++i)
    sample(bucket, {{"le", bucketBound(kStatementBucketsUs[i])}}, static_cast<double>(buckets[i]));
  std::uint64_t total = buckets.back() > count ? buckets.back() : count;
  sample(bucket, {{"le", "+Inf"}}, static_cast<double>(total));
  sample(std::string(name) + "_sum", sum);
  sample(std::string(name) + "_count", static_cast<double>(total));
}

}  // namespace kestrel::metrics
