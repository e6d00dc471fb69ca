#include "AppModelFixture.h"

#include "VellumarMacCore/Foundations/TLSIdentityError.h"
#include "tests/support/AvahiNamespace.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/HeldPort.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/RecordingServiceDiscovery.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <stdexcept>

using namespace vellumar;
using namespace vellumar::test;

namespace {

using AppModelStartTest = AppModelEventTest;

// Counts each change signal of the two published addresses.
struct AddressSignals {
    explicit AddressSignals(AppModel& model)
    {
        QObject::connect(&model, &AppModel::lanAddressChanged, [this] { ++lan; });
        QObject::connect(&model, &AppModel::tailscaleAddressChanged, [this] { ++tailscale; });
    }
    int lan = 0;
    int tailscale = 0;
};

}

TEST(AppModelCertificateNames, ListEachAddressOnceLeavingOutLoopbackAndLinkLocal)
{
    const std::string tailscale = "100.100.1.2";
    const struct {
        const char* name;
        std::optional<std::string> lan, tailscale;
        std::vector<InterfaceAddress> interfaces;
        std::optional<std::string> localHostName;
        SubjectAltNames expected;
    } cases[] = {
        { "the Tailscale address once", "192.0.2.2", tailscale,
            { { "lo", "127.0.0.1" }, { "eth0", "192.0.2.2" }, { "tailscale0", tailscale } }, "mac.local",
            { .ipAddresses = { tailscale, "192.0.2.2" }, .dnsNames = { "mac.local" } } },
        { "only link-local: the published ones", std::nullopt, tailscale,
            { { "lo", "127.0.0.1" }, { "eth0", "169.254.7.1" } }, "mac.local",
            { .ipAddresses = { tailscale }, .dnsNames = { "mac.local" } } },
        { "nothing at all", std::nullopt, std::nullopt, {}, "mac.local",
            { .ipAddresses = {}, .dnsNames = { "mac.local" } } },
        { "the shared range kept at both ends", "10.0.0.5", std::nullopt,
            { { "a", "100.64.0.1" }, { "b", "100.127.255.254" }, { "c", "10.0.0.5" } }, "mac.local",
            { .ipAddresses = { "10.0.0.5", "100.127.255.254", "100.64.0.1" }, .dnsNames = { "mac.local" } } },
        { "no local host name", "192.0.2.2", std::nullopt, { { "eth0", "192.0.2.2" } }, std::nullopt,
            { .ipAddresses = { "192.0.2.2" }, .dnsNames = {} } },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(AppModel::certificateNames(row.lan, row.tailscale, row.interfaces, row.localHostName),
            row.expected);
    }
}

TEST(AppModelStartErrorText, NamesEachIdentityFailureAndPassesOthersOn)
{
    using Kind = TLSIdentityError::Kind;
    const struct {
        Kind kind;
        std::int32_t status;
        const char* expected;
    } cases[] = {
        { Kind::opensslMissing, 0, "openssl is missing" },
        { Kind::generationFailed, 0, "certificate could not be made" },
        { Kind::unreadableCertificate, 0, "certificate is unreadable" },
        { Kind::insecureFolder, 0, "settings folder is not private" },
        { Kind::importFailed, -25293, "certificate could not be loaded (-25293)" },
        { Kind::importFailed, 0, "certificate could not be loaded (0)" },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.expected);
        EXPECT_EQ(AppModel::startErrorText(TLSIdentityError(row.kind, row.status)), row.expected);
    }
    EXPECT_EQ(AppModel::startErrorText(std::system_error(EADDRINUSE, std::generic_category(), "bind")),
        std::system_error(EADDRINUSE, std::generic_category(), "bind").what());
}

TEST_F(AppModelStartTest, ABusyPreferredPortRunsOnAnotherPort)
{
    test::HeldPort busy(RelayHost::kDefaultPort);
    // The model always prefers the default port; another program holding it proves nothing.
    if (busy.port() == 0)
        GTEST_SKIP() << busy.problem();

    auto model = launch();
    model->start();
    const auto* running = std::get_if<AppModel::ServerRunning>(&model->serverState());
    ASSERT_TRUE(running);
    EXPECT_NE(running->port, RelayHost::kDefaultPort);
    EXPECT_EQ(model->host().port(), running->port);
}

