// The mailbox's fixed numbers and names, shared by both ends and every envelope, and its two small
// enumerations: how a stored envelope wakes its recipient, and which end of a pairing speaks.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace movrane {

namespace MailboxProtocol {
    inline constexpr std::string_view containerIdentifier = "iCloud.com.zu.plimsor";
    inline constexpr int version = 1;
    inline constexpr std::string_view envelopeRecordType = "Envelope";
    inline constexpr std::string_view presenceRecordType = "Presence";
    inline constexpr std::string_view presenceRecordName = "presence";
    inline constexpr std::size_t maxEnvelopeBytes = 921'600;
    inline constexpr std::size_t maxInlineBytes = 819'200;
    inline constexpr std::size_t maxMetadataBytes = 32'768;
    inline constexpr std::size_t maxAttachmentBytes = 52'428'800;
    // Seconds. Equal values below have separate roles and stay separate constants.
    inline constexpr double defaultLifetime = 900;
    inline constexpr double maxLifetime = 86'400;
    inline constexpr double maxClockSkew = 300;
    inline constexpr double replayWindow = 300;
    inline constexpr double presenceLifetime = 86'400;
    inline constexpr double watchLifetime = 600;
    inline constexpr double backgroundWatchLifetime = 7'200;
    inline constexpr double watchMinInterval = 2;
    inline constexpr std::array<std::string_view, 2> lanOnlyPaths { "/v1/pair", "/v1/mailbox/register" };

    // CloudKit field names of the "Envelope" and "Presence" records.
    namespace Field {
        inline constexpr std::string_view to = "to";
        inline constexpr std::string_view notify = "notify";
        inline constexpr std::string_view createdAt = "createdAt";
        inline constexpr std::string_view size = "size";
        inline constexpr std::string_view payload = "payload";
        inline constexpr std::string_view asset = "asset";
        inline constexpr std::string_view updatedAt = "updatedAt";
    }

    // Whether a request that came through the mailbox must be refused with 403 "lan_only": its path
    // without the query and without one final "/" (when at least two characters long) is listed,
    // compared exactly.
    bool isLANOnly(std::string_view path);
    // A requested lifetime clamped to 1 ... 86,400 s.
    double clampedLifetime(double requestedSeconds);
}

enum class MailboxNotify { none, silent, reply, approval, routine };
inline constexpr std::array<MailboxNotify, 5> allMailboxNotifyCases { MailboxNotify::none, MailboxNotify::silent,
    MailboxNotify::reply, MailboxNotify::approval, MailboxNotify::routine };

enum class MailboxRole { mac, device };

std::string_view rawValue(MailboxNotify notify);
std::string_view rawValue(MailboxRole role);
// Exact, case-sensitive raw values; anything else is absent.
std::optional<MailboxNotify> mailboxNotify(std::string_view raw);
std::optional<MailboxRole> mailboxRole(std::string_view raw);
// True for the three kinds that have alert subscriptions: reply, approval and routine.
bool alerts(MailboxNotify notify);

// JSON forms: the raw value as one string. Decoding throws MailboxDecodingError for any other value.
vellumar::JSON toJSON(MailboxNotify notify);
vellumar::JSON toJSON(MailboxRole role);
MailboxNotify mailboxNotifyFromJSON(const vellumar::JSON& json);
MailboxRole mailboxRoleFromJSON(const vellumar::JSON& json);

}
