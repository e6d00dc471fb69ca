// The menu as plain values: what each line says, whether it can be chosen or is checked, and what
// choosing it does. Computed from a snapshot of the model and the updater, so that the tray's menu,
// its torn-off window and the tests all read the same lines.
#pragma once

#include "Vellumar_for_Mac/Model/Texts.h"
#include "VellumarMacCore/ClaudeCode/ClaudeCodeStatus.h"

#include <QString>

#include <optional>
#include <vector>

namespace vellumar {

class AppModel;

// What choosing an item does; the menu widget maps each to the model's, the updater's or a
// window's operation.
enum class MenuAction {
    none,
    openClaudeGuide,
    openSetup,
    openICloudSettings,
    addPhone,
    devices,
    toggleRoutines,
    toggleTerminal,
    toggleTailscale,
    toggleLaunchAtLogin,
    checkForUpdates,
    quit,
};

struct MenuItem {
    enum class Kind { text, button, toggle, submenu, separator };
    Kind kind = Kind::text;
    QString text;
    bool enabled = false;
    bool checked = false;
    // A key that, with Ctrl, chooses the item ("n", "q"); empty for none.
    QString shortcutKey;
    MenuAction action = MenuAction::none;
    friend bool operator==(const MenuItem&, const MenuItem&) = default;
};

// Everything the menu reads, copied out of the model and the updater.
struct MenuState {
    QString serverStatusText;
    std::optional<ClaudeCodeStatus> claudeStatus;
    QString iCloudStatusText;
    std::optional<QString> iCloudProblemText;
    std::optional<QString> iCloudViaText;
    bool iCloudNeedsSettings = false;
    int deviceCount = 0;
    int runningJobs = 0;
    std::optional<QString> terminalsText;
    std::optional<QString> lastAddedName;
    bool routinesEnabled = false;
    bool terminalEnabled = false;
    bool useTailscale = false;
    bool hasTailscaleAddress = false;
    bool launchAtLogin = false;
    // The updater's item shows only while the update framework runs.
    struct Updates {
        bool canCheck = false;
        bool waiting = false;
    };
    std::optional<Updates> updates;

    // The model's side of the snapshot; `updates` is left absent.
    static MenuState of(const AppModel& model);
};

// The menu's lines, top to bottom. Pure.
std::vector<MenuItem> menuItems(const MenuState& state, const Texts& texts);

}
