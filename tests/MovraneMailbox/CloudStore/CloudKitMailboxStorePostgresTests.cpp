// The mailbox store on a PostgreSQL server that several data homes (machines) share, chosen by their
// "cloud.json"; vellumar-clouddb writes as the other end from processes of its own.
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/MovraneMailbox/CloudStore/CloudStoreFixture.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/InteractivePeer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>

using namespace movrane;
namespace fs = std::filesystem;

namespace {

class CloudKitMailboxStoreOnPostgres : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = factory.skipReason(); !reason.empty())
            GTEST_SKIP() << reason;
        store = factory.make();
        store->ensureZone(zone);
    }

    // A data home whose "cloud.json" names the test's server, and the cloud folder in it.
    fs::path dataHome(const std::string& name)
    {
        fs::path home = factory.root / name;
        // The server's socket folder holds no character that JSON would escape.
        vellumar::test::writeBytes(home / "cloud.json",
            R"({"backend": "postgresql", "conninfo": ")" + factory.server.conninfo() + R"("})");
        return home / "cloud";
    }

    test::PostgresStoreFactory factory;
    std::unique_ptr<MailboxStore> store;
    const std::string zone = MailboxZoneName::make();
};

}

TEST_F(CloudKitMailboxStoreOnPostgres, TwoDataHomesChoosingTheServerShareEnvelopesAndAssets)
{
    CloudKitMailboxStore phone(
        std::string(MailboxProtocol::containerIdentifier), { .folder = dataHome("phone") });
    CloudKitMailboxStore mac(
        std::string(MailboxProtocol::containerIdentifier), { .folder = dataHome("mac") });
    vellumar::test::writeBytes(factory.root / "attachment", "sealed attachment bytes");
    auto sent = envelope(MailboxRecordName::envelope(), 1, "request");
    sent.assetFile = factory.root / "attachment";
    phone.saveEnvelope(sent, zone);

    auto changes = mac.fetchChanges(zone, std::nullopt);
    ASSERT_EQ(namesOf(changes.envelopes), std::vector<std::string> { sent.name });
    auto copy = mac.fetchAsset(sent.name, zone);
    EXPECT_EQ(vellumar::test::readFile(copy), "sealed attachment bytes");
    EXPECT_TRUE(copy.string().starts_with((factory.root / "mac").string()));
    EXPECT_EQ(phone.userRecordName(), mac.userRecordName());
}

TEST_F(CloudKitMailboxStoreOnPostgres, CredentialsTheServerRefusesAreNoAccountNotANetworkFailure)
{
    vellumar::test::PostgresServer guarded({ .password = "right horse battery" });
    ASSERT_TRUE(guarded.isRunning()) << guarded.failure();
    fs::path passfile = factory.root / "pgpass";
    vellumar::test::writeBytes(passfile, "*:*:*:*:wrong\n");
    ::chmod(passfile.c_str(), 0600);
    CloudKitMailboxStore refused(std::string(MailboxProtocol::containerIdentifier),
        { .folder = factory.root / "refused",
            .choice = vellumar::platform::CloudDatabaseChoice { vellumar::platform::CloudBackend::postgresql,
                guarded.conninfo() + " passfile=" + passfile.string() } });
    EXPECT_EQ(failureOf([&] { refused.userRecordName(); }),
        MailboxError::account(MailboxAccountState::noAccount).what());
    EXPECT_EQ(failureOf([&] { refused.ensureZone(zone); }),
        MailboxError::account(MailboxAccountState::noAccount).what());
}

TEST_F(CloudKitMailboxStoreOnPostgres, EightWritersAcrossARestartSeeOnlySuccessBusyOrNetworkAndLoseNoRow)
{
    constexpr int writers = 8;
    constexpr int savesEach = 200;
    fs::path cloud = dataHome("writers");
    std::vector<std::unique_ptr<vellumar::test::InteractivePeer>> peers;
    for (int writer = 0; writer < writers; ++writer)
        peers.push_back(std::make_unique<vellumar::test::InteractivePeer>(
            std::vector<std::string> { VELLUMAR_CLOUDDB_TOOL, cloud.string(), "save-envelopes", zone,
                std::to_string(savesEach), "2048" }));
    std::set<std::string> saved;
    auto count = [&saved](const std::string& line) {
        std::istringstream words(line);
        std::string word, value;
        words >> word >> value;
        if (word == "saved")
            EXPECT_TRUE(saved.insert(value).second) << "saved twice: " << value;
        else
            EXPECT_TRUE(line == "busy 1" || line == "network -") << line;
    };
    // Mid-way through the first writer's saves, the server goes down at once and comes back.
    for (int line = 0; line < savesEach / 2;) {
        auto next = peers.front()->readLine();
        ASSERT_TRUE(next);
        count(*next);
        line += next->starts_with("saved ") ? 1 : 0;
    }
    ASSERT_TRUE(factory.server.restart());
    for (auto& peer : peers) {
        std::istringstream lines(peer->readAll());
        for (std::string line; std::getline(lines, line);)
            count(line);
        EXPECT_EQ(peer->wait(), 0);
    }
    EXPECT_EQ(saved.size(), std::size_t { writers * savesEach });
    std::size_t fetched = 0;
    EXPECT_EQ(test::storedNames(*store, zone, &fetched), saved);
    EXPECT_EQ(fetched, saved.size());
}

TEST_F(CloudKitMailboxStoreOnPostgres, AListenerMadeFromTheDataHomesChoiceHearsTheServersPushes)
{
    const std::string macSubscription = "vl.mac." + zone;
    store->saveSubscriptions({ { macSubscription, "mac", std::nullopt, {} } }, zone);
    auto listener = vellumar::platform::listenForCloudPushes(
        std::string(MailboxProtocol::containerIdentifier), { .folder = dataHome("mac") });
    store->saveEnvelope(envelope(MailboxRecordName::envelope(), 1, "to the mac", "mac"), zone);
    auto push = listener->receive(std::chrono::seconds(20));
    ASSERT_TRUE(push);
    EXPECT_EQ(test::pushedMember(*push), macSubscription);
}

TEST_F(CloudKitMailboxStoreOnPostgres, WithoutAChoiceTheListenerIsTheLocalSocketWhichNeedsItsFolder)
{
    vellumar::test::TemporaryFolder home;
    EXPECT_THROW(vellumar::platform::listenForCloudPushes(
                     std::string(MailboxProtocol::containerIdentifier), { .folder = home / "cloud" }),
        std::system_error);
}
