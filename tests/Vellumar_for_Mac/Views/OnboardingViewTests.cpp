#include "Vellumar_for_Mac/Onboarding/OnboardingView.h"

#include "tests/Vellumar_for_Mac/Views/ViewsFixture.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/ProcessFixtures.h"

#include <QCheckBox>
#include <QProgressBar>
#include <QTest>

#include <nlohmann/json.hpp>

using namespace vellumar;
using namespace vellumar::test;
using Login = ClaudeCodeStatus::Login;
using movrane::MailboxAccountState;

namespace {

// What one step shows, as a user reading the window would list it.
struct StepView {
    bool done = false;
    QString symbol;
    QString accessibleName;
    QStringList texts; // every text below the title, in order
    QStringList buttons;
    QStringList commands;
    bool spinner = false;
};

class OnboardingViewTest : public ViewsTest {
protected:
    std::unique_ptr<OnboardingView> makeView()
    {
        return std::make_unique<OnboardingView>(*model,
            WindowPort { .openWindow = [this](const QString& id) { windowCalls << "open " + id; },
                .dismissWindow = [this](const QString& id) { windowCalls << "dismiss " + id; },
                .activate = [this] { windowCalls << "activate"; } });
    }

    StepView step(OnboardingView& view, int number)
    {
        auto* row = view.findChild<QWidget*>(QString("step%1").arg(number));
        EXPECT_NE(row, nullptr);
        StepView seen;
        if (!row)
            return seen;
        auto* icon = row->findChild<QLabel*>("stepIcon");
        seen.symbol = icon->property("symbol").toString();
        seen.done = seen.symbol == "checkmark.circle.fill";
        seen.accessibleName = row->accessibleName();
        const auto labels = row->findChildren<QLabel*>();
        for (QLabel* label : labels) {
            if (label == icon)
                continue;
            (label->objectName() == "commandBox" ? seen.commands : seen.texts) << label->text();
        }
        seen.texts.removeFirst(); // the title
        for (QPushButton* button : row->findChildren<QPushButton*>())
            seen.buttons << button->text();
        seen.spinner = !row->findChildren<QProgressBar*>().isEmpty();
        return seen;
    }

    std::unique_ptr<AppModel> model = std::make_unique<AppModel>(viewsLaunch());
    QStringList windowCalls;
};

ClaudeCodeStatus claude(std::optional<std::string> version, Login login, bool installed = true)
{
    return { .path
        = installed ? std::optional<std::filesystem::path>("/home/u/.local/bin/claude") : std::nullopt,
        .version = std::move(version),
        .login = login };
}

const QStringList kInstructions { "mac.onboarding.login.detail", "mac.onboarding.login.privacy" };

}

