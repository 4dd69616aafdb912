// The Directories window: the tree of domains, groups, users, directories and
// links, the file list of the selected directory, the file property sheet,
// and the server-side directory picker that stands in for the folder browser.
//
// A node is "<kind>:<id>" with kind domain, group, user, directory or link
// (or 0 to 4); the tree's clipboard is the page's own, so Paste calls move or
// link. Operations that ask take their answers in "answers", in order.
//
//   GET    /api/tree/children[?node=]      the node's children; no node: the domains
//   GET    /api/tree/directories/new?parent=<node>[&link=<id>]   the new entry's sheet
//   POST   /api/tree/directories           new entry: parent, sheet fields (below), link;
//                                          asks "Path does not exist.  Create?"
//   POST   /api/tree/drop                  source, target; asks "Create a link?"
//   POST   /api/tree/move | /api/tree/link source, target (Paste after Cut | Copy)
//   DELETE /api/tree/directories/<id>      deletePhysical; asks the "Deleting"
//                                          dialog, then about links into the tree
//   DELETE /api/tree/links/<id>            asks "Really delete the link?"
//   DELETE /api/tree/node?node=<node>      the node's own rule, else "Can't delete that."
//   GET    /api/files?directory=<id>|node=<node>&sort=<key>&reverse=0|1
//   POST   /api/files/delete               directory, ids, deletePhysical; asks "Deleting"
//   DELETE /api/files/<id>                 one file, the same
//   POST   /api/files/set-user | set-group directory, ids, userId | groupId
//   POST   /api/files/set-security         directory, ids, access (below)
//   GET    /api/files/<id>                 the file sheet
//   PUT    /api/files/<id>                 save it: name, title, path, description,
//                                          userId, groupId, access
//   GET    /api/picker/directories?path=   subdirectories of a server directory
//
// access: {"user"|"group"|"other": {"read"|"write"|"execute": true, false or
// null}}; null or a missing bit leaves it as it is.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "console/api.h"
#include "platform/files.h"
#include "store/accounts.h"
#include "store/database.h"
#include "store/file_list.h"
#include "store/records.h"
#include "store/tree.h"

namespace kestrel::console {

namespace {

using store::Database;
using store::FileRecord;

// The system's own texts.
constexpr const char* kSelectDirectoryOrUser = "Select a directory or user to attach to.";
constexpr const char* kCantDelete = "Can't delete that.";
constexpr const char* kEntryExists = "Entry already exists.";
constexpr const char* kPathInUse = "Directory already in use in the database.";
constexpr const char* kPathMissing = "Path does not exist.  Create?";
constexpr const char* kCreatePathFailed = "Unable to create path.";
constexpr const char* kNotADirectory = "The path does not refer to a directory.";
constexpr const char* kCreateLink = "Create a link?";
constexpr const char* kDeleteLink = "Really delete the link?";
constexpr const char* kDeletingTree = "Deleting directory or directories";
constexpr const char* kDeletingFiles = "Delete file(s).";
constexpr const char* kReallySure = "Are you really sure?";
constexpr const char* kDeletePhysical = "&Delete physical files";
constexpr const char* kDeleteRoot = "Cannot delete the root directory of the domain.";
constexpr const char* kLinksInUse =
    "The following directory or directories are in use in the directory selected for deletion.  Delete the links?";
constexpr const char* kBlankName = "File name cannot be blank.";
constexpr const char* kNameTaken = "Unable to rename.  An entry by this name exists.";
constexpr const char* kInvalidName = "Invalid file name";
constexpr const char* kRenameFailed = "Unable to rename the file.";
// Our own: the tree must stay a tree, and a root stays where its user finds it.
constexpr const char* kMoveIntoItself = "A directory cannot be moved below itself or one of its subdirectories.";
constexpr const char* kMoveRoot = "A root directory cannot be moved.";
constexpr const char* kRelativePath = "The path must be absolute.";
constexpr const char* kNoSuchUser = "No such user in this domain.";
constexpr const char* kNoSuchGroup = "No such group in this domain.";

constexpr std::size_t kTextLimit = 255;
constexpr std::size_t kTitleLimit = 100;

enum class Kind { Domain = 0, Group = 1, User = 2, Directory = 3, Link = 4 };
constexpr const char* kKindNames[] = {"domain", "group", "user", "directory", "link"};
constexpr int kKindImages[] = {3, 5, 9, 1, 11};
constexpr const char* kAccessClasses[] = {"user", "group", "other"};
constexpr const char* kAccessKinds[] = {"read", "write", "execute"};

struct Node {
  Kind kind;
  std::int64_t id;
};

std::optional<std::int64_t> parseId(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value > 0 ? std::optional<std::int64_t>(value) : std::nullopt;
}

std::optional<Node> parseNode(const std::string& text) {
  std::size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  std::string kind = text.substr(0, colon);
  auto id = parseId(text.substr(colon + 1));
  if (!id) return std::nullopt;
  for (int k = 0; k < 5; ++k)
    if (kind == kKindNames[k] || kind == std::to_string(k)) return Node{static_cast<Kind>(k), *id};
  return std::nullopt;
}

Json nodeJson(Kind kind, std::int64_t id, const std::string& label) {
  int k = static_cast<int>(kind);
  return {{"node", std::string(kKindNames[k]) + ":" + std::to_string(id)},
          {"kind", k},
          {"type", kKindNames[k]},
          {"id", id},
          {"label", label},
          {"image", kKindImages[k]}};
}

// The operator's Yes/OK to question `index`; nullopt when not yet asked.
std::optional<bool> agreed(const ApiRequest& request, std::size_t index) {
  auto answer = request.answer(index);
  if (!answer) return std::nullopt;
  return *answer == "OK" || *answer == "Yes";
}

ApiResponse deletingDialog(const char* text) {
  ApiResponse response = question(text, {"OK", "Cancel"}, "warning", 0);
  response.body["question"]["title"] = "Deleting";
  response.body["question"]["note"] = kReallySure;
  response.body["question"]["check"] = {{"name", "deletePhysical"}, {"label", kDeletePhysical}};
  return response;
}

// Texts count characters, not bytes; a cut never splits one.
std::string cutText(const std::string& text, std::size_t limit) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && count++ == limit) return text.substr(0, i);
  }
  return text;
}

