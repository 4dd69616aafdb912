// The settings sheet and its service page:
//
//   GET /api/settings        General, Database and Logging values (the
//                            database password is never sent back, only
//                            whether one is set)
//   PUT /api/settings        any of those fields; all or nothing
//   GET /api/datasources     the driver manager's data sources
//   GET /api/service         the systemd unit's start type and account
//   PUT /api/service         {"startType": "automatic"|"manual"|"disabled",
//                             "logOnAs": "administrator"|"user", "account"}
//                            writes the unit where systemd reads it when the
//                            program may write there; otherwise the answer
//                            carries the unit text for the operator
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "console/routes/api.h"
#include "platform/install_paths.h"
#include "platform/service.h"
#include "platform/settings.h"
#include "store/activity_log.h"
#include "store/db/database.h"

namespace kestrel::console {

namespace {

constexpr int kTimeoutMin = 30;
constexpr int kTimeoutMax = 7200;

// A refusal the sheet shows on the control that caused it.
ApiResponse fieldRefusal(const std::string& text, const char* page, const char* field) {
  ApiResponse refusal = message(text, "exclamation", 422);
  refusal.body["page"] = page;
  refusal.body["field"] = field;
  return refusal;
}

// Page order of the Logging page: Files, then Other.
const char* const kLoggingOrder[] = {"LogUPLOAD", "LogDOWNLOAD", "LogRENAME", "LogDELETE", "LogCHMOD", "LogCHGRP",
                                     "LogCHOWN",  "LogKICK",     "LogCONSOLE", "LogUMSG",  "LogLOGIN", "LogLOGOUT"};

const settings::IntSetting* logSwitch(const std::string& name) {
  for (std::size_t i = 1; i < settings::kLogSwitches.size(); ++i)
    if (name == settings::kLogSwitches[i].name) return &settings::kLogSwitches[i];
  return nullptr;
}

Json settingsJson(const platform::Settings& s) {
  Json logging = Json::object();
  Json order = Json::array();  // the page's order; the object itself is keyed by name
  for (const char* name : kLoggingOrder) {
    logging[name] = s.read(*logSwitch(name)) != 0;
    order.push_back(name);
  }
  return {{"Mail", s.read(settings::kMail)},
          {"Timeout", s.read(settings::kTimeout)},
          {"Lookup", s.read(settings::kLookup) != 0},
          {"Database", s.read(settings::kDatabase)},
          {"DBLogin", s.read(settings::kDbLogin)},
          {"DBPasswordSet", !s.read(settings::kDbPassword).empty()},
          {"TLSCertificate", s.read(settings::kTlsCertificate)},
          {"TLSKey", s.read(settings::kTlsKey)},
          {"TLSRequired", s.read(settings::kTlsRequired)},
          {"Logging", logging},
          {"LoggingOrder", order}};
}

std::optional<std::string> textField(const Json& body, const char* name, std::string& error) {
  auto it = body.find(name);
  if (it == body.end()) return std::nullopt;
  if (!it->is_string()) {
    error = std::string("\"") + name + "\" must be text.";
    return std::nullopt;
  }
  std::string value = it->get<std::string>();
  if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    error = std::string("\"") + name + "\" must be a single line.";
    return std::nullopt;
  }
  return value;
}

std::string unitPath() {
  if (const char* path = std::getenv("KESTREL_SERVICE_UNIT"); path && *path) return path;
  return platform::serviceUnitPath();
}

// The odbc.ini this program reads its user data sources from, for the service to read too.
std::string odbcIniPath() {
  if (const char* ini = std::getenv("ODBCINI"); ini && *ini) return ini;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.odbc.ini";
  return {};
}

const char* startTypeName(platform::ServiceStartType type) {
  switch (type) {
    case platform::ServiceStartType::kAutomatic:
      return "automatic";
    case platform::ServiceStartType::kManual:
      return "manual";
    case platform::ServiceStartType::kDisabled:
      return "disabled";
  }
  return "disabled";
}

}  // namespace

