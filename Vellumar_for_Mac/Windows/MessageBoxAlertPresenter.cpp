#include "Vellumar_for_Mac/Windows/MessageBoxAlertPresenter.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>

#include <vector>

namespace vellumar {

namespace {

    QMessageBox::Icon iconOf(Alert::Style style)
    {
        switch (style) {
        case Alert::Style::informational:
            return QMessageBox::Information;
        case Alert::Style::warning:
            return QMessageBox::Warning;
        case Alert::Style::critical:
            return QMessageBox::Critical;
        }
        return QMessageBox::NoIcon;
    }

}

int MessageBoxAlertPresenter::present(const Alert& alert)
{
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return AlertPresenter::present(alert);

    QMessageBox box;
    box.setIcon(iconOf(alert.style));
    box.setText(alert.message);
    box.setInformativeText(alert.informativeText);
    std::vector<QPushButton*> buttons;
    for (const QString& title : alert.buttons)
        buttons.push_back(box.addButton(title, QMessageBox::AcceptRole));
    if (buttons.empty())
        box.setStandardButtons(QMessageBox::Ok);
    else
        box.setDefaultButton(buttons.front());
    box.raise();
    box.activateWindow();
    box.exec();
    for (std::size_t index = 0; index < buttons.size(); ++index)
        if (box.clickedButton() == buttons[index])
            return static_cast<int>(index);
    // Closed without a button, with Escape or the window's close box.
    return alert.safeButton;
}

}
