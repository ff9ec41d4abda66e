// Database logging through psqlODBC against a PostgreSQL server that the
// test starts for itself and stops in the middle of the run.
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

TEST(PostgresLogging, ServerStoppedForSeveralPassesLosesAndDoublesNothing) {
    if (!OdbcConfig::postgresDriverPresent())
        GTEST_SKIP() << "the PostgreSQL ODBC driver (odbc-postgresql) is not installed";
    PostgresServer server;
    if (const std::string why = server.init(); !why.empty())
        GTEST_SKIP() << why;
    if (!server.start())
        GTEST_SKIP() << "the PostgreSQL server did not start";
    // Installed before the first ODBC call of the process.
    OdbcConfig config;
    config.addPostgres(kDsn, server.socketDir(), server.port(), "postgres");
    config.install();
    auto sql = std::make_unique<SqlClient>(kDsn, PostgresServer::kUser, PostgresServer::kPassword);
    ASSERT_TRUE(sql->connected());
    ASSERT_EQ(sql->exec("CREATE TABLE samples (meter integer, amps1 real, backend integer "
                        "DEFAULT pg_backend_pid())"),
              "");
    Settings settings;
    settings.dsn = kDsn;
    settings.user = PostgresServer::kUser;
    settings.passwd = PostgresServer::kPassword;
    settings.table = "samples";
    settings.databaseLogState = Active;
    settings.links = {{kMeterVariable, SqlInteger, "meter"}, {3, SqlFloat, "amps1"}};
    OdbcLibrary odbc;
    SampleQueue queue;
    RecordingOperator op;
    int next = 1;
    auto pass = [&] {
        for (int device = 0; device < 3; ++device, ++next)
            queue.push(test::makeSample(next, 1.0f));
        InsertSamples(odbc, settings, queue, op);
    };
    pass();
    EXPECT_TRUE(queue.empty());
    sql.reset();
    server.stop();
    pass();
    pass();
    pass();
    EXPECT_EQ(queue.size(), 9u);
    ASSERT_EQ(op.messages.size(), 3u);
    for (const auto& message : op.messages)
        EXPECT_EQ(message.text, "Error connecting");
    ASSERT_TRUE(server.start());
    pass();
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(op.messages.size(), 3u);
    sql = std::make_unique<SqlClient>(kDsn, PostgresServer::kUser, PostgresServer::kPassword);
    ASSERT_TRUE(sql->connected());
    EXPECT_EQ(sql->query("SELECT count(*), count(DISTINCT meter), min(meter), max(meter), "
                         "count(DISTINCT backend) FROM samples"),
              (Rows{{"15", "15", "1", "15", "2"}}))
        << "every record once, through one connection per pass that reached the server";
}

} // namespace
} // namespace tarvo
