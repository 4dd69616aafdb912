#include "console/api.h"

namespace kestrel::console {

void registerReportRoutes(ApiRoutes&) {}

}  // namespace kestrel::console
