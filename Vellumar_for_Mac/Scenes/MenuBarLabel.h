// The tray icon's picture, which tells whether anything runs, and the first-launch rule that opens
// the set-up window.
#pragma once

#include "Vellumar_for_Mac/Scenes/WindowPort.h"
#include "VellumarMacCore/Terminal/TerminalSessions.h"

#include <QIcon>
#include <QString>

#include <vector>

namespace vellumar {

class AppModel;

class MenuBarLabel {
public:
    static constexpr auto kIdleSymbol = "iphone.radiowaves.left.and.right";
    static constexpr auto kBusySymbol = "iphone.radiowaves.left.and.right.circle.fill";

    // The busy (filled) symbol while a job runs or a terminal is open, the outline one otherwise.
    static QString symbolName(int runningJobs, const std::vector<TerminalSessions::Summary>& terminals);
    // The symbol drawn at the usual tray sizes: a phone between radio waves, on a filled disc for
    // the busy one. Needs a Gui application.
    static QIcon icon(const QString& symbolName);

    // What showing the label does: on a launch whose onboarding is not completed it opens "setup"
    // and brings it to the front; otherwise nothing.
    static void appear(const AppModel& model, const WindowPort& windows);
};

}