bool readRow(Database& db, std::int64_t id, FileRecord& row) {
  store::CDBFile rows(db);
  if (!store::readEntry(rows, id)) return false;
  row = rows.row();
  return true;
}

// The Files row a user or directory node stands for (a user: its root);
// links and other kinds stand for none.
std::optional<FileRecord> attachPoint(Database& db, const std::optional<Node>& node) {
  if (!node) return std::nullopt;
  std::int64_t id = 0;
  if (node->kind == Kind::User) id = store::userRootDirectory(db, node->id);
  else if (node->kind == Kind::Directory) id = node->id;
  FileRecord row;
  if (id == 0 || !readRow(db, id, row) || !row.directory || row.link != 0) return std::nullopt;
  return row;
}

bool userInDomain(Database& db, std::int64_t userId, std::int64_t domain) {
  store::CDBUser users(db);
  users.setFilter("id=" + std::to_string(userId) + " and domain=" + std::to_string(domain));
  users.open();
  return !users.isEmpty();
}

bool groupInDomain(Database& db, std::int64_t groupId, std::int64_t domain) {
  store::CDBGroup groups(db);
  groups.setFilter("id=" + std::to_string(groupId) + " and domain=" + std::to_string(domain));
  groups.open();
  return !groups.isEmpty();
}

// Reads an access object into a three-state change; false on a malformed one.
bool readAccess(const Json& access, store::PermissionChange& change) {
  if (!access.is_object()) return false;
  for (int c = 0; c < 3; ++c) {
    auto cls = access.find(kAccessClasses[c]);
    if (cls == access.end() || cls->is_null()) continue;
    if (!cls->is_object()) return false;
    for (int k = 0; k < 3; ++k) {
      auto bit = cls->find(kAccessKinds[k]);
      if (bit == cls->end() || bit->is_null()) continue;
      if (!bit->is_boolean()) return false;
      change[c * 3 + k] = bit->get<bool>();
    }
  }
  return true;
}

Json accessJson(const FileRecord& row) {
  Json access = Json::object();
  for (int c = 0; c < 3; ++c)
    for (int k = 0; k < 3; ++k) access[kAccessClasses[c]][kAccessKinds[k]] = row.*store::kPermissionBits[c * 3 + k];
  return access;
}

