// libsqlserial: the ODBC 2.x call interface, forwarded to the driver manager with
// one thread at a time inside it. The server shares one connection among all its
// threads, and not every ODBC driver survives being called from two at once.
//
// The driver manager is loaded on first use, not linked: the server links only this
// library, so no call can reach the driver manager around the lock. Nothing of our
// own is ever reported; every failure is the driver manager's, except that an entry
// point that cannot be bound answers SQL_ERROR.

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

#include <cstdlib>
#include <mutex>

#include "sqlserial/entry_points.h"

namespace {

constexpr const char* kDefaultDriverManager = "libodbc.so.2";
constexpr const char* kDriverManagerVariable = "KESTREL_ODBC_DRIVER_MANAGER";

// Recursive because the driver manager calls some of its own entry points by name
// (unixODBC's SQLTransact calls SQLGetInfo); in a program linked against us those
// calls land on our exports, on the thread that already holds the lock.
class CallLock {
 public:
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// The driver manager's function of each name; null where it has none.
struct DriverManager {
#define KESTREL_TARGET(name) decltype(&::name) name = nullptr;
  KESTREL_ODBC_ENTRY_POINTS(KESTREL_TARGET)
#undef KESTREL_TARGET
};

// Created when the library is loaded, destroyed when it is unloaded.
CallLock callLock;
// Written once under bindOnce, read-only afterwards.
std::once_flag bindOnce;
DriverManager driverManager;

bool isInThisLibrary(const void* address) {
  Dl_info self{};
  Dl_info other{};
  return dladdr(&callLock, &self) != 0 && dladdr(address, &other) != 0 &&
         self.dli_fbase == other.dli_fbase;
}

template <class Fn>
bool bindTarget(void* library, const char* name, Fn& target) {
  void* symbol = dlsym(library, name);
  // Named as the driver manager by mistake, we would forward to ourselves forever.
  if (symbol == nullptr || isInThisLibrary(symbol)) return false;
  target = reinterpret_cast<Fn>(symbol);
  return true;
}

void bindDriverManager() {
  const char* path = std::getenv(kDriverManagerVariable);
  if (path == nullptr || *path == '\0') path = kDefaultDriverManager;

  // RTLD_LOCAL keeps the driver manager's names out of the global scope, so that
  // the program's SQL* calls keep resolving to us.
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) {
    bool bound = false;
#define KESTREL_BIND(name) bound |= bindTarget(library, #name, driverManager.name);
    KESTREL_ODBC_ENTRY_POINTS(KESTREL_BIND)
#undef KESTREL_BIND
    // A driver manager we bound to is never unloaded: the handles the program
    // holds, and the drivers it loaded, live inside it.
    if (!bound) dlclose(library);
  }
  // Our failed look-ups must not show up in the caller's next dlerror().
  dlerror();
}

template <class... Params>
SQLRETURN forward(SQLRETURN (*DriverManager::*target)(Params...), Params... args) {
  std::call_once(bindOnce, bindDriverManager);
  const auto function = driverManager.*target;
  if (function == nullptr) return SQL_ERROR;
  std::lock_guard<CallLock> hold(callLock);
  return function(args...);
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLAllocConnect(SQLHENV henv, SQLHDBC* phdbc) {
  return forward(&DriverManager::SQLAllocConnect, henv, phdbc);
}

SQLRETURN SQL_API SQLAllocEnv(SQLHENV* phenv) {
  return forward(&DriverManager::SQLAllocEnv, phenv);
}

SQLRETURN SQL_API SQLAllocStmt(SQLHDBC hdbc, SQLHSTMT* phstmt) {
  return forward(&DriverManager::SQLAllocStmt, hdbc, phstmt);
}

SQLRETURN SQL_API SQLBindCol(SQLHSTMT hstmt, SQLUSMALLINT icol, SQLSMALLINT fCType,
                             SQLPOINTER rgbValue, SQLLEN cbValueMax, SQLLEN* pcbValue) {
  return forward(&DriverManager::SQLBindCol, hstmt, icol, fCType, rgbValue, cbValueMax, pcbValue);
}

SQLRETURN SQL_API SQLBindParameter(SQLHSTMT hstmt, SQLUSMALLINT ipar, SQLSMALLINT fParamType,
                                   SQLSMALLINT fCType, SQLSMALLINT fSqlType, SQLULEN cbColDef,
                                   SQLSMALLINT ibScale, SQLPOINTER rgbValue, SQLLEN cbValueMax,
                                   SQLLEN* pcbValue) {
  return forward(&DriverManager::SQLBindParameter, hstmt, ipar, fParamType, fCType, fSqlType,
                 cbColDef, ibScale, rgbValue, cbValueMax, pcbValue);
}

SQLRETURN SQL_API SQLBrowseConnect(SQLHDBC hdbc, SQLCHAR* szConnStrIn, SQLSMALLINT cbConnStrIn,
                                   SQLCHAR* szConnStrOut, SQLSMALLINT cbConnStrOutMax,
                                   SQLSMALLINT* pcbConnStrOut) {
  return forward(&DriverManager::SQLBrowseConnect, hdbc, szConnStrIn, cbConnStrIn, szConnStrOut,
                 cbConnStrOutMax, pcbConnStrOut);
}

SQLRETURN SQL_API SQLCancel(SQLHSTMT hstmt) { return forward(&DriverManager::SQLCancel, hstmt); }

SQLRETURN SQL_API SQLColAttributes(SQLHSTMT hstmt, SQLUSMALLINT icol, SQLUSMALLINT fDescType,
                                   SQLPOINTER rgbDesc, SQLSMALLINT cbDescMax, SQLSMALLINT* pcbDesc,
                                   SQLLEN* pfDesc) {
  return forward(&DriverManager::SQLColAttributes, hstmt, icol, fDescType, rgbDesc, cbDescMax,
                 pcbDesc, pfDesc);
}

SQLRETURN SQL_API SQLColumnPrivileges(SQLHSTMT hstmt, SQLCHAR* szCatalogName,
                                      SQLSMALLINT cbCatalogName, SQLCHAR* szSchemaName,
                                      SQLSMALLINT cbSchemaName, SQLCHAR* szTableName,
                                      SQLSMALLINT cbTableName, SQLCHAR* szColumnName,
                                      SQLSMALLINT cbColumnName) {
  return forward(&DriverManager::SQLColumnPrivileges, hstmt, szCatalogName, cbCatalogName,
                 szSchemaName, cbSchemaName, szTableName, cbTableName, szColumnName, cbColumnName);
}

SQLRETURN SQL_API SQLColumns(SQLHSTMT hstmt, SQLCHAR* szCatalogName, SQLSMALLINT cbCatalogName,
                             SQLCHAR* szSchemaName, SQLSMALLINT cbSchemaName, SQLCHAR* szTableName,
                             SQLSMALLINT cbTableName, SQLCHAR* szColumnName,
                             SQLSMALLINT cbColumnName) {
  return forward(&DriverManager::SQLColumns, hstmt, szCatalogName, cbCatalogName, szSchemaName,
                 cbSchemaName, szTableName, cbTableName, szColumnName, cbColumnName);
}

SQLRETURN SQL_API SQLConnect(SQLHDBC hdbc, SQLCHAR* szDSN, SQLSMALLINT cbDSN, SQLCHAR* szUID,
                             SQLSMALLINT cbUID, SQLCHAR* szAuthStr, SQLSMALLINT cbAuthStr) {
  return forward(&DriverManager::SQLConnect, hdbc, szDSN, cbDSN, szUID, cbUID, szAuthStr,
                 cbAuthStr);
}

SQLRETURN SQL_API SQLDataSources(SQLHENV henv, SQLUSMALLINT fDirection, SQLCHAR* szDSN,
                                 SQLSMALLINT cbDSNMax, SQLSMALLINT* pcbDSN, SQLCHAR* szDescription,
                                 SQLSMALLINT cbDescriptionMax, SQLSMALLINT* pcbDescription) {
  return forward(&DriverManager::SQLDataSources, henv, fDirection, szDSN, cbDSNMax, pcbDSN,
                 szDescription, cbDescriptionMax, pcbDescription);
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT hstmt, SQLUSMALLINT icol, SQLCHAR* szColName,
                                 SQLSMALLINT cbColNameMax, SQLSMALLINT* pcbColName,
                                 SQLSMALLINT* pfSqlType, SQLULEN* pcbColDef, SQLSMALLINT* pibScale,
                                 SQLSMALLINT* pfNullable) {
  return forward(&DriverManager::SQLDescribeCol, hstmt, icol, szColName, cbColNameMax, pcbColName,
                 pfSqlType, pcbColDef, pibScale, pfNullable);
}

SQLRETURN SQL_API SQLDescribeParam(SQLHSTMT hstmt, SQLUSMALLINT ipar, SQLSMALLINT* pfSqlType,
                                   SQLULEN* pcbParamDef, SQLSMALLINT* pibScale,
                                   SQLSMALLINT* pfNullable) {
  return forward(&DriverManager::SQLDescribeParam, hstmt, ipar, pfSqlType, pcbParamDef, pibScale,
                 pfNullable);
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC hdbc) {
  return forward(&DriverManager::SQLDisconnect, hdbc);
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC hdbc, SQLHWND hwnd, SQLCHAR* szConnStrIn,
                                   SQLSMALLINT cbConnStrIn, SQLCHAR* szConnStrOut,
                                   SQLSMALLINT cbConnStrOutMax, SQLSMALLINT* pcbConnStrOut,
                                   SQLUSMALLINT fDriverCompletion) {
  return forward(&DriverManager::SQLDriverConnect, hdbc, hwnd, szConnStrIn, cbConnStrIn,
                 szConnStrOut, cbConnStrOutMax, pcbConnStrOut, fDriverCompletion);
}

SQLRETURN SQL_API SQLDrivers(SQLHENV henv, SQLUSMALLINT fDirection, SQLCHAR* szDriverDesc,
                             SQLSMALLINT cbDriverDescMax, SQLSMALLINT* pcbDriverDesc,
                             SQLCHAR* szDriverAttributes, SQLSMALLINT cbDrvrAttrMax,
                             SQLSMALLINT* pcbDrvrAttr) {
  return forward(&DriverManager::SQLDrivers, henv, fDirection, szDriverDesc, cbDriverDescMax,
                 pcbDriverDesc, szDriverAttributes, cbDrvrAttrMax, pcbDrvrAttr);
}

SQLRETURN SQL_API SQLError(SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt, SQLCHAR* szSqlState,
                           SQLINTEGER* pfNativeError, SQLCHAR* szErrorMsg,
                           SQLSMALLINT cbErrorMsgMax, SQLSMALLINT* pcbErrorMsg) {
  return forward(&DriverManager::SQLError, henv, hdbc, hstmt, szSqlState, pfNativeError, szErrorMsg,
                 cbErrorMsgMax, pcbErrorMsg);
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT hstmt, SQLCHAR* szSqlStr, SQLINTEGER cbSqlStr) {
  return forward(&DriverManager::SQLExecDirect, hstmt, szSqlStr, cbSqlStr);
}

SQLRETURN SQL_API SQLExecute(SQLHSTMT hstmt) { return forward(&DriverManager::SQLExecute, hstmt); }

SQLRETURN SQL_API SQLExtendedFetch(SQLHSTMT hstmt, SQLUSMALLINT fFetchType, SQLLEN irow,
                                   SQLULEN* pcrow, SQLUSMALLINT* rgfRowStatus) {
  return forward(&DriverManager::SQLExtendedFetch, hstmt, fFetchType, irow, pcrow, rgfRowStatus);
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT hstmt) { return forward(&DriverManager::SQLFetch, hstmt); }

SQLRETURN SQL_API SQLForeignKeys(SQLHSTMT hstmt, SQLCHAR* szPkCatalogName,
                                 SQLSMALLINT cbPkCatalogName, SQLCHAR* szPkSchemaName,
                                 SQLSMALLINT cbPkSchemaName, SQLCHAR* szPkTableName,
                                 SQLSMALLINT cbPkTableName, SQLCHAR* szFkCatalogName,
                                 SQLSMALLINT cbFkCatalogName, SQLCHAR* szFkSchemaName,
                                 SQLSMALLINT cbFkSchemaName, SQLCHAR* szFkTableName,
                                 SQLSMALLINT cbFkTableName) {
  return forward(&DriverManager::SQLForeignKeys, hstmt, szPkCatalogName, cbPkCatalogName,
                 szPkSchemaName, cbPkSchemaName, szPkTableName, cbPkTableName, szFkCatalogName,
                 cbFkCatalogName, szFkSchemaName, cbFkSchemaName, szFkTableName, cbFkTableName);
}

SQLRETURN SQL_API SQLFreeConnect(SQLHDBC hdbc) {
  return forward(&DriverManager::SQLFreeConnect, hdbc);
}

SQLRETURN SQL_API SQLFreeEnv(SQLHENV henv) { return forward(&DriverManager::SQLFreeEnv, henv); }

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT hstmt, SQLUSMALLINT fOption) {
  return forward(&DriverManager::SQLFreeStmt, hstmt, fOption);
}

SQLRETURN SQL_API SQLGetConnectOption(SQLHDBC hdbc, SQLUSMALLINT fOption, SQLPOINTER pvParam) {
  return forward(&DriverManager::SQLGetConnectOption, hdbc, fOption, pvParam);
}

SQLRETURN SQL_API SQLGetCursorName(SQLHSTMT hstmt, SQLCHAR* szCursor, SQLSMALLINT cbCursorMax,
                                   SQLSMALLINT* pcbCursor) {
  return forward(&DriverManager::SQLGetCursorName, hstmt, szCursor, cbCursorMax, pcbCursor);
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT hstmt, SQLUSMALLINT icol, SQLSMALLINT fCType,
                             SQLPOINTER rgbValue, SQLLEN cbValueMax, SQLLEN* pcbValue) {
  return forward(&DriverManager::SQLGetData, hstmt, icol, fCType, rgbValue, cbValueMax, pcbValue);
}

SQLRETURN SQL_API SQLGetFunctions(SQLHDBC hdbc, SQLUSMALLINT fFunction, SQLUSMALLINT* pfExists) {
  return forward(&DriverManager::SQLGetFunctions, hdbc, fFunction, pfExists);
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC hdbc, SQLUSMALLINT fInfoType, SQLPOINTER rgbInfoValue,
                             SQLSMALLINT cbInfoValueMax, SQLSMALLINT* pcbInfoValue) {
  return forward(&DriverManager::SQLGetInfo, hdbc, fInfoType, rgbInfoValue, cbInfoValueMax,
                 pcbInfoValue);
}

SQLRETURN SQL_API SQLGetStmtOption(SQLHSTMT hstmt, SQLUSMALLINT fOption, SQLPOINTER pvParam) {
  return forward(&DriverManager::SQLGetStmtOption, hstmt, fOption, pvParam);
}

SQLRETURN SQL_API SQLGetTypeInfo(SQLHSTMT hstmt, SQLSMALLINT fSqlType) {
  return forward(&DriverManager::SQLGetTypeInfo, hstmt, fSqlType);
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT hstmt) {
  return forward(&DriverManager::SQLMoreResults, hstmt);
}

SQLRETURN SQL_API SQLNativeSql(SQLHDBC hdbc, SQLCHAR* szSqlStrIn, SQLINTEGER cbSqlStrIn,
                               SQLCHAR* szSqlStr, SQLINTEGER cbSqlStrMax, SQLINTEGER* pcbSqlStr) {
  return forward(&DriverManager::SQLNativeSql, hdbc, szSqlStrIn, cbSqlStrIn, szSqlStr, cbSqlStrMax,
                 pcbSqlStr);
}

SQLRETURN SQL_API SQLNumParams(SQLHSTMT hstmt, SQLSMALLINT* pcpar) {
  return forward(&DriverManager::SQLNumParams, hstmt, pcpar);
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT hstmt, SQLSMALLINT* pccol) {
  return forward(&DriverManager::SQLNumResultCols, hstmt, pccol);
}

SQLRETURN SQL_API SQLParamData(SQLHSTMT hstmt, SQLPOINTER* prgbValue) {
  return forward(&DriverManager::SQLParamData, hstmt, prgbValue);
}

SQLRETURN SQL_API SQLParamOptions(SQLHSTMT hstmt, SQLULEN crow, SQLULEN* pirow) {
  return forward(&DriverManager::SQLParamOptions, hstmt, crow, pirow);
}

SQLRETURN SQL_API SQLPrepare(SQLHSTMT hstmt, SQLCHAR* szSqlStr, SQLINTEGER cbSqlStr) {
  return forward(&DriverManager::SQLPrepare, hstmt, szSqlStr, cbSqlStr);
}

SQLRETURN SQL_API SQLPrimaryKeys(SQLHSTMT hstmt, SQLCHAR* szCatalogName, SQLSMALLINT cbCatalogName,
                                 SQLCHAR* szSchemaName, SQLSMALLINT cbSchemaName,
                                 SQLCHAR* szTableName, SQLSMALLINT cbTableName) {
  return forward(&DriverManager::SQLPrimaryKeys, hstmt, szCatalogName, cbCatalogName, szSchemaName,
                 cbSchemaName, szTableName, cbTableName);
}

SQLRETURN SQL_API SQLProcedureColumns(SQLHSTMT hstmt, SQLCHAR* szCatalogName,
                                      SQLSMALLINT cbCatalogName, SQLCHAR* szSchemaName,
                                      SQLSMALLINT cbSchemaName, SQLCHAR* szProcName,
                                      SQLSMALLINT cbProcName, SQLCHAR* szColumnName,
                                      SQLSMALLINT cbColumnName) {
  return forward(&DriverManager::SQLProcedureColumns, hstmt, szCatalogName, cbCatalogName,
                 szSchemaName, cbSchemaName, szProcName, cbProcName, szColumnName, cbColumnName);
}

SQLRETURN SQL_API SQLProcedures(SQLHSTMT hstmt, SQLCHAR* szCatalogName, SQLSMALLINT cbCatalogName,
                                SQLCHAR* szSchemaName, SQLSMALLINT cbSchemaName,
                                SQLCHAR* szProcName, SQLSMALLINT cbProcName) {
  return forward(&DriverManager::SQLProcedures, hstmt, szCatalogName, cbCatalogName, szSchemaName,
                 cbSchemaName, szProcName, cbProcName);
}

SQLRETURN SQL_API SQLPutData(SQLHSTMT hstmt, SQLPOINTER rgbValue, SQLLEN cbValue) {
  return forward(&DriverManager::SQLPutData, hstmt, rgbValue, cbValue);
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT hstmt, SQLLEN* pcrow) {
  return forward(&DriverManager::SQLRowCount, hstmt, pcrow);
}

SQLRETURN SQL_API SQLSetConnectOption(SQLHDBC hdbc, SQLUSMALLINT fOption, SQLULEN vParam) {
  return forward(&DriverManager::SQLSetConnectOption, hdbc, fOption, vParam);
}

SQLRETURN SQL_API SQLSetCursorName(SQLHSTMT hstmt, SQLCHAR* szCursor, SQLSMALLINT cbCursor) {
  return forward(&DriverManager::SQLSetCursorName, hstmt, szCursor, cbCursor);
}

SQLRETURN SQL_API SQLSetPos(SQLHSTMT hstmt, SQLSETPOSIROW irow, SQLUSMALLINT fOption,
                            SQLUSMALLINT fLock) {
  return forward(&DriverManager::SQLSetPos, hstmt, irow, fOption, fLock);
}

SQLRETURN SQL_API SQLSetStmtOption(SQLHSTMT hstmt, SQLUSMALLINT fOption, SQLULEN vParam) {
  return forward(&DriverManager::SQLSetStmtOption, hstmt, fOption, vParam);
}

SQLRETURN SQL_API SQLSpecialColumns(SQLHSTMT hstmt, SQLUSMALLINT fColType, SQLCHAR* szCatalogName,
                                    SQLSMALLINT cbCatalogName, SQLCHAR* szSchemaName,
                                    SQLSMALLINT cbSchemaName, SQLCHAR* szTableName,
                                    SQLSMALLINT cbTableName, SQLUSMALLINT fScope,
                                    SQLUSMALLINT fNullable) {
  return forward(&DriverManager::SQLSpecialColumns, hstmt, fColType, szCatalogName, cbCatalogName,
                 szSchemaName, cbSchemaName, szTableName, cbTableName, fScope, fNullable);
}

SQLRETURN SQL_API SQLStatistics(SQLHSTMT hstmt, SQLCHAR* szCatalogName, SQLSMALLINT cbCatalogName,
                                SQLCHAR* szSchemaName, SQLSMALLINT cbSchemaName,
                                SQLCHAR* szTableName, SQLSMALLINT cbTableName, SQLUSMALLINT fUnique,
                                SQLUSMALLINT fAccuracy) {
  return forward(&DriverManager::SQLStatistics, hstmt, szCatalogName, cbCatalogName, szSchemaName,
                 cbSchemaName, szTableName, cbTableName, fUnique, fAccuracy);
}

SQLRETURN SQL_API SQLTablePrivileges(SQLHSTMT hstmt, SQLCHAR* szCatalogName,
                                     SQLSMALLINT cbCatalogName, SQLCHAR* szSchemaName,
                                     SQLSMALLINT cbSchemaName, SQLCHAR* szTableName,
                                     SQLSMALLINT cbTableName) {
  return forward(&DriverManager::SQLTablePrivileges, hstmt, szCatalogName, cbCatalogName,
                 szSchemaName, cbSchemaName, szTableName, cbTableName);
}

SQLRETURN SQL_API SQLTables(SQLHSTMT hstmt, SQLCHAR* szCatalogName, SQLSMALLINT cbCatalogName,
                            SQLCHAR* szSchemaName, SQLSMALLINT cbSchemaName, SQLCHAR* szTableName,
                            SQLSMALLINT cbTableName, SQLCHAR* szTableType,
                            SQLSMALLINT cbTableType) {
  return forward(&DriverManager::SQLTables, hstmt, szCatalogName, cbCatalogName, szSchemaName,
                 cbSchemaName, szTableName, cbTableName, szTableType, cbTableType);
}

SQLRETURN SQL_API SQLTransact(SQLHENV henv, SQLHDBC hdbc, SQLUSMALLINT fType) {
  return forward(&DriverManager::SQLTransact, henv, hdbc, fType);
}

}  // extern "C"
