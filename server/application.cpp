#include "server/application.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/console_server.h"
#include "console/main_frame.h"
#include "platform/desktop.h"
#include "platform/faults.h"
#include "platform/instance_guard.h"
#include "platform/journal.h"
#include "platform/service.h"
#include "platform/settings.h"
#include "platform/socket.h"
#include "store/accounts.h"
#include "store/database.h"
#include "store/refresh.h"
#include "store/tree.h"

namespace kestrel::server {

RunMode runModeFor(int argc, char** argv) {
  return argc == 2 && std::strcmp(argv[1], "-s") == 0 ? RunMode::Service : RunMode::Gui;
}

namespace {

// Turns SIGINT, SIGTERM and the show request into events of the main loop.
class SignalSource : public platform::EventHandler {
 public:
  SignalSource(platform::EventLoop& loop, console::CMainFrame& frame, platform::ServiceNotifier& notifier,
               RunMode mode)
      : loop_(loop), frame_(frame), notifier_(notifier), mode_(mode) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, platform::InstanceGuard::kShowSignal);
    fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ >= 0) loop_.add(fd_, EPOLLIN, this);
  }
  ~SignalSource() override {
    if (fd_ >= 0) {
      loop_.remove(fd_);
      ::close(fd_);
    }
  }
  void onEvents(std::uint32_t) override {
    signalfd_siginfo info;
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (static_cast<int>(info.ssi_signo) == platform::InstanceGuard::kShowSignal) {
        frame_.post({Msg::Activate});
        continue;
      }
      // Interrupt in the foreground, or the service manager's stop.
      if (mode_ == RunMode::Service) {
        notifier_.stopping();
        notifier_.extendTimeout(std::chrono::milliseconds(10000));
      }
      frame_.requestStop();
    }
  }

 private:
  platform::EventLoop& loop_;
  console::CMainFrame& frame_;
  platform::ServiceNotifier& notifier_;
  RunMode mode_;
  int fd_ = -1;
};

void blockSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, platform::InstanceGuard::kShowSignal);
  // Every thread started later inherits this mask, so only the signalfd sees them.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

// Where user data sources are read from, as the driver manager looks for them.
std::string userOdbcIni() {
  if (const char* ini = std::getenv("ODBCINI"); ini && *ini) return ini;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.odbc.ini";
  return "~/.odbc.ini";
}

}  // namespace

int runApplication(RunMode mode) {
  blockSignals();
  // Each session holds a few descriptors; systemd's default soft limit of
  // 1024 would cap the server at a few hundred clients.
  platform::raiseDescriptorLimit();
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
  bool haveDatabase = false;
  try {
    store::setSharedDatabase(store::Database::open(connect));
    store::openSharedRecordSets();
    store::ensureDomain(*store::sharedDatabase(), "Default");
    haveDatabase = true;
  } catch (const store::DbError& e) {
    std::fflush(stdout);
    platform::reportLine(platform::Priority::kError, std::string("Missing or invalid database\n(") + e.what() + ")");
    store::closeSharedRecordSets();
    store::setSharedDatabase(nullptr);
    if (mode == RunMode::Service) {
      notifier.status("Missing or invalid database");
      return 1;
    }
  }

  int exitCode = 0;
  {
    console::CMainFrame frame(loop, settings, mode == RunMode::Service);
    frame.onClosed = [&loop] { loop.quit(); };
    frame.onStopCancelled = [&notifier] { notifier.status("Running"); };
    // The console is served in both modes, and also without a database so
    // that the data source can be fixed in Settings.
    console::ConsoleServer consoleServer(loop, frame, settings, haveDatabase, mode == RunMode::Service);
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
    SignalSource signals(loop, frame, notifier, mode);
    if (store::Database* db = store::sharedDatabase()) {
      db->setConnectionListener([&loop, &consoleServer](bool open) {
        const char* text = open ? "The database connection is open again."
                                : "The database connection is lost: new clients are refused until it is back.";
        std::fprintf(stderr, "%s\n", text);
        loop.post([&consoleServer, text] { consoleServer.events().notice(text); });
      });
    }
    if (haveDatabase) {
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
      if (haveDatabase && !frame.listener().listening())
        notifier.status("Running, but not listening for FTP clients: see the console's notices");
    }
    loop.run();
    // A synchronisation still walking must stop before the shared connection closes.
    store::refreshWorker().shutdown();
    if (store::Database* db = store::sharedDatabase()) db->setConnectionListener(nullptr);
  }

  store::closeSharedRecordSets();
  store::setSharedDatabase(nullptr);
  if (mode == RunMode::Service) notifier.stopped();
  return exitCode;
}

}  // namespace kestrel::server
