#include "store/accounts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <set>

#include "store/account_queries.h"
#include "store/records.h"
#include "store/tree.h"

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

// ---------------------------------------------------------------------------
// Console operations

namespace {

std::string num(std::int64_t v) { return std::to_string(v); }

AccountNote note(AccountNotice notice, std::string subject = {}) { return {notice, std::move(subject)}; }

AccountOutcome refused(AccountNote refusal) {
  AccountOutcome out;
  out.notes.push_back(std::move(refusal));
  return out;
}
AccountOutcome refused(AccountNotice notice) { return refused(note(notice)); }

AccountOutcome asking(AccountNotice notice) {
  AccountOutcome out;
  out.question = note(notice);
  return out;
}

AccountOutcome badInput(AccountNotice notice) {
  AccountOutcome out;
  out.badInput = notice;
  return out;
}

AccountOutcome missingRow(AccountNotice notice) {
  AccountOutcome out = badInput(notice);
  out.missing = true;
  return out;
}

// Opens set on the row with this id; false when there is none.
template <class Set>
bool openRow(Set& set, std::int64_t id) {
  set.setFilter("id=" + num(id));
  set.open();
  return !set.isEmpty();
}

// The newest row matching filter: the one an add has just written.
template <class Set>
std::int64_t readBackId(Database& db, const std::string& filter) {
  Set set(db);
  set.setFilter(filter);
  set.setSort("id desc");
  set.open();
  if (set.isEmpty()) throw DbError("a new row could not be read back");
  return set.row().id;
}

std::int64_t systemGroupOf(Database& db, std::int64_t domainId) {
  std::string filter = "domain=" + num(domainId) + " and name='system'";
  auto group = findGroup(db, filter);
  if (!group) {
    // The invariant was broken outside the program: put it back first.
    ensureDomainMembers(db, domainId);
    group = findGroup(db, filter);
    if (!group) throw DbError("the domain's system group could not be read back");
  }
  return group->id;
}

// Removes the rows that hung below, or linked to, rows just deleted, so that
// no entry of the domain is left without its parent or its target.
void removeOrphanEntries(Database& db, std::int64_t domainId) {
  std::string domain = num(domainId);
  for (int pass = 0; pass < 100; ++pass) {
    long removed = db.execute(
        "delete from files where id in (with recursive gone(id) as ("
        "select id from files where domain=" + domain + " and parent<>0 and parent not in (select id from files) "
        "union select f.id from files f join gone g on f.parent=g.id) select id from gone)");
    removed += db.execute("delete from files where domain=" + domain +
                          " and link<>0 and link not in (select id from files)");
    if (removed <= 0) break;
  }
}

// The SITE command ids a sheet may grant: known commands below the limit.
std::optional<std::vector<std::int64_t>> checkedSiteCommands(Database& db, const std::vector<std::int64_t>& ids) {
  CDBSite site(db);
  site.setFilter("id<" + num(kSiteCommandLimit));
  site.open();
  std::set<std::int64_t> known;
  for (const SiteRecord& r : site.rows()) known.insert(r.id);
  std::set<std::int64_t> wanted;
  for (std::int64_t id : ids) {
    if (!known.count(id)) return std::nullopt;
    wanted.insert(id);
  }
  return std::vector<std::int64_t>(wanted.begin(), wanted.end());
}

// Keyless rows are written by statement: every value is a number.
void addSiteRights(Database& db, std::int64_t groupId, std::int64_t domainId, const std::vector<std::int64_t>& ids) {
  for (std::int64_t id : ids)
    db.execute("insert into `site list` (`group id`, `site id`, `domain id`) values (" + num(groupId) + "," +
               num(id) + "," + num(domainId) + ")");
}

// The columns of Users that the user sheet edits.
void copySheetColumns(UserRecord& to, const UserRecord& from) {
  to.login = from.login;
  // The login compares the typed password lower-cased: a stored capital could never match.
  to.password = from.password;
  for (char& c : to.password) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  to.group = from.group;
  to.locked = from.locked;
  to.maxUsers = from.maxUsers;
  to.startDirectory = from.startDirectory;
  to.uploads = from.uploads;
  to.downloads = from.downloads;
  to.deleteOwnFiles = from.deleteOwnFiles;
  to.overwriteOwnFiles = from.overwriteOwnFiles;
  to.renameOwnFiles = from.renameOwnFiles;
  to.ratio = from.ratio;
  to.spaceLimit = from.spaceLimit;
  to.sessionLimit = from.sessionLimit;
  to.name = from.name;
  to.address1 = from.address1;
  to.address2 = from.address2;
  to.city = from.city;
  to.state = from.state;
  to.postal = from.postal;
  to.country = from.country;
  to.phoneHome = from.phoneHome;
  to.phoneWork = from.phoneWork;
  to.phoneFax = from.phoneFax;
  to.email = from.email;
  to.message = from.message;
  to.notes = from.notes;
}

}  // namespace

