// A stand-in for the ODBC driver manager: the same 54 entry points, each of which
// only records that it was called and with what, so the serialiser's tests can see
// what arrived and when. Pointer arguments are never read, except the statement
// text of SQLExecDirect, which steers its return code:
//   "fail" -> SQL_ERROR, "nodata" -> SQL_NO_DATA_FOUND, "rc=N" -> N.
// SQLExecDirect also stays inside for 50 ms, long enough for a second caller to
// collide with it if the serialiser let it in. SQLFetch is always at the end of
// its result set.

#include "sqlserial/tests/fake_driver_manager.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

struct CallRecord {
  int count = 0;
  std::vector<std::uint64_t> words;
};

std::mutex recordsMutex;
std::map<std::string, CallRecord, std::less<>> records;  // guarded by recordsMutex
std::atomic<int> insideNow{0};
std::atomic<int> insideMax{0};
std::atomic<bool> reenterOnTransact{false};

// Counts the threads inside the stand-in for as long as it lives.
class Inside {
 public:
  Inside() {
    const int now = ++insideNow;
    int seen = insideMax.load();
    while (now > seen && !insideMax.compare_exchange_weak(seen, now)) {
    }
  }
  ~Inside() { --insideNow; }
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;
};

template <class... Args>
SQLRETURN record(const char* name, Args... args) {
  Inside here;
  std::lock_guard<std::mutex> hold(recordsMutex);
  CallRecord& call = records[name];
  ++call.count;
  call.words = {argumentWord(args)...};
  return SQL_SUCCESS;
}

std::string_view statementText(const SQLCHAR* text, SQLINTEGER length) {
  if (text == nullptr) return {};
  const auto* chars = reinterpret_cast<const char*>(text);
  if (length == SQL_NTS) return chars;
  return length > 0 ? std::string_view(chars, static_cast<std::size_t>(length))
                    : std::string_view();
}

SQLRETURN resultOf(std::string_view statement) {
  if (statement == "fail") return SQL_ERROR;
  if (statement == "nodata") return SQL_NO_DATA_FOUND;
  int code = SQL_SUCCESS;
  if (statement.starts_with("rc=")) {
    std::from_chars(statement.data() + 3, statement.data() + statement.size(), code);
  }
  return static_cast<SQLRETURN>(code);
}

}  // namespace

