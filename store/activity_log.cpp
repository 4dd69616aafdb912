#include "store/activity_log.h"

#include <ctime>

#include "platform/settings.h"
#include "store/tree.h"

namespace kestrel::store {

namespace {
// Read without a lock: a refresh by the console may be seen one row late.
std::atomic<bool> gSwitches[13];
}  // namespace

void loadLogSwitches(const platform::Settings& settings) {
  for (int action = 1; action <= 12; ++action)
    gSwitches[action] = settings.read(settings::kLogSwitches[action]) != 0;
}

void setLogSwitch(Action action, bool on) { gSwitches[static_cast<int>(action)] = on; }
bool logSwitch(Action action) { return gSwitches[static_cast<int>(action)]; }

void writeLog(Database& db, std::int64_t userId, const std::string& address, Action action, std::int64_t fileId,
              const std::string& more) {
  if (!logSwitch(action)) return;
  SharedRecordSets& s = recordSetsOf(db);
  platform::MutexLock lock(s.logMutex);
  s.log.addNew();
  LogRecord& row = s.log.row();
  row.actionId = static_cast<int>(action);
  row.userId = userId;
  row.timeStamp = std::time(nullptr);
  row.otherUserId = 0;
  row.fileId = fileId;
  row.more = more;
  row.ip = address;
  s.log.update();
}

void clearActivityLog(Database& db) { db.execute("delete from log"); }

}  // namespace kestrel::store
