// A count of the changes made to the files table through this process, so
// that a session may keep a row it read and know when to read it again.
#pragma once
#include <cstdint>
#include <string_view>

namespace kestrel::store {

std::uint64_t filesGeneration();
void filesChanged();
// Whether a statement may change rows of files: anything but a query that
// names the table.
bool mayChangeFiles(std::string_view sql);

}  // namespace kestrel::store