TEST_F(OnboardingViewTest, ClaudeCodeStepsFollowTheStatus)
{
    struct Case {
        const char* name;
        ClaudeCodeStatus status;
        StepView step1;
        StepView step2;
    } cases[] = {
        { "not installed, though logged in", claude("2.2.0", Login::loggedIn, false),
            { .texts = { "mac.onboarding.claude.missing" },
                .buttons = { "mac.onboarding.claude.guide", "mac.onboarding.checkAgain" } },
            { .texts = { "mac.onboarding.login.afterInstall" } } },
        { "2.1.306 logged in", claude("2.1.306", Login::loggedIn),
            { .texts = { "outdated 2.1.306" },
                .buttons = { "mac.onboarding.checkAgain" },
                .commands = { "claude update" } },
            { .texts = { "mac.onboarding.login.afterInstall" } } },
        { "no version, logged in", claude(std::nullopt, Login::loggedIn),
            { .done = true, .texts = { "found ?" } },
            { .done = true, .texts = { "mac.onboarding.login.done" } } },
        { "unreadable version", claude("nightly", Login::loggedIn),
            { .done = true, .texts = { "found nightly" } },
            { .done = true, .texts = { "mac.onboarding.login.done" } } },
        { "2.1.307 logged out", claude("2.1.307", Login::loggedOut),
            { .done = true, .texts = { "found 2.1.307" } },
            { .texts = kInstructions,
                .buttons = { "mac.onboarding.openTerminal", "mac.onboarding.checkAgain" },
                .commands = { "claude" } } },
        { "unknown login", claude("3.0", Login::unknown), { .done = true, .texts = { "found 3.0" } },
            { .texts = kInstructions,
                .buttons = { "mac.onboarding.openTerminal", "mac.onboarding.checkAgain" },
                .commands = { "claude" } } },
        { "other method", claude("3.0", Login::otherMethod), { .done = true, .texts = { "found 3.0" } },
            { .texts = QStringList { "mac.onboarding.login.otherMethod" } + kInstructions,
                .buttons = { "mac.onboarding.openTerminal", "mac.onboarding.checkAgain" },
                .commands = { "claude" } } },
    };
    auto view = makeView();
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.name);
        claudeIs(*model, entry.status);
        for (auto [number, expected] : { std::pair { 1, entry.step1 }, std::pair { 2, entry.step2 } }) {
            SCOPED_TRACE(number);
            StepView seen = step(*view, number);
            EXPECT_EQ(seen.done, expected.done);
            EXPECT_EQ(seen.texts, expected.texts);
            EXPECT_EQ(seen.buttons, expected.buttons);
            EXPECT_EQ(seen.commands, expected.commands);
            EXPECT_FALSE(seen.spinner);
        }
    }
}

TEST_F(OnboardingViewTest, ASpinnerShowsOnlyWhileTheFirstCheckRuns)
{
    probe->held = true;
    auto view = makeView();
    view->show();
    ASSERT_TRUE(model->checkingClaude());
    StepView checking = step(*view, 1);
    EXPECT_TRUE(checking.spinner);
    EXPECT_TRUE(checking.texts.isEmpty());
    EXPECT_TRUE(checking.buttons.isEmpty());
    EXPECT_EQ(step(*view, 2).texts, QStringList { "mac.onboarding.login.afterInstall" });
    view->hide();
    view->show(); // appearing again while the check runs starts none
    probe->release();
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
    EXPECT_EQ(probe->calls, 1);

    // A re-check with a status known keeps showing it; only the check-again button spins.
    probe->held = true;
    model->checkClaude();
    StepView rechecking = step(*view, 1);
    EXPECT_EQ(rechecking.texts, QStringList { "mac.onboarding.claude.missing" });
    EXPECT_EQ(rechecking.buttons, QStringList { "mac.onboarding.claude.guide" });
    EXPECT_TRUE(rechecking.spinner);
    EXPECT_FALSE(view->findChild<QWidget*>("checkAgain")->isEnabled());
    probe->release();
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
}

TEST_F(OnboardingViewTest, AppearingChecksUnlessLoggedIn)
{
    auto view = makeView();
    view->show();
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
    EXPECT_EQ(probe->calls, 1);
    claudeIs(*model, claude("2.1.307", Login::loggedIn));
    view->hide();
    view->show();
    EXPECT_FALSE(model->checkingClaude());
    EXPECT_EQ(probe->calls, 2);

    claudeIs(*model, claude("2.1.307", Login::otherMethod));
    view->hide();
    view->show();
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
    EXPECT_EQ(probe->calls, 4);
}

