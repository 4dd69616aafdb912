// CWD, CDUP and PWD over the session's working directory.
#include "ftp/session.h"
#include "store/queries.h"
#include "store/records.h"

namespace kestrel::ftp {

namespace {
constexpr char kCwdDone[] = "250 CWD command successful.\r\n";
constexpr char kCdupDone[] = "250 CDUP command successful.\r\n";
}  // namespace

void CUserSocket::cmdCwd(const std::string& argument) { changeDirectory(argument, true); }
void CUserSocket::cmdCdup(const std::string&) { changeToParent(); }

void CUserSocket::changeDirectory(const std::string& argument, bool replyWanted) {
  if (argument == ".") {
    if (replyWanted) reply("%s", kCwdDone);
    return;
  }
  if (argument == "..") {
    if (replyWanted) changeToParent();
    return;
  }
  store::Database& db = database();
  DirectoryArgument walked = splitDirectoryArgument(argument);
  std::optional<Route> route = cwd_.walk(walked, [&db](std::int64_t parent, const std::string& name) {
    std::optional<Step> step;
    if (auto row = store::childDirectory(db, parent, name)) step = Step{row->link != 0 ? row->link : row->id, row->name};
    return step;
  });
  if (!route) {
    if (replyWanted) reply("550 %s: No such directory\r\n", walked.shown.c_str());
    return;
  }

  const std::int64_t targetId = route->ids.back();
  auto target = store::fileById(db, targetId);
  if (!target || !store::permits(principal(), *target, store::Access::Execute)) {
    if (replyWanted) reply("550 %s:  Access denied.\r\n", walked.shown.c_str());
    return;
  }
  const std::string& description = target->description;
  bool show = !description.empty() && !cwd_.seen(targetId);
  if (replyWanted) {
    if (show) {
      std::string message = description;
      if (message.back() != '\n') message += "\r\n";
      rawSend(multiLine("250", message + "CWD command successful."));
    } else {
      reply("%s", kCwdDone);
    }
  }
  cwd_.enter(std::move(*route));
}

void CUserSocket::changeToParent() {
  if (cwd_.depth() == 0) {
    reply("%s", kCdupDone);
    return;
  }
  auto row = store::fileById(database(), cwd_.parentId());
  if (!row || !store::permits(principal(), *row, store::Access::Execute)) {
    reply("550 CDUP unsuccessful.  Access denied.\r\n");
    return;
  }
  cwd_.leave();
  const std::string& description = row->description;
  if (!description.empty() && !cwd_.seen(cwd_.currentId())) {
    std::string message = description;
    if (message.back() != '\n') message += "\r\n";
    rawSend(multiLine("250", message + "CDUP command successful."));
  } else {
    reply("%s", kCdupDone);
  }
}

void CUserSocket::cmdPwd(const std::string&) {
  std::string text = quotedPathName(cwd_.shownNames());
  reply("257 \"%s\" is the current directory.\r\n", text.c_str());
}

}  // namespace kestrel::ftp