// --- domains ----------------------------------------------------------------

std::optional<AccountNote> validateDomainEdit(Database& db, const HomeRecord& before, bool isNew,
                                                 const std::string& name, const std::string& ip) {
  if (!isNew && before.name == "Default") {
    if (name != "Default" || !ip.empty()) return note(AccountNotice::DefaultDomainFixed);
    return std::nullopt;
  }
  if (isNew || name != before.name) {
    // The row itself does not count: a change of letter case is no clash.
    std::string filter = "name=" + quoteText(name);
    if (!isNew) filter += " and id<>" + num(before.id);
    if (findDomain(db, filter)) return note(AccountNotice::DomainExists, name);
  }
  return std::nullopt;
}

namespace {

// The domain sheet's columns.
void copyDomainSheet(HomeRecord& to, const HomeRecord& from) {
  to.name = from.name;
  to.ip = from.ip;
  to.motd = from.motd;
  to.textHeader = from.textHeader;
  to.textFooter = from.textFooter;
}

}  // namespace

AccountOutcome addDomain(Database& db, const HomeRecord& values, const std::optional<std::vector<FilterEntry>>& filter) {
  if (auto refusal = validateDomainEdit(db, HomeRecord{}, true, values.name, values.ip)) return refused(*refusal);
  CDBHome home(db);
  home.addNew();
  copyDomainSheet(home.row(), values);
  home.update();
  AccountOutcome out;
  out.id = readBackId<CDBHome>(db, "name=" + quoteText(values.name));
  ensureDomainMembers(db, out.id);
  // The filter page of a new domain only learns the domain's id now.
  if (filter) saveFilter(db, out.id, *filter);
  out.changed = true;
  return out;
}

AccountOutcome editDomain(Database& db, std::int64_t domainId, const HomeRecord& values) {
  CDBHome home(db);
  if (!openRow(home, domainId)) return missingRow(AccountNotice::NoSuchDomain);
  if (auto refusal = validateDomainEdit(db, home.row(), false, values.name, values.ip)) return refused(*refusal);
  home.edit();
  copyDomainSheet(home.row(), values);
  home.update();
  AccountOutcome out;
  out.changed = true;
  out.id = domainId;
  return out;
}

AccountOutcome deleteDomain(Database& db, std::int64_t domainId, Confirmation confirmed) {
  auto domain = findDomain(db, "id=" + num(domainId));
  if (!domain) return missingRow(AccountNotice::NoSuchDomain);
  if (domain->name == "Default") return refused(AccountNotice::CannotDeleteDefaultDomain);
  if (!confirmed) return asking(AccountNotice::DeleteDomain);
  if (!*confirmed) return {};
  std::string id = num(domainId);
  db.execute("delete from home where id=" + id);
  db.execute("delete from users where domain=" + id);
  db.execute("delete from files where domain=" + id);
  db.execute("delete from groups where domain=" + id);
  db.execute("delete from `site list` where `domain id`=" + id);
  // A filter of a domain that is gone would only ever be an orphan.
  db.execute("delete from block where domain=" + id);
  AccountOutcome out;
  out.changed = true;
  out.removed.push_back(domainId);
  return out;
}

