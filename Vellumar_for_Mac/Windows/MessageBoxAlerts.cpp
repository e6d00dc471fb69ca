#include "Vellumar_for_Mac/Windows/MessageBoxAlerts.h"

#include <QMessageBox>
#include <QPushButton>

namespace vellumar {

AppModel::AlertPresenter messageBoxAlerts()
{
    return [](const AppModel::Alert& alert) -> std::size_t {
        QMessageBox box(
            alert.style == AppModel::Alert::Style::warning ? QMessageBox::Warning : QMessageBox::Information,
            QString(), QString::fromStdString(alert.message));
        box.setInformativeText(QString::fromStdString(alert.information));
        std::vector<QPushButton*> buttons;
        for (const auto& title : alert.buttons)
            buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole));
        if (buttons.empty())
            buttons.push_back(box.addButton(QMessageBox::Ok));
        box.setDefaultButton(buttons.front());
        box.setEscapeButton(buttons.back());
        box.setWindowModality(Qt::ApplicationModal);
        box.show();
        box.raise();
        box.activateWindow();
        box.exec();
        auto chosen = std::find(buttons.begin(), buttons.end(), box.clickedButton());
        return chosen == buttons.end() ? buttons.size() - 1
                                       : static_cast<std::size_t>(chosen - buttons.begin());
    };
}

}
