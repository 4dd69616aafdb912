#include "console/api.h"

namespace kestrel::console {

void registerRefreshRoutes(ApiRoutes&) {}

void autoRefreshTick(ConsoleContext&) {}

}  // namespace kestrel::console
