// The model's alerts as Qt message boxes.
#pragma once

#include "Vellumar_for_Mac/Model/AppModel.h"

namespace vellumar {

// Runs each alert as an application-modal message box brought to the front, its buttons in the
// alert's order, and answers the index of the one chosen (0 for a notice's OK or a box closed by
// other means than a button when it has only one; the last button, the cancel, otherwise).
AppModel::AlertPresenter messageBoxAlerts();

}
