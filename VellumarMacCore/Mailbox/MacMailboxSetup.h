// Everything the Mac's mailbox is built from: its store, key store, channel-state storage, clock, server
// tuning, version, name and log, and the intervals of its background work.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxKeyStore.h"
#include "MovraneMailbox/Protocol/MailboxStore.h"
#include "MovraneMailbox/Server/MailboxServerConfiguration.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar {

// A plain value; the closures are called from the mailbox's own threads.
struct MacMailboxSetup {
    // The iCloud database of the mailbox.
    std::shared_ptr<movrane::MailboxStore> store;
    std::shared_ptr<movrane::MailboxKeyStore> keyStore;
    std::shared_ptr<movrane::MailboxStateStorage> storage;
    std::shared_ptr<movrane::MailboxClock> clock;
    // The mailbox server's tuning, with the folder where it keeps the files it is receiving.
    movrane::MailboxServerConfiguration server;
    // Sent in presence records.
    std::optional<std::string> appVersion;
    // The Mac's display name, asked each time presence is built.
    std::function<std::string()> macName;
    // One-line diagnostics of the mailbox.
    std::function<void(std::string_view)> log;

    // Seconds. Re-check of a usable iCloud account, and while it is not usable or not yet known.
    double accountCheckInterval = 300;
    double accountRetryInterval = 60;
    // The period of the mailbox's background loop.
    double statusInterval = 15;
    // The wait before a forgotten pairing's zone is removed.
    double forgetDelay = 10;
    // The bound on iCloud questions asked while a device registers.
    double pairingTimeout = 4;
    // How long a device counts as recently active.
    double recentWindow = 180;
};

}
