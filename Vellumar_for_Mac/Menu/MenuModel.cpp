#include "Vellumar_for_Mac/Menu/MenuModel.h"

#include "Vellumar_for_Mac/Model/AppModel.h"

namespace vellumar {

namespace {

    using Kind = MenuItem::Kind;
    using Login = ClaudeCodeStatus::Login;

    MenuItem line(QString text) { return { .kind = Kind::text, .text = std::move(text) }; }

    MenuItem button(QString text, MenuAction action, bool enabled = true)
    {
        return { .kind = Kind::button, .text = std::move(text), .enabled = enabled, .action = action };
    }

    MenuItem toggle(QString text, bool checked, MenuAction action, bool enabled = true)
    {
        return { .kind = Kind::toggle,
            .text = std::move(text),
            .enabled = enabled,
            .checked = checked,
            .action = action };
    }

    MenuItem separator() { return { .kind = Kind::separator }; }

    QString versionText(const ClaudeCodeStatus& status)
    {
        return status.version ? QString::fromStdString(*status.version) : QStringLiteral("?");
    }

    // One of six forms, decided in this order: checking, missing, outdated, logged out, another
    // sign-in method, ready.
    void addClaudeRows(
        std::vector<MenuItem>& items, const std::optional<ClaudeCodeStatus>& status, const Texts& texts)
    {
        const MenuItem howTo = button(texts.text("mac.menu.claude.howTo"), MenuAction::openSetup);
        if (!status) {
            items.push_back(line(texts.text("mac.menu.claude.checking")));
        } else if (!status->path) {
            items.push_back(line(texts.text("mac.menu.claude.missing")));
            items.push_back(button(texts.text("mac.menu.claude.install"), MenuAction::openClaudeGuide));
        } else if (!status->meetsMinimumVersion()) {
            items.push_back(line(texts.text("mac.menu.claude.outdated", { versionText(*status) })));
            items.push_back(howTo);
        } else if (status->login == Login::loggedOut || status->login == Login::unknown) {
            items.push_back(line(texts.text("mac.menu.claude.loggedOut")));
            items.push_back(howTo);
        } else if (status->login == Login::otherMethod) {
            items.push_back(line(texts.text("mac.menu.claude.otherMethod")));
            items.push_back(howTo);
        } else {
            items.push_back(line(texts.text("mac.menu.claude.ready", { versionText(*status) })));
        }
    }

    void addICloudRows(std::vector<MenuItem>& items, const MenuState& state, const Texts& texts)
    {
        items.push_back(line(state.iCloudStatusText));
        for (const auto* text : { &state.iCloudProblemText, &state.iCloudViaText })
            if (*text)
                items.push_back(line(**text));
        if (state.iCloudNeedsSettings) {
            items.push_back(line(texts.text("mac.icloud.hint")));
            items.push_back(button(texts.text("mac.icloud.openSettings"), MenuAction::openICloudSettings));
        }
    }

}

MenuState MenuState::of(const AppModel& model)
{
    return {
        .serverStatusText = model.serverStatusText(),
        .claudeStatus = model.claudeStatus(),
        .iCloudStatusText = model.iCloudStatusText(),
        .iCloudProblemText = model.iCloudProblemText(),
        .iCloudViaText = model.iCloudViaText(),
        .iCloudNeedsSettings = model.iCloudNeedsSettings(),
        .deviceCount = static_cast<int>(model.devices().size()),
        .runningJobs = model.runningJobs(),
        .terminalsText = model.terminalsText(),
        .lastAddedName
        = model.lastAdded() ? std::optional(QString::fromStdString(model.lastAdded()->name)) : std::nullopt,
        .routinesEnabled = model.routinesEnabled(),
        .terminalEnabled = model.terminalEnabled(),
        .useTailscale = model.useTailscale(),
        .hasTailscaleAddress = model.tailscaleAddress().has_value(),
        .launchAtLogin = model.launchAtLogin(),
    };
}

std::vector<MenuItem> menuItems(const MenuState& state, const Texts& texts)
{
    std::vector<MenuItem> items;
    items.push_back(line(state.serverStatusText));
    addClaudeRows(items, state.claudeStatus, texts);
    addICloudRows(items, state, texts);
    items.push_back(line(texts.text("mac.menu.devices.count", { std::int64_t { state.deviceCount } })));
    if (state.runningJobs > 0)
        items.push_back(line(texts.text("mac.menu.jobs.running", { std::int64_t { state.runningJobs } })));
    if (state.terminalsText)
        items.push_back(line(*state.terminalsText));
    if (state.lastAddedName)
        items.push_back(line(texts.text("mac.menu.added", { *state.lastAddedName })));
    items.push_back(separator());

    MenuItem addPhone = button(texts.text("mac.menu.addPhone"), MenuAction::addPhone);
    addPhone.shortcutKey = QStringLiteral("n");
    items.push_back(addPhone);
    items.push_back({ .kind = Kind::submenu,
        .text = texts.text("mac.menu.devices"),
        .enabled = true,
        .action = MenuAction::devices });
    items.push_back(separator());

    items.push_back(
        toggle(texts.text("mac.menu.routines"), state.routinesEnabled, MenuAction::toggleRoutines));
    items.push_back(line(texts.text("mac.menu.routines.note")));
    items.push_back(
        toggle(texts.text("mac.menu.terminal"), state.terminalEnabled, MenuAction::toggleTerminal));
    items.push_back(line(texts.text("mac.menu.terminal.note")));
    // Always enabled while on, so that a user can turn it off when the address went away.
    items.push_back(toggle(texts.text("mac.menu.useTailscale"), state.useTailscale,
        MenuAction::toggleTailscale, state.hasTailscaleAddress || state.useTailscale));
    items.push_back(
        toggle(texts.text("mac.menu.launchAtLogin"), state.launchAtLogin, MenuAction::toggleLaunchAtLogin));
    items.push_back(separator());

    items.push_back(button(texts.text("mac.menu.setup"), MenuAction::openSetup));
    if (state.updates) {
        items.push_back(
            button(texts.text(state.updates->waiting ? "mac.menu.updateWaiting" : "mac.menu.checkForUpdates"),
                MenuAction::checkForUpdates, state.updates->canCheck));
    }
    MenuItem quit = button(texts.text("mac.menu.quit"), MenuAction::quit);
    quit.shortcutKey = QStringLiteral("q");
    items.push_back(quit);
    return items;
}

}
