#include "AppModelFixture.h"

#include "Vellumar_for_Mac/Model/PushRelay.h"

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"

#include <atomic>
#include <future>
#include <mutex>

using namespace vellumar;
using namespace vellumar::test;
using movrane::MailboxAccountState;
using movrane::MailboxError;

namespace {

// A stand-in for the Mac mailbox: publishes the status a test sets and records what it is told.
class RecordingMailbox final : public MacMailboxControls {
public:
    void observe(StatusObserver observer) override
    {
        std::lock_guard guard(lock);
        m_observer = std::move(observer);
        m_observer(status);
    }
    void publish(MacMailboxStatus next)
    {
        std::lock_guard guard(lock);
        status = std::move(next);
        m_observer(status);
    }
    void handlePush() override
    {
        // A fetch that takes as long as the test wants.
        if (pushGate.valid())
            pushGate.wait();
        ++pushes;
    }
    void setPushRegistered(bool registered) override { registrations.push_back(registered); }
    void accountChanged() override { ++accountChanges; }

    std::mutex lock;
    MacMailboxStatus status;
    std::shared_future<void> pushGate;
    std::atomic<int> pushes = 0;
    std::vector<bool> registrations;
    int accountChanges = 0;

private:
    StatusObserver m_observer;
};

class AppModelMailboxTest : public AppModelEventTest {
protected:
    void SetUp() override { PushRelay::shared() = PushRelay(); }
    void TearDown() override { PushRelay::shared() = PushRelay(); }

    AppModel& launchModel(bool withMailbox = true)
    {
        auto launch = launchIn(m_folder);
        launch.texts = Texts({ { "mac.icloud.via", "via %s" } });
        if (withMailbox)
            launch.mailbox = m_mailbox;
        launch.observeAccountChanges
            = [this](std::function<void()> changed) { m_accountChanged = std::move(changed); };
        launch.interfaceAddresses = [] { return std::vector<InterfaceAddress> {}; };
        m_model = std::make_unique<AppModel>(std::move(launch));
        return *m_model;
    }

    // Publishes `status` and waits until the model shows it.
    void show(MacMailboxStatus status)
    {
        m_mailbox->publish(status);
        ASSERT_TRUE(processEventsUntil([&] { return m_model->mailboxStatus() == status; }));
    }

    std::shared_ptr<RecordingMailbox> m_mailbox = std::make_shared<RecordingMailbox>();
    std::function<void()> m_accountChanged;
    std::unique_ptr<AppModel> m_model;
};

MacMailboxStatus statusWith(MacMailboxStatus::Availability availability)
{
    MacMailboxStatus status;
    status.availability = availability;
    return status;
}

}

TEST_F(AppModelMailboxTest, WithoutAMailboxNothingIsWiredAndTheLineSaysSo)
{
    auto& model = launchModel(/* withMailbox */ false);
    model.startMailboxWiring();
    EXPECT_EQ(model.iCloudStatusText(), "mac.icloud.notInBuild");
    EXPECT_FALSE(PushRelay::shared().onPush);
    EXPECT_FALSE(PushRelay::shared().onRegistration);
    EXPECT_FALSE(m_accountChanged);
    EXPECT_FALSE(model.iCloudNeedsSettings());
    EXPECT_EQ(model.deviceTransportText(PairedDevice { .id = "d-1" }), "mac.menu.device.lanOnly");
}

TEST_F(AppModelMailboxTest, TheICloudLineFollowsTheAvailability)
{
    const struct {
        MacMailboxStatus::Availability availability;
        const char* line;
        bool needsSettings;
    } cases[] = {
        { MailboxAccountState::available, "mac.icloud.ready", false },
        { MailboxAccountState::noAccount, "mac.icloud.noAccount", true },
        { MailboxAccountState::restricted, "mac.icloud.restricted", true },
        { MailboxAccountState::temporarilyUnavailable, "mac.icloud.unavailable", false },
        { MailboxAccountState::couldNotDetermine, "mac.icloud.unavailable", false },
        { MacMailboxStatus::Checking {}, "mac.icloud.checking", false },
        { MacMailboxStatus::KeyUnavailable {}, "mac.icloud.keyError", false },
    };
    auto& model = launchModel();
    EXPECT_EQ(model.iCloudStatusText(), "mac.icloud.checking");
    model.startMailboxWiring();
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.line);
        show(statusWith(testCase.availability));
        EXPECT_EQ(model.iCloudStatusText(), testCase.line);
        EXPECT_EQ(model.iCloudNeedsSettings(), testCase.needsSettings);
    }
}