// Copies the sheet's fields from the request into the row; a response when
// one of them is refused.
std::optional<ApiResponse> applySheet(const ApiRequest& request, Database& db, FileRecord& row) {
  const Json& body = request.body;
  auto textField = [&](const char* name, std::string& into) -> bool {
    auto it = body.find(name);
    if (it == body.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    into = it->get<std::string>();
    return true;
  };
  if (!textField("name", row.name) || !textField("title", row.title) || !textField("description", row.description))
    return badRequest("name, title and description are texts.");
  if (characterCount(row.name) > kTextLimit) return badRequest("The name is longer than 255 characters.");
  row.title = cutText(row.title, kTitleLimit);
  row.description = cutText(row.description, kTextLimit);

  std::string path = row.path;
  if (!textField("path", path)) return badRequest("path is a text.");
  if (row.directory && row.link == 0) {
    if (!path.empty()) {
      auto normal = store::normalisePhysicalPath(path);
      if (!normal) return message(kRelativePath, "stop", 422);
      if (characterCount(*normal) > kTextLimit) return badRequest("The path is longer than 255 characters.");
      path = *normal;
    }
    row.path = path;
  }

  if (body.contains("userId")) {
    auto user = request.integer("userId");
    if (!user || !userInDomain(db, *user, row.domain)) return message(kNoSuchUser, "stop", 422);
    row.userId = *user;
  }
  if (body.contains("groupId")) {
    auto group = request.integer("groupId");
    if (!group || !groupInDomain(db, *group, row.domain)) return message(kNoSuchGroup, "stop", 422);
    row.groupId = *group;
  }
  if (body.contains("access")) {
    store::PermissionChange change;
    if (!readAccess(body["access"], change)) return badRequest("access is {user|group|other: {read|write|execute: bool}}.");
    for (int i = 0; i < 9; ++i)
      if (change[i]) row.*store::kPermissionBits[i] = *change[i];
  }
  return std::nullopt;
}

Json sheetJson(Database& db, const FileRecord& row) {
  bool root = row.name.empty();
  Json general = {{"name", row.name},
                  {"title", row.title},
                  {"type", store::entryType(row)},
                  {"showPath", row.directory && row.link == 0},
                  {"path", row.link != 0 ? "" : row.path},
                  {"size", std::to_string(row.size)},
                  {"lastWrite", store::sheetDate(row.modified)},
                  {"creation", store::sheetDate(row.created)},
                  {"lastRead", store::sheetDate(row.lastRead)},
                  {"downloads", std::to_string(row.downloads)}};
  if (row.link != 0) {
    store::EntryLocation where = store::locateEntry(db, row.link);
    general["linkTo"] = where.login.empty() && where.path.empty() ? "" : where.login + where.path;
    general["linkTarget"] = row.link;
  }
  store::CDBUser owner(db);
  owner.setFilter("id=" + std::to_string(row.userId));
  owner.open();
  store::CDBGroup group(db);
  group.setFilter("id=" + std::to_string(row.groupId));
  group.open();
  Json security = {{"name", root ? "/" : row.name},
                   {"userId", row.userId},
                   {"login", owner.isEmpty() ? "" : owner.row().login},
                   {"groupId", row.groupId},
                   {"groupName", group.isEmpty() ? "" : group.row().name},
                   {"access", accessJson(row)}};
  return {{"id", row.id},
          {"parent", row.parent},
          {"domain", row.domain},
          {"sheetTitle", root ? "Root (/)" : row.name},
          {"general", general},
          {"security", security},
          {"description", row.description}};
}

// ----- tree -------------------------------------------------------------

void addDirectoryNodes(Database& db, std::int64_t parent, Json& nodes) {
  store::CDBPathFind rows(db);
  rows.setFilter("parent=" + std::to_string(parent) + " and directory=YES");
  rows.setSort("id");
  rows.open();
  for (const auto& row : rows.rows()) {
    Json node = nodeJson(row.link != 0 ? Kind::Link : Kind::Directory, row.id, row.name);
    if (row.link != 0) node["target"] = row.link;
    nodes.push_back(std::move(node));
  }
}

ApiResponse children(const ApiRequest& request, Database& db) {
  Json nodes = Json::array();
  std::string text = request.text("node");
  if (text.empty() || text == "root") {
    store::CDBHome homes(db);
    homes.setSort("id");
    homes.open();
    for (const auto& home : homes.rows()) nodes.push_back(nodeJson(Kind::Domain, home.id, home.name));
    return ok({{"nodes", nodes}});
  }
  auto node = parseNode(text);
  if (!node) return badRequest("node is <kind>:<id>.");
  switch (node->kind) {
    case Kind::Domain: {
      store::CDBGroup groups(db);
      groups.setFilter("domain=" + std::to_string(node->id));
      groups.setSort("name");
      groups.open();
      for (const auto& g : groups.rows()) nodes.push_back(nodeJson(Kind::Group, g.id, g.name));
      break;
    }
    case Kind::Group: {
      store::CDBUser users(db);
      users.setFilter("`group`=" + std::to_string(node->id));
      users.setSort("login");
      users.open();
      for (const auto& u : users.rows()) {
        Json user = nodeJson(Kind::User, u.id, u.login);
        user["rootDirectory"] = u.rootDirectory;  // for "Root Properties"
        nodes.push_back(std::move(user));
      }
      break;
    }
    case Kind::User: {
      std::int64_t root = store::userRootDirectory(db, node->id);
      if (root != 0) addDirectoryNodes(db, root, nodes);
      break;
    }
    case Kind::Directory:
      addDirectoryNodes(db, node->id, nodes);
      break;
    case Kind::Link: {
      FileRecord link;
      if (readRow(db, node->id, link) && link.link != 0) addDirectoryNodes(db, link.link, nodes);
      break;
    }
  }
  return ok({{"nodes", nodes}});
}

// The new-entry steps after the sheet: checks, the path on disk, the insert.
ApiResponse addNewEntry(const ApiRequest& request, Database& db, FileRecord row, std::size_t questionIndex) {
  if (row.name.empty()) return message(kBlankName, "stop", 422);
  if (!store::isValidEntryName(row.name)) return message(kInvalidName, "stop", 422);
  if (store::nameExistsUnder(row.parent, row.name)) return message(kEntryExists);

  std::vector<std::string> created;
  // A link has no place on disk, and a directory without a Path none either.
  if (row.link == 0 && !row.path.empty()) {
    if (store::pathInUse(db, row.path)) return message(kPathInUse);
    auto info = platform::statPath(row.path);
    if (!info) {
      auto create = agreed(request, questionIndex);
      if (!create) return question(kPathMissing, {"OK", "Cancel"}, "question", questionIndex);
      if (!*create) return ok({{"added", false}});
      if (!store::createDirectoryPath(row.path, created)) return message(kCreatePathFailed);
    } else if (!info->directory) {
      return message(kNotADirectory);
    }
  }
  std::int64_t id = 0;
  try {
    id = store::addEntry(db, row);
  } catch (const store::DbError&) {
    store::removeCreatedDirectories(created);
    throw;
  }
  Json node = nodeJson(row.link != 0 ? Kind::Link : Kind::Directory, id, row.name);
  if (row.link != 0) node["target"] = row.link;
  return ok({{"added", true}, {"id", id}, {"parent", row.parent}, {"node", node}});
}

ApiResponse newEntryDraft(const ApiRequest& request, Database& db) {
  auto parent = attachPoint(db, parseNode(request.text("parent")));
  if (!parent) return message(kSelectDirectoryOrUser);
  std::int64_t link = request.integer("link").value_or(0);
  std::string name = request.text("name", "New");
  return ok(sheetJson(db, store::draftEntry(*parent, name, "", link)));
}

ApiResponse addDirectory(const ApiRequest& request, Database& db) {
  auto parent = attachPoint(db, parseNode(request.text("parent")));
  if (!parent) return message(kSelectDirectoryOrUser);
  std::int64_t link = 0;
  if (request.body.contains("link")) {
    auto target = request.integer("link");
    FileRecord targetRow;
    if (!target || !readRow(db, *target, targetRow)) return notFound("No such entry.");
    link = targetRow.link != 0 ? targetRow.link : targetRow.id;
  }
  FileRecord row = store::draftEntry(*parent, "New", "", link);
  std::string explicitPath;
  if (link == 0 && request.body.contains("path") && request.body["path"].is_string())
    explicitPath = request.body["path"].get<std::string>();
  if (auto refusal = applySheet(request, db, row)) return *refusal;
  // The default Path follows the Name the sheet gave.
  if (link == 0 && explicitPath.empty()) row.path = store::draftEntry(*parent, row.name, "", 0).path;
  return addNewEntry(request, db, row, 0);
}

struct DragSource {
  Node node;
  FileRecord row;
};

// Move and link both take a directory (or link) row as source and a user or
// directory as target; the refusals they share.
std::optional<ApiResponse> readMoveParts(const ApiRequest& request, Database& db, DragSource& source,
                                         FileRecord& target) {
  auto sourceNode = parseNode(request.text("source"));
  if (!sourceNode || (sourceNode->kind != Kind::Directory && sourceNode->kind != Kind::Link))
    return badRequest("source is a directory or link node.");
  source.node = *sourceNode;
  if (!readRow(db, sourceNode->id, source.row) || !source.row.directory) return notFound("No such directory.");
  auto point = attachPoint(db, parseNode(request.text("target")));
  if (!point) return message(kSelectDirectoryOrUser);
  target = *point;
  return std::nullopt;
}

ApiResponse moveDirectory(Database& db, const FileRecord& source, const FileRecord& target) {
  if (source.id == target.id) return ok({{"changed", false}});
  if (source.parent == 0) return message(kMoveRoot);
  if (store::isWithin(db, target.id, source.id)) return message(kMoveIntoItself);
  if (target.id != source.parent) {
    store::CDBPathFind siblings(db);
    siblings.setFilter("parent=" + std::to_string(target.id) + " and name=" + store::quoteText(source.name));
    siblings.open();
    if (!siblings.isEmpty()) return message(kEntryExists);
  }
  store::moveEntry(db, source.id, target.id);
  Json node = nodeJson(source.link != 0 ? Kind::Link : Kind::Directory, source.id, source.name);
  if (source.link != 0) node["target"] = source.link;
  return ok({{"changed", true}, {"node", node}, {"from", source.parent}, {"to", target.id}});
}

ApiResponse linkDirectory(const ApiRequest& request, Database& db, const FileRecord& source, const FileRecord& target,
                          std::size_t questionIndex) {
  if (source.id == target.id) return ok({{"changed", false}});
  // A link to a link would lead nowhere: the walk continues at the row it names.
  std::int64_t linkTo = source.link != 0 ? source.link : source.id;
  FileRecord row = store::draftEntry(target, source.name, "", linkTo);
  if (auto refusal = applySheet(request, db, row)) return *refusal;
  ApiResponse response = addNewEntry(request, db, row, questionIndex);
  if (response.status == 200) response.body["changed"] = true;
  return response;
}

// A user dropped onto a group: the account rules decide.
ApiResponse dropUserOnGroup(Database& db, std::int64_t userId, std::int64_t groupId) {
  store::AccountOutcome outcome = store::moveUser(db, userId, groupId);
  if (outcome.missing) return notFound(outcome.badInput.empty() ? "No such user or group." : outcome.badInput);
  if (!outcome.messages.empty()) return message(outcome.messages.front().text, outcome.messages.front().icon);
  if (!outcome.badInput.empty()) return badRequest(outcome.badInput);
  return ok({{"changed", outcome.changed}, {"id", userId}, {"to", groupId}});
}

ApiResponse drop(const ApiRequest& request, Database& db) {
  auto sourceNode = parseNode(request.text("source"));
  auto targetNode = parseNode(request.text("target"));
  if (sourceNode && sourceNode->kind == Kind::User) {
    if (!targetNode || targetNode->kind != Kind::Group) return badRequest("A user is dropped onto a group.");
    return dropUserOnGroup(db, sourceNode->id, targetNode->id);
  }
  DragSource source;
  FileRecord target;
  if (auto refusal = readMoveParts(request, db, source, target)) return *refusal;
  if (source.row.id == target.id) return ok({{"changed", false}});
  auto answer = request.answer(0);
  if (!answer) return question(kCreateLink, {"Yes", "No", "Cancel"}, "question", 0);
  if (*answer == "Yes") return linkDirectory(request, db, source.row, target, 1);
  if (*answer == "No") return moveDirectory(db, source.row, target);
  return ok({{"changed", false}});
}

ApiResponse move(const ApiRequest& request, Database& db) {
  auto sourceNode = parseNode(request.text("source"));
  auto targetNode = parseNode(request.text("target"));
  if (sourceNode && sourceNode->kind == Kind::User && targetNode && targetNode->kind == Kind::Group)
    return dropUserOnGroup(db, sourceNode->id, targetNode->id);
  DragSource source;
  FileRecord target;
  if (auto refusal = readMoveParts(request, db, source, target)) return *refusal;
  return moveDirectory(db, source.row, target);
}

ApiResponse link(const ApiRequest& request, Database& db) {
  DragSource source;
  FileRecord target;
  if (auto refusal = readMoveParts(request, db, source, target)) return *refusal;
  return linkDirectory(request, db, source.row, target, 0);
}

ApiResponse deleteLink(const ApiRequest& request, Database& db, std::int64_t id) {
  FileRecord row;
  if (!readRow(db, id, row)) return notFound("No such link.");
  if (row.link == 0) return message(kCantDelete);
  auto sure = agreed(request, 0);
  if (!sure) return question(kDeleteLink, {"OK", "Cancel"}, "question", 0);
  if (!*sure) return ok({{"deleted", false}});
  db.execute("delete * from files where id=" + std::to_string(id));
  return ok({{"deleted", true}, {"id", id}, {"parent", row.parent}, {"removed", {id}}});
}

ApiResponse deleteDirectory(const ApiRequest& request, Database& db, std::int64_t id) {
  FileRecord row;
  if (!readRow(db, id, row)) return notFound("No such directory.");
  // A directory node may show a link row; the link's own rule applies.
  if (row.link != 0) return deleteLink(request, db, id);
  if (!row.directory) return message(kCantDelete);
  auto sure = agreed(request, 0);
  if (!sure) return deletingDialog(kDeletingTree);
  if (!*sure) return ok({{"deleted", false}});
  auto links = agreed(request, 1);
  store::TreeDeletion outcome = store::deleteDirectoryTree(db, id, request.flag("deletePhysical"), links);
  switch (outcome.outcome) {
    case store::TreeDeletionOutcome::NotFound:
      return notFound("No such directory.");
    case store::TreeDeletionOutcome::RootRefused:
      return message(kDeleteRoot);
    case store::TreeDeletionOutcome::LinksInUse: {
      ApiResponse response = question(kLinksInUse, {"Yes", "No"}, "question", 1);
      Json rows = Json::array();
      for (const auto& use : outcome.inUse) rows.push_back({{"name", use.name}, {"path", use.path}, {"login", use.login}});
      response.body["question"]["columns"] = {"Name", "Path", "Login"};
      response.body["question"]["rows"] = rows;
      return response;
    }
    case store::TreeDeletionOutcome::LinksKept:
      return ok({{"deleted", false}});
    case store::TreeDeletionOutcome::Deleted:
      break;
  }
  return ok({{"deleted", true}, {"id", id}, {"parent", row.parent}, {"removed", outcome.removed}});
}

ApiResponse deleteNode(const ApiRequest& request, Database& db) {
  auto node = parseNode(request.text("node"));
  if (node && node->kind == Kind::Directory) return deleteDirectory(request, db, node->id);
  if (node && node->kind == Kind::Link) return deleteLink(request, db, node->id);
  if (node) return badRequest("Domains, groups and users are deleted through the account routes.");
  return message(kCantDelete);
}

// ----- file list ----------------------------------------------------------

// The directory whose files a request names: "directory" or a node; a link
// stands for its target.
std::optional<FileRecord> listedDirectory(const ApiRequest& request, Database& db) {
  std::optional<std::int64_t> id;
  if (auto node = parseNode(request.text("node"))) id = node->id;
  else id = request.integer("directory");
  FileRecord row;
  if (!id || !readRow(db, *id, row)) return std::nullopt;
  if (row.link != 0 && !readRow(db, row.link, row)) return std::nullopt;
  return row;
}

ApiResponse fileList(const ApiRequest& request, Database& db) {
  auto key = store::parseFileSortKey(request.text("sort", "name"));
  if (!key) return badRequest("sort is name, size, date, group, owner or comment.");
  bool reverse = request.flag("reverse");
  Json result = {{"columns", {"Name", "Size", "Date", "Flags U/G/O", "Group", "Owner", "Comment"}},
                 {"sort", request.text("sort", "name")},
                 {"reverse", reverse}};
  // Directory 0 empties the list, and so does a node other than a directory or link.
  auto node = parseNode(request.text("node"));
  if ((!node && request.integer("directory") == 0) ||
      (node && node->kind != Kind::Directory && node->kind != Kind::Link)) {
    result["directory"] = 0;
    result["items"] = Json::array();
    return ok(result);
  }
  auto directory = listedDirectory(request, db);
  if (!directory) return notFound("No such directory.");
  Json items = Json::array();
  for (const auto& row : store::loadFileList(db, directory->id, *key, reverse)) {
    items.push_back({{"id", row.id},
                     {"name", row.name},
                     {"size", row.size},
                     {"sizeText", std::to_string(row.size)},
                     {"date", store::listDate(row.modified)},
                     {"modified", row.modified ? store::formatTime(row.modified) : ""},
                     {"flags", store::consoleFlags(row)},
                     {"group", row.groupName},
                     {"owner", row.login},
                     {"comment", row.title}});
  }
  result["directory"] = directory->id;
  result["items"] = items;
  return ok(result);
}

// The directory and the chosen files of a file-list request.
struct Selection {
  FileRecord directory;
  std::vector<FileRecord> files;
};

std::optional<ApiResponse> readSelection(const ApiRequest& request, Database& db, Selection& selection) {
  auto directory = request.integer("directory");
  if (!directory || !readRow(db, *directory, selection.directory) || !selection.directory.directory)
    return notFound("No such directory.");
  auto it = request.body.find("ids");
  if (it == request.body.end() || !it->is_array()) return badRequest("ids is a list of file ids.");
  std::vector<std::int64_t> ids;
  for (const Json& id : *it) {
    if (!id.is_number_integer()) return badRequest("ids is a list of file ids.");
    ids.push_back(id.get<std::int64_t>());
  }
  auto files = store::filesOfDirectory(db, selection.directory.id, ids);
  if (!files) return notFound("No such file in this directory.");
  selection.files = std::move(*files);
  return std::nullopt;
}

std::vector<std::int64_t> idsOf(const std::vector<FileRecord>& files) {
  std::vector<std::int64_t> ids;
  for (const auto& f : files) ids.push_back(f.id);
  return ids;
}

ApiResponse deleteSelection(const ApiRequest& request, Database& db, const Selection& selection) {
  auto sure = agreed(request, 0);
  if (!sure) return deletingDialog(kDeletingFiles);
  if (!*sure) return ok({{"deleted", false}});
  store::deleteFiles(db, selection.directory, selection.files, request.flag("deletePhysical"));
  return ok({{"deleted", true}, {"removed", idsOf(selection.files)}});
}

ApiResponse deleteFiles(const ApiRequest& request, Database& db) {
  Selection selection;
  if (auto refusal = readSelection(request, db, selection)) return *refusal;
  return deleteSelection(request, db, selection);
}

ApiResponse deleteOneFile(const ApiRequest& request, Database& db, std::int64_t id) {
  Selection selection;
  FileRecord file;
  if (!readRow(db, id, file) || file.directory || !readRow(db, file.parent, selection.directory))
    return notFound("No such file.");
  selection.files.push_back(file);
  return deleteSelection(request, db, selection);
}

ApiResponse setUser(const ApiRequest& request, Database& db) {
  Selection selection;
  if (auto refusal = readSelection(request, db, selection)) return *refusal;
  auto user = request.integer("userId");
  if (!user || !userInDomain(db, *user, selection.directory.domain)) return message(kNoSuchUser, "stop", 422);
  store::setOwner(db, idsOf(selection.files), *user);
  return ok({{"changed", idsOf(selection.files)}});
}

ApiResponse setGroup(const ApiRequest& request, Database& db) {
  Selection selection;
  if (auto refusal = readSelection(request, db, selection)) return *refusal;
  auto group = request.integer("groupId");
  if (!group || !groupInDomain(db, *group, selection.directory.domain)) return message(kNoSuchGroup, "stop", 422);
  store::setGroup(db, idsOf(selection.files), *group);
  return ok({{"changed", idsOf(selection.files)}});
}

ApiResponse setSecurity(const ApiRequest& request, Database& db) {
  Selection selection;
  if (auto refusal = readSelection(request, db, selection)) return *refusal;
  store::PermissionChange change;
  auto access = request.body.find("access");
  if (access != request.body.end() && !readAccess(*access, change))
    return badRequest("access is {user|group|other: {read|write|execute: true, false or null}}.");
  store::setPermissions(db, idsOf(selection.files), change);
  return ok({{"changed", idsOf(selection.files)}});
}

ApiResponse fileSheet(Database& db, std::int64_t id) {
  FileRecord row;
  if (!readRow(db, id, row)) return notFound("No such entry.");
  return ok(sheetJson(db, row));
}

ApiResponse saveSheet(const ApiRequest& request, Database& db, std::int64_t id) {
  FileRecord row;
  if (!readRow(db, id, row)) return notFound("No such entry.");
  if (auto refusal = applySheet(request, db, row)) return *refusal;
  switch (store::saveFileSheet(db, id, row)) {
    case store::SheetOutcome::Saved:
      break;
    case store::SheetOutcome::NotFound:
      return notFound("No such entry.");
    case store::SheetOutcome::BlankName:
      return message(kBlankName, "stop", 422);
    case store::SheetOutcome::NameTaken:
      return message(kNameTaken);
    case store::SheetOutcome::InvalidName:
      return message(kInvalidName, "stop", 422);
    case store::SheetOutcome::RenameFailed:
      return message(kRenameFailed);
  }
  readRow(db, id, row);
  return ok({{"saved", true}, {"name", row.name}, {"sheet", sheetJson(db, row)}});
}

// ----- directory picker ---------------------------------------------------

ApiResponse pickDirectory(const ApiRequest& request) {
  auto path = store::normalisePhysicalPath(request.text("path", "/"));
  if (!path) return badRequest(kRelativePath);
  auto info = platform::statPath(*path);
  if (!info || !info->directory) return message(kNotADirectory, "stop", 404);
  std::string parent;
  std::string name = "New";
  if (*path != "/") {
    std::size_t slash = path->rfind('/');
    parent = slash == 0 ? "/" : path->substr(0, slash);
    name = path->substr(slash + 1);
  }
  Json result = {{"path", *path}, {"parent", parent}, {"name", name}};
  Json directories = Json::array();
  auto listing = platform::listDirectory(*path);
  if (!listing.ok()) {
    // An unreadable directory is reported; the operator may still choose it.
    result["error"] = listing.status.message;
  } else {
    std::sort(listing.value.begin(), listing.value.end(),
              [](const platform::FileInfo& a, const platform::FileInfo& b) { return a.name < b.name; });
    for (const auto& entry : listing.value) {
      if (!entry.directory) continue;
      auto child = platform::childPath(*path, entry.name);
      if (!child) continue;
      directories.push_back({{"name", entry.name}, {"path", *child}, {"hidden", entry.hidden}});
    }
  }
  result["directories"] = directories;
  return ok(result);
}

// Every route needs the data source but the picker.
Handler withDatabase(std::function<ApiResponse(const ApiRequest&, Database&)> body) {
  return [body = std::move(body)](const ApiRequest& request, ConsoleContext& context) {
    Database* db = store::sharedDatabase();
    if (!context.haveDatabase || !db || !store::sharedRecordSets()) return databaseMissing();
    return body(request, *db);
  };
}

// The id captured by a route pattern.
std::int64_t capturedId(const ApiRequest& request) { return parseId(request.captures.at(0)).value_or(0); }

}  // namespace

