#include "console/api.h"

namespace kestrel::console {

void registerAccountRoutes(ApiRoutes&) {}

}  // namespace kestrel::console
