// Disk synchronisation in the console: the Refresh Directory dialog, the
// progress window "Refresh Status" (events on channel "refresh"), the Auto
// Refresh dialog and the main timer's automatic run.
#include <climits>
#include <ctime>
#include <map>

#include "console/routes/api.h"
#include "platform/event_loop.h"
#include "platform/settings.h"
#include "server/main_frame.h"
#include "store/account_queries.h"
#include "store/records.h"
#include "console/state/refresh_window.h"
#include "store/tree.h"

namespace kestrel::console {

namespace {

constexpr char kChannel[] = "refresh";
constexpr char kProgressTitle[] = "Refresh Status";
constexpr char kDialogTitle[] = "Refresh Directory";
constexpr char kAutoDialogTitle[] = "Auto-Refresh directories";
constexpr char kTreeChangedText[] = "Tree structure changed.  Refreshing.";
constexpr char kBusyText[] = "A directory refresh is already running.";
constexpr char kRateText[] = "Please enter an integer between 0 and 1440.";
constexpr char kSystemOwner[] = "System";
constexpr char kDirectoryOwner[] = "Directory Owner";
constexpr int kMaxRate = 1440;

// The Auto Refresh dialog's fifteen values, by their settings names.
const settings::IntSetting* const kAutoSettings[] = {
    &settings::kRefRate,        &settings::kRefPurge,        &settings::kRefAddNew,
    &settings::kRefSystem,      &settings::kRefHidden,       &settings::kRefNewOwner,
    &settings::kRefUserRead,    &settings::kRefUserWrite,    &settings::kRefUserExecute,
    &settings::kRefGroupRead,   &settings::kRefGroupWrite,   &settings::kRefGroupExecute,
    &settings::kRefOtherRead,   &settings::kRefOtherWrite,   &settings::kRefOtherExecute};

// The nine "New File Security" switches: dialog name, setting, option field.
struct SecuritySwitch {
  const char* name;
  const settings::IntSetting* setting;
  std::int32_t store::RefreshOptions::*option;
};
const SecuritySwitch kSecurity[] = {
    {"userRead", &settings::kRefUserRead, &store::RefreshOptions::userRead},
    {"userWrite", &settings::kRefUserWrite, &store::RefreshOptions::userWrite},
    {"userExecute", &settings::kRefUserExecute, &store::RefreshOptions::userExecute},
    {"groupRead", &settings::kRefGroupRead, &store::RefreshOptions::groupRead},
    {"groupWrite", &settings::kRefGroupWrite, &store::RefreshOptions::groupWrite},
    {"groupExecute", &settings::kRefGroupExecute, &store::RefreshOptions::groupExecute},
    {"otherRead", &settings::kRefOtherRead, &store::RefreshOptions::otherRead},
    {"otherWrite", &settings::kRefOtherWrite, &store::RefreshOptions::otherWrite},
    {"otherExecute", &settings::kRefOtherExecute, &store::RefreshOptions::otherExecute}};

// Draws the progress window on the refresh channel.
class EventObserver : public RefreshObserver {
 public:
  EventObserver(ConsoleContext& context, std::function<void(bool)> onEnded)
      : events_(context.events), loop_(context.loop), onEnded_(std::move(onEnded)) {}

  void opened(const RefreshWindowState& s) override {
    events_.publish(kChannel, "opened",
                    {{"title", kProgressTitle}, {"directory", s.directory}, {"automatic", s.automatic},
                     {"index", s.index}, {"count", s.count}});
  }
  void progress(const RefreshWindowState& s) override {
    events_.publish(kChannel, "progress", {{"first", s.firstLine}, {"second", s.secondLine}});
  }
  void question(std::uint64_t id, const std::string& text) override {
    events_.publish(kChannel, "question",
                    {{"id", id}, {"text", text}, {"buttons", {"OK", "Cancel"}}, {"icon", "stop"}});
  }
  void message(const std::string& text) override {
    // A box the operator must see even with no progress window on screen.
    EventHub& events = events_;
    platform::journalLine(platform::Priority::kWarning, text);
    loop_.post([&events, text] { events.notice(text); });
  }
  void closed(const RefreshWindowResult& result) override;
  void ended(bool automatic, bool cancelled) override {
    events_.publish(kChannel, "ended", {{"automatic", automatic}, {"cancelled", cancelled}});
    if (onEnded_) onEnded_(cancelled);
  }

