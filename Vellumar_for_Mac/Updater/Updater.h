// The application's side of the update framework: starts it only under a well-formed signing key,
// and publishes for the menu whether a check may start and whether a scheduled check found an
// update that waits for the user.
#pragma once

#include "Vellumar_for_Mac/Updater/UpdaterController.h"

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <memory>

namespace vellumar {

// Lives on the main thread; its flags change only there, whatever thread the framework calls from.
class Updater final : public QObject, public UserDriverDelegate {
    Q_OBJECT

public:
    using ControllerFactory = std::function<std::unique_ptr<UpdaterController>(
        const platform::UpdatePublicKey& key, UserDriverDelegate&)>;

    // `publicKey` is the bundle's "SUPublicEDKey" value (null when absent). Only when it passes the
    // key gate is the controller made, at once, and followed from its first value on. `activate`
    // brings the application to the front before a user's check shows the framework's alerts.
    Updater(const nlohmann::json* publicKey, const ControllerFactory& makeController,
        std::function<void()> activate = {}, QObject* parent = nullptr);
    ~Updater() override;

    bool canCheckForUpdates() const noexcept { return m_canCheckForUpdates; }
    bool updateWaiting() const noexcept { return m_updateWaiting; }
    // None when the key gate refused; never replaced.
    UpdaterController* controller() const noexcept { return m_controller.get(); }

    // The menu's update item: activates the application, clears the reminder and, with a
    // controller, starts a user check.
    void checkForUpdates();

    bool supportsGentleScheduledUpdateReminders() const override { return true; }
    void standardUserDriverWillHandleShowingUpdate(
        bool handleShowingUpdate, const platform::UpdateItem& update, const UserUpdateState& state) override;
    void standardUserDriverDidReceiveUserAttentionForUpdate(const platform::UpdateItem& update) override;
    void standardUserDriverWillFinishUpdateSession() override;

signals:
    void canCheckForUpdatesChanged();
    void updateWaitingChanged();

private:
    void setUpdateWaiting(bool waiting);
    // Sets the flag later on the main thread; callable from any thread.
    void setUpdateWaitingOnMainThread(bool waiting);

    std::function<void()> m_activate;
    bool m_canCheckForUpdates = false;
    bool m_updateWaiting = false;
    std::unique_ptr<UpdaterController> m_controller;
};

}
