#include "Vellumar_for_Mac/Alerts/MessageBoxAlerts.h"

#include "Platform/Log.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>

namespace vellumar {

int MessageBoxAlerts::run(const Alert& alert)
{
    if (QGuiApplication::platformName() == "offscreen") {
        platform::logInfo(("alert answered with its safe button: " + alert.message).toStdString());
        return alert.safeButton;
    }
    QMessageBox box;
    box.setIcon(alert.style == Alert::Style::critical ? QMessageBox::Critical
            : alert.style == Alert::Style::warning    ? QMessageBox::Warning
                                                      : QMessageBox::Information);
    box.setText(alert.message);
    box.setInformativeText(alert.informative);
    std::vector<QPushButton*> buttons;
    for (const QString& title : alert.buttons)
        buttons.push_back(
            box.addButton(title, buttons.empty() ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
    if (!buttons.empty())
        box.setDefaultButton(buttons.front());
    if (alert.safeButton >= 0 && static_cast<std::size_t>(alert.safeButton) < buttons.size())
        box.setEscapeButton(buttons[static_cast<std::size_t>(alert.safeButton)]);
    // The application has no window in front to come forward with; the box raises itself.
    box.raise();
    box.activateWindow();
    box.exec();
    auto chosen = std::find(buttons.begin(), buttons.end(), box.clickedButton());
    return chosen == buttons.end() ? alert.safeButton : static_cast<int>(chosen - buttons.begin());
}

}
