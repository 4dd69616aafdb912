// Which statements count as changes to the files table
// (Database::filesGeneration).
#pragma once
#include <cstdint>
#include <string_view>

namespace kestrel::store {

// Whether a statement may change rows of files: anything but a query that
// names the table.
bool mayChangeFiles(std::string_view sql);

}  // namespace kestrel::store
