// The ODBC 2.x call interface that libsqlserial exports, in export order.
// X(name) is applied to each of the 54 names; the same list binds the
// driver manager's functions and drives the tests that walk every export.
#pragma once

#define KESTREL_ODBC_ENTRY_POINTS(X)                                                   \
  X(SQLAllocConnect) X(SQLAllocEnv) X(SQLAllocStmt) X(SQLBindCol) X(SQLBindParameter)  \
  X(SQLBrowseConnect) X(SQLCancel) X(SQLColAttributes) X(SQLColumnPrivileges)          \
  X(SQLColumns) X(SQLConnect) X(SQLDataSources) X(SQLDescribeCol) X(SQLDescribeParam)  \
  X(SQLDisconnect) X(SQLDriverConnect) X(SQLDrivers) X(SQLError) X(SQLExecDirect)      \
  X(SQLExecute) X(SQLExtendedFetch) X(SQLFetch) X(SQLForeignKeys) X(SQLFreeConnect)    \
  X(SQLFreeEnv) X(SQLFreeStmt) X(SQLGetConnectOption) X(SQLGetCursorName) X(SQLGetData) \
  X(SQLGetFunctions) X(SQLGetInfo) X(SQLGetStmtOption) X(SQLGetTypeInfo)               \
  X(SQLMoreResults) X(SQLNativeSql) X(SQLNumParams) X(SQLNumResultCols) X(SQLParamData) \
  X(SQLParamOptions) X(SQLPrepare) X(SQLPrimaryKeys) X(SQLProcedureColumns)            \
  X(SQLProcedures) X(SQLPutData) X(SQLRowCount) X(SQLSetConnectOption)                 \
  X(SQLSetCursorName) X(SQLSetPos) X(SQLSetStmtOption) X(SQLSpecialColumns)            \
  X(SQLStatistics) X(SQLTablePrivileges) X(SQLTables) X(SQLTransact)
