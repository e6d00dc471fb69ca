#include "Vellumar_for_Mac/Scenes/VellumarMacApp.h"

#include "Vellumar_for_Mac/Updater/FeedUpdaterController.h"
#include "Vellumar_for_Mac/Updater/Updater.h"

#include "tests/Vellumar_for_Mac/Views/ViewsFixture.h"

#include "Platform/Crypto.h"

#include <QWidget>

#include <nlohmann/json.hpp>

using namespace vellumar;
using namespace vellumar::test;

namespace {

class VellumarMacAppTest : public ViewsTest {
protected:
    // The updater as the application makes it, under a well-formed key and without a feed, so a
    // check ends in an alert of its own.
    VellumarMacApp::UpdaterFactory updaterFactory()
    {
        return [this](std::function<void()> activate) {
            return std::make_unique<Updater>(&m_key,
                FeedUpdaterController::factory(
                    { .downloadFolder = m_folder / "updates", .alerts = alerts, .texts = Texts({}) }),
                std::move(activate));
        };
    }

    nlohmann::json m_key = platform::base64Encode(std::vector<std::uint8_t>(32, 9));
};

}

TEST_F(VellumarMacAppTest, CheckForUpdatesBringsTheApplicationForward)
{
    AppModel model(viewsLaunch());
    VellumarMacApp scenes(model, updaterFactory(), {});
    scenes.openWindow("setup");
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(processEventsUntil([&] { return QApplication::activeWindow() == &other; }));

    const auto& items = scenes.menu().items();
    auto update = std::find_if(items.begin(), items.end(),
        [](const MenuItem& item) { return item.action == MenuAction::checkForUpdates; });
    ASSERT_NE(update, items.end());
    scenes.menu().actionAt(static_cast<std::size_t>(update - items.begin()))->trigger();
    EXPECT_TRUE(processEventsUntil([&] { return QApplication::activeWindow() == scenes.window("setup"); }));
    // The check without a feed failed and said so.
    EXPECT_TRUE(processEventsUntil([&] { return alerts->shown.size() == 1; }));
}