TEST_F(OnboardingViewTest, ICloudStepFollowsTheMailbox)
{
    using Availability = MacMailboxStatus::Availability;
    struct Case {
        const char* name;
        std::optional<Availability> availability;
        bool done;
        bool hint;
    } cases[] = {
        { "checking", Availability { MacMailboxStatus::Checking {} }, false, false },
        { "key unavailable", Availability { MacMailboxStatus::KeyUnavailable {} }, false, false },
        { "temporarily unavailable", Availability { MailboxAccountState::temporarilyUnavailable }, false,
            false },
        { "undetermined", Availability { MailboxAccountState::couldNotDetermine }, false, false },
        { "no account", Availability { MailboxAccountState::noAccount }, false, true },
        { "restricted", Availability { MailboxAccountState::restricted }, false, true },
        { "available", Availability { MailboxAccountState::available }, true, false },
    };
    auto view = makeView();
    StepView absent = step(*view, 5);
    EXPECT_FALSE(absent.done);
    EXPECT_EQ(absent.texts,
        QStringList(
            { "mac.onboarding.icloud.detail", "mac.icloud.notInBuild", "mac.onboarding.icloud.awake" }));
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.name);
        model->setMailboxStatus({ .availability = *entry.availability });
        StepView seen = step(*view, 5);
        EXPECT_EQ(seen.done, entry.done);
        EXPECT_EQ(seen.texts.contains("mac.icloud.hint"), entry.hint);
        EXPECT_EQ(seen.buttons, entry.hint ? QStringList { "mac.icloud.openSettings" } : QStringList {});
        EXPECT_EQ(seen.accessibleName,
            entry.done ? "mac.onboarding.icloud.title done" : "mac.onboarding.icloud.title");
    }
}

TEST_F(OnboardingViewTest, NetworkAndLaunchStepsAlwaysShowTheirNumbers)
{
    claudeIs(*model, claude("9.0", Login::loggedIn));
    model->setMailboxStatus({ .availability = MailboxAccountState::available });
    auto view = makeView();
    for (int number : { 1, 2, 5 })
        EXPECT_EQ(step(*view, number).symbol, "checkmark.circle.fill") << number;
    EXPECT_EQ(step(*view, 3).symbol, "3.circle");
    EXPECT_EQ(step(*view, 4).symbol, "4.circle");
    EXPECT_EQ(step(*view, 3).accessibleName, "mac.onboarding.network.title");
    EXPECT_EQ(step(*view, 4).accessibleName, "mac.onboarding.login.item.title");
    EXPECT_EQ(step(*view, 1).accessibleName, "mac.onboarding.claude.title done");
    EXPECT_EQ(view->width(), OnboardingView::kWidth);
}

TEST_F(OnboardingViewTest, TheToggleStartsOnAtAFirstRunAndLaterShowsTheRealState)
{
    ASSERT_FALSE(model->launchAtLogin());
    auto view = makeView();
    view->show();
    EXPECT_TRUE(view->findChild<QCheckBox*>("launchAtLogin")->isChecked());
    view->findChild<QCheckBox*>("launchAtLogin")->setChecked(false);
    view->findChild<QPushButton*>("later")->click();
    EXPECT_TRUE(model->onboardingCompleted());

    auto again = makeView();
    again->show();
    EXPECT_FALSE(again->findChild<QCheckBox*>("launchAtLogin")->isChecked());
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
}

TEST_F(OnboardingViewTest, LaterWithTheToggleOnWritesTheLoginItemAndCompletes)
{
    auto view = makeView();
    view->show();
    view->findChild<QPushButton*>("later")->click();
    EXPECT_TRUE(model->launchAtLogin());
    EXPECT_TRUE(model->onboardingCompleted());
    std::string entry = readFile(m_folder / "config/autostart/vellumar.desktop");
    EXPECT_NE(entry.find("\nExec=\"/opt/vellumar/bin/vellumar\"\n"), std::string::npos) << entry;
    auto defaults = nlohmann::json::parse(readFile(defaultsFile()));
    EXPECT_EQ(defaults["onboardingCompleted"], true);
    EXPECT_EQ(windowCalls, QStringList { "dismiss setup" });
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
}

TEST_F(OnboardingViewTest, AnUnchangedChoiceLeavesTheLoginItemAlone)
{
    auto entry = m_folder / "config/autostart/vellumar.desktop";
    writeBytes(entry, "[Desktop Entry]\nExec=/old/vellumar\n");
    auto old = std::filesystem::last_write_time(entry) - std::chrono::hours(1);
    std::filesystem::last_write_time(entry, old);
    model = std::make_unique<AppModel>(viewsLaunch());
    ASSERT_TRUE(model->launchAtLogin());
    auto view = makeView();
    view->show();
    view->findChild<QPushButton*>("later")->click();
    EXPECT_EQ(std::filesystem::last_write_time(entry), old);
    EXPECT_TRUE(model->onboardingCompleted());
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
}

