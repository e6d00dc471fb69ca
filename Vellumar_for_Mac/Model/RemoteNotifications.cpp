#include "Vellumar_for_Mac/Model/RemoteNotifications.h"

#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "Platform/Log.h"

#include <QCoreApplication>

#include <chrono>
#include <system_error>

namespace vellumar {

namespace {

    // How soon a stop is noticed between datagrams.
    constexpr std::chrono::milliseconds kReceiveSlice { 200 };

}

RemoteNotifications::RemoteNotifications(std::filesystem::path pushFolder)
    : m_pushFolder(std::move(pushFolder))
{
}

RemoteNotifications::~RemoteNotifications() = default;

std::unique_ptr<RemoteNotifications> RemoteNotifications::forMailbox(
    const std::optional<MacMailboxSetup>& setup)
{
    auto* store = setup ? dynamic_cast<movrane::CloudKitMailboxStore*>(setup->store.get()) : nullptr;
    if (!store)
        return nullptr;
    try {
        return std::make_unique<RemoteNotifications>(store->container().pushFolder());
    } catch (const std::exception& error) {
        platform::logError(std::string("push registration failed: ") + error.what());
        return nullptr;
    }
}

bool RemoteNotifications::registerForPushes(std::function<void(std::string)> push)
{
    if (m_listener || m_bindFailed)
        return !m_bindFailed;
    try {
        m_listener = std::make_unique<platform::CloudPushListener>(m_pushFolder);
    } catch (const std::system_error& error) {
        platform::logError(std::string("push registration failed: ") + error.what());
        m_bindFailed = true;
        return false;
    }
    m_receiver = std::jthread([this, push = std::move(push)](std::stop_token stop) { receive(stop, push); });
    return true;
}

void RemoteNotifications::observeAccountChanges(std::function<void()> changed)
{
    std::lock_guard guard(m_lock);
    m_accountObservers.push_back(std::move(changed));
}

void RemoteNotifications::receive(std::stop_token stop, std::function<void(std::string)> push)
{
    while (!stop.stop_requested()) {
        auto message = m_listener->receive(kReceiveSlice);
        if (!message)
            continue;
        if (*message == platform::cloudAccountChangedNotice) {
            std::vector<std::function<void()>> observers;
            {
                std::lock_guard guard(m_lock);
                observers = m_accountObservers;
            }
            for (const auto& observer : observers)
                observer();
            continue;
        }
        if (QCoreApplication* application = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                application, [push, text = std::move(*message)] { push(text); }, Qt::QueuedConnection);
    }
}

}
