// A stand-in driver manager for the binding tests. Built twice: complete,
// with every entry point the program resolves, and without SQLSetStmtOption
// (TARVO_STUB_PARTIAL). Every call fails; SQLError reports the SQLSTATE
// named by TARVO_STUB_SQLSTATE, so the connect-failure texts can be checked
// for codes no real driver gives on demand.
#include <cstdlib>
#include <cstring>

extern "C" {

#define FAIL(name)                                                                                 \
    __attribute__((visibility("default"))) short name() {                                          \
        return -1;                                                                                 \
    }

FAIL(SQLDataSources)
FAIL(SQLFreeConnect)
FAIL(SQLDisconnect)
FAIL(SQLFreeStmt)
FAIL(SQLFetch)
FAIL(SQLBindCol)
FAIL(SQLTables)
FAIL(SQLAllocStmt)
FAIL(SQLConnect)
FAIL(SQLAllocConnect)
FAIL(SQLColumns)
FAIL(SQLGetInfo)
FAIL(SQLExecDirect)
FAIL(SQLGetTypeInfo)
#ifndef TARVO_STUB_PARTIAL
FAIL(SQLSetStmtOption)
#endif

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
}
