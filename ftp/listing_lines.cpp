#include "ftp/listing_lines.h"

#include <cstdio>
#include <cstring>

namespace kestrel::ftp {

namespace {

// Fixed English names: listings are read by programs, whatever the locale.
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Right-aligned in `width` columns, never cut (as printf's %*s).
void appendPadded(std::string& out, std::string_view text, std::size_t width) {
  if (text.size() < width) out.append(width - text.size(), ' ');
  out.append(text);
}

}  // namespace

ListingLines::ListingLines(std::time_t now) {
  std::tm today{};
  localtime_r(&now, &today);
  thisYear_ = today.tm_year + 1900;
}

const char* ListingLines::dateText(const store::StoredTime& t) {
  if (haveLast_ && t.year == last_.year && t.month == last_.month && t.day == last_.day && t.hour == last_.hour &&
      t.minute == last_.minute)
    return date_;
  const char* month = kMonths[(t.month + 11) % 12];
  if (t.year != thisYear_)
    std::snprintf(date_, sizeof date_, "%s %02d %d ", month, t.day, t.year);
  else
    std::snprintf(date_, sizeof date_, "%s %02d %02d:%02d", month, t.day, t.hour, t.minute);
  last_ = t;
  haveLast_ = true;
  return date_;
}

void ListingLines::append(std::string& out, const store::ListingEntry& e, std::string_view name, bool statForm) {
  char type = '-';
  if (statForm) type = e.link ? 'l' : e.directory ? 'd' : '-';
  else if (e.directory || e.link) type = 'd';
  out += type;
  for (int i = 0; i < 9; ++i) out += (e.bits & (0400 >> i)) ? "rwx"[i % 3] : '-';
  out.append("   1 ");
  appendPadded(out, e.owner, 8);
  out += ' ';
  appendPadded(out, e.group, 8);
  out += ' ';
  char size[24];
  int n = std::snprintf(size, sizeof size, "%9lld", static_cast<long long>(e.size));
  out.append(size, static_cast<std::size_t>(n));
  out += ' ';
  out.append(dateText(e.modified));
  out += ' ';
  out.append(name);
  out.append("\r\n");
}

}  // namespace kestrel::ftp