 private:
  EventHub& events_;
  platform::EventLoop& loop_;
  std::function<void(bool)> onEnded_;
};

Json resultJson(const RefreshWindowResult& r) {
  Json j = {{"directory", r.directory},       {"automatic", r.automatic}, {"cancelled", r.cancelled},
            {"directoriesAdded", r.directoriesAdded}, {"added", r.added},  {"updated", r.updated},
            {"deleted", r.deleted}};
  // The tree reloads the node when it had shown its children.
  if (r.directoriesAdded && !r.automatic) j["message"] = kTreeChangedText;
  return j;
}

void EventObserver::closed(const RefreshWindowResult& result) {
  events_.publish(kChannel, "closed", resultJson(result));
}

// The domain's "system" user and group ids (0 where none is found).
std::pair<std::int32_t, std::int32_t> systemOwner(store::Database& db, std::int64_t domain) {
  auto [user, group] = store::systemOwnerOf(db, domain);
  return {static_cast<std::int32_t>(user), static_cast<std::int32_t>(group)};
}

// A dialog switch: true/false or 0/1; the fallback when absent.
std::optional<bool> switchValue(const Json& body, const char* name, bool fallback) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return fallback;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number_integer()) {
    long long v = it->get<long long>();
    if (v == 0 || v == 1) return v == 1;
  }
  return std::nullopt;
}

void setNextFromRate(ConsoleContext& context) {
  int rate = context.settings.read(settings::kRefRate);
  context.frame.setNextSynchronisation(rate > 0 ? std::time(nullptr) + static_cast<std::time_t>(rate) * 60 : 0);
}

void finishAutomaticRun(ConsoleContext& context) {
  context.autoRefresh.running = false;
  setNextFromRate(context);
}

// Every non-link directory directly inside a root, with the options the
// settings give for it.
std::vector<store::RefreshOptions> automaticRefreshes(store::Database& db, const platform::Settings& s) {
  store::RefreshOptions base;
  base.recurse = 1;
  base.includeHidden = s.read(settings::kRefHidden);
  base.includeSystem = s.read(settings::kRefSystem);
  base.purge = s.read(settings::kRefPurge);
  base.addNew = s.read(settings::kRefAddNew);
  for (const auto& sw : kSecurity) base.*sw.option = s.read(*sw.setting);
  bool directoryOwner = s.read(settings::kRefNewOwner) != 0;

  std::vector<store::RefreshOptions> list;
  std::map<std::int64_t, std::pair<std::int32_t, std::int32_t>> systemOwners;
  for (const store::FileRecord& row : store::directoriesInsideRoots(db)) {
    if (row.path.empty() || row.id > INT32_MAX) continue;  // nothing on disk to compare with
    store::RefreshOptions options = base;
    options.directory = static_cast<std::int32_t>(row.id);
    options.domain = static_cast<std::int32_t>(row.domain);
    if (directoryOwner) {
      options.ownerUser = static_cast<std::int32_t>(row.userId);
      options.ownerGroup = static_cast<std::int32_t>(row.groupId);
    } else {
      auto found = systemOwners.find(row.domain);
      if (found == systemOwners.end()) found = systemOwners.emplace(row.domain, systemOwner(db, row.domain)).first;
      options.ownerUser = found->second.first;
      options.ownerGroup = found->second.second;
    }
    list.push_back(options);
  }
  return list;
}

Json autoValues(ConsoleContext& context) {
  Json j = {{"title", kAutoDialogTitle}};
  for (const auto* s : kAutoSettings) j[s->name] = context.settings.read(*s);
  j["nextSynchronisation"] = static_cast<long long>(context.frame.nextSynchronisation());
  return j;
}

