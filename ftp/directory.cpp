// The working directory and the resolvers that turn a client path into a
// row of the virtual tree.
#include <algorithm>
#include <cctype>

#include "ftp/session.h"
#include "store/generation.h"
#include "store/queries.h"
#include "store/records.h"

namespace kestrel::ftp {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// How long a kept row may miss changes that other programs (a second server
// on the same PostgreSQL database, a script) make to files.
constexpr auto kKeptRowAge = std::chrono::seconds(1);

}  // namespace

std::int64_t CUserSocket::resolvePath(const std::string& path, std::vector<std::string>* shown) {
  return walkPath(path, shown, nullptr);
}

std::optional<store::PlacedFile> CUserSocket::resolvePlacedFile(const std::string& path) {
  std::string last;
  std::int64_t position = walkPath(path, nullptr, &last);
  if (position == 0) return std::nullopt;
  // The last level's look-up and the row's read are one statement.
  if (last.empty()) return store::placedFileById(database(), position);
  return store::placedFileByName(database(), position, last);
}

std::int64_t CUserSocket::walkPath(const std::string& path, std::vector<std::string>* shown, std::string* last) {
  store::Database& db = database();
  if (shown) shown->assign(dirNames_ + 1, dirNames_ + depth_ + 1);
  if (path == ".") return currentId();
  if (path == "..") {
    if (shown && !shown->empty()) shown->pop_back();
    return store::parentOf(db, currentId());
  }
  if (path == "/" || path == "\\") {
    if (shown) shown->clear();
    return rootId();
  }

  std::string rest = path;
  std::int64_t position = currentId();
  if (!rest.empty() && isSeparator(rest[0])) {
    rest.erase(0, 1);
    position = rootId();
    if (shown) shown->clear();
  }
  for (char& c : rest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();

  std::size_t at = 0;
  while (at < rest.size()) {
    if (isSeparator(rest[at])) ++at;
    if (at >= rest.size()) break;
    std::size_t end = at;
    while (end < rest.size() && !isSeparator(rest[end])) ++end;
    if (last && end + 1 >= rest.size()) {
      *last = rest.substr(at, end - at);
      break;
    }
    auto found = store::childByName(db, position, std::string_view(rest).substr(at, end - at));
    if (!found) return 0;
    position = found->id;
    // The row's own spelling, as CWD keeps it for PWD.
    if (shown) shown->push_back(found->name);
    at = end;
  }
  return position;
}

std::optional<store::FileRecord> CUserSocket::directoryRow(std::int64_t id) {
  auto now = std::chrono::steady_clock::now();
  // Read before the row: a change made while it is read is seen next time.
  std::uint64_t generation = store::filesGeneration();
  if (cwdRow_ && cwdRow_->id == id && cwdRowGeneration_ == generation && now - cwdRowRead_ < kKeptRowAge)
    return cwdRow_;
  std::optional<store::FileRecord> row = store::fileById(database(), id);
  if (id == currentId() && row) {
    cwdRow_ = row;
    cwdRowGeneration_ = generation;
    cwdRowRead_ = now;
  }
  return row;
}

std::int64_t CUserSocket::resolveParent(const std::string& path, std::vector<std::string>* shown) {
  std::size_t slash = path.rfind('/');
  if (slash == 0) {
    // "/name": the parent is the root, never the working directory.
    if (shown) shown->clear();
    return rootId();
  }
  if (slash == std::string::npos) {
    if (shown) shown->assign(dirNames_ + 1, dirNames_ + depth_ + 1);
    return currentId();
  }
  return resolvePath(path.substr(0, slash), shown);
}

bool CUserSocket::seen(std::int64_t directoryId) {
  if (std::find(seenDirectories_.begin(), seenDirectories_.end(), directoryId) != seenDirectories_.end())
    return true;
  seenDirectories_.push_back(directoryId);
  return false;
}

void CUserSocket::cmdCwd(const std::string& argument) { changeDirectory(argument, true); }
void CUserSocket::cmdCdup(const std::string&) { changeToParent(); }

void CUserSocket::changeDirectory(const std::string& argument, bool replyWanted) {
  if (argument == ".") {
    if (replyWanted) reply("250 CWD command successful.\r\n");
    return;
  }
  if (argument == "..") {
    if (replyWanted) changeToParent();
    return;
  }
  std::int64_t ids[kMaxDepth];
  std::string names[kMaxDepth];
  std::copy(dirIds_, dirIds_ + depth_ + 1, ids);
  std::copy(dirNames_, dirNames_ + depth_ + 1, names);
  int level = depth_;

  std::string shown = argument;
  if (!shown.empty() && shown[0] == '/') {
    level = 0;
    shown.erase(0, 1);
  }
  std::string text = shown;
  if (!text.empty() && text.back() != '/') text += '/';

  store::Database& db = database();
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t slash = text.find('/', at);
    std::string component = text.substr(at, slash - at);
    at = slash + 1;
    auto walk = store::childDirectory(db, ids[level], component);
    if (!walk || level + 1 >= kMaxDepth) {
      if (replyWanted) reply("550 %s: No such directory\r\n", shown.c_str());
      return;
    }
    ++level;
    ids[level] = walk->link != 0 ? walk->link : walk->id;
    names[level] = walk->name;
  }

  auto target = store::fileById(db, ids[level]);
  if (!target || !store::permits(principal(), *target, store::Access::Execute)) {
    if (replyWanted) reply("550 %s:  Access denied.\r\n", shown.c_str());
    return;
  }
  const std::string& description = target->description;
  bool show = !description.empty() && !seen(ids[level]);
  if (replyWanted) {
    if (show) {
      std::string message = description;
      if (message.back() != '\n') message += "\r\n";
      rawSend(multiLine("250", message + "CWD command successful."));
    } else {
      reply("250 CWD command successful.\r\n");
    }
  }
  std::copy(ids, ids + level + 1, dirIds_);
  std::copy(names, names + level + 1, dirNames_);
  depth_ = level;
}

void CUserSocket::changeToParent() {
  if (depth_ == 0) {
    reply("250 CDUP command successful.\r\n");
    return;
  }
  auto row = store::fileById(database(), dirIds_[depth_ - 1]);
  if (!row || !store::permits(principal(), *row, store::Access::Execute)) {
    reply("550 CDUP unsuccessful.  Access denied.\r\n");
    return;
  }
  --depth_;
  const std::string& description = row->description;
  if (!description.empty() && !seen(dirIds_[depth_])) {
    std::string message = description;
    if (message.back() != '\n') message += "\r\n";
    rawSend(multiLine("250", message + "CDUP command successful."));
  } else {
    reply("250 CDUP command successful.\r\n");
  }
}

void CUserSocket::cmdPwd(const std::string&) {
  std::string text = quotedPathName({dirNames_ + 1, dirNames_ + depth_ + 1});
  reply("257 \"%s\" is the current directory.\r\n", text.c_str());
}

}  // namespace kestrel::ftp
