// Domains, groups and users over the console API: the Users and Groups
// windows' lists, the user, group and domain sheets with their limits, the
// IP filter page, moving users, and the Select Domain, Group and User pickers.
// The rules themselves are store/accounts.h's; this file reads and checks the
// sheets' fields and turns outcomes into answers.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>
#include <string_view>

#include "console/api.h"
#include "platform/settings.h"
#include "store/account_records.h"
#include "store/accounts.h"
#include "store/reports.h"

namespace kestrel::console {

namespace {

using store::AccountOutcome;
using store::AccountWindow;
using store::Database;
using store::kBlankEntry;
using store::kSiteCommandLimit;

constexpr char kInvalidFilter[] = "Invalid filter format.";
constexpr long long kMaxCounter = 2147483647;  // the columns are 32-bit

const char* const kUserPages[] = {"Connection", "File Limits", "Accounting", "Login Message", "   Notes     "};
const char* const kGroupPages[] = {"  General  ", "SITE Commands"};
const char* const kDomainPages[] = {"General", "MOTD", "Text Index", "Blocking"};
const char* const kFilterNotes[] = {"* = Any value", "nnn = Exact value", "nnn-nnn = Range"};

// A request that cannot go on; carries its answer.
struct Refusal {
  ApiResponse response;
};

[[noreturn]] void refuse(ApiResponse response) { throw Refusal{std::move(response)}; }

std::int64_t pathId(const ApiRequest& req, std::size_t index = 0) {
  std::int64_t id = 0;
  const std::string& text = req.captures.at(index);
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec != std::errc() || end != text.data() + text.size()) refuse(notFound());
  return id;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Reads a sheet's fields from a JSON body as the property pages check them:
// an absent field keeps its value; a value out of bounds is answered with
// the framework's text and the page to keep open.
class SheetReader {
 public:
  explicit SheetReader(const Json& body) : body_(body) {
    if (!body_.is_object()) refuse(badRequest("The request body must be a JSON object."));
  }
  void page(const char* title) { page_ = title; }

  bool has(const char* key) const { return body_.contains(key) && !body_.at(key).is_null(); }

  void text(const char* key, std::string& into, std::size_t limit) {
    if (!has(key)) return;
    const Json& v = body_.at(key);
    if (!v.is_string()) refuse(badRequest(std::string("\"") + key + "\" must be text."));
    std::string value = v.get<std::string>();
    if (characterCount(value) > limit) fail(key, "Enter no more than " + std::to_string(limit) + " characters.");
    into = std::move(value);
  }

  template <class T>
  void integer(const char* key, T& into, long long lo, long long hi) {
    if (!has(key)) return;
    const Json& v = body_.at(key);
    long long value = 0;
    bool ok = false;
    if (v.is_number_integer()) {
      if (v.is_number_unsigned() && v.get<unsigned long long>() > static_cast<unsigned long long>(hi)) {
        value = hi + 1;  // out of range below
      } else {
        value = v.get<long long>();
      }
      ok = true;
    } else if (v.is_string()) {
      std::string s = v.get<std::string>();
      std::size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
      if (a != std::string::npos) {
        const char* first = s.data() + a;
        const char* last = s.data() + b + 1;
        if (*first == '+') ++first;
        auto [end, ec] = std::from_chars(first, last, value);
        if (ec == std::errc::result_out_of_range) value = hi + 1, ok = true;
        else ok = ec == std::errc() && end == last;
      }
    } else if (!v.is_number()) {
      refuse(badRequest(std::string("\"") + key + "\" must be a number."));
    }
    if (!ok) fail(key, "Please enter an integer.");
    if (value < lo || value > hi)
      fail(key, "Please enter an integer between " + std::to_string(lo) + " and " + std::to_string(hi) + ".");
    into = static_cast<T>(value);
  }

  void flag(const char* key, bool& into) {
    if (!has(key)) return;
    const Json& v = body_.at(key);
    if (v.is_boolean()) into = v.get<bool>();
    else if (v.is_number_integer() && (v.get<long long>() == 0 || v.get<long long>() == 1)) into = v.get<long long>();
    else refuse(badRequest(std::string("\"") + key + "\" must be true or false."));
  }

  // An id the request must carry (a domain, a group).
  std::int64_t requiredId(const char* key) {
    std::int64_t id = -1;
    if (has(key)) {
      const Json& v = body_.at(key);
      if (v.is_number_integer() && !v.is_number_unsigned()) id = v.get<std::int64_t>();
      else if (v.is_number_unsigned() && v.get<std::uint64_t>() <= kMaxCounter) id = v.get<std::int64_t>();
    }
    if (id < 0) refuse(badRequest(std::string("\"") + key + "\" must name a row by its id."));
    return id;
  }

