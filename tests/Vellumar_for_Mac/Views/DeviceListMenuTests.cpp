#include "Vellumar_for_Mac/Menu/DeviceListMenu.h"
#include "Vellumar_for_Mac/Menu/MenuDates.h"

#include "tests/Vellumar_for_Mac/Views/ViewsFixture.h"
#include "tests/support/FileFixtures.h"

#include "Platform/Keychain.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"
#include "VellumarMacCore/Relay/PairedDevice.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"

#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <nlohmann/json.hpp>

using namespace vellumar;
using namespace vellumar::test;

namespace {

constexpr auto kMailboxEntitlements
    = R"({"com.apple.developer.icloud-services":["CloudKit"],"com.apple.developer.icloud-container-identifiers":["iCloud.com.zu.plimsor"]})";

// One line of a menu as the user reads it.
struct Line {
    QString text;
    bool enabled = false;
    bool separator = false;
    friend bool operator==(const Line&, const Line&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Line& line)
    {
        return out << (line.separator ? "----" : line.text.toStdString())
                   << (line.enabled ? " (enabled)" : "");
    }
};

std::vector<Line> linesOf(const QMenu& menu)
{
    std::vector<Line> lines;
    for (QAction* action : menu.actions())
        lines.push_back({ action->isSeparator() ? QString() : action->text(), action->isEnabled(),
            action->isSeparator() });
    return lines;
}

class DeviceListMenuTest : public ViewsTest {
protected:
    // Two phones of one name as the keychain keeps them: the first never seen since pairing.
    void storeTwoPixels()
    {
        auto device = [](const char* id, std::optional<double> lastSeen) {
            nlohmann::json entry = { { "id", id }, { "name", "Pixel" }, { "pairedAt", 1767366240.0 },
                { "tokenHash", std::string(64, 'a') } };
            if (lastSeen)
                entry["lastSeenAt"] = *lastSeen;
            return entry;
        };
        nlohmann::json list = nlohmann::json::array(
            { device("d-0000000000000001", std::nullopt), device("d-0000000000000002", 1767369840.0) });
        platform::Keychain keychain(m_folder / "data/Vellumar/keychain");
        ASSERT_EQ(
            keychain.add("com.zu.plimsor.mac", "paired-devices", list.dump(), "Vellumar paired devices"), 0);
    }

    std::unique_ptr<AppModel> launchWithDevices(std::size_t count)
    {
        auto model = std::make_unique<AppModel>(viewsLaunch());
        model->start();
        EXPECT_TRUE(processEventsUntil([&] { return model->devices().size() == count; }));
        return model;
    }

    static std::vector<QMenu*> deviceMenus(const DeviceListMenu& menu)
    {
        std::vector<QMenu*> menus;
        for (QAction* action : menu.actions()) {
            if (action->menu())
                menus.push_back(action->menu());
        }
        return menus;
    }

    static QString dateOf(double seconds)
    {
        return menuDateText(std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::duration<double>(seconds))));
    }
};

}

TEST_F(DeviceListMenuTest, WithoutPhonesOnlyNoneShows)
{
    auto model = launchWithDevices(0);
    DeviceListMenu menu(*model);
    EXPECT_EQ(menu.title(), "mac.menu.devices");
    EXPECT_EQ(linesOf(menu), std::vector<Line> { { .text = "mac.menu.devices.none" } });
}

TEST_F(DeviceListMenuTest, EachPhoneGetsItsOwnSubmenuEvenWithTheSameName)
{
    storeTwoPixels();
    auto model = launchWithDevices(2);
    DeviceListMenu menu(*model);
    auto menus = deviceMenus(menu);
    ASSERT_EQ(menus.size(), 2u);
    EXPECT_EQ(menus[0]->title(), "Pixel");
    EXPECT_EQ(menus[1]->title(), "Pixel");
    EXPECT_EQ(menus[0]->objectName(), "d-0000000000000001");
    EXPECT_EQ(menus[1]->objectName(), "d-0000000000000002");
    EXPECT_EQ(linesOf(*menus[0]),
        (std::vector<Line> { { .text = "mac.menu.device.never" },
            { .text = "paired " + dateOf(1767366240.0) }, { .enabled = true, .separator = true },
            { .text = "mac.menu.device.revoke", .enabled = true } }));
    EXPECT_EQ(linesOf(*menus[1])[0], (Line { .text = "seen " + dateOf(1767369840.0) }));
}

