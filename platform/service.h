// Service mode under systemd: state reports over the notify socket, and the
// unit file that the settings sheet writes in place of a service database.
#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace kestrel::platform {

// Speaks the service manager's notify protocol: one datagram per report on
// the AF_UNIX socket named by NOTIFY_SOCKET (a path, or an abstract name when
// it starts with '@'). Without NOTIFY_SOCKET every report is a no-op that
// succeeds. Reports are independent datagrams, so any thread may send one.
class ServiceNotifier {
 public:
  // Reads NOTIFY_SOCKET once, now.
  ServiceNotifier();
  // For tests and for callers that have the name already; empty = disabled.
  explicit ServiceNotifier(std::string socketName);

  bool enabled() const { return !socketName_.empty(); }

  bool ready();                                      // READY=1, STATUS=Running
  bool stopping();                                   // STOPPING=1, STATUS=Stop pending
  bool stopped();                                    // STATUS=Stopped
  bool status(std::string_view text);                // STATUS=text (line breaks become blanks)
  bool extendTimeout(std::chrono::milliseconds ms);  // EXTEND_TIMEOUT_USEC=...

  // Sends one datagram as it is; false when it could not be sent.
  bool send(std::string_view message);

 private:
  std::string socketName_;
};

enum class ServiceStartType {
  kAutomatic,  // [Install] WantedBy=multi-user.target: started at boot once enabled
  kManual,     // no WantedBy: starts only on "systemctl start kestrel"
  kDisabled,   // no WantedBy and RefuseManualStart=yes: cannot be started at all
};

struct ServiceUnitOptions {
  ServiceStartType startType = ServiceStartType::kDisabled;
  std::string account;      // user the service runs as; empty = root (no User= line)
  std::string programPath;  // absolute path of the program; "-s" is added
  std::string settingsPath; // KESTREL_SETTINGS for the service; empty = none
  std::string odbcIni;      // ODBCINI for the service; empty = none
};

// The unit text, the one both the package installs and the settings sheet
// writes: Type=notify, ExecStart="<path>" -s, User= when given, the
// environment, port 21 without root (AmbientCapabilities), the hardening
// options and Restart=on-failure. Empty when a path is not absolute or holds
// control characters, or the account is not a plain user name
// ([A-Za-z0-9._-], not starting with '-'). Quotes, backslashes, '%' and '$'
// are escaped.
std::string buildServiceUnit(const ServiceUnitOptions& options);

// Reads back what buildServiceUnit wrote (start type from WantedBy= and
// RefuseManualStart=, account from User=, path from ExecStart=); nullopt when
// the text has no ExecStart= line. Whether systemd has the unit enabled is a
// separate question for "systemctl is-enabled".
std::optional<ServiceUnitOptions> parseServiceUnit(std::string_view text);

// Where the unit is installed.
std::string serviceUnitPath();

// Makes a written unit readable to systemd and the operator, and sets
// systemctl enable's link beside it (multi-user.target.wants/) for the
// automatic start type, removing it otherwise. Fails only when the link is
// wanted and cannot be made.
Status enableServiceUnit(const std::string& unitPath, bool automatic);

}  // namespace kestrel::platform