void registerTreeRoutes(ApiRoutes& routes) {
  routes.get("/tree/children", withDatabase(children));
  routes.get("/tree/directories/new", withDatabase(newEntryDraft));
  routes.post("/tree/directories", withDatabase(addDirectory));
  routes.post("/tree/drop", withDatabase(drop));
  routes.post("/tree/move", withDatabase(move));
  routes.post("/tree/link", withDatabase(link));
  routes.del(R"(/tree/directories/(\d+))", withDatabase([](const ApiRequest& r, Database& db) {
               return deleteDirectory(r, db, capturedId(r));
             }));
  routes.del(R"(/tree/links/(\d+))",
             withDatabase([](const ApiRequest& r, Database& db) { return deleteLink(r, db, capturedId(r)); }));
  routes.del("/tree/node", withDatabase(deleteNode));

  routes.get("/files", withDatabase(fileList));
  routes.post("/files/delete", withDatabase(deleteFiles));
  routes.del(R"(/files/(\d+))",
             withDatabase([](const ApiRequest& r, Database& db) { return deleteOneFile(r, db, capturedId(r)); }));
  routes.post("/files/set-user", withDatabase(setUser));
  routes.post("/files/set-group", withDatabase(setGroup));
  routes.post("/files/set-security", withDatabase(setSecurity));
  routes.get(R"(/files/(\d+))",
             withDatabase([](const ApiRequest& r, Database& db) { return fileSheet(db, capturedId(r)); }));
  routes.put(R"(/files/(\d+))",
             withDatabase([](const ApiRequest& r, Database& db) { return saveSheet(r, db, capturedId(r)); }));

  routes.get("/picker/directories", [](const ApiRequest& request, ConsoleContext&) { return pickDirectory(request); });
}

}  // namespace kestrel::console
