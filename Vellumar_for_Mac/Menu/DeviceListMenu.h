// The menu's "mac.menu.devices" submenu: one submenu per paired phone with when it was last seen and
// paired, how it reaches this computer, and the way to revoke it.
#pragma once

#include <QMenu>

#include <vector>

namespace vellumar {

class AppModel;

// Main thread only. Rebuilt from the model's devices each time it publishes them.
class DeviceListMenu final : public QMenu {
    Q_OBJECT

public:
    explicit DeviceListMenu(AppModel& model, QWidget* parent = nullptr);

private:
    void rebuild();

    AppModel& m_model;
    std::vector<QMenu*> m_deviceMenus;
};

}
