#include "Vellumar_for_Mac/Menu/DeviceListMenu.h"

#include "Vellumar_for_Mac/Menu/MenuDates.h"
#include "Vellumar_for_Mac/Model/AppModel.h"

namespace vellumar {

namespace {

    QAction* addLine(QMenu& menu, const QString& text)
    {
        QAction* line = menu.addAction(text);
        line->setEnabled(false);
        return line;
    }

}

DeviceListMenu::DeviceListMenu(AppModel& model, QWidget* parent)
    : QMenu(model.texts().text("mac.menu.devices"), parent)
    , m_model(model)
{
    connect(&m_model, &AppModel::devicesChanged, this, &DeviceListMenu::rebuild);
    connect(&m_model, &AppModel::mailboxStatusChanged, this, &DeviceListMenu::updateTransportLines);
    rebuild();
}

void DeviceListMenu::rebuild()
{
    clear();
    // The submenus' actions went with clear(); the menus themselves are children to delete.
    for (QMenu* menu : m_deviceMenus)
        menu->deleteLater();
    m_deviceMenus.clear();
    m_transportLines.clear();

    const Texts& texts = m_model.texts();
    if (m_model.devices().empty()) {
        addLine(*this, texts.text("mac.menu.devices.none"));
        return;
    }
    for (const PairedDevice& device : m_model.devices()) {
        // The phone's own name, not a text key; two phones of one name stay two entries by id.
        QMenu* menu = addMenu(QString::fromStdString(device.name));
        menu->setObjectName(QString::fromStdString(device.id));
        m_deviceMenus.push_back(menu);
        addLine(*menu,
            device.lastSeenAt ? texts.text("mac.menu.device.lastSeen", { menuDateText(*device.lastSeenAt) })
                              : texts.text("mac.menu.device.never"));
        addLine(*menu, texts.text("mac.menu.device.paired", { menuDateText(device.pairedAt) }));
        if (m_model.hasMailbox())
            m_transportLines.emplace_back(device, addLine(*menu, m_model.deviceTransportText(device)));
        menu->addSeparator();
        connect(menu->addAction(texts.text("mac.menu.device.revoke")), &QAction::triggered, this,
            [this, device] { m_model.revoke(device); });
    }
}

void DeviceListMenu::updateTransportLines()
{
    // Only the texts change: the submenus stay, one the user has open too.
    for (const auto& [device, line] : m_transportLines)
        line->setText(m_model.deviceTransportText(device));
}

}
