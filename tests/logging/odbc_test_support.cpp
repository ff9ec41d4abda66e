#include "odbc_test_support.h"

#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <sql.h>
#include <sqlext.h>

namespace fs = std::filesystem;

namespace tarvo::test {

SampleRecord makeSample(int address, float firstAmps, DeviceKind kind) {
    auto sample = std::make_shared<LogSample>();
    sample->kind = kind;
    sample->address = address;
    sample->time = kPassTime;
    for (std::size_t i = 0; i < sample->currents.size(); ++i)
        sample->currents[i] = firstAmps + static_cast<float>(i);
    sample->meterValues.fill(230.5f);
    return sample;
}

OdbcConfig::OdbcConfig() : m_dir("tarvo-odbcini") {
    std::ofstream inst(m_dir.path() / "odbcinst.ini");
    inst << "[SQLite3]\nDescription=SQLite3 ODBC Driver\nDriver=" << kOdbcDriverDir
         << "/libsqlite3odbc.so\n\n"
         << "[PostgreSQL]\nDescription=PostgreSQL ODBC driver\nDriver=" << kOdbcDriverDir
         << "/psqlodbcw.so\n";
    install();
}

void OdbcConfig::addSqlite(const std::string& dsn, const fs::path& databaseFile) {
    m_dataSources +=
        "[" + dsn + "]\nDriver=SQLite3\nDatabase=" + databaseFile.string() + "\nTimeout=2000\n\n";
}

void OdbcConfig::addPostgres(const std::string& dsn, const fs::path& socketDir, int port,
                             const std::string& database) {
    m_dataSources += "[" + dsn + "]\nDriver=PostgreSQL\nServername=" + socketDir.string() +
                     "\nPort=" + std::to_string(port) + "\nDatabase=" + database + "\n\n";
}

void OdbcConfig::install() {
    std::ofstream(m_dir.path() / "odbc.ini") << m_dataSources;
    setenv("ODBCSYSINI", m_dir.path().c_str(), 1);
    setenv("ODBCINI", (m_dir.path() / "odbc.ini").c_str(), 1);
}

bool OdbcConfig::sqliteDriverPresent() {
    return fs::exists(fs::path(kOdbcDriverDir) / "libsqlite3odbc.so");
}

bool OdbcConfig::postgresDriverPresent() {
    return fs::exists(fs::path(kOdbcDriverDir) / "psqlodbcw.so");
}

namespace {

std::unique_ptr<TempDir> g_sharedData;
std::unique_ptr<OdbcConfig> g_sharedConfig;

// Starts `argv` as `uid`/`gid` in a child process with its output in
// `logFile`; returns the child's process id, or -1.
pid_t spawnAs(uid_t uid, gid_t gid, const std::vector<std::string>& argv, const fs::path& logFile) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(126);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

} // namespace

void SharedOdbcConfig::SetUp() {
    // unixODBC unloads a driver when its last connection closes, and the
    // SQLite driver loads and unloads libodbcinst for its settings, which
    // keeps what it read in blocks it never frees. Once a library is
    // unloaded the leak checker no longer sees its blocks as held and
    // reports them against the test; keeping both mapped keeps them held.
    dlopen((std::string(kOdbcDriverDir) + "/libsqlite3odbc.so").c_str(), RTLD_NOW | RTLD_NODELETE);
    dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_NODELETE);
    g_sharedData = std::make_unique<TempDir>("tarvo-odbcdata");
    g_sharedConfig = std::make_unique<OdbcConfig>();
    g_sharedConfig->addSqlite(kSqliteDsn, sqliteFile());
    g_sharedConfig->addSqlite("tarvo_first", g_sharedData->path() / "a.db");
    g_sharedConfig->install();
}

void SharedOdbcConfig::TearDown() {
    g_sharedConfig.reset();
    g_sharedData.reset();
}

const fs::path& SharedOdbcConfig::dataDir() {
    return g_sharedData->path();
}

PostgresServer::~PostgresServer() {
    stop();
}

