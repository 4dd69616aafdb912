// The activity log: one switch per action, one writer for every thread.
// The switches are process-wide: the console turns them, every session reads
// them, and each is one atomic flag.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "store/db/database.h"

namespace kestrel::platform {
class Settings;
}

namespace kestrel::store {

enum class Action : int {
  Upload = 1,
  Download = 2,
  Login = 3,
  Logout = 4,
  Chmod = 5,
  Chgrp = 6,
  Chown = 7,
  Kick = 8,
  ConsoleMessage = 9,
  UserMessage = 10,
  Rename = 11,
  Delete = 12,
};

// Reads the twelve switches from the settings store.
void loadLogSwitches(const platform::Settings& settings);
void setLogSwitch(Action action, bool on);
bool logSwitch(Action action);

// Appends a row when the action's switch is on; a database error propagates.
void writeLog(Database& db, std::int64_t userId, const std::string& address, Action action, std::int64_t fileId,
              const std::string& more = {});

// The console's "Clear activity log": every row of Log goes.
void clearActivityLog(Database& db);

}  // namespace kestrel::store
