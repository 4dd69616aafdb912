// The main frame's commands and the Connections, Console and spy windows:
//
//   GET    /api/connections                   the connection list, newest first
//   POST   /api/connections/kill              {"ids": [...]}; asks first
//   POST   /api/connections/message           {"ids": [...], "text": "..."}
//   POST   /api/broadcast                     {"text": "..."}: every connection
//   GET    /api/windows                       which child windows are open
//   PUT    /api/windows/<name>                {"open": true|false}
//   GET    /api/console                       the message console's text
//   POST   /api/console/clear
//   GET    /api/spies, POST /api/spies        {"connection": id}: opens a spy
//   GET    /api/spies/<id>, DELETE /api/spies/<id>
//   POST   /api/log/clear                     asks first
//   POST   /api/exit                          asks first while users are connected
//   GET    /api/about                         product, version, memory
//   GET    /api/position                      the Position section: window layout
//   PUT    /api/position                      {"values": {"Name": integer, ...}}
#include <strings.h>

#include <cctype>
#include <charconv>
#include <cstdio>

#include "console/routes/api.h"
#include "console/state/frame_view.h"
#include "console/state/spy_window.h"
#include "server/main_frame.h"
#include "platform/settings.h"
#include "platform/system.h"
#include "store/activity_log.h"
#include "store/db/database.h"

#ifndef KESTREL_VERSION
#define KESTREL_VERSION "0"
#endif

