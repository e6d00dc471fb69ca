// Removing a paired phone.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "VellumarMacCore/RelayHost/RelayHost.h"

namespace vellumar {

void AppModel::removeDevice(const PairedDevice& device)
{
    m_host->removeDevice(device.id);
    if (m_lastAdded && m_lastAdded->id == device.id)
        publish(m_lastAdded, std::optional<PairedDevice>(), &AppModel::lastAddedChanged);
}

}
