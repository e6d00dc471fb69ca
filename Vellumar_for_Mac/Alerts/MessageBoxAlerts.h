// The alert port as message boxes. On the offscreen platform no one can press a button: the alert
// is logged and its safe button taken.
#pragma once

#include "Vellumar_for_Mac/Model/AlertPresenter.h"

namespace vellumar {

class MessageBoxAlerts final : public AlertPresenter {
public:
    int run(const Alert& alert) override;
};

}
