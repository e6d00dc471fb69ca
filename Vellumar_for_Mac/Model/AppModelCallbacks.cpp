// What the core tells the model: the paired devices, the running jobs, the open terminals, a
// completed pairing and a pairing code presented again.
#include "Vellumar_for_Mac/Model/AppModel.h"
#include "Vellumar_for_Mac/Model/LatestOnMainThread.h"

#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"

#include <algorithm>

namespace vellumar {

void AppModel::observeCore()
{
    // Each handler runs on a core thread and holds the model weakly: a value that arrives after the
    // model is gone is dropped.
    QPointer<AppModel> model(this);
    // Every authenticated request sends a list; the menu needs only the newest, a few times a second.
    m_host->devices().observe(
        LatestOnMainThread<DeviceRegistry::Snapshot>([model](DeviceRegistry::Snapshot devices) {
            if (model)
                model->publish(model->m_devices, std::move(devices), &AppModel::devicesChanged);
        }));
    m_host->jobs().observeRunning([model](std::size_t running) {
        onMainThread(model, [running](AppModel& self) {
            self.publish(self.m_runningJobs, static_cast<int>(running), &AppModel::runningJobsChanged);
        });
    });
    m_host->terminals().observe([model](const std::vector<TerminalSessions::Summary>& terminals) {
        onMainThread(model, [terminals](AppModel& self) {
            self.publish(self.m_terminals, terminals, &AppModel::terminalsChanged);
        });
    });
    m_host->onPaired([model](const PairedDevice& device) {
        onMainThread(model, [device](AppModel& self) { self.devicePaired(device); });
    });
    m_host->onCodeReused([model](const PairedDevice& device) {
        onMainThread(model, [device](AppModel& self) { self.pairingCodeReused(device); });
    });
}

void AppModel::pairingCodeReused(const PairedDevice& device)
{
    bool paired = std::any_of(m_devices->begin(), m_devices->end(),
        [&](const PairedDevice& known) { return known.id == device.id; });
    if (!paired)
        return;
    constexpr int kRemove = 0;
    constexpr int kKeep = 1;
    int chosen = m_alerts->run({
        .style = Alert::Style::critical,
        .message = m_texts.text("mac.pair.reused.title"),
        .informative = m_texts.text("mac.pair.reused.message", { QString::fromStdString(device.name) }),
        .buttons = { m_texts.text("mac.pair.reused.remove"), m_texts.text("mac.pair.reused.keep") },
        .safeButton = kKeep,
    });
    if (chosen == kRemove)
        removeDevice(device);
}

}
