// The server's counters for a monitoring system:
//
//   GET /api/metrics   the Prometheus text format (version 0.0.4), behind the
//                      same password as the rest of the API
//
// Everything here is read from atomics and the refresh worker's state; a
// scrape never runs a database statement.
#include <map>
#include <string>

#include "console/routes/api.h"
#include "ftp/command_table.h"
#include "platform/metrics.h"
#include "console/state/refresh_window.h"

namespace kestrel::console {

namespace {

// "RETR " and "RETR" are one verb; several table entries may share it.
std::map<std::string, std::uint64_t> commandsByVerb(const metrics::Counters& c) {
  std::map<std::string, std::uint64_t> verbs;
  auto table = ftp::commandTable();
  for (std::size_t i = 0; i < table.size() && i < metrics::kCommandSlots - 1; ++i) {
    std::string verb = table[i].text;
    while (!verb.empty() && verb.back() == ' ') verb.pop_back();
    verbs[verb] += c.commands[i].load(std::memory_order_relaxed);
  }
  verbs["unknown"] += c.commands[metrics::kCommandSlots - 1].load(std::memory_order_relaxed);
  return verbs;
}

std::string render(const RefreshWorker& worker) {
  const metrics::Counters& c = metrics::counters();
  metrics::Exposition out;

  out.family("kestrel_sessions_open", "gauge", "FTP control connections open now.");
  out.sample("kestrel_sessions_open", static_cast<double>(c.sessionsOpen.load(std::memory_order_relaxed)));

  out.family("kestrel_logins_total", "counter", "Logins answered, by result.");
  for (std::size_t i = 0; i < c.logins.size(); ++i)
    out.sample("kestrel_logins_total", {{"result", metrics::loginResultName(static_cast<metrics::LoginResult>(i))}},
               static_cast<double>(c.logins[i].load(std::memory_order_relaxed)));

  out.family("kestrel_commands_total", "counter", "FTP command lines received, by verb.");
  for (const auto& [verb, count] : commandsByVerb(c))
    out.sample("kestrel_commands_total", {{"verb", verb}}, static_cast<double>(count));

  out.family("kestrel_bytes_sent_total", "counter", "Bytes sent on data connections (downloads and listings).");
  out.sample("kestrel_bytes_sent_total", static_cast<double>(c.bytesSent.load(std::memory_order_relaxed)));
  out.family("kestrel_bytes_received_total", "counter", "Bytes received on data connections (uploads).");
  out.sample("kestrel_bytes_received_total", static_cast<double>(c.bytesReceived.load(std::memory_order_relaxed)));

  out.family("kestrel_transfers_total", "counter", "Data transfers ended, by result.");
  for (std::size_t i = 0; i < c.transfers.size(); ++i)
    out.sample("kestrel_transfers_total",
               {{"result", metrics::transferResultName(static_cast<metrics::TransferResult>(i))}},
               static_cast<double>(c.transfers[i].load(std::memory_order_relaxed)));

  out.family("kestrel_database_errors_total", "counter", "Database errors raised by the driver.");
  out.sample("kestrel_database_errors_total", static_cast<double>(c.databaseErrors.load(std::memory_order_relaxed)));

  out.histogram("kestrel_database_statement_seconds",
                "Time of one database statement, from the driver call to its last row.", c.statementTime);

  // One series per state, the current one 1: alerting can match on the label.
  const bool running = worker.running();
  const bool asking = running && worker.state().questionId != 0;
  out.family("kestrel_refresh_state", "gauge", "Disk synchronisation worker: idle, running or waiting for an answer.");
  out.sample("kestrel_refresh_state", {{"state", "idle"}}, running ? 0 : 1);
  out.sample("kestrel_refresh_state", {{"state", "running"}}, running && !asking ? 1 : 0);
  out.sample("kestrel_refresh_state", {{"state", "asking"}}, asking ? 1 : 0);
  return out.text();
}

}  // namespace

void registerMetricsRoutes(ApiRoutes& routes) {
  routes.get("/metrics", [](const ApiRequest&, ConsoleContext& c) {
    ApiResponse response = textResponse(render(c.refreshWorker));
    response.contentType = "text/plain; version=0.0.4; charset=utf-8";
    return response;
  });
}

}  // namespace kestrel::console
