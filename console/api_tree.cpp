#include "console/api.h"

namespace kestrel::console {

void registerTreeRoutes(ApiRoutes&) {}

}  // namespace kestrel::console
