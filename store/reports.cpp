#include "store/reports.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <set>
#include <strings.h>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace kestrel::store {

namespace {

constexpr const char* kEol = "\r\n";
constexpr std::size_t kMaxIndent = 54;

[[gnu::format(printf, 2, 3)]] void appendf(std::string& out, const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof buffer) {
    out.append(buffer, static_cast<std::size_t>(n));
    return;
  }
  // Names are not cut where the layout lets them run long, so grow instead.
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(big.data(), big.size(), format, args);
  va_end(args);
  big.pop_back();
  out += big;
}

void line(std::string& out, const std::string& text = {}) {
  out += text;
  out += kEol;
}

std::string id(std::int64_t value) { return std::to_string(value); }

void banner(std::string& out, const std::string& title, std::size_t dateIndent, std::time_t now) {
  line(out);
  line(out, std::string(33, ' ') + title);
  line(out, std::string(33, ' ') + std::string(title.size(), '='));
  line(out, std::string(dateIndent, ' ') + formatLocalTime(now, "%x"));
  line(out);
}

// Domain names for the headings, each read once per report.
class DomainNames {
 public:
  explicit DomainNames(Database& db) : homes_(db) {}
  const std::string& name(std::int64_t domain) {
    auto it = names_.find(domain);
    if (it != names_.end()) return it->second;
    homes_.setFilter("id=" + id(domain));
    homes_.requery();
    return names_[domain] = homes_.isEmpty() ? std::string() : homes_.row().name;
  }
  void heading(std::string& out, std::int64_t domain) {
    line(out, "Domain: " + name(domain));
    line(out, std::string(30, '='));
  }

 private:
  CDBHome homes_;
  std::map<std::int64_t, std::string> names_;
};

std::string cut(const std::string& text, std::size_t width) { return text.substr(0, width); }

std::string bytes(double sum) {
  std::string out;
  appendf(out, "%.0f", sum);
  return out;
}

// ---------------------------------------------------------------- users

struct Tally {
  long long users = 0, groups = 0, files = 0;
  double bytes = 0;
  void add(const UserReportRecord& r) {
    ++users;
    files += r.countOfSize;
    bytes += r.sumOfSize;
  }
};

void summary(std::string& out, const char* heading, const Tally& t) {
  line(out, heading);
  appendf(out, "   Users: %lld users in %lld groups\r\n", t.users, t.groups);
  appendf(out, "   Files: %lld files using %s bytes\r\n", t.files, bytes(t.bytes).c_str());
  line(out);
}

void userLines(std::string& out, const UserReportRecord& r) {
  appendf(out, "%-10s %-40.40s Last On: %s\r\n", r.login.c_str(), r.name.c_str(),
          formatLocalTime(r.lastOn, "%x %X").c_str());
  std::string access = r.locked ? "**Account Locked**" : "Max Users: " + id(r.maxUsers);
  appendf(out, "           %-40.40s %s\r\n", r.address1.c_str(), access.c_str());
  appendf(out, "           %-40.40s DL's: %-5lld  UL's: %-5lld\r\n", r.address2.c_str(),
          static_cast<long long>(r.downloads), static_cast<long long>(r.uploads));
  std::string place = cut(r.city + ", " + r.state + "  " + r.postal + "   " + r.country, 40);
  appendf(out, "           %-40s %lld files, %s bytes\r\n", place.c_str(), static_cast<long long>(r.countOfSize),
          bytes(r.sumOfSize).c_str());
  line(out);
}

// ---------------------------------------------------------------- files

char bit(bool set, char c) { return set ? c : '-'; }

std::string fileDate(std::int64_t modified, std::time_t now) {
  if (modified == 0) return std::string(12, ' ');
  std::tm then{}, today{};
  std::time_t t = static_cast<std::time_t>(modified);
  localtime_r(&t, &then);
  localtime_r(&now, &today);
  return formatLocalTime(modified, then.tm_year == today.tm_year ? "%b %d %H:%M" : "%b %d %Y ");
}

void entryLine(std::string& out, const DirectoryRecord& r, const std::string& name, std::time_t now) {
  char type = r.link != 0 ? 'l' : r.directory ? 'd' : '-';
  std::string bits{type,
                   bit(r.userRead, 'r'),  bit(r.userWrite, 'w'),  bit(r.userExecute, 'x'),
                   bit(r.groupRead, 'r'), bit(r.groupWrite, 'w'), bit(r.groupExecute, 'x'),
                   bit(r.otherRead, 'r'), bit(r.otherWrite, 'w'), bit(r.otherExecute, 'x')};
  appendf(out, "    %s %3lld %-8.8s %-8.8s %9lld %s %s\r\n", bits.c_str(), static_cast<long long>(r.downloads),
          r.login.c_str(), r.groupName.c_str(), static_cast<long long>(r.size), fileDate(r.modified, now).c_str(),
          name.c_str());
}

// ---------------------------------------------------------------- tree

class TreePrinter {
 public:
  TreePrinter(Database& db, std::string& out) : out_(out), groups_(db), users_(db), entries_(db) {}

