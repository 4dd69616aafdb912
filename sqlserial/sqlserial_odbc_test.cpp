// The serialiser in front of the real driver manager (unixODBC) and the SQLite driver,
// linked as the server links it: the calls the record-set layer makes, and threads
// sharing one connection.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sqlserial/tests/calls.h"

namespace {

class RealDriverManager : public ::testing::Test {
 protected:
  // Before the first call: the serialiser binds its driver manager only once.
  static void SetUpTestSuite() { unsetenv("KESTREL_ODBC_DRIVER_MANAGER"); }

  void SetUp() override {
    database_ = std::filesystem::temp_directory_path() /
                ("kestrel-sqlserial-" + std::to_string(getpid()) + ".db");
    std::filesystem::remove(database_);
    ASSERT_EQ(SQLAllocEnv(&env_), SQL_SUCCESS);
    ASSERT_EQ(SQLAllocConnect(env_, &dbc_), SQL_SUCCESS);
    const std::string in = "Driver=SQLite3;Database=" + database_.string() + ";";
    const SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, sqlText(in.c_str()), SQL_NTS, nullptr, 0,
                                          nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      const std::string why = diagnostic(SQL_NULL_HSTMT);
      if (why.starts_with("IM002")) GTEST_SKIP() << "no SQLite3 ODBC driver: " << why;
      FAIL() << why;
    }
    connected_ = true;
  }

  void TearDown() override {
    if (connected_) SQLDisconnect(dbc_);
    if (dbc_ != SQL_NULL_HDBC) SQLFreeConnect(dbc_);
    if (env_ != SQL_NULL_HENV) SQLFreeEnv(env_);
    std::filesystem::remove(database_);
  }

  std::string diagnostic(SQLHSTMT stmt) {
    SQLCHAR state[6] = {};
    SQLCHAR message[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(
            SQLError(env_, dbc_, stmt, state, &native, message, sizeof message, &length))) {
      return "(no diagnostic)";
    }
    return std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(message);
  }

  // Returns the driver's complaint, empty on success.
  std::string execute(const char* sql) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (SQLAllocStmt(dbc_, &stmt) != SQL_SUCCESS) return "SQLAllocStmt: " + diagnostic(stmt);
    const SQLRETURN rc = SQLExecDirect(stmt, sqlText(sql), SQL_NTS);
    const std::string why = SQL_SUCCEEDED(rc) ? "" : diagnostic(stmt);
    SQLFreeStmt(stmt, SQL_DROP);
    return why;
  }

  SQLBIGINT countRows() {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    EXPECT_EQ(SQLAllocStmt(dbc_, &stmt), SQL_SUCCESS);
    EXPECT_EQ(SQLExecDirect(stmt, sqlText("SELECT COUNT(*) FROM t"), SQL_NTS), SQL_SUCCESS)
        << diagnostic(stmt);
    SQLBIGINT count = -1;
    SQLLEN indicator = 0;
    EXPECT_EQ(SQLFetch(stmt), SQL_SUCCESS);
    EXPECT_EQ(SQLGetData(stmt, 1, SQL_C_SBIGINT, &count, sizeof count, &indicator), SQL_SUCCESS);
    EXPECT_EQ(SQLFetch(stmt), SQL_NO_DATA_FOUND);
    SQLFreeStmt(stmt, SQL_DROP);
    return count;
  }

  std::filesystem::path database_;
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;
};

TEST_F(RealDriverManager, PreparedInsertAndCommitRoundTrip) {
  void* driverManager = dlopen("libodbc.so.2", RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(driverManager, nullptr) << "the default driver manager was not the one loaded";
  if (driverManager != nullptr) dlclose(driverManager);

  ASSERT_EQ(execute("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT)"), "");
  ASSERT_EQ(SQLSetConnectOption(dbc_, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF), SQL_SUCCESS);

  SQLHSTMT stmt = SQL_NULL_HSTMT;
  ASSERT_EQ(SQLAllocStmt(dbc_, &stmt), SQL_SUCCESS);
  ASSERT_EQ(SQLPrepare(stmt, sqlText("INSERT INTO t (name) VALUES (?)"), SQL_NTS), SQL_SUCCESS);
  char name[] = "it's; -- %\\";
  SQLLEN nameLength = SQL_NTS;
  ASSERT_EQ(SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, sizeof name, 0,
                             name, sizeof name, &nameLength),
            SQL_SUCCESS);
  ASSERT_EQ(SQLExecute(stmt), SQL_SUCCESS) << diagnostic(stmt);
  SQLLEN affected = 0;
  EXPECT_EQ(SQLRowCount(stmt, &affected), SQL_SUCCESS);
  EXPECT_EQ(affected, 1);
  SQLFreeStmt(stmt, SQL_DROP);

  // unixODBC's SQLTransact asks SQLGetInfo, by name, about the connection's cursors;
  // in this program that is our export, on the thread that holds the lock.
  EXPECT_EQ(callOnAnotherThread([this] { return SQLTransact(env_, dbc_, SQL_COMMIT); }),
            SQL_SUCCESS)
      << diagnostic(SQL_NULL_HSTMT);
  EXPECT_EQ(countRows(), 1);
}

TEST_F(RealDriverManager, ThreadsShareOneConnection) {
  ASSERT_EQ(execute("CREATE TABLE t (id INTEGER PRIMARY KEY, n INTEGER)"), "");
  constexpr int kThreads = 4;
  constexpr int kInsertsEach = 10;
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([this, i, &failures] {
      for (int n = 0; n < kInsertsEach && failures[i].empty(); ++n) {
        const std::string sql = "INSERT INTO t (n) VALUES (" + std::to_string(n) + ")";
        failures[i] = execute(sql.c_str());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& failure : failures) EXPECT_EQ(failure, "");
  EXPECT_EQ(countRows(), kThreads * kInsertsEach);
}

}  // namespace