TEST_F(AppModelMailboxTest, TheProblemLineShowsOnlyWithAUsableAccount)
{
    using Kind = MailboxError::Kind;
    const struct {
        const char* name;
        MacMailboxStatus::Availability availability;
        std::optional<MailboxError> error;
        std::optional<QString> line;
    } cases[] = {
        { "no error", MailboxAccountState::available, std::nullopt, std::nullopt },
        { "quota", MailboxAccountState::available, MailboxError(Kind::quotaExceeded), "mac.icloud.quota" },
        { "setup", MailboxAccountState::available, MailboxError::misconfigured(12), "mac.icloud.setupError" },
        { "busy", MailboxAccountState::available, MailboxError::busy(5.0), "mac.icloud.busy" },
        { "network", MailboxAccountState::available, MailboxError::network(std::nullopt),
            "mac.icloud.network" },
        { "another error", MailboxAccountState::available, MailboxError(Kind::zoneMissing), std::nullopt },
        { "no account", MailboxAccountState::noAccount, MailboxError(Kind::quotaExceeded), std::nullopt },
        { "checking", MacMailboxStatus::Checking {}, MailboxError(Kind::quotaExceeded), std::nullopt },
    };
    auto& model = launchModel();
    EXPECT_EQ(model.iCloudProblemText(), std::nullopt);
    model.startMailboxWiring();
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto status = statusWith(testCase.availability);
        if (testCase.error)
            status.zoneErrors.emplace("pair-a", *testCase.error);
        show(status);
        EXPECT_EQ(model.iCloudProblemText(), testCase.line);
    }
}

TEST_F(AppModelMailboxTest, EachDeviceLineFollowsItsMailboxState)
{
    using Kind = MailboxError::Kind;
    const auto zone = movrane::MailboxZoneName::make();
    const auto key = movrane::MailboxIdentity::generate().publicKey();
    const auto pairing = movrane::MailboxPairing::make(zone, "mac-1", "ios-1", key, key);
    const struct {
        const char* line;
        bool hasPairing;
        std::optional<std::string> reasonCode;
        bool running;
        std::optional<MailboxError> zoneError;
        bool recent;
    } cases[] = {
        { "mac.menu.device.lanOnly", false, std::nullopt, true, std::nullopt, false },
        { "mac.menu.device.lanOnly.differentAccount", false, "differentAccount", true, std::nullopt, false },
        { "mac.menu.device.lanOnly.deviceNoICloud", false, "deviceNoICloud", true, std::nullopt, false },
        { "mac.menu.device.lanOnly.macNoICloud", false, "macNoICloud", true, std::nullopt, false },
        { "mac.menu.device.lanOnly.macUnavailable", false, "macICloudUnavailable", true, std::nullopt,
            false },
        { "mac.menu.device.lanOnly.unsupported", false, "unsupportedVersion", true, std::nullopt, false },
        { "mac.menu.device.mailbox.recent", true, std::nullopt, true, std::nullopt, true },
        { "mac.menu.device.mailbox.on", true, std::nullopt, true, std::nullopt, false },
        { "mac.menu.device.mailbox.quota", true, std::nullopt, true, MailboxError(Kind::quotaExceeded),
            false },
        { "mac.menu.device.mailbox.problem", true, std::nullopt, true, MailboxError::network(1.0), false },
        { "mac.menu.device.mailbox.paused", true, std::nullopt, false, std::nullopt, false },
        { "mac.menu.device.mailbox.needsWiFi", true, std::nullopt, true, MailboxError(Kind::zoneMissing),
            false },
    };
    auto& model = launchModel();
    PairedDevice device { .id = "d-00000000000000aa", .name = "Pixel", .mailbox = pairing };
    EXPECT_EQ(model.deviceTransportText(device), "mac.menu.device.lanOnly");
    model.startMailboxWiring();
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.line);
        device.mailbox = testCase.hasPairing ? std::optional(pairing) : std::nullopt;
        device.mailboxReasonCode = testCase.reasonCode;
        auto status = statusWith(MailboxAccountState::available);
        status.running = testCase.running;
        if (testCase.zoneError)
            status.zoneErrors.emplace(zone, *testCase.zoneError);
        if (testCase.recent)
            status.recentDevices.emplace(device.id, std::chrono::system_clock::now());
        show(status);
        EXPECT_EQ(model.deviceTransportText(device), testCase.line);
    }
}

