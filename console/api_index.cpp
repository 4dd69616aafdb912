#include "console/api.h"

namespace kestrel::console {

void registerIndexRoutes(ApiRoutes&) {}

}  // namespace kestrel::console