  void domain(const HomeRecord& home) {
    line(out_, "D " + home.name);
    groups_.setFilter("domain=" + id(home.id));
    groups_.setSort("name,id");
    groups_.requery();
    for (const GroupRecord& g : std::vector<GroupRecord>(groups_.rows())) group(g, 2);
    line(out_);
  }

  void group(const GroupRecord& g, std::size_t indent) {
    line(out_, pad(indent) + "G " + g.name);
    users_.setFilter("`group`=" + id(g.id));
    users_.setSort("login,id");
    users_.requery();
    for (const UserRecord& u : std::vector<UserRecord>(users_.rows())) user(u, indent + 2);
  }

  // Every row directly under the root, files included; only the levels
  // below keep to directories.
  void user(const UserRecord& u, std::size_t indent) {
    line(out_, pad(indent) + "U " + u.login + " (" + u.name + ")");
    // A user without a root has nothing below it ("parent=0" would be every root).
    if (u.rootDirectory == 0) return;
    for (const PathFindRecord& r : rowsUnder(u.rootDirectory, false)) entry(r, indent + 2);
  }

  // A directory entry and everything below it, depth first. Iterative, and
  // each directory is entered once, so a Parent loop in the data cannot
  // print without end.
  void entry(const PathFindRecord& start, std::size_t indent) {
    std::set<std::int64_t> entered;
    std::vector<std::pair<PathFindRecord, std::size_t>> stack{{start, indent}};
    while (!stack.empty()) {
      auto [row, level] = stack.back();
      stack.pop_back();
      if (row.link != 0) {
        line(out_, pad(level) + "L " + row.name);
        continue;
      }
      line(out_, pad(level) + "P " + row.name);
      if (!entered.insert(row.id).second) continue;
      std::vector<PathFindRecord> below = rowsUnder(row.id, true);
      for (auto it = below.rbegin(); it != below.rend(); ++it) stack.emplace_back(*it, level + 2);
    }
  }

 private:
  std::vector<PathFindRecord> rowsUnder(std::int64_t parent, bool directoriesOnly) {
    entries_.setFilter("parent=" + id(parent) + (directoriesOnly ? " and directory=YES" : ""));
    entries_.setSort("name,id");
    entries_.requery();
    return entries_.rows();
  }

  static std::string pad(std::size_t indent) { return std::string(std::min(indent, kMaxIndent), ' '); }

  std::string& out_;
  CDBGroup groups_;
  CDBUser users_;
  CDBPathFind entries_;
};

// ---------------------------------------------------------------- log

bool isAnonymous(const std::string& login) { return strcasecmp(login.c_str(), "anonymous") == 0; }

std::string otherColumn(const ReportLogRecord& r) {
  switch (r.actionId) {
    case 1: case 2: case 5: case 6: case 7: case 11:  // upload, download, chmod, chgrp, chown, rename
      return r.fileName;
    case 9: case 12:  // console message, delete
      return r.more;
    case 3:  // login
      return r.ip;
    default:
      return {};
  }
}

}  // namespace

std::string formatLocalTime(std::int64_t when, const char* format) {
  if (when == 0) return {};
  std::time_t t = static_cast<std::time_t>(when);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return {};
  char text[128];
  std::size_t n = std::strftime(text, sizeof text, format, &tm);
  return std::string(text, n);
}

bool writeTextFile(const std::string& path, const std::string& text) {
  auto file = platform::File::createWrite(path);
  if (!file.ok()) return false;
  return file.value.writeAll(text.data(), text.size());
}

bool reportAccepts(ReportKind report, ScopeKind kind) {
  if (kind == ScopeKind::System) return true;
  switch (report) {
    case ReportKind::User: return kind == ScopeKind::Domain;
    case ReportKind::File: return kind == ScopeKind::Domain || kind == ScopeKind::User || kind == ScopeKind::Directory;
    case ReportKind::Tree: return true;
    case ReportKind::Log: return kind != ScopeKind::Directory;
  }
  return false;
}

std::string userReport(Database& db, const ReportScope& scope, std::time_t now) {
  CDBUserReport users(db);
  bool wholeSystem = scope.kind != ScopeKind::Domain;
  if (!wholeSystem) users.setFilter("domain=" + id(scope.id));
  users.setSort("domain,login,id");
  users.open();

  std::string out;
  banner(out, "User Report", 35, now);
  DomainNames domains(db);
  Tally system, domain;
  bool inDomain = false;
  std::int64_t group = 0;
  const auto& rows = users.rows();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const UserReportRecord& r = rows[i];
    if (!inDomain || r.domain != rows[i - 1].domain) {
      domains.heading(out, r.domain);
      domain = Tally{};
      inDomain = false;
    }
    if (!inDomain || r.group != group) {
      line(out);
      line(out, "***Group: " + r.groupName);
      line(out);
      ++domain.groups;
      ++system.groups;
      group = r.group;
    }
    inDomain = true;
    userLines(out, r);
    domain.add(r);
    system.add(r);
    if (i + 1 == rows.size() || rows[i + 1].domain != r.domain) {
      line(out);
      summary(out, "Domain Summary:", domain);
    }
  }
  if (wholeSystem) {
    line(out);
    line(out, "-------");
    line(out);
    summary(out, "System Summary:", system);
  }
  return out;
}

