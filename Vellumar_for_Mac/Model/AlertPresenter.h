// Modal alerts the model asks the user. The model words them; a presenter shows them and answers
// which button was chosen.
#pragma once

#include <QString>
#include <QStringList>

namespace vellumar {

struct Alert {
    enum class Style { informational, warning, critical };

    QString message;
    QString informativeText;
    // In order, the first the default; empty means one "OK" button of the presenter's own.
    QStringList buttons;
    Style style = Style::informational;
    // The answer when no one can choose: the button that changes nothing (keep, cancel, OK).
    int safeButton = 0;
};

// Main thread only. This base presents nothing: it logs the alert and answers its safe button, which
// is what a process without a screen must do.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;

    // Blocks until the alert is dismissed; answers the chosen button's index in `alert.buttons`.
    virtual int present(const Alert& alert);
};

}
