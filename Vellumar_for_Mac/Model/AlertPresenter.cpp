#include "Vellumar_for_Mac/Model/AlertPresenter.h"

#include "Platform/Log.h"

namespace vellumar {

int AlertPresenter::present(const Alert& alert)
{
    platform::logInfo(QStringLiteral("alert not shown, no screen: %1 %2")
                          .arg(alert.message, alert.informativeText)
                          .toStdString());
    return alert.safeButton;
}

}
