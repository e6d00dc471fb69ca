// The port through which the model and the updater put a modal question to the user. The windowed
// application answers it with a message box; where no one can press a button, the safe one counts.
#pragma once

#include <QString>
#include <QStringList>

namespace vellumar {

struct Alert {
    enum class Style { informational, warning, critical };
    Style style = Style::informational;
    QString message;
    QString informative;
    // In the order shown; the first is the default button.
    QStringList buttons;
    // The button taken when no one can answer: the one that changes nothing.
    int safeButton = 0;
};

// Main thread only. `run` returns when the alert is answered: the index of the chosen button.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    virtual int run(const Alert& alert) = 0;
};

// Answers every alert with its safe button: the model's port until the application gives it one
// that can show a window.
class SafeButtonAlerts final : public AlertPresenter {
public:
    int run(const Alert& alert) override { return alert.safeButton; }
};

}
