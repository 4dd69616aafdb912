#!/bin/sh
# Passes when LIBRARY exports exactly the 54 ODBC 2.x entry points and nothing else.
# Usage: check_exports.sh LIBRARY
set -eu
library=$1

expected=$(sed 's/^/T /' <<'NAMES' | sort
SQLAllocConnect
SQLAllocEnv
SQLAllocStmt
SQLBindCol
SQLBindParameter
SQLBrowseConnect
SQLCancel
SQLColAttributes
SQLColumnPrivileges
SQLColumns
SQLConnect
SQLDataSources
SQLDescribeCol
SQLDescribeParam
SQLDisconnect
SQLDriverConnect
SQLDrivers
SQLError
SQLExecDirect
SQLExecute
SQLExtendedFetch
SQLFetch
SQLForeignKeys
SQLFreeConnect
SQLFreeEnv
SQLFreeStmt
SQLGetConnectOption
SQLGetCursorName
SQLGetData
SQLGetFunctions
SQLGetInfo
SQLGetStmtOption
SQLGetTypeInfo
SQLMoreResults
SQLNativeSql
SQLNumParams
SQLNumResultCols
SQLParamData
SQLParamOptions
SQLPrepare
SQLPrimaryKeys
SQLProcedureColumns
SQLProcedures
SQLPutData
SQLRowCount
SQLSetConnectOption
SQLSetCursorName
SQLSetPos
SQLSetStmtOption
SQLSpecialColumns
SQLStatistics
SQLTablePrivileges
SQLTables
SQLTransact
NAMES
)

# Every defined dynamic symbol, with its kind: each must be one of ours, as code.
actual=$(nm -D --defined-only "$library" | awk '{print $2, $NF}' | sort)

if [ "$actual" != "$expected" ]; then
  echo "$library does not export exactly the 54 entry points (< missing, > extra):" >&2
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  printf '%s\n' "$expected" > "$tmp/expected"
  printf '%s\n' "$actual" > "$tmp/actual"
  diff "$tmp/expected" "$tmp/actual" >&2 || true
  exit 1
fi
echo "$library exports exactly the 54 entry points"
