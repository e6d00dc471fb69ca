// Alerts as modal message boxes, brought to the front since an accessory application is never
// the active one on its own.
#pragma once

#include "Vellumar_for_Mac/Model/AlertPresenter.h"

namespace vellumar {

// Main thread only, with a QApplication running.
class MessageBoxAlertPresenter final : public AlertPresenter {
public:
    // On the offscreen platform no one can press a button: the alert is logged and its safe button
    // taken, as the base does.
    int present(const Alert& alert) override;
};

}