namespace kestrel::console {

namespace {

constexpr std::size_t kMessageLimit = 100;  // the message dialog's edit field
// The page keeps its window layout here; bounded so a page cannot grow the file without end.
constexpr std::size_t kPositionValueLimit = 200;
constexpr long long kPositionRange = 100000;

bool positionName(const std::string& name) {
  if (name.empty() || name.size() > 40) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  return true;
}

std::optional<std::vector<std::uint64_t>> selectedIds(const ApiRequest& request) {
  std::vector<std::uint64_t> ids;
  auto it = request.body.find("ids");
  if (it == request.body.end()) return ids;
  if (!it->is_array()) return std::nullopt;
  for (const auto& id : *it) {
    if (!id.is_number_unsigned()) return std::nullopt;
    ids.push_back(id.get<std::uint64_t>());
  }
  return ids;
}

// The text of the "Send system message" dialog, or the reason it is refused.
std::optional<ApiResponse> checkMessageText(const ApiRequest& request, std::string& text) {
  auto it = request.body.find("text");
  if (it == request.body.end() || !it->is_string()) return badRequest("The message text is missing.");
  text = it->get<std::string>();
  if (characterCount(text) > kMessageLimit)
    return message("A message may have at most 100 characters.", "stop", 422);
  if (text.find_first_of("\r\n") != std::string::npos || text.find('\0') != std::string::npos)
    return message("A message is a single line of text.", "stop", 422);
  return std::nullopt;
}

std::optional<ChildWindow> windowNamed(const std::string& name) {
  for (ChildWindow w : kChildWindows)
    if (name == childWindowName(w)) return w;
  return std::nullopt;
}

std::optional<std::uint64_t> idFrom(const std::string& text) {
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

void registerFrameRoutes(ApiRoutes& routes) {
  routes.get("/connections", [](const ApiRequest&, ConsoleContext& c) {
    Json rows = Json::array();
    for (const auto& record : c.frame.connections()) rows.push_back(connectionJson(record));
    return ok({{"connections", rows}});
  });

  routes.post("/connections/kill", [](const ApiRequest& request, ConsoleContext& c) {
    auto ids = selectedIds(request);
    if (!ids) return badRequest("\"ids\" must be a list of connection ids.");
    auto answer = request.answer();
    // Asked even with nothing selected, as the window does.
    if (!answer) return question("Really disconnect user(s)?", {"OK", "Cancel"});
    if (*answer != "OK") return ok({{"killed", 0}});
    int killed = 0;
    for (auto id : *ids)
      if (server::ConnectionRecord* record = c.frame.findById(id)) {
        // The row goes when the connection reports its end.
        record->thread->post({Msg::EndConnection, record->thread.get()});
        ++killed;
      }
    return ok({{"killed", killed}});
  });

  routes.post("/connections/message", [](const ApiRequest& request, ConsoleContext& c) {
    auto ids = selectedIds(request);
    if (!ids) return badRequest("\"ids\" must be a list of connection ids.");
    std::string text;
    if (auto refusal = checkMessageText(request, text)) return *refusal;
    int sent = 0;
    for (auto id : *ids)
      if (server::ConnectionRecord* record = c.frame.findById(id)) {
        record->thread->post({Msg::UserMessage, record->thread.get(), text});
        ++sent;
      }
    return ok({{"sent", sent}});
  });

  routes.post("/broadcast", [](const ApiRequest& request, ConsoleContext& c) {
    std::string text;
    if (auto refusal = checkMessageText(request, text)) return *refusal;
    c.frame.postToAll({Msg::UserMessage, nullptr, text});
    return ok({{"sent", c.frame.connections().size()}});
  });

  routes.get("/windows", [](const ApiRequest&, ConsoleContext& c) { return ok({{"windows", c.view.windowsJson()}}); });

  routes.put("/windows/([a-z]+)", [](const ApiRequest& request, ConsoleContext& c) {
    auto window = windowNamed(request.captures[0]);
    if (!window) return notFound("No such window.");
    auto open = request.body.find("open");
    if (open == request.body.end() || !open->is_boolean()) return badRequest("\"open\" must be true or false.");
    c.view.setOpen(*window, open->get<bool>());
    return ok({{"windows", c.view.windowsJson()}});
  });

  routes.get("/console", [](const ApiRequest&, ConsoleContext& c) {
    return ok({{"text", c.view.consoleText()}, {"open", c.view.isOpen(ChildWindow::Console)}});
  });

  routes.post("/console/clear", [](const ApiRequest&, ConsoleContext& c) {
    c.view.clearConsole();
    return ok();
  });

  routes.get("/spies", [](const ApiRequest&, ConsoleContext& c) {
    Json spies = Json::array();
    for (const auto& [id, spy] : c.view.spies()) spies.push_back(spy->snapshot());
    return ok({{"spies", spies}});
  });

  routes.post("/spies", [](const ApiRequest& request, ConsoleContext& c) {
    auto connection = request.integer("connection");
    if (!connection || *connection <= 0) return badRequest("\"connection\" must be a connection id.");
    auto spy = c.view.openSpy(static_cast<std::uint64_t>(*connection));
    if (!spy) return notFound("No such connection.");
    return ok(spy->snapshot());
  });

  routes.get(R"(/spies/(\d+))", [](const ApiRequest& request, ConsoleContext& c) {
    auto id = idFrom(request.captures[0]);
    auto spy = id ? c.view.findSpy(*id) : nullptr;
    if (!spy) return notFound("No such spy window.");
    return ok(spy->snapshot());
  });

  routes.del(R"(/spies/(\d+))", [](const ApiRequest& request, ConsoleContext& c) {
    auto id = idFrom(request.captures[0]);
    if (!id || !c.view.closeSpy(*id)) return notFound("No such spy window.");
    return ok();
  });

  routes.post("/log/clear", [](const ApiRequest& request, ConsoleContext& c) {
    if (!c.database) return databaseMissing();
    auto answer = request.answer();
    if (!answer) return question("Clearing activity log.  Are you really sure?", {"OK", "Cancel"});
    if (*answer != "OK") return ok({{"cleared", false}});
    store::clearActivityLog(*c.database);
    return ok({{"cleared", true}});
  });

  routes.post("/exit", [](const ApiRequest& request, ConsoleContext& c) {
    switch (c.frame.requestClose(request.answer().value_or(""))) {
      case server::CloseOutcome::Asking:
        return question(FrameView::kExitQuestion, {"OK", "Cancel"}, "warning");
      case server::CloseOutcome::Closed:
        return ok({{"state", "closed"}});
      case server::CloseOutcome::Confirmed:
        return ok({{"state", "closing"}});
      case server::CloseOutcome::Cancelled:
        return ok({{"state", "running"}});
      case server::CloseOutcome::Ignored:
        break;
    }
    return ok({{"state", c.frame.closing() ? "closing" : "running"}});
  });

  routes.get("/about", [](const ApiRequest&, ConsoleContext&) {
    char memory[64];
    std::snprintf(memory, sizeof memory, "%llu KB", static_cast<unsigned long long>(platform::totalMemoryKilobytes()));
    return ok({{"product", "Kestrel"}, {"version", KESTREL_VERSION}, {"memory", memory}});
  });

  routes.get("/position", [](const ApiRequest&, ConsoleContext& c) {
    Json values = Json::object();
    for (const auto& [name, text] : c.settings.readSection(settings::kPositionSection)) {
      long long value = 0;
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error == std::errc() && end == text.data() + text.size()) values[name] = value;
    }
    return ok({{"values", values}});
  });

  routes.put("/position", [](const ApiRequest& request, ConsoleContext& c) {
    auto it = request.body.find("values");
    if (it == request.body.end() || !it->is_object()) return badRequest("\"values\" must be an object.");
    platform::SectionValues section = c.settings.readSection(settings::kPositionSection);
    for (const auto& [name, value] : it->items()) {
      if (!positionName(name)) return badRequest("\"" + name + "\" is not a layout name.");
      if (!value.is_number_integer() || value.get<long long>() < -kPositionRange ||
          value.get<long long>() > kPositionRange)
        return badRequest("\"" + name + "\" must be an integer.");
      std::string text = std::to_string(value.get<long long>());
      bool replaced = false;
      for (auto& [existing, old] : section)
        if (strcasecmp(existing.c_str(), name.c_str()) == 0) {
          old = text;
          replaced = true;
          break;
        }
      if (!replaced) section.emplace_back(name, text);
    }
    if (section.size() > kPositionValueLimit) return message("Too many layout values.", "stop", 422);
    if (!c.settings.writeSection(settings::kPositionSection, section))
      return message("The layout cannot be saved: " + c.settings.lastError().message, "stop", 500);
    return ok();
  });
}

}  // namespace kestrel::console
