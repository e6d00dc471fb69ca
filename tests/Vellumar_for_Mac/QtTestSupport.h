// What the application's Qt tests share: delivering queued calls until something holds, and an
// alert port that records what it was shown and answers as the test says.
#pragma once

#include "Vellumar_for_Mac/Model/AlertPresenter.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <functional>
#include <vector>

namespace vellumar::test {

// Delivers events until `done` holds or 20 seconds pass; whether it holds. The deadline only guards
// against a hang.
inline bool processEventsUntil(const std::function<bool()>& done)
{
    QDeadlineTimer deadline(20'000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

class RecordingAlerts final : public AlertPresenter {
public:
    int run(const Alert& alert) override
    {
        shown.push_back(alert);
        return answer;
    }

    std::vector<Alert> shown;
    int answer = 0; // the index of the button every alert gets
};

}
