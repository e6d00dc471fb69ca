#include "Vellumar_for_Mac/Scenes/MenuBarLabel.h"

#include "tests/Vellumar_for_Mac/Views/ViewsFixture.h"

#include <QImage>

using namespace vellumar;
using namespace vellumar::test;

namespace {

class MenuBarLabelTest : public ViewsTest {
protected:
    // The share of the icon's pixels that are the disc's blue.
    static double blueShare(const QIcon& icon)
    {
        QImage image = icon.pixmap(32, 32).toImage();
        int blue = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                QColor pixel = image.pixelColor(x, y);
                blue += pixel.alpha() > 200 && pixel.blue() > 180 && pixel.red() < 100;
            }
        return blue / double(image.width() * image.height());
    }
};

}

TEST_F(MenuBarLabelTest, TheIconFillsWhileAJobRunsOrATerminalIsOpen)
{
    const std::vector<TerminalSessions::Summary> oneTerminal { { "d-1", "Pixel", 1 } };
    const struct {
        const char* name;
        int runningJobs;
        std::vector<TerminalSessions::Summary> terminals;
        const char* symbol;
    } cases[] = {
        { "idle", 0, {}, MenuBarLabel::kIdleSymbol },
        { "one job", 1, {}, MenuBarLabel::kBusySymbol },
        { "one terminal", 0, oneTerminal, MenuBarLabel::kBusySymbol },
        { "both", 2, oneTerminal, MenuBarLabel::kBusySymbol },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(MenuBarLabel::symbolName(testCase.runningJobs, testCase.terminals), testCase.symbol);
    }
    // What a person sees: an outline, and a filled disc.
    EXPECT_EQ(blueShare(MenuBarLabel::icon(MenuBarLabel::kIdleSymbol)), 0.0);
    EXPECT_GT(blueShare(MenuBarLabel::icon(MenuBarLabel::kBusySymbol)), 0.4);
}

TEST_F(MenuBarLabelTest, OnlyALaunchBeforeOnboardingOpensSetUpInFront)
{
    for (bool completed : { false, true }) {
        SCOPED_TRACE(completed);
        AppModel model(launchIn(m_folder));
        if (completed)
            model.completeOnboarding(model.launchAtLogin());
        std::vector<std::string> calls;
        MenuBarLabel::appear(model,
            WindowPort {
                .openWindow = [&](const QString& id) { calls.push_back("open " + id.toStdString()); },
                .dismissWindow = {},
                .activate = [&] { calls.push_back("activate"); } });
        const std::vector<std::string> expected
            = completed ? std::vector<std::string> {} : std::vector<std::string> { "open setup", "activate" };
        EXPECT_EQ(calls, expected);
    }
}
