// The four reports, each written on the server's disk and returned as text
// for the console's viewer (and offered as a download under the file name).
//
//   GET /api/reports/user    User Report            scope: domain
//   GET /api/reports/file    File Report            scope: domain, user, directory
//   GET /api/reports/tree    Directory Tree Report  scope: domain, group, user, directory
//   GET /api/reports/log     Log Report             scope: domain, group, user
//
// Query parameters:
//   scope      the kind of the tree node selected with "Selected ... Only":
//              "domain", "group", "user" or "directory"; absent (or "system")
//              for the whole system
//   id         the node's row id (Home, Groups, Users or Files), with scope
//   output     the report file name; a name without a directory lands in the
//              program's current directory. Default "User Report.txt",
//              "File Report.txt", "Tree Report.txt", "Log Report.txt"; at most
//              128 characters for the User Report, 50 for the File and Tree
//              Reports, no limit for the Log Report
//   summaries  File Report only: "1" for "Directory Summaries Only"
//
// Answers: 200 with the report's text; "Unable to write report file." when the
// file cannot be written (nothing is returned then); 400 for a malformed
// request (unknown scope, missing id, a scope the report cannot use, a name
// too long).
#include <ctime>
#include <optional>

#include "console/routes/api.h"
#include "store/reports.h"

namespace kestrel::console {

namespace {

using store::ReportKind;
using store::ScopeKind;

struct ReportRoute {
  const char* pattern;
  ReportKind kind;
  const char* defaultFile;
  std::size_t maxName;  // 0: no limit
};

constexpr ReportRoute kReports[] = {
    {"/reports/user", ReportKind::User, "User Report.txt", 128},
    {"/reports/file", ReportKind::File, "File Report.txt", 50},
    {"/reports/tree", ReportKind::Tree, "Tree Report.txt", 50},
    {"/reports/log", ReportKind::Log, "Log Report.txt", 0},
};

std::optional<ScopeKind> scopeKind(const std::string& name) {
  if (name.empty() || name == "system") return ScopeKind::System;
  if (name == "domain") return ScopeKind::Domain;
  if (name == "group") return ScopeKind::Group;
  if (name == "user") return ScopeKind::User;
  if (name == "directory") return ScopeKind::Directory;
  return std::nullopt;
}

std::string baseName(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

ApiResponse runReport(const ReportRoute& route, const ApiRequest& request, ConsoleContext& context) {
  if (!context.database) return databaseMissing();

  std::string scopeName = request.text("scope");
  auto kind = scopeKind(scopeName);
  if (!kind) return badRequest("Unknown scope \"" + scopeName + "\".");
  store::ReportScope scope{*kind, 0};
  if (scope.kind != ScopeKind::System) {
    auto id = request.integer("id");
    if (!id || *id <= 0) return badRequest("The scope needs the id of the selected entry.");
    if (!store::reportAccepts(route.kind, scope.kind))
      return badRequest("This report cannot be limited to a " + scopeName + ".");
    scope.id = *id;
  }
  std::string output = request.text("output", route.defaultFile);
  if (route.maxName != 0 && output.size() > route.maxName)
    return badRequest("The output file name is longer than " + std::to_string(route.maxName) + " characters.");
  if (output.find('\0') != std::string::npos) return badRequest("The output file name holds a NUL character.");

  std::time_t now = std::time(nullptr);
  store::Database& db = *context.database;
  std::string text;
  switch (route.kind) {
    case ReportKind::User: text = store::userReport(db, scope, now); break;
    case ReportKind::File: text = store::fileReport(db, scope, request.flag("summaries"), now); break;
    case ReportKind::Tree: text = store::treeReport(db, scope, now); break;
    case ReportKind::Log: text = store::logReport(db, scope, now); break;
  }
  if (!store::writeTextFile(output, text)) return message("Unable to write report file.");
  return textResponse(std::move(text), baseName(output));
}

}  // namespace

void registerReportRoutes(ApiRoutes& routes) {
  for (const ReportRoute& route : kReports)
    routes.get(route.pattern, [&route](const ApiRequest& request, ConsoleContext& context) {
      return runReport(route, request, context);
    });
}

}  // namespace kestrel::console
