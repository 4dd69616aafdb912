// Domains, groups and users over the console API: the Users and Groups
// windows' lists, the user, group and domain sheets with their limits, the
// IP filter page, moving users, and the Select Domain, Group and User pickers.
// The rules themselves are store/accounts.h's; this file reads and checks the
// sheets' fields and turns outcomes into answers.
#include "console/routes/account_sheet.h"

namespace kestrel::console {

namespace {

using namespace accounts;

// --- list windows ---------------------------------------------------------------

Json columnsJson(platform::Settings& settings, const std::array<settings::IntSetting, 3>& widths,
                 const char* const (&titles)[3]) {
  Json columns = Json::array();
  for (std::size_t i = 0; i < 3; ++i) columns.push_back({{"title", titles[i]}, {"width", settings.read(widths[i])}});
  return columns;
}

ApiResponse saveColumns(const ApiRequest& req, ConsoleContext& ctx, const std::array<settings::IntSetting, 3>& widths) {
  const Json& list = req.body.contains("widths") ? req.body.at("widths") : Json();
  if (!list.is_array() || list.size() != widths.size()) refuse(badRequest("\"widths\" must list three widths."));
  for (const Json& w : list)
    if (!w.is_number_integer() || w.get<long long>() < 0 || w.get<long long>() > 10000)
      refuse(badRequest("A width is a number of pixels."));
  for (std::size_t i = 0; i < widths.size(); ++i)
    if (!ctx.settings.write(widths[i], list[i].get<int>())) return message(ctx.settings.lastError().message, "stop", 500);
  return ok();
}

// Sorts rows by the column the operator clicked; text without regard to case.
template <class Row, class Key>
void sortRows(std::vector<Row>& rows, Key key, bool reverse) {
  std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
    return reverse ? key(b) < key(a) : key(a) < key(b);
  });
}

ApiResponse listUsers(const ApiRequest& req, ConsoleContext& ctx, Database& db) {
  static const char* const titles[3] = {"Name", "Domain", "Last On"};
  auto rows = store::userList(db);
  std::string sort = req.text("sort");
  bool reverse = req.flag("reverse");
  if (sort == "name") sortRows(rows, [](const auto& r) { return lower(r.login); }, reverse);
  else if (sort == "domain") sortRows(rows, [](const auto& r) { return lower(r.domainName); }, reverse);
  else if (sort == "lastOn") sortRows(rows, [](const auto& r) { return r.lastOn; }, reverse);
  else if (!sort.empty()) return badRequest("\"sort\" is name, domain or lastOn.");
  Json list = Json::array();
  for (const auto& r : rows)
    list.push_back({{"id", r.id}, {"login", r.login}, {"domain", r.domainName}, {"domainId", r.domain},
                    {"group", r.group}, {"lastOn", store::formatLocalTime(r.lastOn, "%x %X")}, {"lastOnTime", r.lastOn}});
  return ok({{"title", "Users"}, {"columns", columnsJson(ctx.settings, settings::kUserInfo, titles)}, {"rows", list}});
}

ApiResponse listGroups(const ApiRequest& req, ConsoleContext& ctx, Database& db) {
  static const char* const titles[3] = {"Name", "Domain", "Comment"};
  auto rows = store::groupList(db);
  std::string sort = req.text("sort");
  bool reverse = req.flag("reverse");
  if (sort == "name") sortRows(rows, [](const auto& r) { return lower(r.name); }, reverse);
  else if (sort == "domain") sortRows(rows, [](const auto& r) { return lower(r.domainName); }, reverse);
  else if (sort == "comment") sortRows(rows, [](const auto& r) { return lower(r.comment); }, reverse);
  else if (!sort.empty()) return badRequest("\"sort\" is name, domain or comment.");
  Json list = Json::array();
  for (const auto& r : rows)
    list.push_back({{"id", r.id}, {"name", r.name}, {"domain", r.domainName}, {"domainId", r.domain},
                    {"comment", r.comment}});
  return ok({{"title", "Groups"}, {"columns", columnsJson(ctx.settings, settings::kGroupInfo, titles)}, {"rows", list}});
}

// --- the user sheet ---------------------------------------------------------------

Json userJson(Database& db, const store::UserRecord& u) {
  // The password is only ever written: the sheet shows it masked anyway.
  return {{"id", u.id},
          {"login", u.login},
          {"group", u.group},
          {"domain", u.domain},
          {"domainName", domainName(db, u.domain)},
          {"lastOn", store::formatLocalTime(u.lastOn, "%x %X")},
          {"lastOnTime", u.lastOn},
          {"locked", u.locked},
          {"maxUsers", u.maxUsers},
          {"startDirectory", u.startDirectory},
          {"rootDirectory", u.rootDirectory},
          {"uploads", u.uploads},
          {"downloads", u.downloads},
          {"deleteOwnFiles", u.deleteOwnFiles},
          {"overwriteOwnFiles", u.overwriteOwnFiles},
          {"renameOwnFiles", u.renameOwnFiles},
          {"ratio", u.ratio},
          {"spaceLimit", u.spaceLimit},
          {"sessionLimit", u.sessionLimit},
          {"name", u.name},
          {"address1", u.address1},
          {"address2", u.address2},
          {"city", u.city},
          {"state", u.state},
          {"postal", u.postal},
          {"country", u.country},
          {"phoneHome", u.phoneHome},
          {"phoneWork", u.phoneWork},
          {"phoneFax", u.phoneFax},
          {"email", u.email},
          {"message", u.message},
          {"notes", u.notes}};
}

