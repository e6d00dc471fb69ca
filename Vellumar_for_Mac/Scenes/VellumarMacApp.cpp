#include "Vellumar_for_Mac/Scenes/VellumarMacApp.h"

#include "Vellumar_for_Mac/Model/AppModel.h"
#include "Vellumar_for_Mac/Onboarding/OnboardingView.h"
#include "Vellumar_for_Mac/Scenes/MenuBarLabel.h"
#include "Vellumar_for_Mac/Updater/Updater.h"
#include "Vellumar_for_Mac/Windows/PairingView.h"

#include "Platform/Log.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

#include <cstdio>

namespace vellumar {

namespace {

    const QString kPair = QStringLiteral("pair");
    const QString kSetup = QStringLiteral("setup");

}

VellumarMacApp::VellumarMacApp(
    AppModel& model, const UpdaterFactory& makeUpdater, Options options, QObject* parent)
    : QObject(parent)
    , m_model(model)
    , m_options(options)
    , m_updater(makeUpdater([this] { activate(); }))
    , m_menu(model, m_updater.get(), windowPort())
{
    m_tray.setContextMenu(&m_menu);
    m_tray.setToolTip(m_model.texts().text("Vellumar for Mac"));
    // A left click opens the same menu as a right click: it is all the icon offers.
    connect(&m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_menu.popup(QCursor::pos());
    });
    connect(&m_model, &AppModel::runningJobsChanged, this, &VellumarMacApp::updateIcon);
    connect(&m_model, &AppModel::terminalsChanged, this, &VellumarMacApp::updateIcon);
    connect(&m_model, &AppModel::serverStateChanged, this, &VellumarMacApp::reportServerOnce);
    connect(&m_trayLook, &QTimer::timeout, this, &VellumarMacApp::followTray);
    updateIcon();
}

VellumarMacApp::~VellumarMacApp()
{
    for (auto& [identifier, window] : m_windows)
        delete window.data();
}

bool VellumarMacApp::hasDisplay() { return QGuiApplication::platformName() != QLatin1String("offscreen"); }

void VellumarMacApp::launch()
{
    reportServerOnce();
    if (!hasDisplay()) {
        constexpr auto kNoDisplay = "No display: phones paired earlier keep working; pairing a new phone "
                                    "needs a display.";
        platform::logInfoAndPrint(kNoDisplay);
        return;
    }
    followTray();
    MenuBarLabel::appear(m_model, windowPort());
}

void VellumarMacApp::followTray()
{
    m_trayLook.start(m_options.trayRecheck);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        if (!m_tray.isVisible()) {
            m_menu.hideTearOffMenu();
            m_menu.setTearOffEnabled(false);
            m_tray.show();
        }
        // A tray can go again (its panel quits or crashes): that is then met as a start without one.
        m_lookedForTray = false;
        m_shownWithoutTray = false;
        return;
    }
    // An icon without a tray cannot be clicked; a later start then brings up the window instead.
    m_tray.hide();
    // A tray (a panel starting with the session) may still come: the window only after a second look.
    if (std::exchange(m_lookedForTray, true) && !std::exchange(m_shownWithoutTray, true)) {
        platform::logInfo("No system tray: the menu is shown as a window until a tray appears.");
        showTornOffMenu();
    }
}

void VellumarMacApp::showTornOffMenu()
{
    m_menu.setTearOffEnabled(true);
    QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    m_menu.showTearOffMenu(QPoint(screen.right() - m_menu.sizeHint().width(), screen.top()));
}

void VellumarMacApp::showMenu()
{
    if (!hasDisplay())
        return;
    if (m_tray.isVisible()) {
        m_menu.popup(m_tray.geometry().isValid() ? m_tray.geometry().center() : QCursor::pos());
        return;
    }
    // Hidden when the user closed it; shown anew where it was.
    m_menu.hideTearOffMenu();
    showTornOffMenu();
}

void VellumarMacApp::openWindow(const QString& identifier)
{
    QPointer<QWidget>& window = m_windows[identifier];
    bool made = !window;
    if (made) {
        if (identifier == kPair) {
            window = new PairingView(m_model, m_model.texts());
            window->setWindowTitle(m_model.texts().text("mac.pair.window.title"));
        } else if (identifier == kSetup) {
            window = new OnboardingView(m_model, windowPort());
            window->setWindowTitle(m_model.texts().text("mac.onboarding.window.title"));
        } else {
            m_windows.erase(identifier);
            return;
        }
    }
    m_lastOpened = window;
    window->show();
    if (made) {
        // Each view fixes its size to what it shows once it is shown; the window then sits in the
        // screen's centre.
        QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        window->move(screen.center() - window->rect().center());
    }
    window->raise();
    window->activateWindow();
}

void VellumarMacApp::dismissWindow(const QString& identifier)
{
    if (QWidget* shown = window(identifier))
        shown->close();
}

void VellumarMacApp::activate()
{
    if (m_lastOpened && m_lastOpened->isVisible()) {
        m_lastOpened->raise();
        m_lastOpened->activateWindow();
    }
}

WindowPort VellumarMacApp::windowPort()
{
    return {
        .openWindow = [this](const QString& identifier) { openWindow(identifier); },
        .dismissWindow = [this](const QString& identifier) { dismissWindow(identifier); },
        .activate = [this] { activate(); },
    };
}

QWidget* VellumarMacApp::window(const QString& identifier) const
{
    auto found = m_windows.find(identifier);
    return found == m_windows.end() ? nullptr : found->second.data();
}

void VellumarMacApp::updateIcon()
{
    QString symbol = MenuBarLabel::symbolName(m_model.runningJobs(), m_model.terminals());
    if (symbol == m_symbolName)
        return;
    m_symbolName = symbol;
    m_tray.setIcon(MenuBarLabel::icon(symbol));
}

void VellumarMacApp::reportServerOnce()
{
    if (m_serverReported || std::holds_alternative<AppModel::ServerStarting>(m_model.serverState()))
        return;
    m_serverReported = true;
    std::fprintf(stderr, "%s\n", m_model.serverStatusText().toLocal8Bit().constData());
}

}