ApiResponse getOptions(const ApiRequest&, ConsoleContext&) {
  // The dialog opens with fixed values, those of the settings' defaults.
  Json j = {{"title", kDialogTitle},
            {"subdirectories", true},
            {"purge", settings::kRefPurge.def != 0},
            {"addNew", settings::kRefAddNew.def != 0},
            {"system", settings::kRefSystem.def != 0},
            {"hidden", settings::kRefHidden.def != 0},
            {"ownership", settings::kRefNewOwner.def != 0 ? kDirectoryOwner : kSystemOwner}};
  for (const auto& sw : kSecurity) j[sw.name] = sw.setting->def != 0;
  return ok(j);
}

ApiResponse startRefresh(const ApiRequest& request, ConsoleContext& context) {
  if (!context.database) return databaseMissing();
  auto id = request.integer("directory");
  if (!id || *id <= 0 || *id > INT32_MAX) return badRequest("directory: the id of a directory row is required");
  store::RefreshOptions options;
  options.directory = static_cast<std::int32_t>(*id);
  struct {
    const char* name;
    std::int32_t store::RefreshOptions::*option;
  } const switches[] = {{"subdirectories", &store::RefreshOptions::recurse},
                        {"hidden", &store::RefreshOptions::includeHidden},
                        {"system", &store::RefreshOptions::includeSystem},
                        {"purge", &store::RefreshOptions::purge},
                        {"addNew", &store::RefreshOptions::addNew}};
  for (const auto& sw : switches) {
    auto value = switchValue(request.body, sw.name, options.*sw.option != 0);
    if (!value) return badRequest(std::string(sw.name) + ": true or false");
    options.*sw.option = *value;
  }
  for (const auto& sw : kSecurity) {
    auto value = switchValue(request.body, sw.name, sw.setting->def != 0);
    if (!value) return badRequest(std::string(sw.name) + ": true or false");
    options.*sw.option = *value;
  }
  std::string ownership = request.text("ownership", kDirectoryOwner);
  if (ownership != kDirectoryOwner && ownership != kSystemOwner)
    return badRequest("ownership: \"System\" or \"Directory Owner\"");

  RefreshWorker& worker = context.refreshWorker;
  if (worker.running()) return message(kBusyText, "exclamation");
  store::Database& db = *context.database;
  auto found = store::findEntry(db, *id);
  if (!found) return message(store::missingRecordText(*id), "stop", 404);
  const store::FileRecord& dir = *found;
  if (!dir.directory || dir.link != 0) return badRequest("only a directory can be refreshed");
  options.domain = static_cast<std::int32_t>(dir.domain);
  if (ownership == kSystemOwner) std::tie(options.ownerUser, options.ownerGroup) = systemOwner(db, dir.domain);

  RefreshWorker::Run run;
  run.refreshes.push_back(options);
  run.interactive = context.events.consoleOpen();
  run.observer = std::make_shared<EventObserver>(context, nullptr);
  if (!worker.start(std::move(run), db)) return message(kBusyText, "exclamation");
  return ok({{"started", true}, {"title", kProgressTitle}, {"directory", *id}});
}

ApiResponse cancelRefresh(const ApiRequest&, ConsoleContext& context) {
  auto result = context.refreshWorker.cancel();
  if (!result) return ok({{"open", false}});
  Json j = resultJson(*result);
  j["open"] = false;
  return ok(j);
}

ApiResponse answerQuestion(const ApiRequest& request, ConsoleContext& context) {
  auto id = request.integer("id");
  std::string answer = request.text("answer");
  if (!id || *id <= 0) return badRequest("id: the question's id is required");
  if (answer != "OK" && answer != "Cancel") return badRequest("answer: \"OK\" or \"Cancel\"");
  if (!context.refreshWorker.answer(static_cast<std::uint64_t>(*id), answer == "OK"))
    return notFound("No such question.");
  return ok({{"answered", true}});
}

