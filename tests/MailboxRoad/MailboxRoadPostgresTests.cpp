// The mailbox road between two machines: the computer and the phone each in a network namespace of
// their own, with their own data home and keys, sharing one PostgreSQL server over TLS on TCP from a
// third namespace that routes between them.
#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "tests/MailboxRoad/MailboxRoadFixture.h"
#include "tests/MailboxRoad/support/TwoMachineNetwork.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/PostgresServer.h"

#include <gtest/gtest.h>

#include <future>

#include <sys/stat.h>

using namespace vellumar;
using namespace vellumar::test;
namespace fs = std::filesystem;

namespace {

constexpr const char* kPassword = "road over the wire";

class MailboxRoadOnPostgres : public MailboxRoad {
protected:
    void SetUp() override
    {
        std::string whyNot;
        network = TwoMachineNetwork::make(whyNot);
        if (!network)
            GTEST_SKIP() << whyNot;
        server = std::make_unique<PostgresServer>(PostgresServerOptions { .password = kPassword,
            .tlsAddresses = { network->mac.serverAddress, network->phone.serverAddress },
            .networkNamespace = network->serverSpace });
        if (!server->isRunning())
            GTEST_SKIP() << server->failure();
        macPrefix = network->mac.prefix();
        phonePrefix = network->phone.prefix();
        macAddress = network->mac.address;
        phoneCloud = root / "phone-home" / "cloud";
        observedCloud = root / "observer" / "cloud";
        // Over TCP the choice asks for verified TLS itself; the server's own socket is this process's.
        chooseServer(cloud.parent_path(), server->tlsConninfo(network->mac.serverAddress));
        chooseServer(phoneCloud.parent_path(), server->tlsConninfo(network->phone.serverAddress));
        chooseServer(observedCloud.parent_path(), server->conninfo());
    }

    // Both ends stop before the server and the network they use.
    void TearDown() override
    {
        phone.reset();
        mac.reset();
    }

    static void chooseServer(const fs::path& dataHome, const std::string& conninfo)
    {
        fs::path passfile = dataHome / "pgpass";
        writeBytes(passfile, std::string("*:*:*:*:") + kPassword + "\n");
        ::chmod(passfile.c_str(), 0600);
        writeBytes(dataHome / "cloud.json",
            JSON::object(
                { { "backend", "postgresql" }, { "conninfo", conninfo + " passfile=" + passfile.string() } })
                .encoded());
    }

    // The phone's committed request to the computer since event `since`.
    std::optional<JSON> committedRequest(std::size_t since)
    {
        return phone->awaitEvent(
            "committed", [](const JSON& event) { return memberText(event, "to") == "mac"; }, 0, since);
    }

    // A listener that lost its connection catches up, once back, with a push naming no record.
    bool restartServerAndAwaitThePhonesListener()
    {
        auto before = phone->eventCount();
        return server->restart()
            && phone->awaitEvent(
                "push", [](const JSON& event) { return memberText(event, "record").empty(); }, 60, before);
    }

    // The names of the zone's envelopes addressed to `to`, a line each.
    std::string envelopesTo(const std::string& to) const
    {
        std::string names;
        for (const auto& envelope : zoneEnvelopes())
            if (envelope.to == to)
                names += envelope.name + "\n";
        return names;
    }

    std::unique_ptr<TwoMachineNetwork> network;
    std::unique_ptr<PostgresServer> server;
};

}

