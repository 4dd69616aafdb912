// Writes the package's systemd unit with the same code the settings sheet
// uses, so the two cannot drift apart. Run at build time:
//   kestrel_unit PROGRAM ACCOUNT SETTINGS ODBCINI
#include <cstdio>

#include "platform/service.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s PROGRAM ACCOUNT SETTINGS ODBCINI\n", argv[0]);
    return 2;
  }
  kestrel::platform::ServiceUnitOptions options;
  options.startType = kestrel::platform::ServiceStartType::kAutomatic;
  options.programPath = argv[1];
  options.account = argv[2];
  options.settingsPath = argv[3];
  options.odbcIni = argv[4];
  std::string unit = kestrel::platform::buildServiceUnit(options);
  if (unit.empty()) {
    std::fprintf(stderr, "%s: the unit's paths or account are not valid\n", argv[0]);
    return 1;
  }
  std::fputs(unit.c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
