// What the application's entitlements allow of the iCloud mailbox and of pushes, and the mailbox's
// set-up when they allow it.
#pragma once

#include "VellumarMacCore/Mailbox/MacMailboxSetup.h"

#include "Platform/Entitlements.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::AppEntitlements {

inline constexpr std::string_view kContainer = "iCloud.com.zu.plimsor";

bool hasApplicationIdentifier(const platform::Entitlements& entitlements);
bool canReceivePushes(const platform::Entitlements& entitlements);
// The iCloud services hold "CloudKit" or "*" (a single string counts only as "*") and the
// container list holds the mailbox's container.
bool canUseICloud(const platform::Entitlements& entitlements);

struct MailboxSetupOptions {
    // The cloud database's folder of this machine; the data folder's "cloud".
    std::filesystem::path cloudFolder;
    // The channel-state files; the data folder's "mailbox".
    std::filesystem::path stateDirectory;
    // The data folder's "incoming".
    std::filesystem::path temporaryDirectory;
    std::optional<std::string> appVersion;
    std::function<std::string()> macName;
    std::function<void(std::string_view)> log;
};

// The mailbox's set-up, or none when the entitlements do not allow the iCloud mailbox. Creates
// nothing on disk.
std::optional<MacMailboxSetup> mailboxSetup(
    const platform::Entitlements& entitlements, MailboxSetupOptions options);

}
