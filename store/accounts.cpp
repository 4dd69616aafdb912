#include "store/accounts.h"

#include <cctype>
#include <ctime>

#include "store/records.h"

namespace kestrel::store {

bool ensureDomain(Database& db, const std::string& name) {
  CDBHome home(db);
  home.setFilter("name=" + quoteText(name));
  home.open();
  if (!home.isEmpty()) return false;
  home.addNew();
  home.row().name = name;
  home.update();
  home.requery();
  if (home.isEmpty()) throw DbError("the new domain could not be read back");
  ensureDomainMembers(db, home.row().id);
  return true;
}

void ensureDomainMembers(Database& db, std::int64_t domainId) {
  std::string domain = std::to_string(domainId);
  CDBGroup group(db);
  group.setFilter("name='system' and domain=" + domain);
  group.open();
  if (group.isEmpty()) {
    group.addNew();
    group.row().name = "system";
    group.row().domain = domainId;
    group.update();
    group.requery();
    if (group.isEmpty()) throw DbError("the system group could not be read back");
  }
  std::int64_t groupId = group.row().id;

  CDBUser user(db);
  user.setFilter("login='anonymous' and domain=" + domain);
  user.open();
  if (!user.isEmpty()) return;
  user.addNew();
  UserRecord& u = user.row();
  u.login = "anonymous";
  u.name = "Anonymous User";
  u.group = groupId;
  u.domain = domainId;
  u.maxUsers = 255;
  u.startDirectory = "/";
  u.lastOn = std::time(nullptr);
  user.update();
  user.requery();
  if (user.isEmpty()) throw DbError("the anonymous user could not be read back");
  std::int64_t root = createRootDirectory(db, domainId, groupId, user.row().id, true);
  user.edit();
  user.row().rootDirectory = root;
  user.update();
}

std::int64_t createRootDirectory(Database& db, std::int64_t domainId, std::int64_t groupId, std::int64_t userId,
                                 bool otherAccess) {
  CDBFile files(db);
  files.setFilter("userid=" + std::to_string(userId) + " and parent=0");
  files.setSort("id desc");  // the newest root is the one just added
  files.addNew();
  FileRecord& f = files.row();
  f.title = "Root Directory";
  f.directory = true;
  f.domain = domainId;
  f.userId = userId;
  f.groupId = groupId;
  f.userRead = f.userWrite = f.userExecute = true;
  f.otherRead = f.otherExecute = otherAccess;
  f.created = f.modified = f.lastRead = std::time(nullptr);
  files.update();
  files.requery();
  if (files.isEmpty()) throw DbError("the root directory could not be read back");
  return files.row().id;
}

std::string normaliseName(const std::string& name) {
  std::string out;
  for (char c : name) {
    char l = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!(std::islower(static_cast<unsigned char>(l)) || std::isdigit(static_cast<unsigned char>(l)) || l == '_'))
      break;
    out += l;
  }
  return out;
}

}  // namespace kestrel::store