extern "C" {

int fake_dm_calls(const char* name) {
  std::lock_guard<std::mutex> hold(recordsMutex);
  const auto found = records.find(std::string_view(name));
  return found == records.end() ? 0 : found->second.count;
}

int fake_dm_last_arguments(const char* name, std::uint64_t* words, int room) {
  std::lock_guard<std::mutex> hold(recordsMutex);
  const auto found = records.find(std::string_view(name));
  if (found == records.end()) return 0;
  const auto& recorded = found->second.words;
  std::copy_n(recorded.begin(), std::min<std::size_t>(recorded.size(), std::max(room, 0)), words);
  return static_cast<int>(recorded.size());
}

int fake_dm_inside() { return insideNow.load(); }

int fake_dm_max_inside() { return insideMax.load(); }

void fake_dm_reset() {
  std::lock_guard<std::mutex> hold(recordsMutex);
  records.clear();
  insideMax = insideNow.load();
  reenterOnTransact = false;
}

void fake_dm_reenter_on_transact(int on) { reenterOnTransact = on != 0; }

SQLRETURN SQL_API SQLAllocConnect(SQLHENV henv, SQLHDBC* phdbc) {
  return record(__func__, henv, phdbc);
}

SQLRETURN SQL_API SQLAllocEnv(SQLHENV* phenv) { return record(__func__, phenv); }

SQLRETURN SQL_API SQLAllocStmt(SQLHDBC hdbc, SQLHSTMT* phstmt) {
  return record(__func__, hdbc, phstmt);
}

SQLRETURN SQL_API SQLBindCol(SQLHSTMT hstmt, SQLUSMALLINT icol, SQLSMALLINT fCType,
                             SQLPOINTER rgbValue, SQLLEN cbValueMax, SQLLEN* pcbValue) {
  return record(__func__, hstmt, icol, fCType, rgbValue, cbValueMax, pcbValue);
}

SQLRETURN SQL_API SQLBindParameter(SQLHSTMT hstmt, SQLUSMALLINT ipar, SQLSMALLINT fParamType,
                                   SQLSMALLINT fCType, SQLSMALLINT fSqlType, SQLULEN cbColDef,
                                   SQLSMALLINT ibScale, SQLPOINTER rgbValue, SQLLEN cbValueMax,
                                   SQLLEN* pcbValue) {
  return record(__func__, hstmt, ipar, fParamType, fCType, fSqlType, cbColDef, ibScale, rgbValue,
                cbValueMax, pcbValue);
}

SQLRETURN SQL_API SQLBrowseConnect(SQLHDBC hdbc, SQLCHAR* szConnStrIn, SQLSMALLINT cbConnStrIn,
                                   SQLCHAR* szConnStrOut, SQLSMALLINT cbConnStrOutMax,
                                   SQLSMALLINT* pcbConnStrOut) {
  return record(__func__, hdbc, szConnStrIn, cbConnStrIn, szConnStrOut, cbConnStrOutMax,
                pcbConnStrOut);
}

SQLRETURN SQL_API SQLCancel(SQLHSTMT hstmt) { return record(__func__, hstmt); }

SQLRETURN SQL_API SQLColAttributes(SQLHSTMT hstmt, SQLUSMALLINT icol, SQLUSMALLINT fDescType,
                                   SQLPOINTER rgbDesc, SQLSMALLINT cbDescMax, SQLSMALLINT* pcbDesc,
                                   SQLLEN* pfDesc) {
  return record(__func__, hstmt, icol, fDescType, rgbDesc, cbDescMax, pcbDesc, pfDesc);
}

SQLRETURN SQL_API SQLColumnPrivileges(SQLHSTMT hstmt, SQLCHAR* szCatalogName,
                                      SQLSMALLINT cbCatalogName, SQLCHAR* szSchemaName,
                                      SQLSMALLINT cbSchemaName, SQLCHAR* szTableName,
                                      SQLSMALLINT cbTableName, SQLCHAR* szColumnName,
                                      SQLSMALLINT cbColumnName) {
  return record(__func__, hstmt, szCatalogName, cbCatalogName, szSchemaName, cbSchemaName,
                szTableName, cbTableName, szColumnName, cbColumnName);
}

SQLRETURN SQL_API SQLColumns(SQLHSTMT hstmt, SQLCHAR* szCatalogName, SQLSMALLINT cbCatalogName,
                             SQLCHAR* szSchemaName, SQLSMALLINT cbSchemaName, SQLCHAR* szTableName,
                             SQLSMALLINT cbTableName, SQLCHAR* szColumnName,
                             SQLSMALLINT cbColumnName) {
  return record(__func__, hstmt, szCatalogName, cbCatalogName, szSchemaName, cbSchemaName,
                szTableName, cbTableName, szColumnName, cbColumnName);
}

SQLRETURN SQL_API SQLConnect(SQLHDBC hdbc, SQLCHAR* szDSN, SQLSMALLINT cbDSN, SQLCHAR* szUID,
                             SQLSMALLINT cbUID, SQLCHAR* szAuthStr, SQLSMALLINT cbAuthStr) {
  return record(__func__, hdbc, szDSN, cbDSN, szUID, cbUID, szAuthStr, cbAuthStr);
}

SQLRETURN SQL_API SQLDataSources(SQLHENV henv, SQLUSMALLINT fDirection, SQLCHAR* szDSN,
                                 SQLSMALLINT cbDSNMax, SQLSMALLINT* pcbDSN, SQLCHAR* szDescription,
                                 SQLSMALLINT cbDescriptionMax, SQLSMALLINT* pcbDescription) {
  return record(__func__, henv, fDirection, szDSN, cbDSNMax, pcbDSN, szDescription,
                cbDescriptionMax, pcbDescription);
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT hstmt, SQLUSMALLINT icol, SQLCHAR* szColName,
                                 SQLSMALLINT cbColNameMax, SQLSMALLINT* pcbColName,
                                 SQLSMALLINT* pfSqlType, SQLULEN* pcbColDef, SQLSMALLINT* pibScale,
                                 SQLSMALLINT* pfNullable) {
  return record(__func__, hstmt, icol, szColName, cbColNameMax, pcbColName, pfSqlType, pcbColDef,
                pibScale, pfNullable);
}

SQLRETURN SQL_API SQLDescribeParam(SQLHSTMT hstmt, SQLUSMALLINT ipar, SQLSMALLINT* pfSqlType,
                                   SQLULEN* pcbParamDef, SQLSMALLINT* pibScale,
                                   SQLSMALLINT* pfNullable) {
  return record(__func__, hstmt, ipar, pfSqlType, pcbParamDef, pibScale, pfNullable);
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC hdbc) { return record(__func__, hdbc); }

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC hdbc, SQLHWND hwnd, SQLCHAR* szConnStrIn,
                                   SQLSMALLINT cbConnStrIn, SQLCHAR* szConnStrOut,
                                   SQLSMALLINT cbConnStrOutMax, SQLSMALLINT* pcbConnStrOut,
                                   SQLUSMALLINT fDriverCompletion) {
  return record(__func__, hdbc, hwnd, szConnStrIn, cbConnStrIn, szConnStrOut, cbConnStrOutMax,
                pcbConnStrOut, fDriverCompletion);
}

