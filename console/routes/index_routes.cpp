// Index files and descriptions for a directory of the tree.
//
//   POST /api/tree/directories/<id>/index         Build Indexes
//        body: subdirectories (default true), skipBlank (default false)
//        answer: {"written": [paths of the index files], "failed": [paths
//        that could not be created]}
//   POST /api/tree/directories/<id>/descriptions  Add Descriptions
//        body: blankOnly (default true), subdirectories, txt, doc,
//        descriptIon, firstLine (default false)
//        answer: {"directories", "descriptions", "titles": counts,
//        "reloadList": whether the file list should be read again}
//
// Both refuse with "Please select a directory." unless <id> is a directory
// row (not a link); Add Descriptions with no source chosen refuses with "You
// need to select something to search.". Nothing is changed by a refusal.
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "console/routes/api.h"
#include "store/index_files.h"

namespace kestrel::console {

namespace {

constexpr const char* kSelectDirectory = "Please select a directory.";
constexpr const char* kSelectSource = "You need to select something to search.";

// The directory row named by the path's id, when the jobs can start there.
std::optional<std::int64_t> selectedDirectory(store::Database& db, const std::string& capture) {
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(capture.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value <= 0 || !store::isDirectoryEntry(db, value)) return std::nullopt;
  return value;
}

ApiResponse buildIndexes(const ApiRequest& request, ConsoleContext& context) {
  if (!context.database) return databaseMissing();
  store::Database& db = *context.database;
  auto id = selectedDirectory(db, request.captures.at(0));
  if (!id) return message(kSelectDirectory);
  store::IndexOptions options;
  options.subdirectories = request.flag("subdirectories", true);
  options.skipBlank = request.flag("skipBlank", false);
  store::IndexOutcome outcome = store::createIndex(db, *id, options, std::time(nullptr));
  return ok({{"written", outcome.written}, {"failed", outcome.failed}});
}

ApiResponse findDescriptions(const ApiRequest& request, ConsoleContext& context) {
  if (!context.database) return databaseMissing();
  store::Database& db = *context.database;
  auto id = selectedDirectory(db, request.captures.at(0));
  if (!id) return message(kSelectDirectory);
  store::DescriptionOptions options;
  options.blankOnly = request.flag("blankOnly", true);
  options.subdirectories = request.flag("subdirectories", false);
  options.txt = request.flag("txt", false);
  options.doc = request.flag("doc", false);
  options.descriptIon = request.flag("descriptIon", false);
  options.firstLine = request.flag("firstLine", false);
  if (!options.anySource()) return message(kSelectSource);
  store::DescriptionOutcome outcome = store::addDescriptions(db, *id, options);
  return ok({{"directories", outcome.directories},
             {"descriptions", outcome.descriptions},
             {"titles", outcome.titles},
             {"reloadList", options.descriptIon || options.firstLine}});
}

}  // namespace

void registerIndexRoutes(ApiRoutes& routes) {
  routes.post(R"(/tree/directories/(\d+)/index)", buildIndexes);
  routes.post(R"(/tree/directories/(\d+)/descriptions)", findDescriptions);
}

}  // namespace kestrel::console
