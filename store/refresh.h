// Disk synchronisation: brings the rows under a directory of the virtual tree
// in line with the physical directory behind it, reporting each step to a
// RefreshMonitor (the console's progress window implements it).
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/db/database.h"

namespace kestrel::store {

// The parameters of one refresh: eighteen integers in this order.
struct RefreshOptions {
  std::int32_t recurse = 1;
  std::int32_t includeHidden = 0;
  std::int32_t includeSystem = 0;
  std::int32_t purge = 1;
  std::int32_t addNew = 1;
  std::int32_t directory = 0;   // the Files row to refresh
  std::int32_t ownerUser = 0;   // 0: each directory row's own UserID
  std::int32_t ownerGroup = 0;  // 0: each directory row's own GroupID
  std::int32_t domain = 0;      // written into new rows
  std::int32_t groupRead = 1, groupWrite = 1, groupExecute = 1;
  std::int32_t userRead = 1, userWrite = 1, userExecute = 1;
  std::int32_t otherRead = 1, otherWrite = 0, otherExecute = 1;
};
static_assert(sizeof(RefreshOptions) == 18 * sizeof(std::int32_t));

// What the walk says to its progress window. Any report may find the window
// withdrawn (the operator pressed Cancel): it then answers false and the walk
// stops after finishing the change it was reporting.
class RefreshMonitor {
 public:
  virtual ~RefreshMonitor() = default;
  // First line: the physical path being walked; clears the second line.
  virtual bool enterDirectory(const std::string& path) = 0;
  // Second line: the change about to be made.
  virtual bool reportAction(const std::string& text) = 0;
  // An OK box.
  virtual void showMessage(const std::string& text) = 0;
  // An OK/Cancel box; true for OK.
  virtual bool askToContinue(const std::string& text) = 0;
  // The process is ending: stop at once, reported or not.
  virtual bool aborted() const { return false; }
};

// What one refresh changed; read from other threads while it runs.
struct RefreshCounts {
  std::atomic<long long> added{0}, updated{0}, deleted{0};
  std::atomic<bool> directoriesAdded{false};
};

inline constexpr char kMissingRecordText[] = "Missing database record %d.";
inline constexpr char kEmptyPathText[] = "Empty directory path found.";
inline constexpr char kInvalidDirectoryText[] = "The directory '%s' is invalid.";

// "Missing database record %d." for this id.
std::string missingRecordText(std::int64_t id);

// Refreshes the directory row options.directory (recursively when asked).
// Returns false when the walk was stopped. Throws DbError.
bool refreshDirectory(Database& db, const RefreshOptions& options, RefreshMonitor& monitor,
                      RefreshCounts& counts);

// Whether a directory row whose entry has gone may be purged: its Path is
// the refreshed directory's prefix (compared without regard to case) and one
// more name.
bool pathLiesDirectlyIn(std::string_view path, std::string_view prefix);

// Whether a name found on disk can become a row: printable UTF-8, no control
// characters (they would end up inside FTP replies and listings).
bool storableName(std::string_view name);

}  // namespace kestrel::store
