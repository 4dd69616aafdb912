#include <cstdio>

#include "app/application.h"
#include "app/command_line.h"

int main(int argc, char** argv) {
  using namespace kestrel::app;
  if (auto text = informationFor(argc, argv)) {
    std::fputs(text->c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  return runApplication(runModeFor(argc, argv));
}