SQLRETURN SQL_API SQLDrivers(SQLHENV henv, SQLUSMALLINT fDirection, SQLCHAR* szDriverDesc,
                             SQLSMALLINT cbDriverDescMax, SQLSMALLINT* pcbDriverDesc,
                             SQLCHAR* szDriverAttributes, SQLSMALLINT cbDrvrAttrMax,
                             SQLSMALLINT* pcbDrvrAttr) {
  return record(__func__, henv, fDirection, szDriverDesc, cbDriverDescMax, pcbDriverDesc,
                szDriverAttributes, cbDrvrAttrMax, pcbDrvrAttr);
}

SQLRETURN SQL_API SQLError(SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt, SQLCHAR* szSqlState,
                           SQLINTEGER* pfNativeError, SQLCHAR* szErrorMsg,
                           SQLSMALLINT cbErrorMsgMax, SQLSMALLINT* pcbErrorMsg) {
  return record(__func__, henv, hdbc, hstmt, szSqlState, pfNativeError, szErrorMsg, cbErrorMsgMax,
                pcbErrorMsg);
}

SQLRETURN SQL_API SQLExecute(SQLHSTMT hstmt) { return record(__func__, hstmt); }

SQLRETURN SQL_API SQLExtendedFetch(SQLHSTMT hstmt, SQLUSMALLINT fFetchType, SQLLEN irow,
                                   SQLULEN* pcrow, SQLUSMALLINT* rgfRowStatus) {
  return record(__func__, hstmt, fFetchType, irow, pcrow, rgfRowStatus);
}

SQLRETURN SQL_API SQLForeignKeys(SQLHSTMT hstmt, SQLCHAR* szPkCatalogName,
                                 SQLSMALLINT cbPkCatalogName, SQLCHAR* szPkSchemaName,
                                 SQLSMALLINT cbPkSchemaName, SQLCHAR* szPkTableName,
                                 SQLSMALLINT cbPkTableName, SQLCHAR* szFkCatalogName,
                                 SQLSMALLINT cbFkCatalogName, SQLCHAR* szFkSchemaName,
                                 SQLSMALLINT cbFkSchemaName, SQLCHAR* szFkTableName,
                                 SQLSMALLINT cbFkTableName) {
  return record(__func__, hstmt, szPkCatalogName, cbPkCatalogName, szPkSchemaName, cbPkSchemaName,
                szPkTableName, cbPkTableName, szFkCatalogName, cbFkCatalogName, szFkSchemaName,
                cbFkSchemaName, szFkTableName, cbFkTableName);
}

SQLRETURN SQL_API SQLFreeConnect(SQLHDBC hdbc) { return record(__func__, hdbc); }

SQLRETURN SQL_API SQLFreeEnv(SQLHENV henv) { return record(__func__, henv); }

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT hstmt, SQLUSMALLINT fOption) {
  return record(__func__, hstmt, fOption);
}

SQLRETURN SQL_API SQLGetConnectOption(SQLHDBC hdbc, SQLUSMALLINT fOption, SQLPOINTER pvParam) {
  return record(__func__, hdbc, fOption, pvParam);
}

SQLRETURN SQL_API SQLGetCursorName(SQLHSTMT hstmt, SQLCHAR* szCursor, SQLSMALLINT cbCursorMax,
                                   SQLSMALLINT* pcbCursor) {
  return record(__func__, hstmt, szCursor, cbCursorMax, pcbCursor);
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT hstmt, SQLUSMALLINT icol, SQLSMALLINT fCType,
                             SQLPOINTER rgbValue, SQLLEN cbValueMax, SQLLEN* pcbValue) {
  return record(__func__, hstmt, icol, fCType, rgbValue, cbValueMax, pcbValue);
}

