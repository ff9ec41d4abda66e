// A stand-in driver manager for the binding tests. Built three times:
// complete, with every entry point the program resolves, and without
// SQLSetStmtOption (TARVO_STUB_PARTIAL), where every call fails; and as a
// strict driver (TARVO_STUB_CURSOR) that connects and lists two types, and
// refuses to run a statement while the type list's cursor is open, also
// after its last row (unixODBC and the SQLite driver let that pass, the
// ODBC rules do not); SQLFreeStmt with SQL_CLOSE or SQL_DROP closes it.
// SQLError reports the SQLSTATE named by TARVO_STUB_SQLSTATE, so the
// connect-failure texts can be checked for codes no real driver gives on
// demand. The strict driver counts its connects and fails as many connects
// and statements as a test asks through the tarvo_stub_* variables.
#include <cstdlib>
#include <cstring>

extern "C" {

#define STUB __attribute__((visibility("default"))) short
#define FAIL(name)                                                                                 \
    STUB name() {                                                                                  \
        return -1;                                                                                 \
    }

FAIL(SQLDataSources)
FAIL(SQLTables)
FAIL(SQLColumns)
FAIL(SQLGetInfo)
#ifndef TARVO_STUB_PARTIAL
FAIL(SQLSetStmtOption)
#endif

#ifdef TARVO_STUB_CURSOR
static bool g_open = false; // the statement's cursor
static int g_row = 0;
static char* g_name = nullptr; // the bound TYPE_NAME and DATA_TYPE
static short* g_type = nullptr;
#define OK(name)                                                                                   \
    STUB name() {                                                                                  \
        return 0;                                                                                  \
    }
__attribute__((visibility("default"))) int tarvo_stub_connects = 0;
__attribute__((visibility("default"))) int tarvo_stub_fail_connects = 0;
__attribute__((visibility("default"))) int tarvo_stub_fail_execs = 0;
__attribute__((visibility("default"))) int tarvo_stub_rows = 0; // statements run
STUB SQLConnect() {
    ++tarvo_stub_connects;
    return tarvo_stub_fail_connects-- > 0 ? -1 : 0;
}
// clang-format off
OK(SQLDisconnect)
OK(SQLFreeConnect)
// clang-format on
STUB SQLAllocEnv(void** handle) {
    *handle = &g_row;
    return 0;
}
STUB SQLAllocConnect(void*, void** handle) {
    return SQLAllocEnv(handle);
}
STUB SQLAllocStmt(void*, void** handle) {
    return SQLAllocEnv(handle);
}
STUB SQLFreeStmt(void*, unsigned short option) {
    g_open = g_open && option > 1;
    return 0;
}
STUB SQLExecDirect(void*, unsigned char*, int) {
    if (g_open || tarvo_stub_fail_execs-- > 0)
        return -1;
    ++tarvo_stub_rows;
    return 0;
}
STUB SQLGetTypeInfo(void*, short) {
    g_open = true;
    g_row = 0;
    return 0;
}
STUB SQLBindCol(void*, unsigned short column, short, void* value, long, long*) {
    if (column == 1)
        g_name = static_cast<char*>(value);
    else
        g_type = static_cast<short*>(value);
    return 0;
}
STUB SQLFetch(void*) {
    if (g_row == 2)
        return 100; // SQL_NO_DATA: the cursor stays open
    std::strcpy(g_name, g_row ? "VARCHAR" : "FLOAT");
    *g_type = g_row++ ? 12 : 6;
    return 0;
}
#else
FAIL(SQLFreeConnect)
FAIL(SQLDisconnect)
FAIL(SQLFreeStmt)
FAIL(SQLFetch)
FAIL(SQLBindCol)
FAIL(SQLAllocStmt)
FAIL(SQLConnect)
FAIL(SQLAllocConnect)
FAIL(SQLExecDirect)
FAIL(SQLGetTypeInfo)

// No environment: the program must give up on database logging.
STUB SQLAllocEnv(void** env) {
    *env = nullptr;
    return -1;
}
#endif

STUB SQLError(void*, void*, void*, unsigned char* state, int* native, unsigned char* message,
              short size, short* length) {
    const char* code = std::getenv("TARVO_STUB_SQLSTATE");
    std::strncpy(reinterpret_cast<char*>(state), code ? code : "HY000", 5);
    state[5] = 0;
    *native = 0;
    if (size > 0)
        message[0] = 0;
    *length = 0;
    return 0;
}
}
