// A directory's entries as a listing shows them, read in blocks through
// typed column buffers and kept compactly: a listing of 50 000 entries holds
// a few megabytes while it is sent, and no lock while it waits on the network.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/records.h"

namespace kestrel::store {

// A local time as stored: no time-zone arithmetic is needed to show it.
struct StoredTime {
  std::int16_t year = 1970;
  std::uint8_t month = 1, day = 1, hour = 0, minute = 0;
};

struct ListingEntry {
  std::uint32_t nameAt = 0;     // into the listing's name text
  std::uint32_t nameLength = 0;
  std::int64_t size = 0;
  StoredTime modified;
  std::uint16_t bits = 0;  // owner, group, other; read, write, execute; 0400 is owner read
  bool directory = false;
  bool link = false;
  char owner[9] = {};  // the first 8 characters are all a listing shows
  char group[9] = {};
};

// The local time of a moment, as it would be stored.
StoredTime storedTime(long long epochSeconds);

// One row of the directory query as a listing shows it (name aside).
ListingEntry listingEntry(const DirectoryRecord& row);

class ListingRows {
 public:
  std::size_t size() const { return entries_.size(); }
  const ListingEntry& operator[](std::size_t i) const { return entries_[i]; }
  ListingEntry& at(std::size_t i) { return entries_[i]; }
  std::string_view name(const ListingEntry& e) const { return std::string_view(names_).substr(e.nameAt, e.nameLength); }
  void add(ListingEntry entry, std::string_view name);
  void clear() {
    entries_.clear();
    names_.clear();
  }

 private:
  std::vector<ListingEntry> entries_;
  std::string names_;
};

// The entries of the directory `parent`, sorted by name.
ListingRows listingRows(Database& db, std::int64_t parent);

}  // namespace kestrel::store
