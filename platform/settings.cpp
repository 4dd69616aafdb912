#include "platform/settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <unordered_map>

namespace kestrel::platform {

namespace {

constexpr char kCompanyDir[] = "Larkspur Systems";
constexpr char kFileName[] = "Kestrel.ini";
// Files touched this recently may change again within the file system's
// timestamp granularity without their stamp changing, so they are re-read.
constexpr long long kRacyWindowNs = 2'000'000'000LL;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Lines never hold '\n', so it cannot occur inside either half of the key.
std::string entryKey(std::string_view section, std::string_view name) {
  return fold(section) + '\n' + fold(name);
}

bool hasControl(std::string_view s) {
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return true;
  }
  return false;
}

bool validSection(std::string_view s) {
  return !s.empty() && !hasControl(s) && s.find_first_of("[]") == std::string_view::npos;
}

bool validName(std::string_view s) {
  return !s.empty() && !hasControl(s) && s.find('=') == std::string_view::npos &&
         s.front() != ';' && s.front() != '#' && s.front() != '[';
}

// Tabs are fine inside a value; line breaks and NUL would end it early.
bool validValue(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

enum class LineKind { kOther, kSection, kValue };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;
  std::string_view value;
};

ParsedLine parseLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // files edited elsewhere
  std::string_view t = trim(line);
  if (t.empty() || t.front() == ';' || t.front() == '#') return {};
  if (t.front() == '[') {
    if (t.back() != ']') return {};
    return {LineKind::kSection, trim(t.substr(1, t.size() - 2)), {}};
  }
  auto eq = t.find('=');
  if (eq == std::string_view::npos) return {};
  std::string_view name = trim(t.substr(0, eq));
  if (name.empty()) return {};
  return {LineKind::kValue, name, trim(t.substr(eq + 1))};
}

long long nanos(const struct timespec& ts) {
  return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

long long nowNanos() {
  struct timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return nanos(ts);
}

std::string parentOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

// The file as lines, plus an index of its values for cheap lookups.
struct Settings::Document {
  struct Entry {
    std::string section;
    std::string name;
    std::string value;
  };
  std::vector<std::string> lines;
  std::vector<Entry> entries;                         // file order
  std::unordered_map<std::string, std::size_t> index;  // entryKey -> first entry

  explicit Document(std::vector<std::string> fileLines) : lines(std::move(fileLines)) {
    std::string section;
    bool inSection = false;
    for (const std::string& line : lines) {
      ParsedLine p = parseLine(line);
      if (p.kind == LineKind::kSection) {
        section = std::string(p.name);
        inSection = true;
      } else if (p.kind == LineKind::kValue && inSection) {
        if (index.emplace(entryKey(section, p.name), entries.size()).second) {
          entries.push_back({section, std::string(p.name), std::string(p.value)});
        }
      }
    }
  }

  const Entry* find(std::string_view section, std::string_view name) const {
    auto it = index.find(entryKey(section, name));
    return it == index.end() ? nullptr : &entries[it->second];
  }

  std::string text() const {
    std::string out;
    for (const std::string& line : lines) {
      out += line;
      out += '\n';
    }
    return out;
  }
};

namespace {

struct Loaded {
  std::vector<std::string> lines;
  struct stat st{};
  bool exists = false;
  Status status;
};

// ENOENT is not a failure: the store simply holds no values yet.
Loaded loadFile(const std::string& path) {
  Loaded out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) out.status = Status::fromErrno(("open " + path).c_str());
    return out;
  }
  std::string text;
  if (::fstat(fd, &out.st) != 0) {
    out.status = Status::fromErrno(("stat " + path).c_str());
    ::close(fd);
    return out;
  }
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.status = Status::fromErrno(("read " + path).c_str());
      ::close(fd);
      return out;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  out.exists = true;
  std::size_t start = 0;
  while (start < text.size()) {
    auto nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    out.lines.emplace_back(text, start, nl - start);
    start = nl + 1;
  }
  return out;
}

}  // namespace

