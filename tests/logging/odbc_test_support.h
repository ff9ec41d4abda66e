#pragma once

#include "support/temp_dir.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>

#include "logging/sample_queue.h"

namespace tarvo::test {

/// 2024-03-05 10:15:00 UTC, the pass time of the records below.
inline constexpr std::time_t kPassTime = 1709633700;

/// A record of `kind` from `address`: breaker i (from 0) carries
/// `firstAmps` + i, every circuit-meter value 230.5.
SampleRecord makeSample(int address, float firstAmps = 1.0f, DeviceKind kind = BranchMonitor);

inline constexpr const char* kOdbcDriverDir = "/usr/lib/x86_64-linux-gnu/odbc";

/// A private unixODBC configuration: odbcinst.ini (the "SQLite3" and
/// "PostgreSQL" drivers) and odbc.ini in a temporary folder, named by
/// ODBCSYSINI and ODBCINI for this process. Without ODBCINI unixODBC would
/// read (and create) a file in the home folder. Data sources must be added
/// before the first ODBC call of the process: the driver manager may keep
/// what it read.
class OdbcConfig {
public:
    OdbcConfig();
    /// A data source of the SQLite3 driver on `databaseFile`.
    void addSqlite(const std::string& dsn, const std::filesystem::path& databaseFile);
    /// A data source of psqlODBC on a Unix socket in `socketDir`.
    void addPostgres(const std::string& dsn, const std::filesystem::path& socketDir, int port,
                     const std::string& database);
    /// Writes odbc.ini and sets the environment.
    void install();
    static bool sqliteDriverPresent();
    static bool postgresDriverPresent();

private:
    TempDir m_dir;
    std::string m_dataSources;
};

/// The data sources of a test program, installed once before its first case:
/// unixODBC keeps what it read, so they cannot change later in the process.
/// "tarvo_sqlite" is an SQLite database file in dataDir() (each case removes
/// it first to start empty); "tarvo_first" is another, for switching sources.
class SharedOdbcConfig : public ::testing::Environment {
public:
    static constexpr const char* kSqliteDsn = "tarvo_sqlite";
    void SetUp() override;
    void TearDown() override;
    static const std::filesystem::path& dataDir();
    static std::filesystem::path sqliteFile() { return dataDir() / "log.db"; }
};

/// A throwaway PostgreSQL server: initdb into a temporary folder and the
/// postmaster as a child process of the test, run as the `postgres` user
/// (the server refuses to run as root), listening only on a Unix socket in
/// that folder with a random port number. Logins need the password.
class PostgresServer {
public:
    static constexpr const char* kBinDir = "/usr/lib/postgresql/15/bin";
    static constexpr const char* kUser = "postgres";
    static constexpr const char* kPassword = "tarvo-test-pw";

    PostgresServer() = default;
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    /// initdb; empty on success, else why the server cannot run here.
    std::string init();
    /// Starts the postmaster and waits until it accepts connections.
    bool start();
    /// Stops it (fast shutdown) by its process id and reaps it.
    void stop();

    const std::filesystem::path& socketDir() const { return m_socketDir; }
    int port() const { return m_port; }

private:
    std::unique_ptr<TempDir> m_dir;
    std::filesystem::path m_dataDir;
    std::filesystem::path m_socketDir;
    int m_port = 0;
    pid_t m_pid = -1;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

/// Rows of a query, each column as text or nullopt for NULL.
using Rows = std::vector<std::vector<std::optional<std::string>>>;

/// Plain SQL over a connection of the test's own (linked directly to the
/// driver manager), to prepare tables and read back what the program wrote.
class SqlClient {
public:
    SqlClient(const std::string& dsn, const std::string& user = {},
              const std::string& password = {});
    ~SqlClient();
    SqlClient(const SqlClient&) = delete;
    SqlClient& operator=(const SqlClient&) = delete;

    bool connected() const { return m_connected; }
    /// Runs `sql`; the driver's message on failure, empty on success.
    std::string exec(const std::string& sql);
    /// The rows `sql` returns; the driver's message on failure in `error`.
    Rows query(const std::string& sql, std::string* error = nullptr);

private:
    void* m_env = nullptr;
    void* m_dbc = nullptr;
    bool m_connected = false;
};

} // namespace tarvo::test
