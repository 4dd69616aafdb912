// The working directory and the resolvers that turn a client path into a
// row of the virtual tree.
#include <algorithm>
#include <cctype>

#include "ftp/session.h"
#include "store/records.h"

namespace kestrel::ftp {

namespace {

std::string filterFor(std::int64_t parent, const std::string& name) {
  return "parent=" + std::to_string(parent) + " and name=" + store::quoteText(name);
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

std::int64_t CUserSocket::resolvePath(const std::string& path, std::vector<std::string>* shown) {
  store::Database& db = *store::sharedDatabase();
  if (shown) shown->assign(dirNames_ + 1, dirNames_ + depth_ + 1);
  if (path == ".") return currentId();
  if (path == "..") {
    if (shown && !shown->empty()) shown->pop_back();
    store::CDBPathFind row(db);
    row.setFilter("id=" + std::to_string(currentId()));
    row.open();
    return row.isEmpty() ? 0 : row.row().parent;
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

  store::CDBPathFind finder(db);
  std::size_t at = 0;
  while (at < rest.size()) {
    if (isSeparator(rest[at])) ++at;
    if (at >= rest.size()) break;
    std::size_t end = at;
    while (end < rest.size() && !isSeparator(rest[end])) ++end;
    finder.setFilter(filterFor(position, rest.substr(at, end - at)));
    finder.requery();
    if (finder.isEmpty()) return 0;
    position = finder.row().id;
    // The row's own spelling, as CWD keeps it for PWD.
    if (shown) shown->push_back(finder.row().name);
    at = end;
  }
  return position;
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
  if (!requireLogin()) return;
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

  store::Database& db = *store::sharedDatabase();
  store::CDBFile walk(db);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t slash = text.find('/', at);
    std::string component = text.substr(at, slash - at);
    at = slash + 1;
    walk.setFilter(filterFor(ids[level], component) + " and directory=YES");
    walk.requery();
    if (walk.isEmpty() || level + 1 >= kMaxDepth) {
      if (replyWanted) reply("550 %s: No such directory\r\n", shown.c_str());
      return;
    }
    ++level;
    ids[level] = walk.row().link != 0 ? walk.row().link : walk.row().id;
    names[level] = walk.row().name;
  }

  store::CDBFile target(db);
  target.setFilter("id=" + std::to_string(ids[level]));
  target.open();
  if (target.isEmpty() || !store::permits(principal(), target.row(), store::Access::Execute)) {
    if (replyWanted) reply("550 %s:  Access denied.\r\n", shown.c_str());
    return;
  }
  const std::string& description = target.row().description;
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
  if (!requireLogin()) return;
  if (depth_ == 0) {
    reply("250 CDUP command successful.\r\n");
    return;
  }
  store::CDBFile row(*store::sharedDatabase());
  row.setFilter("id=" + std::to_string(dirIds_[depth_ - 1]));
  row.open();
  if (row.isEmpty() || !store::permits(principal(), row.row(), store::Access::Execute)) {
    reply("550 CDUP unsuccessful.  Access denied.\r\n");
    return;
  }
  --depth_;
  const std::string& description = row.row().description;
  if (!description.empty() && !seen(dirIds_[depth_])) {
    std::string message = description;
    if (message.back() != '\n') message += "\r\n";
    rawSend(multiLine("250", message + "CDUP command successful."));
  } else {
    reply("250 CDUP command successful.\r\n");
  }
}

void CUserSocket::cmdPwd(const std::string&) {
  if (!requireLogin()) return;
  std::string text = quotedPathName({dirNames_ + 1, dirNames_ + depth_ + 1});
  reply("257 \"%s\" is the current directory.\r\n", text.c_str());
}

}  // namespace kestrel::ftp
