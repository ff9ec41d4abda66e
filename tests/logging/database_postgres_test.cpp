// Database logging through psqlODBC against a PostgreSQL server that the
// program starts for itself: one server for every case, so the program runs
// as one ctest test.
#include <gtest/gtest.h>

#include "core/operator.h"
#include "logging/database_logger.h"
#include "logging/log_variables.h"
#include "odbc_test_support.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

using test::OdbcConfig;
using test::PostgresServer;
using test::RecordingOperator;
using test::Rows;
using test::SqlClient;

constexpr const char* kDsn = "tarvo_pg";

// The server and the data source, shared by every case of the program.
class PostgresEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (!OdbcConfig::postgresDriverPresent()) {
            skipReason = "the PostgreSQL ODBC driver (odbc-postgresql) is not installed";
            return;
        }
        server = std::make_unique<PostgresServer>();
        skipReason = server->init();
        if (!skipReason.empty())
            return;
        if (!server->start()) {
            skipReason = "the PostgreSQL server did not start";
            return;
        }
        config = std::make_unique<OdbcConfig>();
        config->addPostgres(kDsn, server->socketDir(), server->port(), "postgres");
        config->install();
    }
    void TearDown() override {
        if (server)
            server->stop();
        server.reset();
        config.reset();
    }

    std::string skipReason;
    std::unique_ptr<PostgresServer> server;
    std::unique_ptr<OdbcConfig> config;
};

PostgresEnvironment* g_postgres =
    static_cast<PostgresEnvironment*>(::testing::AddGlobalTestEnvironment(new PostgresEnvironment));

class PostgresLogging : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_postgres->skipReason.empty())
            GTEST_SKIP() << g_postgres->skipReason;
        ASSERT_TRUE(g_postgres->server->start());
        m_sql = std::make_unique<SqlClient>(kDsn, PostgresServer::kUser, PostgresServer::kPassword);
        ASSERT_TRUE(m_sql->connected());
        m_settings.dsn = kDsn;
        m_settings.user = PostgresServer::kUser;
        m_settings.passwd = PostgresServer::kPassword;
        m_settings.table = "samples";
        m_settings.databaseLogState = Active;
        ASSERT_EQ(BindOdbc(m_odbc), Bound);
        ASSERT_TRUE(m_odbc.ensureEnvironment());
    }

    void insert() { InsertSamples(m_odbc, m_settings, m_queue, m_op); }

    std::unique_ptr<SqlClient> m_sql;
    OdbcLibrary m_odbc;
    Settings m_settings;
    SampleQueue m_queue;
    RecordingOperator m_op;
};

TEST_F(PostgresLogging, ServerStoppedForSeveralPassesLosesAndDoublesNothing) {
    ASSERT_EQ(m_sql->exec("CREATE TABLE samples (meter integer, amps1 real, backend integer "
                          "DEFAULT pg_backend_pid())"),
              "");
    m_settings.links = {{kMeterVariable, SqlInteger, "meter"}, {3, SqlFloat, "amps1"}};
    int next = 1;
    auto pass = [&] {
        for (int device = 0; device < 3; ++device, ++next)
            m_queue.push(test::makeSample(next, 1.0f));
        insert();
    };
    pass();
    EXPECT_TRUE(m_queue.empty());
    m_sql.reset();
    g_postgres->server->stop();
    pass();
    pass();
    pass();
    EXPECT_EQ(m_queue.size(), 9u);
    ASSERT_EQ(m_op.messages.size(), 3u);
    for (const auto& message : m_op.messages)
        EXPECT_EQ(message.text, "Error connecting");
    ASSERT_TRUE(g_postgres->server->start());
    pass();
    EXPECT_TRUE(m_queue.empty());
    EXPECT_EQ(m_op.messages.size(), 3u);
    m_sql = std::make_unique<SqlClient>(kDsn, PostgresServer::kUser, PostgresServer::kPassword);
    ASSERT_TRUE(m_sql->connected());
    EXPECT_EQ(m_sql->query("SELECT count(*), count(DISTINCT meter), min(meter), max(meter), "
                           "count(DISTINCT backend) FROM samples"),
              (Rows{{"15", "15", "1", "15", "2"}}))
        << "every record once, through one connection per pass that reached the server";
}

} // namespace
} // namespace tarvo
