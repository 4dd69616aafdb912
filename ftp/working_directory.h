// The session's working directory: the levels from the account's root down
// to it, the directories whose description the client has seen, and the
// resolvers that turn a client path into a row of the virtual tree.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "store/queries.h"
#include "store/records.h"

namespace kestrel::store {
class Database;
}

namespace kestrel::ftp {

// Levels below the root a session can stand in, the root included.
constexpr int kMaxDepth = 50;

// A path as the resolvers walk it: from the root or from the working
// directory, and the names of the levels, folded to lower case. Two
// separators in a row leave an empty name, which finds nothing.
struct ClientPath {
  bool absolute = false;
  std::vector<std::string> names;
};
ClientPath splitClientPath(const std::string& path);

// CWD's argument: only '/' separates, names keep their case, and the text
// its replies show has no leading '/'.
struct DirectoryArgument {
  bool absolute = false;
  std::string shown;
  std::vector<std::string> names;
};
DirectoryArgument splitDirectoryArgument(const std::string& argument);

// The levels from the root to a directory: ids (a link's target) and the
// names PWD shows, in the rows' own spelling. Never empty.
struct Route {
  std::vector<std::int64_t> ids;
  std::vector<std::string> names;
};

// One level down from `parent`: the directory named `name`, with its link
// followed, or nothing.
struct Step {
  std::int64_t id = 0;
  std::string name;
};
using DirectoryLookup = std::function<std::optional<Step>(std::int64_t parent, const std::string& name)>;

class WorkingDirectory {
 public:
  WorkingDirectory();

  // At login: the account's root.
  void reset(std::int64_t rootId);
  // Back to the root after a login that did not complete.
  void toRoot();

  std::int64_t rootId() const { return route_.ids.front(); }
  std::int64_t currentId() const { return route_.ids.back(); }
  std::int64_t parentId() const { return route_.ids[route_.ids.size() - 2]; }
  int depth() const { return static_cast<int>(route_.ids.size()) - 1; }
  // The names below the root, as PWD shows them.
  std::vector<std::string> shownNames() const { return {route_.names.begin() + 1, route_.names.end()}; }

  // Where CWD's argument leads; nothing when a name is not found or the
  // route would be deeper than kMaxDepth. The working directory stays.
  std::optional<Route> walk(const DirectoryArgument& argument, const DirectoryLookup& lookup) const;
  void enter(Route route) { route_ = std::move(route); }
  // CDUP: one level up; the caller checks there is one.
  void leave();

  // Path resolution (0 when not found). `shown`, when given, receives the
  // names of the levels from the root to the row found, as PWD would show
  // them after a CWD there.
  std::int64_t resolvePath(store::Database& db, const std::string& path, std::vector<std::string>* shown);
  std::int64_t resolveParent(store::Database& db, const std::string& path, std::vector<std::string>* shown);
  // The row resolvePath finds, with its directory's Path (store::PlacedFile).
  std::optional<store::PlacedFile> resolvePlacedFile(store::Database& db, const std::string& path);

  // The files row `id`; the working directory's row is kept between
  // commands until anything changes files (or a second passes, for changes
  // made by other programs).
  std::optional<store::FileRecord> directoryRow(store::Database& db, std::int64_t id);

  // Whether the directory's description was shown already; marks it shown.
  bool seen(std::int64_t directoryId);

 private:
  Route route_;
  std::vector<std::int64_t> seenDirectories_;
  std::optional<store::FileRecord> cwdRow_;
  std::uint64_t cwdRowGeneration_ = 0;
  std::chrono::steady_clock::time_point cwdRowRead_;
};

}  // namespace kestrel::ftp
