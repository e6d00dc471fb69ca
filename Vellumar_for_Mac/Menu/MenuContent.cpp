#include "Vellumar_for_Mac/Menu/MenuContent.h"

#include "Vellumar_for_Mac/Menu/DeviceListMenu.h"
#include "Vellumar_for_Mac/Model/AppModel.h"
#include "Vellumar_for_Mac/Updater/Updater.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QKeySequence>

#include <algorithm>

namespace vellumar {

MenuContent::MenuContent(AppModel& model, Updater* updater, WindowPort windows, Clock clock, QWidget* parent)
    : QMenu(model.texts().text("Vellumar for Mac"), parent)
    , m_model(model)
    , m_updater(updater)
    , m_windows(std::move(windows))
    , m_clock(std::move(clock))
    , m_devices(new DeviceListMenu(model, this))
{
    // Every published property: a change of one that no line shows costs only a comparison.
    for (auto changed :
        { &AppModel::serverStateChanged, &AppModel::lanAddressChanged, &AppModel::tailscaleAddressChanged,
            &AppModel::claudeStatusChanged, &AppModel::devicesChanged, &AppModel::runningJobsChanged,
            &AppModel::lastAddedChanged, &AppModel::useTailscaleChanged, &AppModel::launchAtLoginChanged,
            &AppModel::routinesEnabledChanged, &AppModel::terminalEnabledChanged, &AppModel::terminalsChanged,
            &AppModel::mailboxStatusChanged })
        connect(&m_model, changed, this, &MenuContent::scheduleRebuild);
    if (m_updater) {
        connect(m_updater, &Updater::canCheckForUpdatesChanged, this, &MenuContent::scheduleRebuild);
        connect(m_updater, &Updater::updateWaitingChanged, this, &MenuContent::scheduleRebuild);
    }
    connect(this, &QMenu::aboutToShow, this, [this] { refreshOnOpen(m_model, m_clock()); });
    QCoreApplication::instance()->installEventFilter(this);
    rebuild();
}

bool MenuContent::eventFilter(QObject* watched, QEvent* event)
{
    // Qt matches a menu's shortcuts only through a window the menu was added to, and this one has
    // none: the keys are read here while the menu, its submenu or its torn-off window has them.
    if (event->type() != QEvent::KeyPress || (watched != this && watched->parent() != this))
        return false;
    QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
    for (QAction* action : m_actions) {
        if (!action->shortcut().isEmpty() && action->shortcut() == pressed && action->isEnabled()) {
            close();
            action->trigger();
            return true;
        }
    }
    return false;
}

void MenuContent::refreshOnOpen(AppModel& model, std::chrono::system_clock::time_point now)
{
    model.refreshAddresses();
    const auto& last = model.lastClaudeCheck();
    if (last && now - *last > kClaudeRecheckAge)
        model.checkClaude();
}

void MenuContent::scheduleRebuild()
{
    if (std::exchange(m_rebuildPending, true))
        return;
    QMetaObject::invokeMethod(this, &MenuContent::rebuild, Qt::QueuedConnection);
}

void MenuContent::rebuild()
{
    m_rebuildPending = false;
    MenuState state = MenuState::of(m_model);
    if (m_updater && m_updater->controller())
        state.updates = MenuState::Updates { .canCheck = m_updater->canCheckForUpdates(),
            .waiting = m_updater->updateWaiting() };
    auto items = menuItems(state, m_model.texts());
    if (items == m_items && !m_actions.empty()) {
        // Qt flips a check mark when the item is chosen, also where the model refused the change.
        for (std::size_t index = 0; index < m_items.size(); ++index)
            m_actions[index]->setChecked(m_items[index].checked);
        return;
    }
    m_items = std::move(items);
    // The new lines come before the old ones go: a torn-off copy of the menu left without any line
    // would be sized to nothing, which Qt warns of.
    const QList<QAction*> previous = actions();
    m_actions.clear();
    for (const MenuItem& item : m_items) {
        QAction* action = nullptr;
        switch (item.kind) {
        case MenuItem::Kind::separator:
            action = addSeparator();
            break;
        case MenuItem::Kind::submenu:
            action = addMenu(m_devices);
            break;
        case MenuItem::Kind::text:
        case MenuItem::Kind::button:
        case MenuItem::Kind::toggle:
            action = addAction(item.text);
            action->setCheckable(item.kind == MenuItem::Kind::toggle);
            action->setChecked(item.checked);
            break;
        }
        action->setEnabled(item.enabled);
        if (!item.shortcutKey.isEmpty())
            action->setShortcut(QKeySequence(QStringLiteral("Ctrl+") + item.shortcutKey.toUpper()));
        if (item.action != MenuAction::none && item.action != MenuAction::devices)
            connect(action, &QAction::triggered, this,
                [this, what = item.action](bool checked) { choose(what, checked); });
        m_actions.push_back(action);
    }
    for (QAction* action : previous) {
        // The device list's entry is moved, not made anew.
        if (std::find(m_actions.begin(), m_actions.end(), action) != m_actions.end())
            continue;
        removeAction(action);
        // As clear() does: the menu's own lines go with it.
        if (action->parent() == this && action->associatedObjects().isEmpty())
            delete action;
    }
}

void MenuContent::choose(MenuAction action, bool checked)
{
    switch (action) {
    case MenuAction::none:
    case MenuAction::devices:
        return;
    case MenuAction::openClaudeGuide:
        return m_model.openURL(AppModel::claudeSetupGuide());
    case MenuAction::openSetup:
        return openWindow(QStringLiteral("setup"));
    case MenuAction::openICloudSettings:
        return m_model.openICloudSettings();
    case MenuAction::addPhone:
        return openWindow(QStringLiteral("pair"));
    case MenuAction::toggleRoutines:
        return m_model.setRoutinesEnabled(checked);
    case MenuAction::toggleTerminal:
        return m_model.setTerminalEnabled(checked);
    case MenuAction::toggleTailscale:
        return m_model.setUseTailscale(checked);
    case MenuAction::toggleLaunchAtLogin:
        // The check mark then follows the login item's real state, also when the change failed.
        m_model.setLaunchAtLogin(checked);
        return scheduleRebuild();
    case MenuAction::checkForUpdates:
        if (m_updater)
            m_updater->checkForUpdates();
        return;
    case MenuAction::quit:
        return m_model.quit();
    }
}

void MenuContent::openWindow(const QString& identifier)
{
    if (m_windows.openWindow)
        m_windows.openWindow(identifier);
    if (m_windows.activate)
        m_windows.activate();
}

}