void registerSettingsRoutes(ApiRoutes& routes) {
  routes.get("/settings", [](const ApiRequest&, ConsoleContext& c) { return ok(settingsJson(c.settings)); });

  routes.put("/settings", [](const ApiRequest& request, ConsoleContext& c) {
    const Json& body = request.body;
    std::string error;
    platform::SectionValues textValues;
    std::vector<std::pair<const settings::IntSetting*, int>> intValues;

    for (const settings::TextSetting* s : {&settings::kMail, &settings::kDatabase, &settings::kDbLogin,
                                           &settings::kDbPassword, &settings::kTlsCertificate,
                                           &settings::kTlsKey}) {
      auto value = textField(body, s->name, error);
      if (!error.empty()) return badRequest(error);
      if (value) textValues.emplace_back(s->name, *value);
    }
    if (auto it = body.find("Timeout"); it != body.end()) {
      if (!it->is_number_integer() || it->get<long long>() < kTimeoutMin || it->get<long long>() > kTimeoutMax)
        return fieldRefusal("Please enter an integer between 30 and 7200.", "General", "Timeout");
      intValues.emplace_back(&settings::kTimeout, it->get<int>());
    }
    if (auto it = body.find("TLSRequired"); it != body.end()) {
      if (!it->is_number_integer() || it->get<long long>() < 0 || it->get<long long>() > 2)
        return fieldRefusal("Please choose 0, 1 or 2.", "Encryption", "TLSRequired");
      intValues.emplace_back(&settings::kTlsRequired, it->get<int>());
    }
    if (auto it = body.find("Lookup"); it != body.end()) {
      if (!it->is_boolean()) return badRequest("\"Lookup\" must be true or false.");
      intValues.emplace_back(&settings::kLookup, it->get<bool>() ? 1 : 0);
    }
    if (auto it = body.find("Logging"); it != body.end()) {
      if (!it->is_object()) return badRequest("\"Logging\" must be an object of switches.");
      for (const auto& [name, value] : it->items()) {
        const settings::IntSetting* s = logSwitch(name);
        if (!s) return badRequest("Unknown logging switch \"" + name + "\".");
        if (!value.is_boolean()) return badRequest("\"" + name + "\" must be true or false.");
        intValues.emplace_back(s, value.get<bool>() ? 1 : 0);
      }
    }

    for (const auto& [name, value] : textValues)
      if (!c.settings.writeText(settings::kSettingsSection, name, value))
        return message("The settings cannot be saved: " + c.settings.lastError().message, "stop", 500);
    for (const auto& [s, value] : intValues)
      if (!c.settings.write(*s, value))
        return message("The settings cannot be saved: " + c.settings.lastError().message, "stop", 500);
    // The activity log uses the new switches at once.
    store::loadLogSwitches(c.settings);
    return ok(settingsJson(c.settings));
  });

  routes.get("/datasources", [](const ApiRequest&, ConsoleContext&) {
    Json names = Json::array();
    for (const auto& [name, description] : store::Database::dataSources())
      names.push_back({{"name", name}, {"description", description}});
    return ok({{"dataSources", names}});
  });

  routes.get("/service", [](const ApiRequest&, ConsoleContext&) {
    std::string path = unitPath();
    std::ifstream in(path);
    Json body = {{"unitPath", path}, {"installed", false}, {"startType", "automatic"},
                 {"logOnAs", "administrator"}, {"account", ""}};
    if (in) {
      std::stringstream text;
      text << in.rdbuf();
      if (auto unit = platform::parseServiceUnit(text.str())) {
        body["installed"] = true;
        body["startType"] = startTypeName(unit->startType);
        body["programPath"] = unit->programPath;
        if (!unit->account.empty() && unit->account != "root") {
          body["logOnAs"] = "user";
          body["account"] = unit->account;
        }
      }
    }
    return ok(body);
  });

  routes.put("/service", [](const ApiRequest& request, ConsoleContext& c) {
    platform::ServiceUnitOptions options;
    std::string startType = request.text("startType", "automatic");
    if (startType == "automatic") options.startType = platform::ServiceStartType::kAutomatic;
    else if (startType == "manual") options.startType = platform::ServiceStartType::kManual;
    else if (startType == "disabled") options.startType = platform::ServiceStartType::kDisabled;
    else return badRequest("\"startType\" must be automatic, manual or disabled.");
    std::string logOnAs = request.text("logOnAs", "administrator");
    if (logOnAs == "user") {
      std::string account = request.text("account");
      // An account typed as domain\name keeps only the name.
      if (auto slash = account.find('\\'); slash != std::string::npos) account = account.substr(slash + 1);
      if (account.empty()) return fieldRefusal("Enter the account the service runs as.", "Service", "account");
      options.account = account;
    } else if (logOnAs != "administrator") {
      return badRequest("\"logOnAs\" must be administrator or user.");
    }
    options.programPath = platform::executablePath();
    // The service reads the settings and data sources this console uses.
    options.settingsPath = c.settings.path();
    options.odbcIni = odbcIniPath();
    std::string unit = platform::buildServiceUnit(options);
    if (unit.empty())
      return fieldRefusal("\"" + options.account + "\" is not a valid account name.", "Service", "account");

    std::string path = unitPath();
    Json body = {{"unitPath", path}, {"unit", unit}, {"startType", startType}};
    platform::Status written = platform::writePrivateFileAtomically(path, unit);
    if (!written.ok()) {
      int error = written.code;
      if (error == EACCES || error == EPERM || error == EROFS) {
        // Not ours to write: the operator installs it.
        body["installed"] = false;
        body["instructions"] = "Save this unit as " + path +
                               " as root, then run \"systemctl daemon-reload\"" +
                               (startType == "automatic" ? " and \"systemctl enable kestrel\"." : ".");
        return ok(body);
      }
      return message("Error writing to Service Database.  NT Service changes not applied.");
    }
    if (!platform::enableServiceUnit(path, options.startType == platform::ServiceStartType::kAutomatic).ok())
      return message("Error writing to Service Database.  NT Service changes not applied.");
    body["installed"] = true;
    body["instructions"] = "Run \"systemctl daemon-reload\" to apply.";
    return ok(body);
  });
}

}  // namespace kestrel::console