std::string fileReport(Database& db, const ReportScope& scope, bool summariesOnly, std::time_t now) {
  std::string out;
  banner(out, "File Report", 35, now);

  std::string filter = "directory=yes";
  if (scope.kind == ScopeKind::Domain) {
    filter = "domain=" + id(scope.id) + " and directory=yes";
  } else if (scope.kind == ScopeKind::Directory) {
    filter = "parent=" + id(scope.id) + " and directory=yes";
  } else if (scope.kind == ScopeKind::User) {
    CDBUser user(db);
    user.setFilter("id=" + id(scope.id));
    user.open();
    // A missing user, or one without a root, has no directories ("parent=0"
    // would report every root of the system).
    if (user.isEmpty() || user.row().rootDirectory == 0) return out;
    filter = "parent=" + id(user.row().rootDirectory) + " and directory=yes";
  }
  CDBDirectory directories(db);
  directories.setFilter(filter);
  directories.setSort("domain,userid,parent,id");
  directories.open();

  DomainNames domains(db);
  CDBDirectory entries(db);
  bool first = true;
  std::int64_t domain = 0;
  for (const DirectoryRecord& d : directories.rows()) {
    if (first || d.domain != domain) domains.heading(out, d.domain);
    first = false;
    domain = d.domain;
    line(out, d.parent != 0 ? d.name : d.login + " root directory");
    line(out, "  Path: " + d.path);
    if (!summariesOnly) entryLine(out, d, ".", now);
    entries.setFilter("parent=" + id(d.id));
    entries.setSort("directory,files.name,id");
    entries.requery();
    long long count = 0, size = 0;
    for (const DirectoryRecord& e : entries.rows()) {
      ++count;
      size += e.size;
      if (!summariesOnly) entryLine(out, e, e.name, now);
    }
    // 64-bit: a directory past 2 GB must not print a negative total.
    appendf(out, "    %lld files, %lld bytes\r\n", count, size);
    line(out);
  }
  return out;
}

std::string treeReport(Database& db, const ReportScope& scope, std::time_t now) {
  std::string out;
  banner(out, "Tree Report", 35, now);
  TreePrinter printer(db, out);
  switch (scope.kind) {
    case ScopeKind::System:
    case ScopeKind::Domain: {
      CDBHome homes(db);
      if (scope.kind == ScopeKind::Domain) homes.setFilter("id=" + id(scope.id));
      homes.setSort("id");
      homes.open();
      for (const HomeRecord& h : homes.rows()) printer.domain(h);
      break;
    }
    case ScopeKind::Group: {
      CDBGroup groups(db);
      groups.setFilter("id=" + id(scope.id));
      groups.open();
      if (!groups.isEmpty()) printer.group(groups.row(), 0);
      break;
    }
    case ScopeKind::User: {
      CDBUser users(db);
      users.setFilter("id=" + id(scope.id));
      users.open();
      if (!users.isEmpty()) printer.user(users.row(), 0);
      break;
    }
    case ScopeKind::Directory: {
      CDBPathFind entry(db);
      entry.setFilter("id=" + id(scope.id));
      entry.open();
      if (!entry.isEmpty()) printer.entry(entry.row(), 0);
      break;
    }
  }
  return out;
}

std::string logReport(Database& db, const ReportScope& scope, std::time_t now) {
  CDBReportLog log(db);
  switch (scope.kind) {
    case ScopeKind::User:
      log.setFilter("userid=" + id(scope.id));
      log.setSort("id");
      break;
    case ScopeKind::Domain:
      log.setFilter("domain=" + id(scope.id));
      log.setSort("domain,login,id");
      break;
    case ScopeKind::Group:
      // A selected group limits the report to the group's members.
      log.setFilter("userid in (select id from users where `group`=" + id(scope.id) + ")");
      log.setSort("domain,users_1.login,id");
      break;
    default:
      log.setSort("domain,users_1.login,id");
      break;
  }
  log.open();

  std::string out;
  banner(out, "Log Report", 34, now);
  DomainNames domains(db);
  const ReportLogRecord* previous = nullptr;
  for (const ReportLogRecord& r : log.rows()) {
    if (!previous || r.domain != previous->domain) domains.heading(out, r.domain);
    bool anonymous = isAnonymous(r.login);
    if (!previous || r.userId != previous->userId || (anonymous && r.ip != previous->ip)) {
      line(out);
      if (anonymous) {
        line(out, "  " + r.login + " (" + r.ip + ")");
        line(out, "  " + std::string(22, '-'));
      } else {
        line(out, "  " + r.login);
        line(out, "  " + std::string(10, '-'));
      }
      line(out, "    When              What               Other");
      line(out, "    ----------------- -----------------  ----------------");
    }
    appendf(out, "    %-17s %-17s  %s\r\n", formatLocalTime(r.timeStamp, "%x,%X").c_str(), r.actionName.c_str(),
            otherColumn(r).c_str());
    previous = &r;
  }
  return out;
}

}  // namespace kestrel::store