  [[noreturn]] void fail(const char* key, const std::string& text) {
    ApiResponse r = message(text, "exclamation", 422);
    r.body["page"] = page_;
    r.body["field"] = key;
    refuse(std::move(r));
  }

 private:
  const Json& body_;
  std::string page_;
};

AccountWindow windowOf(const ApiRequest& req) {
  std::string view = req.text("view", "list");
  if (view == "domains") return AccountWindow::Domains;
  if (view == "list" || view == "users" || view == "groups") return AccountWindow::List;
  refuse(badRequest("\"view\" is \"domains\", \"users\" or \"groups\"."));
}

store::Confirmation confirmation(const ApiRequest& req) {
  auto answer = req.answer(0);
  if (!answer) return std::nullopt;
  std::string a = lower(*answer);
  return a == "yes" || a == "ok";
}

Json messagesJson(const std::vector<store::AccountMessage>& messages) {
  Json list = Json::array();
  for (const auto& m : messages) list.push_back({{"text", m.text}, {"icon", m.icon}, {"buttons", m.buttons}});
  return list;
}

// An outcome as the console's answer; what is the operation's subject ("domain",
// "group", "user") and action name the event every console receives.
ApiResponse answerOutcome(const AccountOutcome& out, ConsoleContext& ctx, const char* what, const char* action) {
  if (!out.badInput.empty()) return out.missing ? notFound(out.badInput) : badRequest(out.badInput);
  if (out.question) {
    ApiResponse r = question(out.question->text, out.question->buttons, out.question->icon, 0);
    if (!out.question->defaultButton.empty()) r.body["question"]["default"] = out.question->defaultButton;
    return r;
  }
  if (!out.changed && !out.messages.empty()) {
    const auto& first = out.messages.front();
    ApiResponse r = message(first.text, first.icon, 409, first.buttons);
    r.body["messages"] = messagesJson(out.messages);
    return r;
  }
  Json body = {{"changed", out.changed}, {"messages", messagesJson(out.messages)}, {"removed", out.removed}};
  if (out.id) body["id"] = out.id;
  if (out.changed) {
    Json ids = out.removed.empty() ? Json::array({out.id}) : Json(out.removed);
    ctx.events.publish("frame", "accounts", {{"what", what}, {"action", action}, {"ids", ids}});
  }
  return ok(body);
}

std::vector<std::int64_t> idList(const ApiRequest& req) {
  if (!req.body.contains("ids") || !req.body.at("ids").is_array())
    refuse(badRequest("\"ids\" must list the selected rows."));
  std::vector<std::int64_t> ids;
  for (const Json& v : req.body.at("ids")) {
    if (!v.is_number_integer()) refuse(badRequest("\"ids\" must list the selected rows."));
    ids.push_back(v.get<std::int64_t>());
  }
  return ids;
}

std::optional<std::int64_t> queryId(const ApiRequest& req, const char* key) {
  std::string text = req.text(key);
  if (text.empty()) return std::nullopt;
  std::int64_t id = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec != std::errc() || end != text.data() + text.size()) refuse(badRequest(std::string("\"") + key + "\" must be an id."));
  return id;
}

// --- lookups ------------------------------------------------------------------

template <class Row>
std::optional<Row> rowWhere(Database& db, const std::string& filter, const char* sort = nullptr) {
  store::RecordSet<Row> set(db);
  set.setFilter(filter);
  if (sort) set.setSort(sort);
  set.open();
  if (set.isEmpty()) return std::nullopt;
  return set.row();
}

template <class Row>
std::vector<Row> rowsWhere(Database& db, const std::string& filter, const char* sort) {
  store::RecordSet<Row> set(db);
  set.setFilter(filter);
  set.setSort(sort);
  set.open();
  return set.rows();
}

std::string idFilter(const char* column, std::int64_t id) { return std::string(column) + "=" + std::to_string(id); }

std::string domainName(Database& db, std::int64_t id) {
  auto home = rowWhere<store::HomeRecord>(db, idFilter("id", id));
  return home ? home->name : "";
}

Json groupChoices(Database& db, std::int64_t domainId) {
  Json list = Json::array();
  for (const auto& g : rowsWhere<store::GroupRecord>(db, idFilter("domain", domainId), "name"))
    list.push_back({{"id", g.id}, {"name", g.name}, {"comment", g.comment}});
  return list;
}

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
  auto rows = rowsWhere<store::UserListRecord>(db, "", "users.id");
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
  auto rows = rowsWhere<store::GroupQueryRecord>(db, "", "groups.id");
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
  auto user = rowWhere<store::UserRecord>(db, idFilter("id", id));
  if (!user) refuse(notFound("No such user."));
  return *user;
}

// --- the group sheet ----------------------------------------------------------------

