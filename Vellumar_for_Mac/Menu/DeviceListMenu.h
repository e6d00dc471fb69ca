// The menu's "mac.menu.devices" submenu: one submenu per paired phone with when it was last seen and
// paired, how it reaches this computer, and the way to revoke it.
#pragma once

#include "VellumarMacCore/Relay/PairedDevice.h"

#include <QMenu>

#include <utility>
#include <vector>

namespace vellumar {

class AppModel;

// Main thread only. Rebuilt from the model's devices each time it publishes them; the transport
// lines also follow the mailbox status.
class DeviceListMenu final : public QMenu {
    Q_OBJECT

public:
    explicit DeviceListMenu(AppModel& model, QWidget* parent = nullptr);

private:
    void rebuild();
    void updateTransportLines();

    AppModel& m_model;
    std::vector<QMenu*> m_deviceMenus;
    std::vector<std::pair<PairedDevice, QAction*>> m_transportLines;
};

}