TEST_F(DeviceListMenuTest, WithAMailboxEveryPhoneHasOneTransportLine)
{
    storeTwoPixels();
    writeBytes(m_folder / "app/vellumar.entitlements.json", kMailboxEntitlements);
    auto model = launchWithDevices(2);
    DeviceListMenu menu(*model);
    for (QMenu* device : deviceMenus(menu)) {
        auto lines = linesOf(*device);
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[2], (Line { .text = "mac.menu.device.lanOnly" }));
    }
}

TEST_F(DeviceListMenuTest, TheListFollowsTheModel)
{
    auto model = launchWithDevices(0);
    DeviceListMenu menu(*model);
    auto pairing = model->host().devices().add("iPad");
    ASSERT_TRUE(processEventsUntil([&] { return deviceMenus(menu).size() == 1; }));
    EXPECT_EQ(deviceMenus(menu)[0]->title(), "iPad");
    model->host().removeDevice(pairing.device.id);
    ASSERT_TRUE(processEventsUntil([&] { return deviceMenus(menu).empty(); }));
    EXPECT_EQ(linesOf(menu), std::vector<Line> { { .text = "mac.menu.devices.none" } });
}

TEST_F(DeviceListMenuTest, TheTransportLineFollowsTheMailboxStatus)
{
    const auto key = movrane::MailboxIdentity::generate().publicKey();
    PairedDevice pixel { .id = "d-0000000000000001",
        .name = "Pixel",
        .tokenHash = std::string(64, 'a'),
        .mailbox
        = movrane::MailboxPairing::make(movrane::MailboxZoneName::make(), "mac-1", "ios-1", key, key) };
    platform::Keychain keychain(m_folder / "data/Vellumar/keychain");
    ASSERT_EQ(keychain.add("com.zu.plimsor.mac", "paired-devices", PairedDevices::encoded({ pixel }),
                  "Vellumar paired devices"),
        0);
    writeBytes(m_folder / "app/vellumar.entitlements.json", kMailboxEntitlements);
    auto model = launchWithDevices(1);
    DeviceListMenu menu(*model);
    MacMailboxStatus running { .availability = movrane::MailboxAccountState::available, .running = true };
    MacMailboxStatus recent = running;
    recent.recentDevices.emplace(pixel.id, std::chrono::system_clock::now());
    MacMailboxStatus full = running;
    full.zoneErrors.emplace(
        pixel.mailbox->zoneName, movrane::MailboxError(movrane::MailboxError::Kind::quotaExceeded));
    const struct {
        const char* name;
        MacMailboxStatus status;
        const char* line;
    } cases[] = {
        { "served", running, "mac.menu.device.mailbox.on" },
        { "reached recently", recent, "mac.menu.device.mailbox.recent" },
        { "storage full", full, "mac.menu.device.mailbox.quota" },
        { "paused", MacMailboxStatus {}, "mac.menu.device.mailbox.paused" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        model->setMailboxStatus(testCase.status);
        auto transportLine = [&] {
            auto menus = deviceMenus(menu);
            return menus.size() == 1 && menus[0]->actions().size() == 5 ? menus[0]->actions()[2]->text()
                                                                        : QString();
        };
        EXPECT_TRUE(processEventsUntil([&] { return transportLine() == testCase.line; }))
            << transportLine().toStdString();
    }
}

TEST(MenuDates, MediumDateAndShortTimeOfTheLocale)
{
    icu::Locale previous = icu::Locale::getDefault();
    std::unique_ptr<icu::TimeZone> previousZone(icu::TimeZone::createDefault());
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
    // 2026-01-02 15:04 UTC.
    QString text = menuDateText(std::chrono::system_clock::time_point(std::chrono::seconds(1767366240)));
    icu::Locale::setDefault(icu::Locale("de_DE"), status);
    QString german = menuDateText(std::chrono::system_clock::time_point(std::chrono::seconds(1767366240)));
    icu::Locale::setDefault(previous, status);
    icu::TimeZone::adoptDefault(previousZone.release());
    EXPECT_EQ(text, QString::fromUtf8("Jan 2, 2026, 3:04\u202fPM"));
    EXPECT_EQ(german, "02.01.2026, 15:04");
}

namespace {

class DeviceRevokeTest : public DeviceListMenuTest {
protected:
    DeviceRevokeTest()
    {
        model->start();
        auto offer = model->host().makePairingOffer("127.0.0.1");
        EXPECT_TRUE(offer);
        auto paired = curl(
            "/v1/pair", { "--data", R"({"code": ")" + offer->payload.code + R"(", "deviceName": "Pixel"})" });
        auto body = nlohmann::json::parse(paired.substr(0, paired.rfind('\n')), nullptr, false);
        token = body.is_object() && body.contains("token") ? body["token"].get<std::string>() : "";
        EXPECT_FALSE(token.empty()) << paired;
        EXPECT_TRUE(processEventsUntil([&] { return model->lastAdded() && model->devices().size() == 1; }));
    }

    // curl against the model's relay with the certificate pinned: the body, then the status code.
    std::string curl(const std::string& target, std::vector<std::string> extra = {})
    {
        std::vector<std::string> command { "curl", "-sS", "--http1.1", "--max-time", "60", "-k",
            "--pinnedpubkey", "sha256//" + model->host().identity()->pins.publicKeyBase64, "-w",
            "\n%{http_code}", "https://127.0.0.1:" + std::to_string(*model->host().port()) + target };
        command.insert(command.end(), extra.begin(), extra.end());
        return runPeer(command).output;
    }

    std::string statusWithToken()
    {
        std::string output = curl("/v1/jobs/j-0000000000000000", { "-H", "Authorization: Bearer " + token });
        return output.substr(output.rfind('\n') + 1);
    }

    void chooseRevoke(DeviceListMenu& menu)
    {
        auto menus = deviceMenus(menu);
        ASSERT_EQ(menus.size(), 1u);
        menus[0]->actions().back()->trigger();
    }

    std::unique_ptr<AppModel> model = std::make_unique<AppModel>(viewsLaunch());
    std::string token;
};

}

TEST_F(DeviceRevokeTest, ConfirmedRevokeRefusesTheTokenAndClearsLastAdded)
{
    ASSERT_NE(statusWithToken(), "401");
    DeviceListMenu menu(*model);
    alerts->answer = 0;
    chooseRevoke(menu);
    ASSERT_EQ(alerts->shown.size(), 1u);
    EXPECT_EQ(alerts->shown[0].style, Alert::Style::warning);
    EXPECT_EQ(alerts->shown[0].message, "revoke Pixel");
    EXPECT_EQ(alerts->shown[0].informative, "mac.revoke.message");
    EXPECT_EQ(alerts->shown[0].buttons, QStringList({ "mac.revoke.confirm", "mac.common.cancel" }));
    ASSERT_TRUE(processEventsUntil([&] { return !model->lastAdded() && model->devices().empty(); }));
    EXPECT_EQ(statusWithToken(), "401");
    EXPECT_EQ(linesOf(menu), std::vector<Line> { { .text = "mac.menu.devices.none" } });
}

TEST_F(DeviceRevokeTest, CancelledRevokeChangesNothing)
{
    DeviceListMenu menu(*model);
    alerts->answer = 1;
    chooseRevoke(menu);
    ASSERT_EQ(alerts->shown.size(), 1u);
    // A marker queued after anything the answer could have queued.
    bool marker = false;
    QMetaObject::invokeMethod(
        application.get(), [&] { marker = true; }, Qt::QueuedConnection);
    ASSERT_TRUE(processEventsUntil([&] { return marker; }));
    EXPECT_TRUE(model->lastAdded());
    EXPECT_EQ(model->devices().size(), 1u);
    EXPECT_NE(statusWithToken(), "401");
}
