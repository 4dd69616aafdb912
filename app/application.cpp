#include "app/application.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/http/console_server.h"
#include "platform/desktop.h"
#include "platform/faults.h"
#include "platform/instance_guard.h"
#include "platform/journal.h"
#include "platform/service.h"
#include "platform/settings.h"
#include "platform/signals.h"
#include "platform/system.h"
#include "platform/socket.h"
#include "server/main_frame.h"
#include "console/state/refresh_window.h"
#include "ftp/session.h"
#include "store/accounts.h"
#include "store/counters.h"
#include "store/db/database.h"
#include "store/tree.h"

namespace kestrel::app {

RunMode runModeFor(int argc, char** argv) {
  return argc == 2 && std::strcmp(argv[1], "-s") == 0 ? RunMode::Service : RunMode::Gui;
}

namespace {

constexpr std::initializer_list<int> kHandledSignals = {SIGINT, SIGTERM, platform::InstanceGuard::kShowSignal};

// Where user data sources are read from, as the driver manager looks for them.
std::string userOdbcIni() {
  if (const char* ini = std::getenv("ODBCINI"); ini && *ini) return ini;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.odbc.ini";
  return "~/.odbc.ini";
}

}  // namespace

int runApplication(RunMode mode) {
  // Every thread started later inherits the mask, so only the watcher below sees them.
  platform::blockSignals(kHandledSignals);
  // Each session holds a few descriptors; systemd's default soft limit of
  // 1024 would cap the server at a few hundred clients.
  platform::raiseDescriptorLimit();
  platform::keepFreedMemoryForReuse();
  if (const char* faults = std::getenv("KESTREL_FAULTS"); faults && !platform::armFaultsFromText(faults)) {
    std::fprintf(stderr, "KESTREL_FAULTS is malformed: %s\n", faults);
    return 2;
  }
  platform::setServiceLog(mode == RunMode::Service);
  const std::string settingsPath = platform::Settings::defaultPath();
  auto guard = platform::InstanceGuard::acquire(settingsPath);
  if (!guard) {
    // A second instance: the running one shows itself and this one leaves quietly.
    platform::InstanceGuard::askRunningToShow(settingsPath);
    if (mode == RunMode::Gui) {
      std::string address = platform::InstanceGuard::runningConsoleAddress(settingsPath);
      if (!address.empty()) std::printf("Kestrel is already running: %s\n", address.c_str());
    }
    return 0;
  }

  platform::Settings settings(settingsPath);
  platform::ServiceNotifier notifier;
  platform::EventLoop loop;
  if (!loop.ready()) {
    std::perror("Kestrel cannot create its main loop");
    return 1;
  }
  platform::addLogSecret(settings.read(settings::kDbPassword));
  std::printf("Settings: %s\n", settingsPath.c_str());
  std::printf("Data source: %s (user data sources: %s; system: /etc/odbc.ini)\n",
              settings.read(settings::kDatabase).c_str(), userOdbcIni().c_str());

  std::string connect = "DSN=" + settings.read(settings::kDatabase) + ";UID=" + settings.read(settings::kDbLogin) +
                        ";PWD=" + settings.read(settings::kDbPassword);
  // The process-wide store objects, made here once and lent to every layer;
  // the record sets go before the connection they were opened on.
  std::unique_ptr<store::Database> database;
  std::unique_ptr<store::SharedRecordSets> recordSets;
  std::unique_ptr<ftp::SessionShared> sessionShared;
  auto closeDatabase = [&] {
    sessionShared.reset();  // writes the counts still pending
    if (database) database->lendRecordSets(nullptr);
    recordSets.reset();
    database.reset();
  };
  try {
    database = store::Database::open(connect);
    recordSets = std::make_unique<store::SharedRecordSets>(*database);
    database->lendRecordSets(recordSets.get());
    store::ensureDomain(*database, "Default");
    sessionShared = std::make_unique<ftp::SessionShared>(*database);
  } catch (const store::DbError& e) {
    std::fflush(stdout);
    platform::reportLine(platform::Priority::kError, std::string("Missing or invalid database\n(") + e.what() + ")");
    closeDatabase();
    if (mode == RunMode::Service) {
      notifier.status("Missing or invalid database");
      return 1;
    }
  }

  int exitCode = 0;
  {
    console::RefreshWorker refreshWorker;
    server::CMainFrame frame(loop, settings, mode == RunMode::Service, sessionShared.get());
    // A synchronisation still walking must stop before the shared connection closes.
    frame.onClosed = [&loop, &refreshWorker] {
      refreshWorker.shutdown();
      loop.quit();
    };
    frame.onStopCancelled = [&notifier] { notifier.status("Running"); };
    // The console is served in both modes, and also without a database so
    // that the data source can be fixed in Settings.
    console::ConsoleServer consoleServer(loop, frame, settings, refreshWorker, database.get(),
                                         mode == RunMode::Service);
    frame.onTick = [&consoleServer] { console::autoRefreshTick(consoleServer.context()); };
    std::string consoleError;
    if (consoleServer.start(consoleError)) {
      platform::addLogSecret(settings.read(settings::kConsolePassword));
      guard->publishConsoleAddress(consoleServer.url());
      std::printf("Console: %s\n", consoleServer.url().c_str());
      if (mode == RunMode::Gui && platform::desktopPresent()) platform::openInBrowser(consoleServer.url());
    } else {
      platform::reportLine(platform::Priority::kError, consoleError);
    }
    platform::SignalWatcher signals(loop, kHandledSignals, [&](int signal) {
      if (signal == platform::InstanceGuard::kShowSignal) {
        frame.post({Msg::Activate});
        return;
      }
      // Interrupt in the foreground, or the service manager's stop.
      if (mode == RunMode::Service) {
        notifier.stopping();
        notifier.extendTimeout(std::chrono::milliseconds(10000));
      }
      frame.requestStop();
    });
    if (database) {
      database->setConnectionListener([&loop, &consoleServer](bool open) {
        const char* text = open ? "The database connection is open again."
                                : "The database connection is lost: new clients are refused until it is back.";
        std::fprintf(stderr, "%s\n", text);
        loop.post([&consoleServer, text] { consoleServer.events().notice(text); });
      });
    }
    if (database) {
      frame.create();
      if (frame.listener().listening())
        std::printf("Kestrel is listening on port %d\n", frame.listener().port());
    } else {
      consoleServer.events().notice("Missing or invalid database");
    }
    std::fflush(stdout);
    if (mode == RunMode::Service) {
      notifier.ready();
      // The console stays up so that Port can be fixed there; say so where
      // `systemctl status` shows it instead of a bare "Running".
      if (database && !frame.listener().listening())
        notifier.status("Running, but not listening for FTP clients: see the console's notices");
    }
    loop.run();
    refreshWorker.shutdown();
    if (database) database->setConnectionListener(nullptr);
  }

  closeDatabase();
  if (mode == RunMode::Service) notifier.stopped();
  return exitCode;
}

}  // namespace kestrel::app