SQLRETURN SQL_API SQLGetFunctions(SQLHDBC hdbc, SQLUSMALLINT fFunction, SQLUSMALLINT* pfExists) {
  return record(__func__, hdbc, fFunction, pfExists);
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC hdbc, SQLUSMALLINT fInfoType, SQLPOINTER rgbInfoValue,
                             SQLSMALLINT cbInfoValueMax, SQLSMALLINT* pcbInfoValue) {
  return record(__func__, hdbc, fInfoType, rgbInfoValue, cbInfoValueMax, pcbInfoValue);
}

SQLRETURN SQL_API SQLGetStmtOption(SQLHSTMT hstmt, SQLUSMALLINT fOption, SQLPOINTER pvParam) {
  return record(__func__, hstmt, fOption, pvParam);
}

SQLRETURN SQL_API SQLGetTypeInfo(SQLHSTMT hstmt, SQLSMALLINT fSqlType) {
  return record(__func__, hstmt, fSqlType);
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT hstmt) { return record(__func__, hstmt); }

SQLRETURN SQL_API SQLNativeSql(SQLHDBC hdbc, SQLCHAR* szSqlStrIn, SQLINTEGER cbSqlStrIn,
                               SQLCHAR* szSqlStr, SQLINTEGER cbSqlStrMax, SQLINTEGER* pcbSqlStr) {
  return record(__func__, hdbc, szSqlStrIn, cbSqlStrIn, szSqlStr, cbSqlStrMax, pcbSqlStr);
}

SQLRETURN SQL_API SQLNumParams(SQLHSTMT hstmt, SQLSMALLINT* pcpar) {
  return record(__func__, hstmt, pcpar);
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT hstmt, SQLSMALLINT* pccol) {
  return record(__func__, hstmt, pccol);
}

SQLRETURN SQL_API SQLParamData(SQLHSTMT hstmt, SQLPOINTER* prgbValue) {
  return record(__func__, hstmt, prgbValue);
}

SQLRETURN SQL_API SQLParamOptions(SQLHSTMT hstmt, SQLULEN crow, SQLULEN* pirow) {
  return record(__func__, hstmt, crow, pirow);
}

SQLRETURN SQL_API SQLPrepare(SQLHSTMT hstmt, SQLCHAR* szSqlStr, SQLINTEGER cbSqlStr) {
  return record(__func__, hstmt, szSqlStr, cbSqlStr);
}

SQLRETURN SQL_API SQLPrimaryKeys(SQLHSTMT hstmt, SQLCHAR* szCatalogName, SQLSMALLINT cbCatalogName,
                                 SQLCHAR* szSchemaName, SQLSMALLINT cbSchemaName,
                                 SQLCHAR* szTableName, SQLSMALLINT cbTableName) {
  return record(__func__, hstmt, szCatalogName, cbCatalogName, szSchemaName, cbSchemaName,
                szTableName, cbTableName);
}

SQLRETURN SQL_API SQLProcedureColumns(SQLHSTMT hstmt, SQLCHAR* szCatalogName,
                                      SQLSMALLINT cbCatalogName, SQLCHAR* szSchemaName,
                                      SQLSMALLINT cbSchemaName, SQLCHAR* szProcName,
                                      SQLSMALLINT cbProcName, SQLCHAR* szColumnName,
                                      SQLSMALLINT cbColumnName) {
  return record(__func__, hstmt, szCatalogName, cbCatalogName, szSchemaName, cbSchemaName,
                szProcName, cbProcName, szColumnName, cbColumnName);
}

SQLRETURN SQL_API SQLProcedures(SQLHSTMT hstmt, SQLCHAR* szCatalogName, SQLSMALLINT cbCatalogName,
                                SQLCHAR* szSchemaName, SQLSMALLINT cbSchemaName,
                                SQLCHAR* szProcName, SQLSMALLINT cbProcName) {
  return record(__func__, hstmt, szCatalogName, cbCatalogName, szSchemaName, cbSchemaName,
                szProcName, cbProcName);
}

SQLRETURN SQL_API SQLPutData(SQLHSTMT hstmt, SQLPOINTER rgbValue, SQLLEN cbValue) {
  return record(__func__, hstmt, rgbValue, cbValue);
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT hstmt, SQLLEN* pcrow) {
  return record(__func__, hstmt, pcrow);
}