TEST_F(AppModelStartTest, ASymlinkedIdentityFolderFailsTheStartOnceForGood)
{
    std::filesystem::create_directories(m_folder / "elsewhere");
    std::filesystem::create_directories(m_folder / "data/Vellumar");
    std::filesystem::create_directory_symlink(m_folder / "elsewhere", m_folder / "data/Vellumar/tls");
    auto model = launch();
    int changes = 0;
    QObject::connect(model.get(), &AppModel::serverStateChanged, [&] { ++changes; });
    model->start();
    EXPECT_EQ(model->serverState(),
        AppModel::ServerState(AppModel::ServerFailed { "settings folder is not private" }));

    // Nothing the user or the network does later starts it again.
    std::filesystem::remove(m_folder / "data/Vellumar/tls");
    model->start();
    model->refreshAddresses();
    model->startPairing();
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(model->host().port());
    EXPECT_EQ(model->pairingProblem(), AppModel::PairingProblem::notReady);
}

TEST_F(AppModelStartTest, ANewNetworkAddressIsPublishedWithinTwoSeconds)
{
    std::string whyNot;
    auto network = PrivateNetwork::enter(whyNot);
    if (!network)
        GTEST_SKIP() << whyNot;
    auto model = launch();
    model->start();
    ASSERT_TRUE(std::holds_alternative<AppModel::ServerRunning>(model->serverState()));
    EXPECT_FALSE(model->lanAddress());

    ASSERT_TRUE(network->addLink("lan0", "10.77.0.2/24"));
    EXPECT_TRUE(processEventsUntil([&] { return model->lanAddress() == "10.77.0.2"; }, 2000));
    EXPECT_FALSE(model->tailscaleAddress());
}

TEST_F(AppModelStartTest, OnlyTheFirstRefreshAfterARenameRebuildsTheBonjourService)
{
    std::string whyNot;
    auto network = PrivateNetwork::enter(whyNot);
    if (!network)
        GTEST_SKIP() << whyNot;
    writeBytes(m_folder / "machine-info", "PRETTY_HOSTNAME=Atelier\n");
    auto record = std::make_shared<RecordingServiceDiscovery::Record>();
    auto launch = launchIn(m_folder);
    launch.serviceDiscovery = RecordingServiceDiscovery::factory(record);
    AppModel model(std::move(launch));
    AddressSignals told(model);
    model.start();
    ASSERT_TRUE(std::holds_alternative<AppModel::ServerRunning>(model.serverState()));
    ASSERT_EQ(record->published().size(), 1u);
    // The monitor's first word comes at its start; past it, every refresh below is a change's.
    ASSERT_TRUE(processEventsUntil([&] { return told.lan >= 2; }));

    // A link with no IPv4 address changes nothing the model publishes.
    ASSERT_TRUE(network->ip({ "link", "add", "idle0", "type", "veth", "peer", "name", "idle0p" }));
    int lanBefore = told.lan;
    int tailscaleBefore = told.tailscale;
    ASSERT_TRUE(processEventsUntil([&] { return told.lan > lanBefore; }));
    EXPECT_GT(told.tailscale, tailscaleBefore);
    EXPECT_FALSE(model.lanAddress());
    EXPECT_EQ(record->published().size(), 1u);

    writeBytes(m_folder / "machine-info", "PRETTY_HOSTNAME=Studio\n");
    for (const char* link : { "lan0", "lan1" }) {
        int before = told.lan;
        ASSERT_TRUE(
            network->ip({ "link", "add", link, "type", "veth", "peer", "name", std::string(link) + "p" }));
        ASSERT_TRUE(processEventsUntil([&] { return told.lan > before; }));
    }
    auto published = record->published();
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published[0].name, "Atelier");
    EXPECT_EQ(published[1].name, "Studio");
    EXPECT_EQ(model.computerName(), "Studio");
}

TEST_F(AppModelStartTest, ARenamedMacIsBrowsedUnderItsNewNameAfterTheNextRefresh)
{
    std::string whyNot;
    auto avahi = AvahiNamespace::start(whyNot);
    if (!avahi)
        GTEST_SKIP() << "No Avahi daemon of our own: " << whyNot;
    avahi->enter();
    writeBytes(m_folder / "machine-info", "PRETTY_HOSTNAME=Atelier\n");
    auto model = launch();
    model->start();
    ASSERT_TRUE(avahi->waitFor("_vellumar._tcp", "Atelier"));

    writeBytes(m_folder / "machine-info", "PRETTY_HOSTNAME=Studio\n");
    model->refreshAddresses();
    ASSERT_TRUE(avahi->waitFor("_vellumar._tcp", "Studio"));
    std::vector<std::string> names;
    for (const auto& service : avahi->browseNow("_vellumar._tcp"))
        names.push_back(service.name);
    EXPECT_EQ(names, std::vector<std::string> { "Studio" });
}
