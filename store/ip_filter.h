// A domain's IP filter: the editor's patterns, the stored rows of Block, and
// the listener's decision for an address.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/db/database.h"

namespace kestrel::store {

// One entry of a domain's IP filter: admit or block, and the bounds of the
// four parts of the address.
struct FilterRange {
  int lo = 0, hi = 255;
  bool operator==(const FilterRange&) const = default;
};
struct FilterEntry {
  bool allow = false;
  std::array<FilterRange, 4> parts;
  bool operator==(const FilterEntry&) const = default;
};

// The editor's check of an address pattern ("*", n or n-m per part, four parts).
bool validFilterPattern(std::string_view pattern);
// The bounds of a pattern; nullopt when it is not valid.
std::optional<std::array<FilterRange, 4>> parseFilterPattern(std::string_view pattern);
// How a stored entry reads: "*" for 0-255, "n" for n-n, else "n-m".
std::string formatFilterPattern(const std::array<FilterRange, 4>& parts);
// A list entry "Allow\t…", "Admit\t…" or "Block\t…": the first letter decides.
std::optional<FilterEntry> parseFilterEntry(std::string_view text);
std::vector<FilterEntry> loadFilter(Database& db, std::int64_t domainId);
// Replaces the domain's rows of Block with these, Sequence 1..n.
void saveFilter(Database& db, std::int64_t domainId, const std::vector<FilterEntry>& entries);

// The first entry (in list order) whose four ranges hold the address decides;
// an address no entry holds is admitted.
bool filterAdmits(const std::vector<FilterEntry>& entries, const int octet[4]);

}  // namespace kestrel::store
