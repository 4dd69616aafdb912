#include "store/ip_filter.h"

#include <algorithm>

#include "store/records.h"
#include "store/db/statement.h"

namespace kestrel::store {

namespace {

// One part of a pattern while it is being read.
struct PatternPart {
  bool digit = false, star = false, pending = false;
  int value = 0, start = 0;
  bool complete() const {
    if (!digit && !star) return false;
    if (value >= 256) return false;
    return !pending || start < value;
  }
};

}  // namespace

bool validFilterPattern(std::string_view pattern) {
  PatternPart part;
  int dots = 0;
  for (char c : pattern) {
    if (c >= '0' && c <= '9') {
      if (part.star) return false;
      part.digit = true;
      part.value = std::min(part.value * 10 + (c - '0'), 1000);  // any count of digits, no overflow
    } else if (c == '-') {
      if (part.pending || !part.digit || part.value >= 256) return false;
      part.pending = true;
      part.start = part.value;
      part.value = 0;
    } else if (c == '*') {
      if (part.digit || part.star) return false;
      part.star = true;
    } else if (c == '.') {
      if (!part.complete()) return false;
      part = PatternPart{};
      ++dots;
    } else {
      return false;
    }
  }
  return part.complete() && dots == 3;
}

std::optional<std::array<FilterRange, 4>> parseFilterPattern(std::string_view pattern) {
  if (!validFilterPattern(pattern)) return std::nullopt;
  std::array<FilterRange, 4> parts;
  std::size_t index = 0;
  int* target = nullptr;
  for (char c : pattern) {
    FilterRange& r = parts[index];
    if (c == '.') {
      ++index;
      target = nullptr;
    } else if (c == '*') {
      r = {0, 255};
    } else if (c == '-') {
      target = &r.hi;
      r.hi = 0;
    } else {
      if (!target) {
        target = &r.lo;
        r.lo = 0;
      }
      *target = *target * 10 + (c - '0');
      if (target == &r.lo) r.hi = r.lo;
    }
  }
  return parts;
}

std::string formatFilterPattern(const std::array<FilterRange, 4>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '.';
    const FilterRange& r = parts[i];
    if (r.lo == 0 && r.hi == 255) out += '*';
    else if (r.lo == r.hi) out += std::to_string(r.lo);
    else out += std::to_string(r.lo) + "-" + std::to_string(r.hi);
  }
  return out;
}

std::optional<FilterEntry> parseFilterEntry(std::string_view text) {
  std::size_t tab = text.find('\t');
  if (tab == std::string_view::npos || tab == 0) return std::nullopt;
  auto parts = parseFilterPattern(text.substr(tab + 1));
  if (!parts) return std::nullopt;
  return FilterEntry{text[0] == 'A', *parts};
}

std::vector<FilterEntry> loadFilter(Database& db, std::int64_t domainId) {
  std::vector<FilterEntry> entries;
  // The order the listener applies, so that saving the list back keeps it.
  for (const BlockRecord& b : selectRows<BlockRecord>(db, "\"domain\"=?", "sequence, id", domainId)) {
    auto range = [](std::int64_t lo, std::int64_t hi) { return FilterRange{static_cast<int>(lo), static_cast<int>(hi)}; };
    entries.push_back({b.allow,
                       {range(b.ip1Lo, b.ip1Hi), range(b.ip2Lo, b.ip2Hi), range(b.ip3Lo, b.ip3Hi),
                        range(b.ip4Lo, b.ip4Hi)}});
  }
  return entries;
}

void saveFilter(Database& db, std::int64_t domainId, const std::vector<FilterEntry>& entries) {
  db.execute("delete from block where domain=" + std::to_string(domainId));
  int sequence = 0;
  for (const FilterEntry& e : entries) {
    std::string values = std::to_string(domainId) + "," + std::to_string(++sequence) + "," + (e.allow ? "yes" : "no");
    for (const FilterRange& r : e.parts) values += "," + std::to_string(r.lo) + "," + std::to_string(r.hi);
    db.execute("insert into block (`domain`, `sequence`, `allow`, `ip1 lo`, `ip1 hi`, `ip2 lo`, `ip2 hi`, `ip3 lo`, "
               "`ip3 hi`, `ip4 lo`, `ip4 hi`) values (" + values + ")");
  }
}

bool filterAdmits(const std::vector<FilterEntry>& entries, const int octet[4]) {
  for (const FilterEntry& e : entries) {
    bool inside = true;
    for (std::size_t i = 0; i < e.parts.size() && inside; ++i)
      inside = e.parts[i].lo <= octet[i] && octet[i] <= e.parts[i].hi;
    if (inside) return e.allow;
  }
  return true;
}

}  // namespace kestrel::store
