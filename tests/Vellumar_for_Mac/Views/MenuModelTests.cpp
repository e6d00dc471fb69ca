#include "Vellumar_for_Mac/Menu/MenuModel.h"

#include <gtest/gtest.h>

using namespace vellumar;
using Kind = MenuItem::Kind;
using Login = ClaudeCodeStatus::Login;

namespace {

const Texts kTexts({ { "mac.menu.devices.count", "phones %d" }, { "mac.menu.jobs.running", "jobs %d" },
    { "mac.menu.claude.ready", "ready %s" }, { "mac.menu.claude.outdated", "outdated %s" },
    { "mac.menu.added", "added %s" } });

MenuState idle()
{
    return { .serverStatusText = "server",
        .claudeStatus
        = ClaudeCodeStatus { .path = "/usr/bin/claude", .version = "2.2.0", .login = Login::loggedIn },
        .iCloudStatusText = "icloud" };
}

std::vector<QString> textsOf(const std::vector<MenuItem>& items)
{
    std::vector<QString> texts;
    for (const MenuItem& item : items)
        texts.push_back(item.kind == Kind::separator ? QStringLiteral("----") : item.text);
    return texts;
}

const MenuItem* itemWithText(const std::vector<MenuItem>& items, const QString& text)
{
    for (const MenuItem& item : items)
        if (item.text == text)
            return &item;
    return nullptr;
}

}

TEST(MenuModel, IdleMenuFromTopToBottom)
{
    auto items = menuItems(idle(), kTexts);
    EXPECT_EQ(textsOf(items),
        (std::vector<QString> { "server", "ready 2.2.0", "icloud", "phones 0", "----", "mac.menu.addPhone",
            "mac.menu.devices", "----", "mac.menu.routines", "mac.menu.routines.note", "mac.menu.terminal",
            "mac.menu.terminal.note", "mac.menu.useTailscale", "mac.menu.launchAtLogin", "----",
            "mac.menu.setup", "mac.menu.quit" }));
    EXPECT_EQ(items[5].shortcutKey, "n");
    EXPECT_EQ(items.back().shortcutKey, "q");
    EXPECT_EQ(items.back().action, MenuAction::quit);
    EXPECT_EQ(items[6].kind, Kind::submenu);
    for (int line : { 0, 1, 2, 3 })
        EXPECT_FALSE(items[line].enabled) << line;
}

