// The Qt menu on the model: the refresh when it opens, and the switches as a phone feels them.
#include "Vellumar_for_Mac/Menu/MenuContent.h"

#include "tests/Vellumar_for_Mac/Views/ViewsFixture.h"
#include "tests/support/InteractivePeer.h"

#include "VellumarMacCore/Relay/TLSIdentityStore.h"

#include <nlohmann/json.hpp>

using namespace vellumar;
using namespace vellumar::test;
using namespace std::chrono_literals;

namespace {

class MenuContentTest : public ViewsTest {
protected:
    // The menu, its clock set to `m_now`.
    std::unique_ptr<MenuContent> makeMenu(AppModel& model)
    {
        return std::make_unique<MenuContent>(model, nullptr, WindowPort {}, [this] { return m_now; });
    }

    std::size_t indexOf(const MenuContent& menu, const QString& text)
    {
        for (std::size_t index = 0; index < menu.items().size(); ++index)
            if (menu.items()[index].text == text)
                return index;
        ADD_FAILURE() << "no line " << text.toStdString();
        return 0;
    }

    std::chrono::system_clock::time_point m_now = std::chrono::system_clock::now();
};

}

TEST_F(MenuContentTest, OpeningChecksClaudeCodeOnlyWhenTheLastFinishedCheckIsOlderThanAMinute)
{
    AppModel model(viewsLaunch());
    auto menu = makeMenu(model);
    emit menu->aboutToShow();
    EXPECT_EQ(probe->calls, 0) << "no check before the first has finished";
    claudeIs(model, ClaudeCodeStatus::missing);
    ASSERT_EQ(probe->calls, 1);
    const auto finished = *model.lastClaudeCheck();

    m_now = finished + 60s;
    emit menu->aboutToShow();
    EXPECT_FALSE(model.checkingClaude());
    EXPECT_EQ(probe->calls, 1);

    m_now = finished + 61s;
    emit menu->aboutToShow();
    EXPECT_TRUE(model.checkingClaude());
    ASSERT_TRUE(processEventsUntil([&] { return !model.checkingClaude(); }));
    EXPECT_EQ(probe->calls, 2);
}

TEST_F(MenuContentTest, OpeningRefreshesTheAddresses)
{
    std::vector<InterfaceAddress> interfaces;
    auto launch = viewsLaunch();
    launch.interfaceAddresses = [&] { return interfaces; };
    AppModel model(launch);
    auto menu = makeMenu(model);
    interfaces = { { "eth0", "192.0.2.9" } };
    emit menu->aboutToShow();
    EXPECT_EQ(model.lanAddress(), "192.0.2.9");
}

TEST_F(MenuContentTest, ARebuildWhileTornOffWarnsOfNoSize)
{
    static std::vector<std::string> warnings;
    warnings.clear();
    QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
              // The windowless platform's notes on what it cannot do to a window; a display does them.
              if (!message.startsWith("This plugin does not support"))
                  warnings.push_back(message.toStdString());
          });
    AppModel model(viewsLaunch());
    auto menu = makeMenu(model);
    menu->setTearOffEnabled(true);
    menu->showTearOffMenu(QPoint(0, 0));
    const auto linesBefore = menu->items().size();
    claudeIs(model, ClaudeCodeStatus::missing);
    // The check's line became two: the lines were made anew under the torn-off window.
    EXPECT_TRUE(processEventsUntil([&] { return menu->items().size() == linesBefore + 1; }));
    EXPECT_TRUE(menu->isTearOffMenuVisible());
    qInstallMessageHandler(previous);
    EXPECT_EQ(warnings, std::vector<std::string> {});
}