std::string PostgresServer::init() {
    if (!fs::exists(fs::path(kBinDir) / "initdb") || !fs::exists(fs::path(kBinDir) / "postgres"))
        return std::string("PostgreSQL 15 is not installed (no ") + kBinDir + "/initdb)";
    const passwd* pw = getpwnam("postgres");
    if (!pw)
        return "there is no postgres user to run the server as";
    if (geteuid() != 0 && geteuid() != pw->pw_uid)
        return "the test runs neither as root nor as postgres, so it cannot run the server";
    m_uid = pw->pw_uid;
    m_gid = pw->pw_gid;
    m_dir = std::make_unique<TempDir>("tarvo-pg");
    m_dataDir = m_dir->path() / "data";
    m_socketDir = m_dir->path();
    if (chown(m_dir->path().c_str(), m_uid, m_gid) != 0)
        return "cannot hand the temporary folder to the postgres user";
    const fs::path pwFile = m_dir->path() / "pw";
    std::ofstream(pwFile) << kPassword << "\n";
    if (chown(pwFile.c_str(), m_uid, m_gid) != 0)
        return "cannot hand the password file to the postgres user";
    const fs::path log = m_dir->path() / "initdb.log";
    const pid_t pid = spawnAs(m_uid, m_gid,
                              {std::string(kBinDir) + "/initdb", "-D", m_dataDir.string(), "-U",
                               kUser, "--auth=scram-sha-256", "--pwfile=" + pwFile.string(),
                               "--no-sync", "-E", "UTF8", "--locale=C"},
                              log);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        const std::vector<std::string> output = readLines(log);
        return "initdb failed: " + (output.empty() ? std::string() : output.back());
    }
    std::random_device random;
    m_port = 20000 + static_cast<int>(random() % 40000);
    return {};
}

bool PostgresServer::start() {
    if (m_pid > 0)
        return true;
    const fs::path log = m_dir->path() / "server.log";
    fs::remove(m_dataDir / "postmaster.pid");
    m_pid = spawnAs(m_uid, m_gid,
                    {std::string(kBinDir) + "/postgres", "-D", m_dataDir.string(), "-k",
                     m_socketDir.string(), "-p", std::to_string(m_port), "-c",
                     "listen_addresses=", "-c", "fsync=off", "-c", "full_page_writes=off"},
                    log);
    if (m_pid < 0)
        return false;
    // postmaster.pid gets the status "ready" once connections are accepted.
    for (int i = 0; i < 300; ++i) {
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        for (const std::string& line : readLines(m_dataDir / "postmaster.pid"))
            if (line.starts_with("ready"))
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop();
    return false;
}

void PostgresServer::stop() {
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGINT); // fast shutdown: ends sessions, no waiting for clients
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

SqlClient::SqlClient(const std::string& dsn, const std::string& user, const std::string& password) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env);
    SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_dbc);
    const SQLRETURN rc = SQLConnect(m_dbc, (SQLCHAR*)dsn.c_str(), SQL_NTS, (SQLCHAR*)user.c_str(),
                                    SQL_NTS, (SQLCHAR*)password.c_str(), SQL_NTS);
    m_connected = SQL_SUCCEEDED(rc);
}

SqlClient::~SqlClient() {
    if (m_connected)
        SQLDisconnect(m_dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, m_env);
}

std::string SqlClient::exec(const std::string& sql) {
    std::string error;
    query(sql, &error);
    return error;
}

Rows SqlClient::query(const std::string& sql, std::string* error) {
    Rows rows;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &stmt);
    const SQLRETURN rc = SQLExecDirect(stmt, (SQLCHAR*)sql.c_str(), SQL_NTS);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA && error) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR text[512] = {};
        SQLSMALLINT len = 0;
        SQLGetDiagRec(SQL_HANDLE_STMT, stmt, 1, state, &native, text, sizeof text, &len);
        *error = "failed: " + std::string(reinterpret_cast<char*>(text));
    }
    SQLSMALLINT columns = 0;
    if (SQL_SUCCEEDED(rc))
        SQLNumResultCols(stmt, &columns);
    while (columns > 0 && SQL_SUCCEEDED(SQLFetch(stmt))) {
        std::vector<std::optional<std::string>> row;
        for (SQLUSMALLINT c = 1; c <= columns; ++c) {
            char buffer[512] = {};
            SQLLEN indicator = 0;
            SQLGetData(stmt, c, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
            if (indicator == SQL_NULL_DATA)
                row.push_back(std::nullopt);
            else
                row.push_back(std::string(buffer));
        }
        rows.push_back(std::move(row));
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return rows;
}

} // namespace tarvo::test