TEST(MenuModel, CountedLinesShowOnlyWhenThereIsSomethingToCount)
{
    const struct {
        const char* name;
        int runningJobs;
        std::optional<QString> terminals;
        std::optional<QString> lastAdded;
        std::vector<QString> lines; // after the iCloud line, up to the separator
    } cases[] = {
        { "nothing", 0, {}, {}, { "phones 0" } },
        { "one job", 1, {}, {}, { "phones 0", "jobs 1" } },
        { "terminals", 0, "Pixel (2)", {}, { "phones 0", "Pixel (2)" } },
        { "all", 3, "iPad", "Pixel", { "phones 0", "jobs 3", "iPad", "added Pixel" } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        MenuState state = idle();
        state.runningJobs = testCase.runningJobs;
        state.terminalsText = testCase.terminals;
        state.lastAddedName = testCase.lastAdded;
        auto texts = textsOf(menuItems(state, kTexts));
        auto separator = std::find(texts.begin(), texts.end(), "----");
        EXPECT_EQ(std::vector<QString>(texts.begin() + 3, separator), testCase.lines);
    }
}

TEST(MenuModel, ClaudeCodeRowsTakeTheFirstFormThatFits)
{
    const std::optional<std::filesystem::path> found = "/usr/bin/claude";
    const struct {
        const char* name;
        std::optional<ClaudeCodeStatus> status;
        std::vector<QString> rows;
        MenuAction button;
    } cases[] = {
        { "not checked yet", std::nullopt, { "mac.menu.claude.checking" }, MenuAction::none },
        { "missing although logged in", ClaudeCodeStatus { .version = "2.2.0", .login = Login::loggedIn },
            { "mac.menu.claude.missing", "mac.menu.claude.install" }, MenuAction::openClaudeGuide },
        { "outdated although logged in", ClaudeCodeStatus { found, "2.1.306", Login::loggedIn },
            { "outdated 2.1.306", "mac.menu.claude.howTo" }, MenuAction::openSetup },
        { "logged out", ClaudeCodeStatus { found, "2.1.307", Login::loggedOut },
            { "mac.menu.claude.loggedOut", "mac.menu.claude.howTo" }, MenuAction::openSetup },
        { "login unknown", ClaudeCodeStatus { found, "3.0", Login::unknown },
            { "mac.menu.claude.loggedOut", "mac.menu.claude.howTo" }, MenuAction::openSetup },
        { "another sign-in", ClaudeCodeStatus { found, "3.0", Login::otherMethod },
            { "mac.menu.claude.otherMethod", "mac.menu.claude.howTo" }, MenuAction::openSetup },
        { "ready without a version", ClaudeCodeStatus { found, std::nullopt, Login::loggedIn }, { "ready ?" },
            MenuAction::none },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        MenuState state = idle();
        state.claudeStatus = testCase.status;
        auto items = menuItems(state, kTexts);
        auto texts = textsOf(items);
        auto icloud = std::find(texts.begin(), texts.end(), "icloud");
        EXPECT_EQ(std::vector<QString>(texts.begin() + 1, icloud), testCase.rows);
        EXPECT_FALSE(items[1].enabled);
        if (testCase.rows.size() == 2) {
            EXPECT_TRUE(items[2].enabled);
            EXPECT_EQ(items[2].action, testCase.button);
        }
    }
}

TEST(MenuModel, ICloudRowsAddTheProblemTheRecentPhonesAndTheSettingsHint)
{
    MenuState state = idle();
    state.iCloudProblemText = "quota";
    state.iCloudViaText = "via Pixel";
    state.iCloudNeedsSettings = true;
    auto items = menuItems(state, kTexts);
    auto texts = textsOf(items);
    EXPECT_EQ(std::vector<QString>(texts.begin() + 2, texts.begin() + 7),
        (std::vector<QString> {
            "icloud", "quota", "via Pixel", "mac.icloud.hint", "mac.icloud.openSettings" }));
    EXPECT_EQ(items[6].action, MenuAction::openICloudSettings);
    EXPECT_TRUE(items[6].enabled);
}

TEST(MenuModel, TheTailscaleToggleIsDisabledOnlyWithoutAnAddressWhileOff)
{
    const struct {
        bool address;
        bool on;
        bool enabled;
    } cases[]
        = { { false, false, false }, { false, true, true }, { true, false, true }, { true, true, true } };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testing::Message() << "address " << testCase.address << ", on " << testCase.on);
        MenuState state = idle();
        state.hasTailscaleAddress = testCase.address;
        state.useTailscale = testCase.on;
        auto items = menuItems(state, kTexts);
        const MenuItem* toggle = itemWithText(items, "mac.menu.useTailscale");
        ASSERT_TRUE(toggle);
        EXPECT_EQ(toggle->kind, Kind::toggle);
        EXPECT_EQ(toggle->checked, testCase.on);
        EXPECT_EQ(toggle->enabled, testCase.enabled);
    }
}

TEST(MenuModel, TheUpdateItemFollowsTheUpdater)
{
    const struct {
        const char* name;
        std::optional<MenuState::Updates> updates;
        std::optional<QString> text;
        bool enabled;
    } cases[] = {
        { "no framework", std::nullopt, std::nullopt, false },
        { "idle", MenuState::Updates { .canCheck = true }, "mac.menu.checkForUpdates", true },
        { "checking", MenuState::Updates { .canCheck = false }, "mac.menu.checkForUpdates", false },
        { "waiting", MenuState::Updates { .canCheck = true, .waiting = true }, "mac.menu.updateWaiting",
            true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        MenuState state = idle();
        state.updates = testCase.updates;
        auto items = menuItems(state, kTexts);
        const MenuItem& beforeQuit = items[items.size() - 2];
        if (!testCase.text) {
            EXPECT_EQ(beforeQuit.text, "mac.menu.setup");
            continue;
        }
        EXPECT_EQ(beforeQuit.text, *testCase.text);
        EXPECT_EQ(beforeQuit.enabled, testCase.enabled);
        EXPECT_EQ(beforeQuit.action, MenuAction::checkForUpdates);
    }
}