ApiResponse userSheet(Database& db, const store::UserRecord& u) {
  return ok({{"title", u.login}, {"pages", kUserPages}, {"user", userJson(db, u)}, {"groups", groupChoices(db, u.domain)}});
}

// The pages' fields over the record, checked as each page checks them.
void readUserSheet(const Json& body, store::UserRecord& u) {
  SheetReader in(body);
  in.page(kUserPages[0]);
  in.text("login", u.login, 15);
  if (u.login.empty()) in.fail("login", kBlankEntry);
  in.text("password", u.password, 15);
  in.integer("group", u.group, 0, kMaxCounter);
  in.flag("locked", u.locked);
  in.integer("maxUsers", u.maxUsers, 0, 255);
  in.text("startDirectory", u.startDirectory, 255);
  in.page(kUserPages[1]);
  in.integer("uploads", u.uploads, 0, kMaxCounter);
  in.integer("downloads", u.downloads, 0, kMaxCounter);
  in.flag("deleteOwnFiles", u.deleteOwnFiles);
  in.flag("overwriteOwnFiles", u.overwriteOwnFiles);
  in.flag("renameOwnFiles", u.renameOwnFiles);
  in.integer("ratio", u.ratio, 0, 100);
  in.integer("spaceLimit", u.spaceLimit, 0, kMaxCounter);
  in.flag("sessionLimit", u.sessionLimit);
  in.page(kUserPages[2]);
  in.text("name", u.name, 50);
  in.text("address1", u.address1, 50);
  in.text("address2", u.address2, 50);
  in.text("city", u.city, 30);
  in.text("state", u.state, 2);
  in.text("postal", u.postal, 20);
  in.text("country", u.country, 30);
  in.text("phoneHome", u.phoneHome, 50);
  in.text("phoneWork", u.phoneWork, 50);
  in.text("phoneFax", u.phoneFax, 50);
  in.text("email", u.email, 64);
  in.page(kUserPages[3]);
  in.text("message", u.message, 2048);
  in.page(kUserPages[4]);
  in.text("notes", u.notes, 2048);
}

store::UserRecord loadUser(Database& db, std::int64_t id) {
  auto user = store::userById(db, id);
  if (!user) refuse(notFound("No such user."));
  return *user;
}

// --- the group sheet ----------------------------------------------------------------

Json siteCommandsJson(Database& db, const std::vector<std::int64_t>& allowed) {
  std::set<std::int64_t> on(allowed.begin(), allowed.end());
  Json list = Json::array();
  for (const auto& c : store::offeredSiteCommands(db, kSiteCommandLimit))
    list.push_back({{"id", c.id}, {"name", c.name}, {"help", c.help}, {"allowed", on.count(c.id) > 0}});
  return list;
}

store::GroupSheet readGroupSheet(const Json& body, store::GroupSheet sheet) {
  SheetReader in(body);
  in.page(kGroupPages[0]);
  in.text("name", sheet.name, 20);
  in.text("comment", sheet.comment, 80);
  if (in.has("siteCommands")) {
    const Json& list = body.at("siteCommands");
    if (!list.is_array()) refuse(badRequest("\"siteCommands\" must list SITE command ids."));
    std::vector<std::int64_t> ids;
    for (const Json& v : list) {
      if (!v.is_number_integer()) refuse(badRequest("\"siteCommands\" must list SITE command ids."));
      ids.push_back(v.get<std::int64_t>());
    }
    sheet.siteCommands = std::move(ids);
  }
  return sheet;
}

