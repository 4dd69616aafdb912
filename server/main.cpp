#include <cstdio>

#include "server/application.h"
#include "server/command_line.h"

int main(int argc, char** argv) {
  using namespace kestrel::server;
  if (auto text = informationFor(argc, argv)) {
    std::fputs(text->c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  return runApplication(runModeFor(argc, argv));
}
