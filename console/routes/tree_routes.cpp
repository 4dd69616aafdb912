// The Directories window's tree: domains, groups, users, directories and
// links, and what the tree's menus, clipboard and drag and drop do to them.
//
// A node is "<kind>:<id>" with kind domain, group, user, directory or link
// (or 0 to 4); the tree's clipboard is the page's own, so Paste calls move or
// link. Operations that ask take their answers in "answers", in order.
//
//   GET    /api/tree/children[?node=]      the node's children; no node: the domains
//   GET    /api/tree/directories/new?parent=<node>[&link=<id>]   the new entry's sheet
//   POST   /api/tree/directories           new entry: parent, sheet fields, link;
//                                          asks "Path does not exist.  Create?"
//   POST   /api/tree/drop                  source, target; asks "Create a link?"
//   POST   /api/tree/move | /api/tree/link source, target (Paste after Cut | Copy)
//   DELETE /api/tree/directories/<id>      deletePhysical; asks the "Deleting"
//                                          dialog, then about links into the tree
//   DELETE /api/tree/links/<id>            asks "Really delete the link?"
//   DELETE /api/tree/node?node=<node>      the node's own rule, else "Can't delete that."
#include <optional>
#include <string>
#include <vector>

#include "console/routes/api.h"
#include "console/routes/directory_entries.h"
#include "console/state/account_dialogs.h"
#include "platform/files.h"
#include "store/account_queries.h"
#include "store/accounts.h"
#include "store/db/database.h"
#include "store/records.h"
#include "store/tree.h"

namespace kestrel::console {

namespace {

using namespace directories;

void addDirectoryNodes(Database& db, std::int64_t parent, Json& nodes) {
  for (const auto& row : store::childDirectories(db, parent)) {
    Json node = nodeJson(row.link != 0 ? Kind::Link : Kind::Directory, row.id, row.name);
    if (row.link != 0) node["target"] = row.link;
    nodes.push_back(std::move(node));
  }
}

ApiResponse children(const ApiRequest& request, Database& db) {
  Json nodes = Json::array();
  std::string text = request.text("node");
  if (text.empty() || text == "root") {
    for (const auto& home : store::allDomains(db, store::DomainOrder::ById)) nodes.push_back(nodeJson(Kind::Domain, home.id, home.name));
    return ok({{"nodes", nodes}});
  }
  auto node = parseNode(text);
  if (!node) return badRequest("node is <kind>:<id>.");
  switch (node->kind) {
    case Kind::Domain: {
      for (const auto& g : store::groupsOfDomain(db, node->id)) nodes.push_back(nodeJson(Kind::Group, g.id, g.name));
      break;
    }
    case Kind::Group: {
      for (const auto& u : store::usersOfGroup(db, node->id)) {
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
  if (store::nameExistsUnder(db, row.parent, row.name)) return message(kEntryExists);

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
    if (store::entryNamedUnder(db, target.id, source.name)) return message(kEntryExists);
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
  AccountAnswer outcome = dialogAnswer(store::moveUser(db, userId, groupId));
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
  store::removeEntryRow(db, id);
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
}

}  // namespace kestrel::console
