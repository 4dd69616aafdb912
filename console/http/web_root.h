// Where the console's pages are read from.
#pragma once
#include <string>

namespace kestrel::console {

// $KESTREL_WEB_DIR when set; else share/kestrel/web beside an installed
// program; else the pages of the source tree this program was built from.
std::string webRoot();

}  // namespace kestrel::console
