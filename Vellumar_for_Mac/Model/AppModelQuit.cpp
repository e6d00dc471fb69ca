// Quitting: the relay host gets a bounded time to stop in order before the application ends.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "Platform/BoundedRun.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"

#include <QCoreApplication>

namespace vellumar {

void AppModel::quit()
{
    if (std::exchange(m_quitting, true))
        return;
    // The stop never waits for the main thread, which is blocked here until it ends or time is up.
    platform::runBounded([host = m_host.get()] { host->stop(); }, kQuitWait);
    QCoreApplication::exit(0);
}

}
