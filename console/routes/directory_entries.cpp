#include "console/routes/directory_entries.h"

#include "store/account_queries.h"
#include "store/db/database.h"
#include "store/tree.h"

namespace kestrel::console::directories {

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
  auto found = store::findEntry(db, id);
  if (!found) return false;
  row = *found;
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
    if (!user || !store::userInDomain(db, *user, row.domain)) return message(kNoSuchUser, "stop", 422);
    row.userId = *user;
  }
  if (body.contains("groupId")) {
    auto group = request.integer("groupId");
    if (!group || !store::groupInDomain(db, *group, row.domain)) return message(kNoSuchGroup, "stop", 422);
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
  auto owner = store::userById(db, row.userId);
  auto group = store::groupById(db, row.groupId);
  Json security = {{"name", root ? "/" : row.name},
                   {"userId", row.userId},
                   {"login", owner ? owner->login : ""},
                   {"groupId", row.groupId},
                   {"groupName", group ? group->name : ""},
                   {"access", accessJson(row)}};
  return {{"id", row.id},
          {"parent", row.parent},
          {"domain", row.domain},
          {"sheetTitle", root ? "Root (/)" : row.name},
          {"general", general},
          {"security", security},
          {"description", row.description}};
}

// Every route needs the data source but the picker.
Handler withDatabase(std::function<ApiResponse(const ApiRequest&, Database&)> body) {
  return [body = std::move(body)](const ApiRequest& request, ConsoleContext& context) {
    Database* db = context.database;
    if (!db || !db->recordSets()) return databaseMissing();
    return body(request, *db);
  };
}

// The id captured by a route pattern.
std::int64_t capturedId(const ApiRequest& request) { return parseId(request.captures.at(0)).value_or(0); }

}  // namespace kestrel::console::directories
