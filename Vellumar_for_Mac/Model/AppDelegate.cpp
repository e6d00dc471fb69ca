#include "Vellumar_for_Mac/Model/AppDelegate.h"

#include "Vellumar_for_Mac/Model/PushRelay.h"
#include "VellumarMacCore/Mailbox/AppEntitlements.h"
#include "VellumarMacCore/Mailbox/MacMailboxNotification.h"

#include <QGuiApplication>

namespace vellumar {

namespace {

    void answerRegistration(bool registered)
    {
        PushRelay& relay = PushRelay::shared();
        relay.registered = registered;
        if (relay.onRegistration)
            relay.onRegistration(registered);
    }

}

void AppDelegate::applicationDidFinishLaunching(
    const platform::Entitlements& entitlements, const PushRegistration& registerForRemoteNotifications)
{
    // An accessory: closing the pairing or onboarding window must not end the menu-bar extra.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    if (!AppEntitlements::canReceivePushes(entitlements) || !AppEntitlements::canUseICloud(entitlements))
        return;
    if (registerForRemoteNotifications())
        didRegisterForRemoteNotifications();
    else
        didFailToRegisterForRemoteNotifications();
}

void AppDelegate::didRegisterForRemoteNotifications() { answerRegistration(true); }

void AppDelegate::didFailToRegisterForRemoteNotifications() { answerRegistration(false); }

void AppDelegate::didReceiveRemoteNotification(std::string_view userInfo)
{
    PushRelay& relay = PushRelay::shared();
    if (isMailboxNotification(userInfo) && relay.onPush)
        relay.onPush();
}

}