TEST_F(MenuContentTest, TheLinesFollowTheModelAndWithoutAnUpdaterSetUpComesRightBeforeQuit)
{
    AppModel model(viewsLaunch());
    auto menu = makeMenu(model);
    ASSERT_GE(menu->items().size(), 2u);
    EXPECT_EQ(menu->items()[menu->items().size() - 2].text, "mac.menu.setup");
    EXPECT_EQ(menu->actionAt(menu->items().size() - 1)->shortcut(), QKeySequence("Ctrl+Q"));
    EXPECT_EQ(menu->actionAt(indexOf(*menu, "mac.menu.addPhone"))->shortcut(), QKeySequence("Ctrl+N"));
    QMenu* devices = menu->actionAt(indexOf(*menu, "mac.menu.devices"))->menu();
    ASSERT_TRUE(devices);
    ASSERT_EQ(devices->actions().size(), 1);
    EXPECT_EQ(devices->actions()[0]->text(), "mac.menu.devices.none");
    model.setRoutinesEnabled(true);
    ASSERT_TRUE(
        processEventsUntil([&] { return menu->actionAt(indexOf(*menu, "mac.menu.routines"))->isChecked(); }));
    EXPECT_EQ(menu->actions().size(), static_cast<qsizetype>(menu->items().size()));
}

namespace {

// A running relay with one phone paired, the certificate naming a fixed address.
class MenuSwitchesTest : public MenuContentTest {
protected:
    MenuSwitchesTest()
    {
        auto launch = viewsLaunch();
        launch.interfaceAddresses = [] { return std::vector<InterfaceAddress> { { "eth0", kAddress } }; };
        model = std::make_unique<AppModel>(launch);
        model->start();
        auto offer = model->host().makePairingOffer(kAddress);
        EXPECT_TRUE(offer);
        auto paired = pairAsPhone(*model, offer ? offer->payload.code : "");
        auto body = nlohmann::json::parse(paired.body, nullptr, false);
        token = body.is_object() && body.contains("token") ? body["token"].get<std::string>() : "";
        EXPECT_FALSE(token.empty()) << paired.body;
        menu = makeMenu(*model);
    }

    void choose(const QString& text) { menu->actionAt(indexOf(*menu, text))->trigger(); }

    nlohmann::json defaults() const
    {
        return nlohmann::json::parse(readFile(defaultsFile()), nullptr, false);
    }

    static constexpr auto kAddress = "192.0.2.61";
    std::unique_ptr<AppModel> model;
    std::unique_ptr<MenuContent> menu;
    std::string token;
};

}

TEST_F(MenuSwitchesTest, RoutinesOffRefusesThePhonesRoutineCallsAndIsRemembered)
{
    choose("mac.menu.routines");
    ASSERT_TRUE(model->routinesEnabled());
    auto on = curlAsPhone(*model, "/v1/routines", { "-H", "Authorization: Bearer " + token });
    EXPECT_EQ(on.status, 200) << on.body;

    ASSERT_TRUE(
        processEventsUntil([&] { return menu->actionAt(indexOf(*menu, "mac.menu.routines"))->isChecked(); }));
    choose("mac.menu.routines");
    EXPECT_FALSE(model->routinesEnabled());
    auto off = curlAsPhone(*model, "/v1/routines", { "-H", "Authorization: Bearer " + token });
    EXPECT_EQ(off.status, 409);
    EXPECT_NE(off.body.find(R"("error":"routines_off")"), std::string::npos) << off.body;
    EXPECT_EQ(defaults().value("routinesEnabled", true), false);
}

TEST_F(MenuSwitchesTest, TerminalOffClosesAnOpenTerminalWith4000AndIsRemembered)
{
    InteractivePeer phone({ "/usr/bin/python3", (sourceDir() / "tests/peers/terminal_holder.py").string(),
        "wss://127.0.0.1:" + std::to_string(model->host().port().value_or(0)) + "/v1/terminal",
        (m_folder / "data/Vellumar/tls" / std::string(TLSIdentityStore::certificateFileName)).string(), token,
        "1", kAddress });
    ASSERT_EQ(phone.readLine(), R"({"open": 1})");
    ASSERT_TRUE(menu->actionAt(indexOf(*menu, "mac.menu.terminal"))->isChecked());
    choose("mac.menu.terminal");
    auto closes = nlohmann::json::parse(phone.readLine().value_or(""), nullptr, false);
    ASSERT_TRUE(closes.is_object()) << closes;
    EXPECT_EQ(closes["closes"][0]["code"], 4000);
    EXPECT_FALSE(model->terminalEnabled());
    EXPECT_EQ(defaults().value("terminalEnabled", true), false);
}
