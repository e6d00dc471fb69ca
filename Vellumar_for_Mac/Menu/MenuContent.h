// The tray icon's menu: the lines of the menu model as a Qt menu, rebuilt whenever the model or the
// updater publishes a change, with the address and Claude Code refresh each time it opens.
#pragma once

#include "Vellumar_for_Mac/Menu/MenuModel.h"
#include "Vellumar_for_Mac/Scenes/WindowPort.h"

#include <QMenu>

#include <chrono>
#include <functional>
#include <vector>

namespace vellumar {

class AppModel;
class DeviceListMenu;
class Updater;

// Main thread only. The model and the updater outlive the menu.
class MenuContent final : public QMenu {
    Q_OBJECT

public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // A Claude Code check older than this is repeated when the menu opens.
    static constexpr std::chrono::seconds kClaudeRecheckAge { 60 };

    // `updater` may be null: the update item is then absent. `windows` opens "pair" and "setup".
    MenuContent(AppModel& model, Updater* updater, WindowPort windows,
        Clock clock = std::chrono::system_clock::now, QWidget* parent = nullptr);

    // What opening the menu runs: the addresses anew, and Claude Code checked again when its last
    // finished check is more than a minute older than `now` (none before the first has finished).
    static void refreshOnOpen(AppModel& model, std::chrono::system_clock::time_point now);

    // The lines now shown.
    const std::vector<MenuItem>& items() const noexcept { return m_items; }
    // The action that stands for `items()[index]`.
    QAction* actionAt(std::size_t index) const { return m_actions.at(index); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Recomputes the lines later on the main thread, once for any number of changes, so that an
    // action is never deleted while it is being triggered.
    void scheduleRebuild();
    void rebuild();
    void choose(MenuAction action, bool checked);
    void openWindow(const QString& identifier);

    AppModel& m_model;
    Updater* m_updater;
    WindowPort m_windows;
    Clock m_clock;
    DeviceListMenu* m_devices;
    bool m_rebuildPending = false;
    std::vector<MenuItem> m_items;
    std::vector<QAction*> m_actions;
};

}