// --- groups -----------------------------------------------------------------

std::vector<std::int64_t> groupSiteRights(Database& db, std::int64_t groupId) {
  CDBSiteList list(db);
  list.setFilter("`group id`=" + num(groupId));
  list.open();
  std::set<std::int64_t> ids;
  for (const SiteListRecord& r : list.rows()) ids.insert(r.siteId);
  return {ids.begin(), ids.end()};
}

AccountOutcome addGroup(Database& db, std::int64_t domainId, const GroupSheet& sheet) {
  if (!findDomain(db, "id=" + num(domainId))) return missingRow(AccountNotice::NoSuchDomain);
  std::vector<std::int64_t> rights;
  if (sheet.siteCommands) {
    auto checked = checkedSiteCommands(db, *sheet.siteCommands);
    if (!checked) return badInput(AccountNotice::UnknownSiteCommand);
    rights = *checked;
  }
  std::string name = normaliseName(sheet.name);
  std::string filter = "domain=" + num(domainId) + " and name=" + quoteText(name);
  if (findGroup(db, filter)) return refused(AccountNotice::GroupExists);
  CDBGroup group(db);
  group.addNew();
  group.row().domain = domainId;
  group.row().name = name;
  group.row().comment = sheet.comment;
  group.update();
  AccountOutcome out;
  out.id = readBackId<CDBGroup>(db, filter);
  addSiteRights(db, out.id, domainId, rights);
  out.changed = true;
  return out;
}

AccountOutcome editGroup(Database& db, std::int64_t groupId, const GroupSheet& sheet) {
  CDBGroup group(db);
  if (!openRow(group, groupId)) return missingRow(AccountNotice::NoSuchGroup);
  std::optional<std::vector<std::int64_t>> rights;
  if (sheet.siteCommands) {
    rights = checkedSiteCommands(db, *sheet.siteCommands);
    if (!rights) return badInput(AccountNotice::UnknownSiteCommand);
  }
  const GroupRecord before = group.row();
  AccountOutcome out;
  std::string typed = sheet.name;
  if (before.name == "system" && typed != "system") {
    out.notes.push_back(note(AccountNotice::SystemGroupRename));
    typed = "system";
  }
  std::string name = normaliseName(typed);
  if (name.empty()) {
    out.notes.push_back(note(AccountNotice::GroupBlank));
    return out;
  }
  if (name != before.name &&
      findGroup(db, "domain=" + num(before.domain) + " and name=" + quoteText(name) + " and id<>" + num(groupId))) {
    out.notes.push_back(note(AccountNotice::GroupNameTaken));
    return out;
  }
  group.edit();
  group.row().name = name;
  group.row().comment = sheet.comment;
  group.update();
  if (rights) {
    db.execute("delete * from `site list` where `group id`=" + num(groupId));
    addSiteRights(db, groupId, before.domain, *rights);
  }
  out.changed = true;
  out.id = groupId;
  return out;
}

bool protectedGroup(const GroupRecord& group) { return group.name == "system"; }

void removeGroup(Database& db, const GroupRecord& group, FileGroups files) {
  std::string system = num(systemGroupOf(db, group.domain)), id = num(group.id);
  if (files == FileGroups::ToSystemGroup) db.execute("UPDATE files SET groupid=" + system + " WHERE groupid=" + id);
  db.execute("UPDATE users SET `group`=" + system + " WHERE `group`=" + id);
  db.execute("delete from groups where id=" + id);
  // Rights of a group that is gone would only ever be orphans.
  db.execute("delete * from `site list` where `group id`=" + id);
}