Json siteCommandsJson(Database& db, const std::vector<std::int64_t>& allowed) {
  std::set<std::int64_t> on(allowed.begin(), allowed.end());
  Json list = Json::array();
  for (const auto& c : rowsWhere<store::SiteRecord>(db, "id<" + std::to_string(kSiteCommandLimit), "name, id"))
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

// --- the domain sheet -----------------------------------------------------------------

Json domainJson(const store::HomeRecord& h) {
  return {{"id", h.id},     {"name", h.name},           {"ip", h.ip},
          {"motd", h.motd}, {"textHeader", h.textHeader}, {"textFooter", h.textFooter}};
}

void readDomainSheet(const Json& body, store::HomeRecord& h) {
  SheetReader in(body);
  in.page(kDomainPages[0]);
  in.text("name", h.name, 50);
  in.text("ip", h.ip, 255);
  in.page(kDomainPages[1]);
  in.text("motd", h.motd, 2048);
  in.page(kDomainPages[2]);
  in.text("textHeader", h.textHeader, 512);
  in.text("textFooter", h.textFooter, 512);
}

// The Blocking page's list: entries as the list box holds them ("Admit\t1.2.3.*")
// or as {"allow", "pattern"}. Nothing is taken unless every entry is valid.
std::optional<std::vector<store::FilterEntry>> readFilter(const Json& body) {
  if (!body.contains("blocking") || body.at("blocking").is_null()) return std::nullopt;
  const Json& list = body.at("blocking");
  if (!list.is_array()) refuse(badRequest("\"blocking\" must list the filter's entries."));
  std::vector<store::FilterEntry> entries;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Json& v = list[i];
    std::optional<store::FilterEntry> entry;
    if (v.is_string()) {
      entry = store::parseFilterEntry(v.get<std::string>());
    } else if (v.is_object() && v.contains("pattern") && v.at("pattern").is_string() &&
               v.value("allow", Json(false)).is_boolean()) {
      if (auto parts = store::parseFilterPattern(v.at("pattern").get<std::string>()))
        entry = store::FilterEntry{v.value("allow", false), *parts};
    } else {
      refuse(badRequest("A filter entry is a text or {\"allow\", \"pattern\"}."));
    }
    if (!entry) {
      ApiResponse r = message(kInvalidFilter, "exclamation", 422);
      r.body["page"] = kDomainPages[3];
      r.body["index"] = i;
      refuse(std::move(r));
    }
    entries.push_back(*entry);
  }
  return entries;
}

Json filterJson(const std::vector<store::FilterEntry>& entries) {
  Json list = Json::array();
  for (const auto& e : entries) {
    std::string pattern = store::formatFilterPattern(e.parts);
    list.push_back({{"text", std::string(e.allow ? "Allow" : "Block") + "\t" + pattern},
                    {"allow", e.allow},
                    {"pattern", pattern}});
  }
  return list;
}

store::HomeRecord loadDomain(Database& db, std::int64_t id) {
  auto home = rowWhere<store::HomeRecord>(db, idFilter("id", id));
  if (!home) refuse(notFound("No such domain."));
  return *home;
}

// --- routes ---------------------------------------------------------------------------

using AccountHandler = std::function<ApiResponse(const ApiRequest&, ConsoleContext&, Database&)>;

Handler guarded(AccountHandler handler) {
  return [handler = std::move(handler)](const ApiRequest& req, ConsoleContext& ctx) -> ApiResponse {
    Database* db = store::sharedDatabase();
    if (!ctx.haveDatabase || !db) return databaseMissing();
    try {
      return handler(req, ctx, *db);
    } catch (const Refusal& r) {
      return r.response;
    }
  };
}

