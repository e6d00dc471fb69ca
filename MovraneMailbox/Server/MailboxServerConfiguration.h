// The mailbox server's tunables, each with its default, and the request the server hands its handler.
#pragma once

#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxPairing.h"
#include "MovraneMailbox/Protocol/MailboxRelay.h"

#include <filesystem>
#include <optional>
#include <system_error>

namespace movrane {

// Durations are in seconds.
struct MailboxServerConfiguration {
    // The poll interval while an envelope from a device was opened within `activeWindow`.
    double activePollInterval = 2;
    double activeWindow = 180;
    // The poll interval otherwise, and the pause after a `busy` store error that names no wait.
    double idlePollInterval = 30;
    double presenceInterval = 300;
    double cleanupInterval = 3600;
    // Envelopes older than this are deleted by the clean-up.
    double cleanupAge = 86400;
    double watchMinInterval = 2;
    double watchLifetime = 600;
    double backgroundWatchLifetime = 7200;
    int watchPollWait = 25;
    // Requests handed to the handler at the same time; the next one is refused as busy.
    int maxConcurrentRequests = 8;
    int maxWatchesPerDevice = 8;
    // How long the envelopes the server seals stay valid (kept within 1 ... 86,400).
    double lifetime = 900;
    // Most tries of one store call; 1 or less means a single try.
    int storeAttempts = 4;
    // Where received attachments are decrypted and outgoing ones encrypted.
    std::filesystem::path temporaryDirectory = defaultTemporaryDirectory();

    static std::filesystem::path defaultTemporaryDirectory()
    {
        std::error_code error;
        auto folder = std::filesystem::temp_directory_path(error);
        return error ? std::filesystem::path("/tmp") : folder;
    }
};

// One request the server hands to its handler: a request envelope, or a job poll of a watch.
struct MailboxInboundRequest {
    // The pairing of the device that sent it.
    MailboxPairing pairing;
    MailboxRelayRequest request;
    // The decrypted attachment of an upload, in the server's temporary folder. The server removes it
    // once the handler has returned; the handler may move it away first.
    std::optional<std::filesystem::path> bodyFile;
    // For a request envelope, the creation time the sender stated inside it (the sender's clock).
    MailboxTime receivedAt;
};

}