// --- users ------------------------------------------------------------------

UserRecord newUser(std::int64_t domainId, std::int64_t groupId) {
  UserRecord u;
  u.group = groupId;
  u.domain = domainId;
  u.lastOn = 0;  // never
  u.startDirectory = "/";
  u.maxUsers = 1;
  u.deleteOwnFiles = u.overwriteOwnFiles = u.renameOwnFiles = true;
  return u;
}

AccountOutcome addUser(Database& db, const UserRecord& sheet) {
  if (!findDomain(db, "id=" + num(sheet.domain))) return missingRow(AccountNotice::NoSuchDomain);
  auto group = findGroup(db, "id=" + num(sheet.group));
  if (!group || group->domain != sheet.domain) return badInput(AccountNotice::GroupOutsideDomain);
  std::string login = normaliseName(sheet.login);
  // A login that normalises to nothing could never be typed at USER.
  if (login.empty()) return refused(AccountNotice::BlankLogin);
  std::string filter = "domain=" + num(sheet.domain) + " and login=" + quoteText(login);
  if (findUser(db, filter)) return refused(AccountNotice::UserExists);

  CDBUser users(db);
  users.addNew();
  UserRecord& u = users.row();
  copySheetColumns(u, sheet);
  u.login = login;
  u.domain = sheet.domain;
  u.lastOn = sheet.lastOn;
  users.update();
  AccountOutcome out;
  out.id = readBackId<CDBUser>(db, filter);
  std::int64_t root = createRootDirectory(db, sheet.domain, sheet.group, out.id, false);
  db.execute("update users set `root directory`=" + num(root) + " where id=" + num(out.id));
  out.changed = true;
  return out;
}

AccountOutcome editUser(Database& db, std::int64_t userId, const UserRecord& sheet, bool anonymousKeepsLogin) {
  CDBUser users(db);
  if (!openRow(users, userId)) return missingRow(AccountNotice::NoSuchUser);
  const UserRecord before = users.row();
  auto group = findGroup(db, "id=" + num(sheet.group));
  if (!group || group->domain != before.domain) return badInput(AccountNotice::GroupOutsideDomain);

  AccountOutcome out;
  std::string login = normaliseName(sheet.login);
  if (anonymousKeepsLogin && before.login == "anonymous" && login != before.login) {
    out.notes.push_back(note(AccountNotice::AnonymousRename));
    login = before.login;
  }
  if (login.empty()) {
    out.notes.push_back(note(AccountNotice::BlankLogin));
    return out;
  }
  if (login != before.login && findUser(db, "login=" + quoteText(login) + " and domain=" + num(before.domain) +
                                                " and id<>" + num(userId))) {
    out.notes.push_back(note(AccountNotice::UserExists));
    return out;
  }
  users.edit();
  copySheetColumns(users.row(), sheet);
  users.row().login = login;
  users.update();
  out.changed = true;
  out.id = userId;
  return out;
}

bool protectedUser(const UserRecord& user) { return user.login == "anonymous"; }

void removeUser(Database& db, const UserRecord& user) {
  db.execute("delete from files where userid=" + num(user.id));
  db.execute("delete from users where id=" + num(user.id));
  removeOrphanEntries(db, user.domain);
}

AccountOutcome moveUser(Database& db, std::int64_t userId, std::int64_t groupId) {
  CDBUser users(db);
  if (!openRow(users, userId)) return missingRow(AccountNotice::NoSuchUser);
  auto group = findGroup(db, "id=" + num(groupId));
  if (!group) return missingRow(AccountNotice::NoSuchGroup);
  if (group->domain != users.row().domain) return refused(AccountNotice::NoMoveBetweenDomains);
  users.edit();
  users.row().group = groupId;
  users.update();
  AccountOutcome out;
  out.changed = true;
  out.id = userId;
  return out;
}

}  // namespace kestrel::store