Status makeParentDirectories(const std::string& path) {
  std::string parent = parentOf(path);
  struct stat st{};
  if (::stat(parent.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Status::success();
    return Status::fromCode(ENOTDIR, parent.c_str());
  }
  if (errno != ENOENT) return Status::fromErrno(("stat " + parent).c_str());
  if (parent != path) {
    Status above = makeParentDirectories(parent);
    if (!above.ok()) return above;
  }
  if (::mkdir(parent.c_str(), 0700) != 0) {
    if (errno == EEXIST) return Status::success();  // made by someone else meanwhile
    return Status::fromErrno(("mkdir " + parent).c_str());
  }
  // The umask may have taken the owner's own bits.
  if (::chmod(parent.c_str(), 0700) != 0) return Status::fromErrno(("chmod " + parent).c_str());
  return Status::success();
}

Status writePrivateFileAtomically(const std::string& path, std::string_view content) {
  if (path.empty()) return Status::fromCode(ENOENT, "no settings path");
  Status dirs = makeParentDirectories(path);
  if (!dirs.ok()) return dirs;
  std::string temp = path + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Status::fromErrno(("create " + temp).c_str());
  auto fail = [&](const char* what) {
    Status s = Status::fromErrno((std::string(what) + " " + temp).c_str());
    ::close(fd);
    ::unlink(temp.c_str());
    return s;
  };
  // The umask may have taken bits that the owner needs, or left more than 0600.
  if (::fchmod(fd, 0600) != 0) return fail("chmod");
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("write");
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return fail("fsync");
  if (::close(fd) != 0) {
    Status s = Status::fromErrno(("close " + temp).c_str());
    ::unlink(temp.c_str());
    return s;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    Status s = Status::fromErrno(("rename " + temp).c_str());
    ::unlink(temp.c_str());
    return s;
  }
  // Make the rename itself survive a crash; failing here loses nothing we can fix.
  int dirFd = ::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return Status::success();
}

std::string Settings::defaultPath() {
  if (const char* explicitPath = std::getenv("KESTREL_SETTINGS"); explicitPath && *explicitPath) {
    return explicitPath;
  }
  std::string suffix = std::string("/") + kCompanyDir + "/" + kFileName;
  // Relative values are invalid for this variable and are ignored.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    return xdg + suffix;
  }
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else {
    // Services may start without HOME; the password database still knows it.
    struct passwd pw{};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir) {
      home = found->pw_dir;
    }
  }
  if (home.empty()) return {};
  return home + "/.config" + suffix;
}

Settings::Settings(std::string path) : path_(std::move(path)) {}

Settings::~Settings() = default;

std::shared_ptr<const Settings::Document> Settings::current() const {
  MutexLock lock(fileMutex_);
  FileStamp stamp;
  struct stat st{};
  if (::stat(path_.c_str(), &st) == 0) {
    stamp = {true, st.st_dev, st.st_ino, st.st_size, nanos(st.st_mtim), nanos(st.st_ctim)};
  }
  if (cache_ && cacheTrusted_ && stamp == cacheStamp_) return cache_;

  Loaded loaded = loadFile(path_);
  auto doc = std::make_shared<const Document>(std::move(loaded.lines));
  if (!loaded.status.ok()) return doc;  // unreadable: defaults, and try again next time
  cache_ = doc;
  if (loaded.exists) {
    const struct stat& s = loaded.st;
    cacheStamp_ = {true, s.st_dev, s.st_ino, s.st_size, nanos(s.st_mtim), nanos(s.st_ctim)};
    long long newest = std::max(cacheStamp_.mtimeNs, cacheStamp_.ctimeNs);
    cacheTrusted_ = nowNanos() - newest > kRacyWindowNs;
  } else {
    cacheStamp_ = FileStamp{};
    cacheTrusted_ = true;  // a file appearing changes the stamp
  }
  return doc;
}

int Settings::readInt(std::string_view section, std::string_view name, int def) const {
  section = trim(section);
  name = trim(name);
  if (!validSection(section) || !validName(name)) return def;
  auto doc = current();
  const Document::Entry* e = doc->find(section, name);
  if (!e) return def;
  std::string_view v = e->value;
  if (!v.empty() && v.front() == '+') v.remove_prefix(1);
  int value = 0;
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
  if (ec != std::errc() || end != v.data() + v.size() || v.empty()) return def;
  return value;
}

std::string Settings::readText(std::string_view section, std::string_view name,
                               std::string_view def) const {
  section = trim(section);
  name = trim(name);
  if (!validSection(section) || !validName(name)) return std::string(def);
  auto doc = current();
  const Document::Entry* e = doc->find(section, name);
  return e ? e->value : std::string(def);
}

