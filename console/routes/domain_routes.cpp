// The domain sheet and its Blocking page (the domain's IP filter).
#include "console/routes/account_sheet.h"

namespace kestrel::console::accounts {

namespace {

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

}  // namespace

void registerDomainRoutes(ApiRoutes& routes) {
  routes.get("/domains", guarded([](const ApiRequest&, ConsoleContext&, Database& db) {
    Json list = Json::array();
    for (const auto& h : store::allDomains(db, store::DomainOrder::ById)) list.push_back(domainJson(h));
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

}  // namespace kestrel::console::accounts
