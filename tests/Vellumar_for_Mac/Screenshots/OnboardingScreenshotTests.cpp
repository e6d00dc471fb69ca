// The onboarding window as an X server draws it, captured from the server with ImageMagick's
// `import` into build/.../screenshots/ for people to look at; the tests read the step icons back.
#include "Vellumar_for_Mac/Onboarding/OnboardingView.h"

#include "tests/Vellumar_for_Mac/Views/ViewsFixture.h"
#include "tests/support/InteractivePeer.h"

#include <QImage>
#include <QScreen>
#include <QTest>

using namespace vellumar;
using namespace vellumar::test;
using Login = ClaudeCodeStatus::Login;
using movrane::MailboxAccountState;

namespace {

// Starts Xvfb on a display it picks and points this process's Qt at it, before the application of
// the fixture is made.
struct VirtualDisplay {
    explicit VirtualDisplay(const std::string& screen = "1024x1000x24")
        : server({ "Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp" })
    {
        auto number = server.readLine();
        EXPECT_TRUE(number) << "Xvfb did not start";
        qputenv("DISPLAY", (":" + number.value_or("99")).c_str());
        qputenv("QT_QPA_PLATFORM", "xcb");
        // A bare X server has no session bus beside it; looking for one leaves libdbus's memory behind.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    }
    InteractivePeer server;
};

// The display is a base listed first, so that it exists before the application is made.
class OnboardingScreenshotTest : private VirtualDisplay, public ViewsTest {
protected:
    // Shows the window, captures it from the X server and answers the capture.
    QImage capture(const char* shot)
    {
        OnboardingView view(*model,
            WindowPort { .openWindow = [](const QString&) {},
                .dismissWindow = [](const QString&) {},
                .activate = [] {} });
        view.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
        // The check that appearing starts, unless the test holds it.
        processEventsUntil([&] { return probe->held || !model->checkingClaude(); });
        bool drawn = false;
        QMetaObject::invokeMethod(
            &view, [&] { drawn = true; }, Qt::QueuedConnection);
        processEventsUntil([&] { return drawn; });
        std::filesystem::create_directories(VELLUMAR_SCREENSHOT_DIR);
        std::string file = std::string(VELLUMAR_SCREENSHOT_DIR) + "/onboarding-" + shot + ".png";
        auto taken = runPeer({ "import", "-window", QString::number(view.winId()).toStdString(), file });
        EXPECT_EQ(taken.exitStatus, 0);
        QImage image(QString::fromStdString(file));
        EXPECT_EQ(image.width(), view.width());
        // The centre of each step's icon, left of the tick's stroke, in the capture.
        for (int number = 1; number <= 5; ++number) {
            auto* icon
                = view.findChild<QWidget*>(QString("step%1").arg(number))->findChild<QWidget*>("stepIcon");
            QPoint sample = icon->mapTo(&view, QPoint(icon->width() / 2, icon->height() / 5));
            greenSteps[number]
                = image.pixelColor(sample).green() > 150 && image.pixelColor(sample).red() < 120;
        }
        return image;
    }

    void claudeIs(const ClaudeCodeStatus& status) { ViewsTest::claudeIs(*model, status); }

    std::unique_ptr<AppModel> model = [this] {
        auto launch = viewsLaunch();
        launch.texts = Texts::bundled();
        return std::make_unique<AppModel>(launch);
    }();
    std::map<int, bool> greenSteps;
};

// A laptop's screen, 800 px high.
class OnboardingOnALowScreenTest : private VirtualDisplay, public ViewsTest {
protected:
    OnboardingOnALowScreenTest()
        : VirtualDisplay("1280x800x24")
    {
    }
};

ClaudeCodeStatus claude(std::optional<std::string> version, Login login)
{
    return { .path = "/home/u/.local/bin/claude", .version = std::move(version), .login = login };
}

}

TEST_F(OnboardingScreenshotTest, EachStateAsTheServerDrawsIt)
{
    probe->held = true;
    capture("first-run");
    EXPECT_EQ(greenSteps,
        (std::map<int, bool> { { 1, false }, { 2, false }, { 3, false }, { 4, false }, { 5, false } }));
    probe->release();
    ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));

    // In this order: the mailbox's status, once set, stays set.
    struct Case {
        const char* shot;
        ClaudeCodeStatus status;
        std::optional<MailboxAccountState> account;
        std::vector<int> green;
    } cases[] = {
        { "outdated", claude("2.1.306", Login::loggedIn), std::nullopt, {} },
        { "icloud-no-account", claude("2.1.307", Login::loggedOut), MailboxAccountState::noAccount, { 1 } },
        { "all-ready", claude("2.1.307", Login::loggedIn), MailboxAccountState::available, { 1, 2, 5 } },
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.shot);
        claudeIs(entry.status);
        if (entry.account)
            model->setMailboxStatus({ .availability = *entry.account });
        capture(entry.shot);
        std::map<int, bool> expected { { 1, false }, { 2, false }, { 3, false }, { 4, false }, { 5, false } };
        for (int number : entry.green)
            expected[number] = true;
        EXPECT_EQ(greenSteps, expected);
        ASSERT_TRUE(processEventsUntil([&] { return !model->checkingClaude(); }));
    }
}

// At a first launch the window is placed in the screen's centre while Claude Code is checked; the steps
// the check then shows, and those after "Check Again", make it taller than the spinner did.
TEST_F(OnboardingOnALowScreenTest, TheWindowThatGrowsAfterACheckStaysOnTheScreen)
{
    auto launch = viewsLaunch();
    launch.texts = Texts::bundled();
    AppModel model(launch);
    probe->held = true;
    OnboardingView view(model,
        WindowPort {
            .openWindow = [](const QString&) {}, .dismissWindow = [](const QString&) {}, .activate = [] {} });
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    const QRect screen = view.screen()->availableGeometry();
    view.move(screen.center() - view.rect().center());
    const int checkingHeight = view.height();

    // Installed, and signed in another way: the tallest steps.
    probe->answer = claude("2.1.307", Login::otherMethod);
    probe->release();
    ASSERT_TRUE(processEventsUntil([&] { return !model.checkingClaude(); }));
    EXPECT_GT(view.height(), checkingHeight);
    EXPECT_TRUE(screen.contains(view.frameGeometry()))
        << view.frameGeometry().y() << "+" << view.frameGeometry().height();
    view.findChild<QPushButton*>("checkAgain")->click();
    ASSERT_TRUE(processEventsUntil([&] { return !model.checkingClaude(); }));
    EXPECT_TRUE(screen.contains(view.frameGeometry()))
        << view.frameGeometry().y() << "+" << view.frameGeometry().height();
}
