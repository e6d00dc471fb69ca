// The root of the conversation data: every store of conversation state, built once over the
// application's data folder, and the places in that folder that the relay host uses.
#pragma once

#include "VellumarMacCore/ConversationData/ActivityLog.h"
#include "VellumarMacCore/ConversationData/ApprovalStore.h"
#include "VellumarMacCore/ConversationData/MemoryStore.h"
#include "VellumarMacCore/ConversationData/SessionStore.h"
#include "VellumarMacCore/ConversationData/UploadStore.h"
#include "VellumarMacCore/ConversationData/Workspaces.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace vellumar {

// One shared instance for the life of the application. Its fields are set in the constructor, in
// the order they are declared, and never replaced; it holds no lock, since each store guards
// itself, and may be used from any thread once built.
class RelayData final {
public:
    using Labels = std::map<std::string, std::string, std::less<>>;

    struct Options {
        // The data folder; kept as given.
        std::filesystem::path folder;
        // The user's home folder; the resolver keeps it with its symbolic links resolved.
        std::filesystem::path home;
        // Display labels of approval kinds; `defaultLabels` when absent.
        std::optional<Labels> labels {};
        // Bytes one conversation's work folder may hold.
        std::int64_t quota = Workspaces::defaultQuota;
    };

    // The longest wait, in seconds, for a file-system probe of a folder.
    static constexpr double probeTimeoutSeconds = 3.0;

    // "bash" -> "Running commands", "write" -> "Writing to the allowed folders".
    static const Labels& defaultLabels();

    // Cannot fail and creates nothing on disk; the session store reads "sessions.json" if it can,
    // and the stores remove the temporary files of their killed writes.
    explicit RelayData(Options options);
    RelayData(const RelayData&) = delete;
    RelayData& operator=(const RelayData&) = delete;

    const std::filesystem::path folder;
    const Workspaces workspaces;
    SessionStore sessions;
    MemoryStore memory;
    ActivityLog activity;
    ApprovalStore approvals;
    const PermissionResolver resolver;
    const UploadStore uploads;

    // The spool folder "incoming" for request bodies; computed, nothing is touched.
    std::filesystem::path incomingFolder() const;
    // The routine manager's file "routines.json"; computed, nothing is touched.
    std::filesystem::path routinesFile() const;

    // Removes every entry of the spool folder whose name begins with ".incoming-" or "mailbox-",
    // however new, and leaves all others. A folder that cannot be listed counts as empty and a
    // failed removal is skipped; nothing is reported. Call it before anything can spool.
    void sweepIncoming() const;
};

}