SectionValues Settings::readSection(std::string_view section) const {
  section = trim(section);
  SectionValues out;
  if (!validSection(section)) return out;
  auto doc = current();
  std::string wanted = fold(section);
  for (const Document::Entry& e : doc->entries) {
    if (fold(e.section) == wanted) out.emplace_back(e.name, e.value);
  }
  return out;
}

bool Settings::writeInt(std::string_view section, std::string_view name, int value) {
  return writeText(section, name, std::to_string(value));
}

bool Settings::writeText(std::string_view section, std::string_view name, std::string_view value) {
  return update(section, {{std::string(name), std::string(value)}}, false);
}

bool Settings::writeSection(std::string_view section, const SectionValues& values) {
  return update(section, values, true);
}

Status Settings::lastError() const {
  MutexLock lock(fileMutex_);
  return lastError_;
}

bool Settings::update(std::string_view rawSection, const SectionValues& values,
                      bool wholeSection) {
  MutexLock lock(fileMutex_);
  std::string_view section = trim(rawSection);
  if (!validSection(section)) {
    lastError_ = Status::fromCode(EINVAL, "invalid section name");
    return false;
  }
  std::unordered_map<std::string, std::string> wanted;  // folded name -> line to write
  std::vector<std::string> order;
  for (const auto& [rawName, rawValue] : values) {
    std::string_view name = trim(rawName);
    if (!validName(name)) {
      lastError_ = Status::fromCode(EINVAL, "invalid value name");
      return false;
    }
    if (!validValue(rawValue)) {
      lastError_ = Status::fromCode(EINVAL, "value holds a line break or NUL");
      return false;
    }
    std::string line = std::string(name) + "=" + std::string(trim(rawValue));
    if (!wanted.emplace(fold(name), line).second) {
      lastError_ = Status::fromCode(EINVAL, "value name given twice");
      return false;
    }
    order.push_back(fold(name));
  }

  // Always start from the file as it is now, never from the cache, so that
  // edits made by hand since the last read survive.
  Loaded loaded = loadFile(path_);
  if (!loaded.status.ok()) {
    lastError_ = loaded.status;
    return false;
  }

  const std::string target = fold(section);
  std::vector<std::string> out;
  out.reserve(loaded.lines.size() + values.size() + 2);
  bool inTarget = false;
  bool seenTarget = false;      // the first block of the section has started
  bool inFirstBlock = false;
  std::size_t insertAt = 0;     // where values not yet in the file go
  std::unordered_map<std::string, bool> written;

  for (const std::string& line : loaded.lines) {
    ParsedLine p = parseLine(line);
    if (p.kind == LineKind::kSection) {
      inTarget = fold(p.name) == target;
      inFirstBlock = inTarget && !seenTarget;
      if (inFirstBlock) {
        seenTarget = true;
        out.push_back(line);
        insertAt = out.size();
        continue;
      }
    } else if (p.kind == LineKind::kValue && inTarget) {
      std::string key = fold(p.name);
      auto it = wanted.find(key);
      if (it != wanted.end() && !written[key]) {
        // Keep the spelling of the name already in the file.
        out.push_back(std::string(p.name) + "=" + it->second.substr(it->second.find('=') + 1));
        written[key] = true;
        if (inFirstBlock) insertAt = out.size();
        continue;
      }
      if (wholeSection) continue;  // values not in the new set go
      out.push_back(line);
      if (inFirstBlock) insertAt = out.size();
      continue;
    }
    out.push_back(line);
  }

  std::vector<std::string> missing;
  for (const std::string& key : order) {
    if (!written[key]) missing.push_back(wanted[key]);
  }
  if (seenTarget) {
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(insertAt), missing.begin(), missing.end());
  } else {
    if (!out.empty() && !trim(out.back()).empty()) out.emplace_back();
    out.push_back("[" + std::string(section) + "]");
    out.insert(out.end(), missing.begin(), missing.end());
  }

  auto doc = std::make_shared<const Document>(std::move(out));
  Status saved = writePrivateFileAtomically(path_, doc->text());
  if (!saved.ok()) {
    lastError_ = saved;
    return false;
  }
  lastError_ = Status::success();
  // Just written, so inside the racy window: the next read checks the file.
  cache_ = doc;
  cacheTrusted_ = false;
  return true;
}

}  // namespace kestrel::platform