SQLRETURN SQL_API SQLSetConnectOption(SQLHDBC hdbc, SQLUSMALLINT fOption, SQLULEN vParam) {
  return record(__func__, hdbc, fOption, vParam);
}

SQLRETURN SQL_API SQLSetCursorName(SQLHSTMT hstmt, SQLCHAR* szCursor, SQLSMALLINT cbCursor) {
  return record(__func__, hstmt, szCursor, cbCursor);
}

SQLRETURN SQL_API SQLSetPos(SQLHSTMT hstmt, SQLSETPOSIROW irow, SQLUSMALLINT fOption,
                            SQLUSMALLINT fLock) {
  return record(__func__, hstmt, irow, fOption, fLock);
}

SQLRETURN SQL_API SQLSetStmtOption(SQLHSTMT hstmt, SQLUSMALLINT fOption, SQLULEN vParam) {
  return record(__func__, hstmt, fOption, vParam);
}

SQLRETURN SQL_API SQLSpecialColumns(SQLHSTMT hstmt, SQLUSMALLINT fColType, SQLCHAR* szCatalogName,
                                    SQLSMALLINT cbCatalogName, SQLCHAR* szSchemaName,
                                    SQLSMALLINT cbSchemaName, SQLCHAR* szTableName,
                                    SQLSMALLINT cbTableName, SQLUSMALLINT fScope,
                                    SQLUSMALLINT fNullable) {
  return record(__func__, hstmt, fColType, szCatalogName, cbCatalogName, szSchemaName, cbSchemaName,
                szTableName, cbTableName, fScope, fNullable);
}

SQLRETURN SQL_API SQLStatistics(SQLHSTMT hstmt, SQLCHAR* szCatalogName, SQLSMALLINT cbCatalogName,
                                SQLCHAR* szSchemaName, SQLSMALLINT cbSchemaName,
                                SQLCHAR* szTableName, SQLSMALLINT cbTableName, SQLUSMALLINT fUnique,
                                SQLUSMALLINT fAccuracy) {
  return record(__func__, hstmt, szCatalogName, cbCatalogName, szSchemaName, cbSchemaName,
                szTableName, cbTableName, fUnique, fAccuracy);
}

SQLRETURN SQL_API SQLTablePrivileges(SQLHSTMT hstmt, SQLCHAR* szCatalogName,
                                     SQLSMALLINT cbCatalogName, SQLCHAR* szSchemaName,
                                     SQLSMALLINT cbSchemaName, SQLCHAR* szTableName,
                                     SQLSMALLINT cbTableName) {
  return record(__func__, hstmt, szCatalogName, cbCatalogName, szSchemaName, cbSchemaName,
                szTableName, cbTableName);
}

SQLRETURN SQL_API SQLTables(SQLHSTMT hstmt, SQLCHAR* szCatalogName, SQLSMALLINT cbCatalogName,
                            SQLCHAR* szSchemaName, SQLSMALLINT cbSchemaName, SQLCHAR* szTableName,
                            SQLSMALLINT cbTableName, SQLCHAR* szTableType,
                            SQLSMALLINT cbTableType) {
  return record(__func__, hstmt, szCatalogName, cbCatalogName, szSchemaName, cbSchemaName,
                szTableName, cbTableName, szTableType, cbTableType);
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT hstmt, SQLCHAR* szSqlStr, SQLINTEGER cbSqlStr) {
  record(__func__, hstmt, szSqlStr, cbSqlStr);
  Inside here;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return resultOf(statementText(szSqlStr, cbSqlStr));
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT hstmt) {
  record(__func__, hstmt);
  return SQL_NO_DATA_FOUND;
}

SQLRETURN SQL_API SQLTransact(SQLHENV henv, SQLHDBC hdbc, SQLUSMALLINT fType) {
  record(__func__, henv, hdbc, fType);
  if (!reenterOnTransact) return SQL_SUCCESS;
  // Our own SQLGetInfo is not in the global scope (we are loaded RTLD_LOCAL); the
  // name resolves to whatever the program exports under it.
  void* getInfo = dlsym(RTLD_DEFAULT, "SQLGetInfo");
  if (getInfo == nullptr) return SQL_ERROR;
  return reinterpret_cast<decltype(&::SQLGetInfo)>(getInfo)(hdbc, SQL_CURSOR_COMMIT_BEHAVIOR,
                                                            nullptr, 0, nullptr);
}

}  // extern "C"
