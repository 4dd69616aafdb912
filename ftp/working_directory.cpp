#include "ftp/working_directory.h"

#include <algorithm>
#include <cctype>

#include "store/db/database.h"
#include "store/db/generation.h"
#include "store/queries.h"

namespace kestrel::ftp {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// How long a kept row may miss changes that other programs (a second server
// on the same PostgreSQL database, a script) make to files.
constexpr auto kKeptRowAge = std::chrono::seconds(1);

}  // namespace

ClientPath splitClientPath(const std::string& path) {
  ClientPath out;
  std::string rest = path;
  if (!rest.empty() && isSeparator(rest[0])) {
    rest.erase(0, 1);
    out.absolute = true;
  }
  for (char& c : rest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();

  // One separator is skipped before each name: a second one ends an empty name.
  std::size_t at = 0;
  while (at < rest.size()) {
    if (isSeparator(rest[at])) ++at;
    if (at >= rest.size()) break;
    std::size_t end = at;
    while (end < rest.size() && !isSeparator(rest[end])) ++end;
    out.names.push_back(rest.substr(at, end - at));
    at = end;
  }
  return out;
}

DirectoryArgument splitDirectoryArgument(const std::string& argument) {
  DirectoryArgument out;
  out.shown = argument;
  if (!out.shown.empty() && out.shown[0] == '/') {
    out.absolute = true;
    out.shown.erase(0, 1);
  }
  std::string text = out.shown;
  if (!text.empty() && text.back() != '/') text += '/';
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t slash = text.find('/', at);
    out.names.push_back(text.substr(at, slash - at));
    at = slash + 1;
  }
  return out;
}

WorkingDirectory::WorkingDirectory() : route_{{0}, {std::string()}} { seenDirectories_.reserve(5); }

void WorkingDirectory::reset(std::int64_t rootId) { route_ = {{rootId}, {std::string()}}; }

void WorkingDirectory::toRoot() { route_ = {{rootId()}, {std::string()}}; }

void WorkingDirectory::leave() {
  route_.ids.pop_back();
  route_.names.pop_back();
}

std::optional<Route> WorkingDirectory::walk(const DirectoryArgument& argument, const DirectoryLookup& lookup) const {
  Route route = route_;
  if (argument.absolute) route = {{rootId()}, {std::string()}};
  for (const std::string& name : argument.names) {
    std::optional<Step> step = lookup(route.ids.back(), name);
    if (!step || route.ids.size() >= static_cast<std::size_t>(kMaxDepth)) return std::nullopt;
    route.ids.push_back(step->id);
    route.names.push_back(std::move(step->name));
  }
  return route;
}

std::int64_t WorkingDirectory::resolvePath(store::Database& db, const std::string& path,
                                           std::vector<std::string>* shown) {
  if (shown) *shown = shownNames();
  if (path == ".") return currentId();
  if (path == "..") {
    if (shown && !shown->empty()) shown->pop_back();
    return store::parentOf(db, currentId());
  }
  if (path == "/" || path == "\\") {
    if (shown) shown->clear();
    return rootId();
  }

  ClientPath walked = splitClientPath(path);
  std::int64_t position = currentId();
  if (walked.absolute) {
    position = rootId();
    if (shown) shown->clear();
  }
  for (const std::string& name : walked.names) {
    auto found = store::childByName(db, position, name);
    if (!found) return 0;
    position = found->id;
    // The row's own spelling, as CWD keeps it for PWD.
    if (shown) shown->push_back(found->name);
  }
  return position;
}

std::optional<store::PlacedFile> WorkingDirectory::resolvePlacedFile(store::Database& db, const std::string& path) {
  if (path == "." || path == ".." || path == "/" || path == "\\") {
    std::int64_t id = resolvePath(db, path, nullptr);
    if (id == 0) return std::nullopt;
    return store::placedFileById(db, id);
  }
  ClientPath walked = splitClientPath(path);
  std::int64_t position = walked.absolute ? rootId() : currentId();
  if (walked.names.empty()) return store::placedFileById(db, position);
  for (std::size_t i = 0; i + 1 < walked.names.size(); ++i) {
    auto found = store::childByName(db, position, walked.names[i]);
    if (!found) return std::nullopt;
    position = found->id;
  }
  // The last level's look-up and the row's read are one statement.
  return store::placedFileByName(db, position, walked.names.back());
}

std::int64_t WorkingDirectory::resolveParent(store::Database& db, const std::string& path,
                                             std::vector<std::string>* shown) {
  std::size_t slash = path.rfind('/');
  if (slash == 0) {
    // "/name": the parent is the root, never the working directory.
    if (shown) shown->clear();
    return rootId();
  }
  if (slash == std::string::npos) {
    if (shown) *shown = shownNames();
    return currentId();
  }
  return resolvePath(db, path.substr(0, slash), shown);
}

std::optional<store::FileRecord> WorkingDirectory::directoryRow(store::Database& db, std::int64_t id) {
  auto now = std::chrono::steady_clock::now();
  // Read before the row: a change made while it is read is seen next time.
  std::uint64_t generation = db.filesGeneration();
  if (cwdRow_ && cwdRow_->id == id && cwdRowGeneration_ == generation && now - cwdRowRead_ < kKeptRowAge)
    return cwdRow_;
  std::optional<store::FileRecord> row = store::fileById(db, id);
  if (id == currentId() && row) {
    cwdRow_ = row;
    cwdRowGeneration_ = generation;
    cwdRowRead_ = now;
  }
  return row;
}

bool WorkingDirectory::seen(std::int64_t directoryId) {
  if (std::find(seenDirectories_.begin(), seenDirectories_.end(), directoryId) != seenDirectories_.end())
    return true;
  seenDirectories_.push_back(directoryId);
  return false;
}

}  // namespace kestrel::ftp
