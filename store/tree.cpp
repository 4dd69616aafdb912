#include "store/tree.h"

#include <memory>

namespace kestrel::store {

namespace {
std::unique_ptr<SharedRecordSets> gShared;
}

SharedRecordSets::SharedRecordSets(Database& db)
    : pathFinder(db), nameFinder(db), group(db), user(db), log(db) {}

SharedRecordSets* sharedRecordSets() { return gShared.get(); }

void openSharedRecordSets() {
  Database* db = sharedDatabase();
  if (!db) throw DbError("no data source");
  auto sets = std::make_unique<SharedRecordSets>(*db);
  // Open with a filter that matches nothing: every use sets its own filter.
  sets->pathFinder.setFilter("id=0");
  sets->pathFinder.open();
  sets->nameFinder.setFilter("id=0");
  sets->nameFinder.open();
  sets->group.setFilter("id=0");
  sets->group.open();
  sets->user.setFilter("id=0");
  sets->user.open();
  sets->log.setFilter("id=0");
  sets->log.open();
  gShared = std::move(sets);
}

void closeSharedRecordSets() { gShared.reset(); }

std::string buildVirtualPath(std::int64_t id) {
  SharedRecordSets& s = *sharedRecordSets();
  std::lock_guard<std::mutex> lock(s.lockA);
  std::string result;
  s.pathFinder.setFilter("id=" + std::to_string(id));
  s.pathFinder.requery();
  for (int guard = 0; guard < 1000 && !s.pathFinder.isEmpty(); ++guard) {
    result = "/" + s.pathFinder.row().name + result;
    std::int64_t parent = s.pathFinder.row().parent;
    if (parent == 0) break;
    s.pathFinder.setFilter("id=" + std::to_string(parent));
    s.pathFinder.requery();
    // The root's own name is never part of the path.
    if (s.pathFinder.isEmpty() || s.pathFinder.row().parent == 0) break;
  }
  return result;
}

bool nameExistsUnder(std::int64_t parent, const std::string& name) {
  SharedRecordSets& s = *sharedRecordSets();
  std::lock_guard<std::mutex> lock(s.lockB);
  s.nameFinder.setFilter("parent=" + std::to_string(parent) + " and name=" + quoteText(name));
  s.nameFinder.requery();
  return !s.nameFinder.isEmpty();
}

}  // namespace kestrel::store