TEST_F(MailboxRoadOnPostgres, ASealedJobIsAnsweredWithAPushedSealedReplyAndItsReplayIsRefused)
{
    holdClaude();
    // Shorter than the computer's idle poll: only a push explains an answer in time.
    if (!startAndPair(10))
        return;
    auto sent = phone->eventCount();
    auto jobID = submitJob("Say hello across the wire.");
    ASSERT_TRUE(jobID.starts_with("j-")) << jobID;
    auto watching = phone->eventCount();
    auto status = followReleasedWhenWatched(jobID, watching);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(memberText(status, "status"), "done") << status.encoded();
    EXPECT_EQ(replyOf(status), kReplyText);

    // What the server holds is sealed: the request's text does not show in it.
    auto request = committedRequest(sent);
    ASSERT_TRUE(request);
    auto sealed = movrane::MailboxBase64URL::decode(memberText(*request, "payload"));
    ASSERT_TRUE(sealed);
    EXPECT_EQ(std::string(sealed->begin(), sealed->end()).find("across the wire"), std::string::npos);
    expectReplyPushed(watching);

    putBack(*request, memberText(*request, "record"));
    EXPECT_TRUE(mac->awaitEvent("log",
        [](const JSON& event) { return memberText(event, "line") == "mailbox envelope dropped: replayed"; }));
    EXPECT_EQ(claudeStarts(), 1);
    EXPECT_TRUE(becomes([&] { return zoneEnvelopes().empty(); }));
    endAndCheckLeftovers();
}

TEST_F(MailboxRoadOnPostgres, BothEndsReconnectAfterTheServerRestartsAndTheRequestIsAnsweredOnce)
{
    holdClaude();
    if (!startAndPair(10))
        return;
    // Every connection of both ends drops before the request is sent.
    ASSERT_TRUE(restartServerAndAwaitThePhonesListener());
    // Answered sooner than the computer's idle poll would find the request: its listener is back too.
    auto submitted = phoneSend("POST", "/v1/jobs", jobBody(), 20);
    ASSERT_EQ(memberText(submitted, "status"), "202") << submitted.encoded();
    auto jobID = memberText(JSON::decode(memberText(submitted, "body")).value_or(JSON()), "jobId");
    auto done = std::async(std::launch::async, [&] { return awaitJob(jobID); });
    ASSERT_TRUE(awaitHeldClaude());
    // And again while the job runs, before its end is saved for the phone.
    ASSERT_TRUE(restartServerAndAwaitThePhonesListener());
    releaseClaude();
    auto status = done.get();
    EXPECT_EQ(memberText(status, "status"), "done") << status.encoded();
    EXPECT_EQ(replyOf(status), kReplyText);
    EXPECT_EQ(claudeStarts(), 1);
    // The computer retries its deletions through the restarts. The phone deletes an answer it took
    // once, in the background: one that the restart interrupted waits for the computer's clean-up.
    EXPECT_TRUE(becomes([&] { return envelopesTo("mac").empty(); })) << envelopesTo("mac") << mac->logText();
    endAndCheckLeftovers();
}

TEST_F(MailboxRoadOnPostgres, AMachineReachesTheServerOnlyOverTLSWithTheCertificateItTrusts)
{
    // A certificate naming the same address, from no authority the server's key belongs to.
    fs::path stranger = root / "stranger.crt";
    ASSERT_EQ(runPeer({ "openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                          "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=Stranger",
                          "-addext", "subjectAltName=IP:" + network->phone.serverAddress, "-keyout",
                          (root / "stranger.key").string(), "-out", stranger.string() })
                  .exitStatus,
        0);
    const std::string trusted = server->tlsConninfo(network->phone.serverAddress);
    const struct {
        const char* name;
        std::string conninfo;
        bool reached;
    } rows[] = {
        { "the server's own certificate", trusted, true },
        { "another certificate for the same address", trusted + " sslrootcert=" + stranger.string(), false },
        { "TLS turned off", trusted + " sslmode=disable", false },
        { "TLS only if the server offers it", trusted + " sslmode=prefer", false },
    };
    for (const auto& row : rows) {
        fs::path dataHome = root / "probe";
        chooseServer(dataHome, row.conninfo);
        auto command = network->phone.prefix();
        command.insert(command.end(), { VELLUMAR_CLOUDDB_TOOL, (dataHome / "cloud").string(), "account" });
        EXPECT_EQ(runPeer(command).exitStatus == 0, row.reached) << row.name;
    }
}
