// A stand-in driver manager for the binding tests. Built three times:
// complete, with every entry point the program resolves, and without
// SQLSetStmtOption (TARVO_STUB_PARTIAL), where every call fails and SQLError
// reports the SQLSTATE named by TARVO_STUB_SQLSTATE, so the connect-failure
// texts can be checked for codes no real driver gives on demand; and as a
// strict driver (TARVO_STUB_CURSOR) that connects and keeps its one
// statement's cursor: a catalogue call opens it, SQLFreeStmt(SQL_CLOSE)
// closes it, and running anything while it is open fails with 24000, even
// after the last row was fetched (unixODBC and the SQLite driver let that
// pass once the last row is fetched; the ODBC rules do not).
#include <cstdlib>
#include <cstring>

extern "C" {

#define FAIL(name)                                                                                 \
    __attribute__((visibility("default"))) short name() {                                          \
        return -1;                                                                                 \
    }

FAIL(SQLDataSources)
FAIL(SQLGetInfo)
#ifndef TARVO_STUB_PARTIAL
FAIL(SQLSetStmtOption)
#endif

FAIL(SQLTables)
FAIL(SQLColumns)

#ifdef TARVO_STUB_CURSOR
#define STUB __attribute__((visibility("default"))) short
#define OK(name)                                                                                   \
    STUB name() {                                                                                  \
        return 0;                                                                                  \
    }
#define ALLOC(name)                                                                                \
    STUB name(void*, void** handle) {                                                              \
        *handle = &g_state;                                                                        \
        return 0;                                                                                  \
    }

static const char* g_state = "00000";
static bool g_open = false; // the cursor
static int g_row = 0;
static char* g_name = nullptr; // the bound columns: TYPE_NAME, DATA_TYPE
static short* g_type = nullptr;
static const char* const kNames[] = {"FLOAT", "INTEGER", "VARCHAR", "TIMESTAMP"};
static const short kTypes[] = {6, 4, 12, 11};

OK(SQLConnect)
OK(SQLDisconnect)
OK(SQLFreeConnect)
ALLOC(SQLAllocConnect)
ALLOC(SQLAllocStmt)
STUB SQLAllocEnv(void** env) {
    return SQLAllocStmt(nullptr, env);
}
STUB SQLFreeStmt(void*, unsigned short option) {
    g_open = g_open && option != 0 && option != 1; // SQL_CLOSE and SQL_DROP close it
    return 0;
}
STUB SQLExecDirect(void*, unsigned char*, int) {
    g_state = g_open ? "24000" : "00000";
    return g_open ? -1 : 0;
}
STUB SQLGetTypeInfo(void*, short) {
    const short rc = SQLExecDirect(nullptr, nullptr, 0);
    g_open = true;
    g_row = 0;
    return rc;
}
STUB SQLBindCol(void*, unsigned short column, short, void* value, long, long*) {
    (column == 1 ? reinterpret_cast<void*&>(g_name) : reinterpret_cast<void*&>(g_type)) = value;
    return 0;
}
STUB SQLFetch(void*) {
    if (g_row >= 4)
        return 100; // SQL_NO_DATA: the cursor stays open
    std::strcpy(g_name, kNames[g_row]);
    *g_type = kTypes[g_row++];
    return 0;
}
STUB SQLError(void*, void*, void*, unsigned char* state, int* native, unsigned char* message, short,
              short* length) {
    std::strcpy(reinterpret_cast<char*>(state), g_state);
    *native = 0;
    message[0] = 0;
    *length = 0;
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
__attribute__((visibility("default"))) short SQLAllocEnv(void** env) {
    *env = nullptr;
    return -1;
}

__attribute__((visibility("default"))) short SQLError(void*, void*, void*, unsigned char* state,
                                                      int* native, unsigned char* message,
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
#endif
}