TEST_F(OnboardingViewTest, AFailedLoginItemIsReportedAndOnboardingStillCompletes)
{
    writeBytes(m_folder / "config/autostart", "a file where the folder belongs");
    auto view = makeView();
    view->show();
    view->findChild<QPushButton*>("later")->click();
    ASSERT_EQ(alerts->shown.size(), 1u);
    EXPECT_EQ(alerts->shown[0].message, "mac.loginItem.error");
    EXPECT_FALSE(alerts->shown[0].informative.isEmpty());
    EXPECT_FALSE(model->launchAtLogin());
    EXPECT_TRUE(model->onboardingCompleted());
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
}

TEST_F(OnboardingViewTest, ReturnCompletesAndOpensPairing)
{
    auto view = makeView();
    view->show();
    view->activateWindow();
    QTest::keyClick(view.get(), Qt::Key_Return);
    EXPECT_TRUE(model->onboardingCompleted());
    EXPECT_EQ(windowCalls, QStringList({ "dismiss setup", "open pair", "activate" }));
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
}

TEST_F(OnboardingViewTest, TheCloseButtonCompletesNothing)
{
    auto view = makeView();
    view->show();
    view->close();
    EXPECT_FALSE(model->onboardingCompleted());
    EXPECT_FALSE(std::filesystem::exists(m_folder / "config/autostart/vellumar.desktop"));
    EXPECT_FALSE(nlohmann::json::parse(readFile(defaultsFile())).contains("onboardingCompleted"));
    EXPECT_TRUE(windowCalls.isEmpty());
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
}

TEST_F(OnboardingViewTest, GuidesAndSettingsOpenThroughTheDesktop)
{
    model->setMailboxStatus({ .availability = MailboxAccountState::noAccount });
    auto view = makeView();
    for (QPushButton* button : view->findChildren<QPushButton*>()) {
        if (button->text() == "mac.onboarding.claude.guide" || button->text() == "mac.icloud.openSettings")
            button->click();
    }
    // This build's bundle names no account settings: only the guide opens.
    EXPECT_EQ(openedURLs, std::vector<QUrl> { AppModel::claudeSetupGuide() });
}

TEST_F(OnboardingViewTest, OpenTerminalStartsTheDesktopsTerminalWithNoArguments)
{
    claudeIs(*model, claude("3.0", Login::loggedOut));
    auto view = makeView();
    auto openTerminal = [&] {
        for (QPushButton* button : view->findChildren<QPushButton*>()) {
            if (button->text() == "mac.onboarding.openTerminal")
                button->click();
        }
    };
    {
        ScopedEnvironmentVariable path("PATH", (m_folder / "empty").string());
        openTerminal(); // none on PATH: nothing happens
    }
    auto marker = m_folder / "terminal-arguments";
    writeExecutable(m_folder / "bin/x-terminal-emulator",
        "#!/bin/sh\necho $# > " + marker.string() + ".tmp && mv " + marker.string() + ".tmp "
            + marker.string() + "\n");
    ScopedEnvironmentVariable path("PATH", (m_folder / "bin").string() + ":/usr/bin:/bin");
    openTerminal();
    ASSERT_TRUE(processEventsUntil([&] { return std::filesystem::exists(marker); }));
    EXPECT_EQ(readFile(marker), "0\n");
}

TEST_F(OnboardingViewTest, CheckAgainStartsOneCheckAndRedrawsUnderItsOwnClick)
{
    auto view = makeView();
    probe->held = true;
    auto* again = qobject_cast<QPushButton*>(view->findChild<QWidget*>("checkAgain"));
    ASSERT_NE(again, nullptr);
    again->click(); // the redraw that follows replaces this very button
    EXPECT_TRUE(model->checkingClaude());
    EXPECT_TRUE(step(*view, 1).spinner);
    probe->answer = claude("2.1.307", Login::loggedIn);
    probe->release();
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
    EXPECT_EQ(probe->calls, 1);
    EXPECT_TRUE(step(*view, 2).done);
}
