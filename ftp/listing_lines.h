// The lines of a long listing, written straight into the data connection's
// buffer: the date text is made once per distinct minute, the year once.
#pragma once
#include <ctime>
#include <string>
#include <string_view>

#include "store/listing_rows.h"

namespace kestrel::ftp {

class ListingLines {
 public:
  // `now` decides which dates show a time of day (this year) or the year.
  explicit ListingLines(std::time_t now);

  // "drwxr-x---   1 owner    group         size Mon DD HH:MM name\r\n".
  // statForm marks links 'l'; a listing shows links and directories as 'd'.
  void append(std::string& out, const store::ListingEntry& entry, std::string_view name, bool statForm = false);

 private:
  // Twelve characters: "Mon DD HH:MM" this year, "Mon DD YYYY " otherwise.
  const char* dateText(const store::StoredTime& t);

  int thisYear_;
  store::StoredTime last_{};
  bool haveLast_ = false;
  char date_[24] = {};
};

}  // namespace kestrel::ftp