TEST_F(AppModelMailboxTest, TheViaLineNamesOnlyPairedPhonesInTheirOrder)
{
    auto& model = launchModel();
    model.start();
    for (const char* name : { "Pixel", "iPad" }) {
        auto offer = model.host().makePairingOffer("127.0.0.1");
        ASSERT_EQ(pairAsPhone(model, offer->payload.code, name).status, 200);
    }
    ASSERT_TRUE(processEventsUntil([&] { return model.devices().size() == 2; }));
    const auto now = std::chrono::system_clock::now();
    const std::string first = model.devices()[0].id;
    const std::string second = model.devices()[1].id;
    const QString bothNames
        = QString::fromStdString(model.devices()[0].name + ", " + model.devices()[1].name);
    const struct {
        const char* name;
        std::vector<std::string> recent;
        std::optional<QString> line;
    } cases[] = {
        { "none recent", {}, std::nullopt },
        { "an unpaired id only", { "d-00000000000000ff" }, std::nullopt },
        { "both, and an unpaired id", { second, "d-00000000000000ff", first }, "via " + bothNames },
        { "one", { second }, "via " + QString::fromStdString(model.devices()[1].name) },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto status = statusWith(MailboxAccountState::available);
        for (const auto& id : testCase.recent)
            status.recentDevices.emplace(id, now);
        show(status);
        EXPECT_EQ(model.iCloudViaText(), testCase.line);
    }
}

TEST_F(AppModelMailboxTest, ARegistrationAnsweredBeforeTheWiringStillReachesTheMailbox)
{
    auto& model = launchModel();
    PushRelay::shared().registered = true;
    model.startMailboxWiring();
    EXPECT_EQ(m_mailbox->registrations, std::vector<bool>({ true }));

    PushRelay::shared().onRegistration(false);
    EXPECT_EQ(m_mailbox->registrations, std::vector<bool>({ true, false }));
}

TEST_F(AppModelMailboxTest, WithoutAnEarlyAnswerOnlyTheLaterOneArrives)
{
    auto& model = launchModel();
    model.startMailboxWiring();
    EXPECT_TRUE(m_mailbox->registrations.empty());
    PushRelay::shared().onRegistration(true);
    EXPECT_EQ(m_mailbox->registrations, std::vector<bool>({ true }));
}

TEST_F(AppModelMailboxTest, PushesAndAccountChangesReachTheMailboxAfterTheModelIsGone)
{
    launchModel();
    m_model->startMailboxWiring();
    m_model.reset();
    PushRelay::shared().onPush();
    ASSERT_TRUE(m_accountChanged);
    m_accountChanged();
    EXPECT_TRUE(processEventsUntil([&] { return m_mailbox->pushes == 1; }));
    EXPECT_EQ(m_mailbox->accountChanges, 1);
}

TEST_F(AppModelMailboxTest, APushWaitsForItsFetchOffTheMainThread)
{
    std::promise<void> fetched;
    m_mailbox->pushGate = fetched.get_future().share();
    launchModel();
    m_model->startMailboxWiring();
    // Returns while the fetch still waits: the menu stays responsive meanwhile.
    PushRelay::shared().onPush();
    PushRelay::shared().onPush();
    EXPECT_EQ(m_mailbox->pushes, 0);
    fetched.set_value();
    EXPECT_TRUE(processEventsUntil([&] { return m_mailbox->pushes == 2; }));
}