void registerGroupRoutes(ApiRoutes& routes) {
  routes.get("/groups", guarded(listGroups));
  routes.put("/groups/columns", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database&) {
    return saveColumns(req, ctx, settings::kGroupInfo);
  }));
  routes.get("/groups/new", guarded([](const ApiRequest& req, ConsoleContext&, Database& db) {
    auto domain = queryId(req, "domain");
    if (!domain) return badRequest("\"domain\" must be an id.");
    store::HomeRecord h = loadDomain(db, *domain);
    Json group = {{"id", 0}, {"name", ""}, {"comment", ""}, {"domain", h.id}, {"domainName", h.name}};
    return ok({{"title", ""}, {"pages", kGroupPages}, {"group", group}, {"siteCommands", siteCommandsJson(db, {})}});
  }));
  routes.post("/groups", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    std::int64_t domain = SheetReader(req.body).requiredId("domain");
    store::GroupSheet sheet = readGroupSheet(req.body, {});
    return answerOutcome(store::addGroup(db, domain, sheet), ctx, "group", "added");
  }));
  routes.get(R"(/groups/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext&, Database& db) {
    auto g = store::groupById(db, pathId(req));
    if (!g) return notFound("No such group.");
    Json group = {{"id", g->id}, {"name", g->name}, {"comment", g->comment}, {"domain", g->domain},
                  {"domainName", domainName(db, g->domain)}};
    return ok({{"title", g->name}, {"pages", kGroupPages}, {"group", group},
               {"siteCommands", siteCommandsJson(db, store::groupSiteRights(db, g->id))}});
  }));
  routes.put(R"(/groups/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    auto g = store::groupById(db, pathId(req));
    if (!g) return notFound("No such group.");
    store::GroupSheet sheet = readGroupSheet(req.body, {g->name, g->comment, std::nullopt});
    return answerOutcome(store::editGroup(db, g->id, sheet), ctx, "group", "changed");
  }));
  routes.del(R"(/groups/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    return answerOutcome(deleteGroups(db, {pathId(req)}, windowOf(req), confirmation(req)), ctx, "group",
                         "deleted");
  }));
  // Several groups selected in the Groups window.
  routes.del("/groups", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    return answerOutcome(deleteGroups(db, idList(req), AccountWindow::List, confirmation(req)), ctx, "group",
                         "deleted");
  }));
}

void registerUserRoutes(ApiRoutes& routes) {
  routes.get("/users", guarded(listUsers));
  routes.put("/users/columns", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database&) {
    return saveColumns(req, ctx, settings::kUserInfo);
  }));
  routes.get("/users/new", guarded([](const ApiRequest& req, ConsoleContext&, Database& db) {
    auto domain = queryId(req, "domain");
    auto group = queryId(req, "group");
    if (!domain || !group) return badRequest("\"domain\" and \"group\" must be ids.");
    return userSheet(db, store::newUser(loadDomain(db, *domain).id, *group));
  }));
  routes.post("/users", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    SheetReader ids(req.body);
    std::int64_t domain = ids.requiredId("domain");
    std::int64_t group = ids.requiredId("group");
    store::UserRecord u = store::newUser(domain, group);
    readUserSheet(req.body, u);
    u.group = group;
    return answerOutcome(store::addUser(db, u), ctx, "user", "added");
  }));
  routes.get(R"(/users/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext&, Database& db) {
    return userSheet(db, loadUser(db, pathId(req)));
  }));
  routes.put(R"(/users/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    AccountWindow from = windowOf(req);
    store::UserRecord u = loadUser(db, pathId(req));
    readUserSheet(req.body, u);
    return answerOutcome(editUser(db, u.id, u, from), ctx, "user", "changed");
  }));
  routes.del(R"(/users/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    return answerOutcome(deleteUsers(db, {pathId(req)}, windowOf(req), confirmation(req)), ctx, "user",
                         "deleted");
  }));
  // Several users selected in the Users window.
  routes.del("/users", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    return answerOutcome(deleteUsers(db, idList(req), AccountWindow::List, confirmation(req)), ctx, "user",
                         "deleted");
  }));
  routes.post(R"(/users/(\d{1,18})/move)", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    std::int64_t group = SheetReader(req.body).requiredId("group");
    return answerOutcome(store::moveUser(db, pathId(req), group), ctx, "user", "moved");
  }));
}

void registerPickerRoutes(ApiRoutes& routes) {
  routes.get("/pickers/domains", guarded([](const ApiRequest&, ConsoleContext&, Database& db) {
    Json items = Json::array();
    for (const auto& h : store::allDomains(db, store::DomainOrder::ByName)) items.push_back({{"id", h.id}, {"name", h.name}});
    return ok({{"title", "Select Domain"}, {"items", items}});
  }));
  routes.get("/pickers/groups", guarded([](const ApiRequest& req, ConsoleContext&, Database& db) {
    auto domain = queryId(req, "domain");
    if (!domain) return badRequest("\"domain\" must be an id.");
    return ok({{"title", "Select Group"}, {"items", groupChoices(db, *domain)}});
  }));
  routes.get("/pickers/users", guarded([](const ApiRequest& req, ConsoleContext&, Database& db) {
    auto domain = queryId(req, "domain");
    if (!domain) return badRequest("\"domain\" must be an id.");
    Json items = Json::array();
    for (const auto& u : store::usersOfDomain(db, *domain))
      items.push_back({{"id", u.id}, {"login", u.login}, {"group", u.groupName}});
    return ok({{"title", "Select User"}, {"items", items}});
  }));
}

}  // namespace

void registerAccountRoutes(ApiRoutes& routes) {
  accounts::registerDomainRoutes(routes);
  registerGroupRoutes(routes);
  registerUserRoutes(routes);
  registerPickerRoutes(routes);
}

}  // namespace kestrel::console
