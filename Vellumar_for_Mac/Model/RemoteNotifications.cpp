#include "Vellumar_for_Mac/Model/RemoteNotifications.h"

#include "Platform/Log.h"

#include <QCoreApplication>

#include <chrono>

namespace vellumar {

namespace {

    // How soon a stop is noticed between datagrams.
    constexpr std::chrono::milliseconds kReceiveSlice { 200 };

}

RemoteNotifications::RemoteNotifications(ListenerMaker makeListener)
    : m_makeListener(std::move(makeListener))
{
}

RemoteNotifications::~RemoteNotifications() = default;

bool RemoteNotifications::registerForPushes(std::function<void(std::string)> push)
{
    if (m_listener || m_bindFailed)
        return !m_bindFailed;
    try {
        m_listener = m_makeListener();
    } catch (const std::exception& error) {
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
