// A throw-away SQLite data source with the full schema, for tests of the
// store against the real driver.
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "store/db/database.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define IGNORING_DRIVER_LEAKS(statement) \
  do {                                   \
    __lsan_disable();                    \
    statement;                           \
    __lsan_enable();                     \
  } while (0)
#else
#define IGNORING_DRIVER_LEAKS(statement) statement
#endif

namespace kestrel::store::testing {

class SqliteDataSource {
 public:
  // Empty database() when no data source could be made.
  explicit SqliteDataSource(const std::string& label) {
    namespace fs = std::filesystem;
    const char* given = std::getenv("KESTREL_SOURCE_DIR");
    // This file is store/db/test_datasource.h: the source tree is three up.
    std::string source = given ? given : fs::path(__FILE__).parent_path().parent_path().parent_path().string();
    std::string pattern = "/tmp/kestrel-" + label + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return;
    dir_ = pattern;
    std::string ini = dir_ + "/odbc.ini";
    ::setenv("ODBCINI", ini.c_str(), 1);
    std::string dsn = "Kestrel" + label + std::to_string(::getpid());
    std::string command =
        source + "/db/create-datasource sqlite '" + dir_ + "/k.db' " + dsn + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return;
    // The driver keeps what it allocates on connecting; the leak checker
    // cannot name its frames without the slow unwinder.
    IGNORING_DRIVER_LEAKS(db_ = Database::open("DSN=" + dsn));
  }
  ~SqliteDataSource() {
    db_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  SqliteDataSource(const SqliteDataSource&) = delete;
  SqliteDataSource& operator=(const SqliteDataSource&) = delete;

  Database* database() const { return db_.get(); }
  const std::string& directory() const { return dir_; }

 private:
  std::string dir_;
  std::unique_ptr<Database> db_;
};

}  // namespace kestrel::store::testing
