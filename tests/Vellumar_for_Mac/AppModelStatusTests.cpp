#include "AppModelFixture.h"

#include "Platform/FileDescriptor.h"
#include "tests/support/FileFixtures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vellumar;
using namespace vellumar::test;

namespace {

// Each text shows its key and its filled value.
Texts valueTexts()
{
    QHash<QString, QString> table;
    for (const char* key :
        { "mac.menu.failed", "mac.menu.listening", "mac.menu.listeningPortOnly", "mac.menu.terminal.active" })
        table.insert(QString::fromLatin1(key), QString::fromLatin1(key) + " %s");
    return Texts(std::move(table));
}

class AppModelStatusTest : public AppModelEventTest {
protected:
    AppModel& launchModel(
        std::vector<InterfaceAddress> addresses = {}, std::function<void(AppModel::Launch&)> adjust = {})
    {
        auto launch = launchIn(m_folder);
        launch.interfaceAddresses = [addresses] { return addresses; };
        launch.texts = valueTexts();
        if (adjust)
            adjust(launch);
        m_model = std::make_unique<AppModel>(std::move(launch));
        return *m_model;
    }

    void waitForClaudeCheck()
    {
        ASSERT_TRUE(processEventsUntil([&] { return !m_model->checkingClaude(); }));
    }

    std::unique_ptr<AppModel> m_model;
};

}

TEST_F(AppModelStatusTest, OneClaudeCheckAtATimeAndTheLoginShellIsAskedOnce)
{
    // The login shell counts its calls and answers once the test lets it.
    auto gate = m_folder / "gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    platform::FileDescriptor gateWriter(open(gate.c_str(), O_RDWR | O_CLOEXEC));
    auto shell = m_folder / "login-shell";
    writeBytes(shell,
        "#!/bin/sh\necho asked >> '" + (m_folder / "asked").string() + "'\nread line < '" + gate.string()
            + "'\necho /usr/bin:/bin\n");
    std::filesystem::permissions(shell, std::filesystem::perms::owner_all);
    auto& model = launchModel({}, [&](AppModel::Launch& launch) { launch.loginShell = shell.string(); });

    model.checkClaude();
    EXPECT_TRUE(model.checkingClaude());
    model.checkClaude();
    ASSERT_EQ(write(gateWriter.get(), "go\ngo\n", 6), 6);
    waitForClaudeCheck();
    ASSERT_TRUE(model.claudeStatus());
    EXPECT_TRUE(model.lastClaudeCheck());

    model.checkClaude();
    waitForClaudeCheck();
    EXPECT_EQ(readFile(m_folder / "asked"), "asked\n");
    EXPECT_EQ(model.loginPath()->stored(), "/usr/bin:/bin");
}

TEST_F(AppModelStatusTest, TheServerLineNamesTheAddressThePhoneWouldUse)
{
    const InterfaceAddress lan { "en0", "192.168.1.20" };
    const InterfaceAddress tailscale { "tailscale0", "100.101.102.103" };
    const struct {
        const char* name;
        std::vector<InterfaceAddress> addresses;
        bool useTailscale;
        const char* expectedAddress; // empty: the port only
    } cases[] = {
        { "LAN", { lan, tailscale }, false, "192.168.1.20" },
        { "Tailscale preferred", { lan, tailscale }, true, "100.101.102.103" },
        { "Tailscale preferred but absent", { lan }, true, "192.168.1.20" },
        { "Tailscale alone", { tailscale }, false, "100.101.102.103" },
        { "no address", {}, false, "" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto& model = launchModel(testCase.addresses);
        EXPECT_EQ(model.serverStatusText(), "mac.menu.starting");
        model.setUseTailscale(testCase.useTailscale);
        model.start();
        ASSERT_TRUE(model.host().port());
        const QString port = QString::number(*model.host().port());
        EXPECT_EQ(model.serverStatusText(),
            *testCase.expectedAddress
                ? "mac.menu.listening " + QString::fromLatin1(testCase.expectedAddress) + ":" + port
                : "mac.menu.listeningPortOnly " + port);
        waitForClaudeCheck();
        m_model.reset();
    }
}

TEST_F(AppModelStatusTest, AFailedStartShowsItsText)
{
    auto& model
        = launchModel({}, [&](AppModel::Launch& launch) { launch.openssl = m_folder / "no-openssl"; });
    model.start();
    const auto* failed = std::get_if<AppModel::ServerFailed>(&model.serverState());
    ASSERT_TRUE(failed);
    EXPECT_NE(failed->text.find("openssl"), std::string::npos) << failed->text;
    EXPECT_EQ(model.serverStatusText(), "mac.menu.failed " + QString::fromStdString(failed->text));
    waitForClaudeCheck();
}

TEST_F(AppModelStatusTest, TheTerminalLineCountsOnlyRepeatedTerminals)
{
    auto& model = launchModel();
    model.start();
    EXPECT_EQ(model.terminalsText(), std::nullopt);
    for (int index = 0; index < 3; ++index)
        ASSERT_TRUE(model.host().terminals().open("d-0000000000000001", "Pixel"));
    ASSERT_TRUE(model.host().terminals().open("d-0000000000000002", "iPad"));
    ASSERT_TRUE(processEventsUntil([&] { return model.terminals().size() == 2; }));
    EXPECT_EQ(model.terminalsText(), "mac.menu.terminal.active Pixel (3), iPad");
    waitForClaudeCheck();
}

TEST_F(AppModelStatusTest, TwoTerminalsOfOnePhoneAreTheFirstToShowTheirCount)
{
    auto& model = launchModel();
    model.start();
    for (int index = 0; index < 2; ++index)
        ASSERT_TRUE(model.host().terminals().open("d-0000000000000001", "Pixel"));
    ASSERT_TRUE(processEventsUntil(
        [&] { return model.terminals().size() == 1 && model.terminals().front().count == 2; }));
    EXPECT_EQ(model.terminalsText(), "mac.menu.terminal.active Pixel (2)");
    waitForClaudeCheck();
}