ApiResponse refreshState(const ApiRequest&, ConsoleContext& context) {
  RefreshWorker& worker = context.refreshWorker;
  RefreshWindowState s = worker.state();
  Json window = {{"open", s.open},   {"title", kProgressTitle}, {"directory", s.directory},
                 {"automatic", s.automatic}, {"index", s.index}, {"count", s.count},
                 {"first", s.firstLine}, {"second", s.secondLine}};
  if (s.questionId != 0)
    window["question"] = {{"id", s.questionId}, {"text", s.question}, {"buttons", {"OK", "Cancel"}}, {"icon", "stop"}};
  auto last = worker.lastResult();
  return ok({{"running", worker.running()},
             {"automaticRunning", context.autoRefresh.running},
             {"window", window},
             {"last", last ? resultJson(*last) : Json(nullptr)},
             {"nextSynchronisation", static_cast<long long>(context.frame.nextSynchronisation())}});
}

ApiResponse putAuto(const ApiRequest& request, ConsoleContext& context) {
  std::map<const settings::IntSetting*, int> values;
  for (const auto* s : kAutoSettings) {
    int value = context.settings.read(*s);
    if (request.body.contains(s->name)) {
      auto given = request.integer(s->name);
      if (s == &settings::kRefRate) {
        if (!given || *given < 0 || *given > kMaxRate) return message(kRateText, "exclamation", 422);
      } else if (!given || (*given != 0 && *given != 1)) {
        return badRequest(std::string(s->name) + ": 0 or 1");
      }
      value = static_cast<int>(*given);
    }
    values[s] = value;
  }
  std::optional<long long> next;
  if (request.body.contains("nextSynchronisation")) {
    next = request.integer("nextSynchronisation");
    if (!next || *next <= 0) return badRequest("nextSynchronisation: seconds since 1970");
  }
  for (const auto* s : kAutoSettings)
    if (!context.settings.write(*s, values[s]))
      return message("Unable to save the settings: " + context.settings.lastError().message, "stop", 500);
  setNextFromRate(context);
  // An explicit time brings the next run forward; a rate of 0 still means off.
  if (next && values[&settings::kRefRate] != 0) context.frame.setNextSynchronisation(static_cast<std::time_t>(*next));
  return ok(autoValues(context));
}

}  // namespace

void registerRefreshRoutes(ApiRoutes& routes) {
  routes.get("/refresh/options", getOptions);
  routes.get("/refresh", refreshState);
  routes.post("/refresh", startRefresh);
  routes.post("/refresh/cancel", cancelRefresh);
  routes.post("/refresh/answer", answerQuestion);
  routes.get("/refresh/auto", [](const ApiRequest&, ConsoleContext& context) { return ok(autoValues(context)); });
  routes.put("/refresh/auto", putAuto);
}

void autoRefreshTick(ConsoleContext& context) {
  if (!context.database || context.autoRefresh.running) return;
  RefreshWorker& worker = context.refreshWorker;
  // A manual refresh holds the worker: the run waits for a later tick.
  if (worker.running()) return;
  std::time_t next = context.frame.nextSynchronisation();
  if (next == 0 || next >= std::time(nullptr)) return;

  context.autoRefresh.running = true;
  store::Database& db = *context.database;
  std::vector<store::RefreshOptions> refreshes;
  try {
    refreshes = automaticRefreshes(db, context.settings);
  } catch (const store::DbError& e) {
    platform::journalLine(platform::Priority::kError, std::string("Database error: ") + e.what());
    context.events.notice(std::string("Database error: ") + e.what());
    finishAutomaticRun(context);
    return;
  }
  if (refreshes.empty()) {
    finishAutomaticRun(context);
    return;
  }
  RefreshWorker::Run run;
  run.refreshes = std::move(refreshes);
  run.automatic = true;
  run.interactive = context.events.consoleOpen();
  ConsoleContext* ctx = &context;
  run.observer = std::make_shared<EventObserver>(
      context, [ctx](bool) { ctx->loop.post([ctx] { finishAutomaticRun(*ctx); }); });
  if (!worker.start(std::move(run), db)) finishAutomaticRun(context);
}

}  // namespace kestrel::console
