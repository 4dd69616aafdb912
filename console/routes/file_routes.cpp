// The Directories window's file list of the selected directory, the file
// property sheet, and the server-side directory picker that stands in for
// the folder browser.
//
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

#include "console/routes/api.h"
#include "console/routes/directory_entries.h"
#include "platform/files.h"
#include "store/account_queries.h"
#include "store/db/database.h"
#include "store/file_list.h"
#include "store/records.h"
#include "store/tree.h"

namespace kestrel::console {

namespace {

using namespace directories;

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
  if (!user || !store::userInDomain(db, *user, selection.directory.domain)) return message(kNoSuchUser, "stop", 422);
  store::setOwner(db, idsOf(selection.files), *user);
  return ok({{"changed", idsOf(selection.files)}});
}

ApiResponse setGroup(const ApiRequest& request, Database& db) {
  Selection selection;
  if (auto refusal = readSelection(request, db, selection)) return *refusal;
  auto group = request.integer("groupId");
  if (!group || !store::groupInDomain(db, *group, selection.directory.domain)) return message(kNoSuchGroup, "stop", 422);
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

}  // namespace

void registerFileRoutes(ApiRoutes& routes) {
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
