#include "Vellumar_for_Mac/Scenes/MenuBarLabel.h"

#include "tests/Vellumar_for_Mac/Views/ViewsFixture.h"

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <functional>

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

    // WCAG 2's relative luminance of an opaque colour.
    static double luminance(const QColor& color)
    {
        auto linear = [](double channel) {
            return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF())
            + 0.0722 * linear(color.blueF());
    }

    // The icon drawn `side` pixels square on a panel of `panel`'s colour: of the pixels it covers, the
    // contrast ratio with the panel that a third of them reach. Those are its strokes (or their edge),
    // not an antialiased fringe or a stray pixel.
    static double strokeContrast(const QIcon& icon, const QColor& panel, int side)
    {
        QImage shown(side, side, QImage::Format_ARGB32);
        shown.fill(panel);
        QPainter painter(&shown);
        icon.paint(&painter, shown.rect());
        painter.end();
        QImage alone = icon.pixmap(side, side).toImage();
        std::vector<double> contrasts;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                if (alone.pixelColor(x, y).alpha() >= 128) {
                    double pixel = luminance(shown.pixelColor(x, y)), ground = luminance(panel);
                    contrasts.push_back((std::max(pixel, ground) + 0.05) / (std::min(pixel, ground) + 0.05));
                }
        std::sort(contrasts.begin(), contrasts.end(), std::greater<>());
        return contrasts.empty() ? 0 : contrasts[contrasts.size() / 3];
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

TEST_F(MenuBarLabelTest, BothIconsReadOnDarkAndLightPanels)
{
    const struct {
        const char* name;
        const char* symbol;
        QColor panel;
    } cases[] = {
        { "idle on a dark panel", MenuBarLabel::kIdleSymbol, QColor(0x22, 0x22, 0x22) },
        { "idle on a light panel", MenuBarLabel::kIdleSymbol, QColor(0xee, 0xee, 0xee) },
        { "busy on a dark panel", MenuBarLabel::kBusySymbol, QColor(0x22, 0x22, 0x22) },
        { "busy on a light panel", MenuBarLabel::kBusySymbol, QColor(0xee, 0xee, 0xee) },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        // The sizes panels ask for.
        for (int side : { 16, 22, 24, 32 })
            EXPECT_GE(strokeContrast(MenuBarLabel::icon(testCase.symbol), testCase.panel, side), 3.0) << side;
    }
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
