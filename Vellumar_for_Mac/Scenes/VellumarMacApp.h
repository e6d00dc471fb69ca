// The application's scenes: the tray icon with its menu, or the same menu as a small torn-off window
// where the desktop has no tray, and the windows "pair" and "setup", opened only by identifier.
#pragma once

#include "Vellumar_for_Mac/Menu/MenuContent.h"
#include "Vellumar_for_Mac/Scenes/WindowPort.h"

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>

namespace vellumar {

class AppModel;
class Updater;

// Main thread only. The model outlives it; the updater is its own.
class VellumarMacApp final : public QObject {
    Q_OBJECT

public:
    struct Options {
        // How often the desktop is asked again for a tray while it has none.
        std::chrono::milliseconds trayRecheck { std::chrono::seconds(5) };
    };

    // Makes the one updater, given how it brings the application forward before a check.
    using UpdaterFactory = std::function<std::unique_ptr<Updater>(std::function<void()> activate)>;

    VellumarMacApp(
        AppModel& model, const UpdaterFactory& makeUpdater, Options options, QObject* parent = nullptr);
    ~VellumarMacApp() override;

    // Shows the label: the icon in the tray while there is one, else (after one more look) the
    // torn-off menu; on a first launch the "setup" window. Writes the server's line to standard
    // error once it has left "starting". Without a display it only says what still works.
    void launch();

    // Whether the application runs on a display, not on the windowless platform. Needs the Gui
    // application.
    static bool hasDisplay();

    // What a second start asks for: the tray's menu, or the torn-off window brought up.
    void showMenu();
    // "pair" or "setup": made on first use, titled, its content's size, centred the first time,
    // then shown and raised. An unknown identifier does nothing.
    void openWindow(const QString& identifier);
    void dismissWindow(const QString& identifier);
    // Brings the window opened last to the front.
    void activate();
    WindowPort windowPort();

    MenuContent& menu() noexcept { return m_menu; }
    QSystemTrayIcon& trayIcon() noexcept { return m_tray; }
    // The open window of that identifier; null when it was never opened.
    QWidget* window(const QString& identifier) const;
    bool menuTornOff() const { return m_menu.isTearOffMenuVisible(); }
    const QString& symbolName() const noexcept { return m_symbolName; }

private:
    // Shows the icon while a tray exists; without one the torn-off menu after the first look, also
    // when a tray that was there goes.
    void followTray();
    void showTornOffMenu();
    void updateIcon();
    void reportServerOnce();

    AppModel& m_model;
    Options m_options;
    // Before the menu, which uses it.
    std::unique_ptr<Updater> m_updater;
    MenuContent m_menu;
    QSystemTrayIcon m_tray;
    QTimer m_trayLook;
    bool m_lookedForTray = false;
    // The torn-off menu comes up by itself once each time the tray is missing; after the user
    // closes it, only a second start or the tray's next loss brings it back.
    bool m_shownWithoutTray = false;
    bool m_serverReported = false;
    QString m_symbolName;
    std::map<QString, QPointer<QWidget>> m_windows;
    QPointer<QWidget> m_lastOpened;
};

}
