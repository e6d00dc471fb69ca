#include "Vellumar_for_Mac/Updater/Updater.h"

#include <nlohmann/json.hpp>

namespace vellumar {

Updater::Updater(const nlohmann::json* publicKey, const ControllerFactory& makeController,
    std::function<void()> activate, QObject* parent)
    : QObject(parent)
    , m_activate(std::move(activate))
{
    auto key = platform::updatePublicKey(publicKey);
    if (!key)
        return;
    m_controller = makeController(*key, *this);
    auto follow = [this](bool canCheck) {
        if (m_canCheckForUpdates == canCheck)
            return;
        m_canCheckForUpdates = canCheck;
        emit canCheckForUpdatesChanged();
    };
    connect(m_controller.get(), &UpdaterController::canCheckForUpdatesChanged, this, follow);
    follow(m_controller->canCheckForUpdates());
}

Updater::~Updater() = default;

void Updater::checkForUpdates()
{
    if (m_activate)
        m_activate();
    setUpdateWaiting(false);
    if (m_controller)
        m_controller->checkForUpdates();
}

void Updater::standardUserDriverWillHandleShowingUpdate(
    bool, const platform::UpdateItem&, const UserUpdateState& state)
{
    if (!state.userInitiated)
        setUpdateWaitingOnMainThread(true);
}

void Updater::standardUserDriverDidReceiveUserAttentionForUpdate(const platform::UpdateItem&)
{
    setUpdateWaitingOnMainThread(false);
}

void Updater::standardUserDriverWillFinishUpdateSession() { setUpdateWaitingOnMainThread(false); }

void Updater::setUpdateWaiting(bool waiting)
{
    if (m_updateWaiting == waiting)
        return;
    m_updateWaiting = waiting;
    emit updateWaitingChanged();
}

void Updater::setUpdateWaitingOnMainThread(bool waiting)
{
    // Queued to the Updater, which lives on the main thread: it runs there, later, and not at all
    // once the Updater is gone.
    QMetaObject::invokeMethod(
        this, [this, waiting] { setUpdateWaiting(waiting); }, Qt::QueuedConnection);
}

}
