// A directory's entries as a listing shows them, a page at a time, read in
// blocks through typed column buffers and kept compactly: a listing of any
// length holds one page while it is sent, and no lock while it waits on the
// network.
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

// Where a page ended: the next one starts after this name (and id, for
// names equal under the engine's collation).
struct ListingKey {
  std::string name;
  std::int64_t id = 0;
};

// Rows a page holds: the drivers copy a whole result before the first row is
// fetched, so the page bounds their memory as well as ours.
inline constexpr std::size_t kListingPage = 2048;

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
  // Whether rows may follow this page, and the key to ask for them with.
  bool hasMore() const { return more_; }
  const ListingKey& last() const { return last_; }
  void setEnd(bool more, ListingKey last) {
    more_ = more;
    last_ = std::move(last);
  }

 private:
  std::vector<ListingEntry> entries_;
  std::string names_;
  bool more_ = false;
  ListingKey last_;
};

// Up to `limit` entries of the directory `parent` in name order, from the
// start or after `after`.
ListingRows listingRows(Database& db, std::int64_t parent, const ListingKey* after = nullptr,
                        std::size_t limit = kListingPage);

}  // namespace kestrel::store
