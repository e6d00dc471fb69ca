#include "VellumarMacCore/Mailbox/AppEntitlements.h"

#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"

#include <algorithm>

namespace vellumar::AppEntitlements {

namespace {

    constexpr std::string_view kApplicationIdentifier = "com.apple.application-identifier";
    constexpr std::string_view kPushEnvironment = "com.apple.developer.aps-environment";
    constexpr std::string_view kICloudServices = "com.apple.developer.icloud-services";
    constexpr std::string_view kICloudContainers = "com.apple.developer.icloud-container-identifiers";

    bool contains(const std::vector<std::string>& list, std::string_view item)
    {
        return std::find(list.begin(), list.end(), item) != list.end();
    }

}

bool hasApplicationIdentifier(const platform::Entitlements& entitlements)
{
    return entitlements.has(kApplicationIdentifier);
}

bool canReceivePushes(const platform::Entitlements& entitlements)
{
    return entitlements.has(kPushEnvironment);
}

bool canUseICloud(const platform::Entitlements& entitlements)
{
    bool servicesAllowCloudKit = false;
    if (auto services = entitlements.strings(kICloudServices))
        servicesAllowCloudKit = contains(*services, "CloudKit") || contains(*services, "*");
    else if (auto service = entitlements.string(kICloudServices))
        servicesAllowCloudKit = *service == "*";
    if (!servicesAllowCloudKit)
        return false;
    return contains(
        entitlements.strings(kICloudContainers).value_or(std::vector<std::string> {}), kContainer);
}

std::optional<MacMailboxSetup> mailboxSetup(
    const platform::Entitlements& entitlements, MailboxSetupOptions options)
{
    if (!canUseICloud(entitlements))
        return std::nullopt;
    auto backend
        = std::make_shared<movrane::SecItemMailboxKeychainBackend>(hasApplicationIdentifier(entitlements));
    movrane::MailboxServerConfiguration server;
    server.temporaryDirectory = std::move(options.temporaryDirectory);
    return MacMailboxSetup {
        .store = std::make_shared<movrane::CloudKitMailboxStore>(std::string(kContainer),
            platform::CloudDatabaseOptions { .folder = std::move(options.cloudFolder) }),
        .keyStore = std::make_shared<movrane::KeychainMailboxKeyStore>(
            std::string(movrane::KeychainMailboxKeyStore::defaultService), std::move(backend)),
        .storage = std::make_shared<movrane::FileMailboxStateStorage>(std::move(options.stateDirectory)),
        .clock = std::make_shared<movrane::SystemMailboxClock>(),
        .server = std::move(server),
        .appVersion = std::move(options.appVersion),
        .macName = std::move(options.macName),
        .log = std::move(options.log),
    };
}

}
