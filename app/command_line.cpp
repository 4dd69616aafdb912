#include "app/command_line.h"

#include <cstring>

#include "console/http/web_root.h"
#include "kestrel_version.h"

namespace kestrel::app {

std::string usageText() {
  return "Usage: kestrel              run the FTP server and its web console (GUI mode)\n"
         "       kestrel -s           run as a systemd service (Type=notify; SIGTERM stops it)\n"
         "       kestrel --help       show this text\n"
         "       kestrel --version    show the version and the commit it was built from\n"
         "\n"
         "Any other command line starts GUI mode. In GUI mode the console's address is\n"
         "printed, and opened with xdg-open when a desktop is present.\n"
         "\n"
         "Environment:\n"
         "  KESTREL_SETTINGS  the settings file (default: $XDG_CONFIG_HOME/Larkspur Systems/\n"
         "                    Kestrel.ini, else ~/.config/Larkspur Systems/Kestrel.ini)\n"
         "  ODBCINI           the odbc.ini that defines the data source (default: ~/.odbc.ini;\n"
         "                    system data sources come from /etc/odbc.ini)\n"
         "  KESTREL_WEB_DIR   the console's pages (now: " +
         console::webRoot() + ")\n";
}

std::string versionText() { return std::string("Kestrel ") + KESTREL_VERSION + "\ncommit " + KESTREL_COMMIT + "\n"; }

std::optional<std::string> informationFor(int argc, char** argv) {
  if (argc != 2) return std::nullopt;
  if (std::strcmp(argv[1], "--help") == 0) return usageText();
  if (std::strcmp(argv[1], "--version") == 0) return versionText();
  return std::nullopt;
}

}  // namespace kestrel::app
