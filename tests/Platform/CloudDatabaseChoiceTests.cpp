#include "Platform/CloudDatabaseChoice.h"
#include "Platform/CloudRecord.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

using namespace vellumar::platform;

namespace {

class CloudDatabaseChoiceTest : public ::testing::Test {
protected:
    vellumar::test::TemporaryFolder home;

    void write(const std::string& contents) { vellumar::test::writeBytes(home / "cloud.json", contents); }

    void choosePostgres(const std::string& conninfo)
    {
        write(nlohmann::json { { "backend", "postgresql" }, { "conninfo", conninfo } }.dump());
    }

    // The error's code, with a check that its text gives nothing of the file away.
    int failureCode()
    {
        try {
            readCloudDatabaseChoice(home.path());
        } catch (const CloudDatabaseError& error) {
            EXPECT_EQ(std::string(error.what()).find("secret"), std::string::npos);
            return error.code();
        }
        return 0;
    }
};

TEST_F(CloudDatabaseChoiceTest, WithoutTheFileOrNamingItTheEmbeddedDatabaseServes)
{
    EXPECT_EQ(readCloudDatabaseChoice(home.path()).backend, CloudBackend::sqlite);
    write(R"({"backend": "sqlite"})");
    EXPECT_EQ(readCloudDatabaseChoice(home.path()).backend, CloudBackend::sqlite);
}

TEST_F(CloudDatabaseChoiceTest, AFileThatChoosesNothingClearlyIsRefused)
{
    for (const char* contents : { "not json", "[]", R"({"backend": 1})", R"({"conninfo": "host=/tmp"})",
             R"({"backend": "mysql", "conninfo": "host=/tmp"})", R"({"backend": "postgresql"})",
             R"({"backend": "postgresql", "conninfo": 5})",
             R"({"backend": "postgresql", "conninfo": "host=/tmp = secret"})" }) {
        write(contents);
        EXPECT_EQ(failureCode(), CloudErrorCode::badContainer) << contents;
    }
}

TEST_F(CloudDatabaseChoiceTest, AServerOnThisMachineNeedsNoTLS)
{
    for (const char* conninfo : { "dbname=mail", "host=/run/postgresql", "host=localhost", "host=127.0.0.2",
             "host=::1", "host=localhost,/tmp hostaddr=127.0.0.1", "postgresql:///mail?host=/tmp" }) {
        choosePostgres(conninfo);
        auto choice = readCloudDatabaseChoice(home.path());
        EXPECT_EQ(choice.backend, CloudBackend::postgresql);
        EXPECT_EQ(choice.conninfo, conninfo);
    }
}

TEST_F(CloudDatabaseChoiceTest, AServerElsewhereIsReachedOnlyOverTLS)
{
    struct Case {
        const char* conninfo;
        const char* expected; // nullptr: refused
    };
    for (const Case& row : std::initializer_list<Case> {
             { "host=db.example.net", "host=db.example.net sslmode=verify-full" },
             { "host=localhost,db.example.net", "host=localhost,db.example.net sslmode=verify-full" },
             { "host=localhost hostaddr=192.0.2.7", "host=localhost hostaddr=192.0.2.7 sslmode=verify-full" },
             { "host=128.0.0.1", "host=128.0.0.1 sslmode=verify-full" },
             { "postgresql://db.example.net/mail", "postgresql://db.example.net/mail?sslmode=verify-full" },
             { "postgres://db.example.net/mail?user=me",
                 "postgres://db.example.net/mail?user=me&sslmode=verify-full" },
             { "postgresql://db.example.net/mail?sslmode=disable", nullptr },
             { "host=db.example.net sslmode=require", "host=db.example.net sslmode=require" },
             { "host=db.example.net sslmode=verify-ca", "host=db.example.net sslmode=verify-ca" },
             { "host=db.example.net sslmode=prefer", nullptr },
             { "host=db.example.net sslmode=allow", nullptr },
             { "host=db.example.net sslmode=disable", nullptr },
         }) {
        choosePostgres(row.conninfo);
        if (row.expected)
            EXPECT_EQ(readCloudDatabaseChoice(home.path()).conninfo, row.expected) << row.conninfo;
        else
            EXPECT_EQ(failureCode(), CloudErrorCode::badContainer) << row.conninfo;
    }
}

TEST_F(CloudDatabaseChoiceTest, APasswordIsReadOnlyFromAPrivateFileOfThisUser)
{
    choosePostgres("host=/tmp password=secret");
    EXPECT_EQ(failureCode(), CloudErrorCode::permissionFailure);

    auto passfile = home / "pgpass";
    vellumar::test::writeBytes(passfile, "*:*:*:*:secret\n");
    choosePostgres("host=/tmp passfile=" + passfile.string());
    for (mode_t mode : { 0644, 0640, 0604 }) {
        ASSERT_EQ(::chmod(passfile.c_str(), mode), 0);
        EXPECT_EQ(failureCode(), CloudErrorCode::permissionFailure) << std::oct << mode;
    }
    ASSERT_EQ(::chmod(passfile.c_str(), 0600), 0);
    EXPECT_EQ(readCloudDatabaseChoice(home.path()).backend, CloudBackend::postgresql);

    ASSERT_EQ(::chown(passfile.c_str(), ::geteuid() + 1, ::getegid()), 0);
    EXPECT_EQ(failureCode(), CloudErrorCode::permissionFailure);

    choosePostgres("host=/tmp passfile=" + (home / "absent").string());
    EXPECT_EQ(failureCode(), CloudErrorCode::permissionFailure);
}

}