void registerDomainRoutes(ApiRoutes& routes) {
  routes.get("/domains", guarded([](const ApiRequest&, ConsoleContext&, Database& db) {
    Json list = Json::array();
    for (const auto& h : rowsWhere<store::HomeRecord>(db, "", "id")) list.push_back(domainJson(h));
    return ok({{"domains", list}});
  }));
  routes.get("/domains/new", guarded([](const ApiRequest&, ConsoleContext&, Database&) {
    store::HomeRecord h;
    h.name = "New";
    return ok({{"title", h.name}, {"pages", kDomainPages}, {"domain", domainJson(h)}});
  }));
  routes.post("/domains", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    store::HomeRecord h;
    h.name = "New";
    readDomainSheet(req.body, h);
    auto filter = readFilter(req.body);
    return answerOutcome(store::addDomain(db, h, filter), ctx, "domain", "added");
  }));
  routes.get(R"(/domains/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext&, Database& db) {
    store::HomeRecord h = loadDomain(db, pathId(req));
    return ok({{"title", h.name}, {"pages", kDomainPages}, {"domain", domainJson(h)}});
  }));
  routes.put(R"(/domains/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    store::HomeRecord h = loadDomain(db, pathId(req));
    readDomainSheet(req.body, h);
    auto filter = readFilter(req.body);
    // The Blocking page stores its list when it accepts OK, whatever the
    // General page's checks say afterwards.
    if (filter) store::saveFilter(db, h.id, *filter);
    return answerOutcome(store::editDomain(db, h.id, h), ctx, "domain", "changed");
  }));
  routes.del(R"(/domains/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    return answerOutcome(store::deleteDomain(db, pathId(req), confirmation(req)), ctx, "domain", "deleted");
  }));
  routes.get(R"(/domains/(\d{1,18})/blocking)", guarded([](const ApiRequest& req, ConsoleContext&, Database& db) {
    store::HomeRecord h = loadDomain(db, pathId(req));
    return ok({{"title", kDomainPages[3]}, {"notes", kFilterNotes}, {"entries", filterJson(store::loadFilter(db, h.id))}});
  }));
  routes.put(R"(/domains/(\d{1,18})/blocking)", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    store::HomeRecord h = loadDomain(db, pathId(req));
    Json body = {{"blocking", req.body.contains("entries") ? req.body.at("entries") : Json()}};
    auto filter = readFilter(body);
    if (!filter) return badRequest("\"entries\" must list the filter's entries.");
    store::saveFilter(db, h.id, *filter);
    ctx.events.publish("frame", "accounts", {{"what", "blocking"}, {"action", "changed"}, {"ids", Json::array({h.id})}});
    return ok({{"entries", filterJson(store::loadFilter(db, h.id))}});
  }));
  // The Admit and Block buttons' check of the "IP" text.
  routes.post("/domains/blocking/check", guarded([](const ApiRequest& req, ConsoleContext&, Database&) {
    const Json& pattern = req.body.contains("pattern") ? req.body.at("pattern") : Json();
    if (!pattern.is_string()) return badRequest("\"pattern\" must be text.");
    if (!store::validFilterPattern(pattern.get<std::string>())) return message(kInvalidFilter, "exclamation", 422);
    return ok({{"valid", true}});
  }));
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
    auto g = rowWhere<store::GroupRecord>(db, idFilter("id", pathId(req)));
    if (!g) return notFound("No such group.");
    Json group = {{"id", g->id}, {"name", g->name}, {"comment", g->comment}, {"domain", g->domain},
                  {"domainName", domainName(db, g->domain)}};
    return ok({{"title", g->name}, {"pages", kGroupPages}, {"group", group},
               {"siteCommands", siteCommandsJson(db, store::groupSiteRights(db, g->id))}});
  }));
  routes.put(R"(/groups/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    auto g = rowWhere<store::GroupRecord>(db, idFilter("id", pathId(req)));
    if (!g) return notFound("No such group.");
    store::GroupSheet sheet = readGroupSheet(req.body, {g->name, g->comment, std::nullopt});
    return answerOutcome(store::editGroup(db, g->id, sheet), ctx, "group", "changed");
  }));
  routes.del(R"(/groups/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    return answerOutcome(store::deleteGroups(db, {pathId(req)}, windowOf(req), confirmation(req)), ctx, "group",
                         "deleted");
  }));
  // Several groups selected in the Groups window.
  routes.del("/groups", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    return answerOutcome(store::deleteGroups(db, idList(req), AccountWindow::List, confirmation(req)), ctx, "group",
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
    return answerOutcome(store::editUser(db, u.id, u, from), ctx, "user", "changed");
  }));
  routes.del(R"(/users/(\d{1,18}))", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    return answerOutcome(store::deleteUsers(db, {pathId(req)}, windowOf(req), confirmation(req)), ctx, "user",
                         "deleted");
  }));
  // Several users selected in the Users window.
  routes.del("/users", guarded([](const ApiRequest& req, ConsoleContext& ctx, Database& db) {
    return answerOutcome(store::deleteUsers(db, idList(req), AccountWindow::List, confirmation(req)), ctx, "user",
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
    for (const auto& h : rowsWhere<store::HomeRecord>(db, "", "name, id")) items.push_back({{"id", h.id}, {"name", h.name}});
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
    for (const auto& u : rowsWhere<store::UserGroupRecord>(db, idFilter("domain", *domain), "login, id"))
      items.push_back({{"id", u.id}, {"login", u.login}, {"group", u.groupName}});
    return ok({{"title", "Select User"}, {"items", items}});
  }));
}

}  // namespace

void registerAccountRoutes(ApiRoutes& routes) {
  registerDomainRoutes(routes);
  registerGroupRoutes(routes);
  registerUserRoutes(routes);
  registerPickerRoutes(routes);
}

}  // namespace kestrel::console
