#include "server/application.h"

int main(int argc, char** argv) {
  using namespace kestrel::server;
  return runApplication(runModeFor(argc, argv));
}
