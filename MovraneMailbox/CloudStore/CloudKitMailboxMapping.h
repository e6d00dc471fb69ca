// How the mailbox lives in the cloud database: the "Envelope" and "Presence" records field by field in
// both directions, the query subscriptions with their notification info, the zone a push names, the
// archived change token, the account status, and the one table that turns any failure into a
// MailboxError. Both ends of the mailbox read and write exactly these records. Stateless: safe from
// any thread.
#pragma once

#include "MovraneMailbox/Protocol/MailboxStore.h"
#include "Platform/CloudRecord.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <exception>
#include <optional>
#include <string>

namespace movrane::CloudKitMailboxMapping {

// A new "Envelope" record named after the envelope, with "to", "notify", "createdAt", "size",
// "payload" (when the record has one) and, when `assetFile` is set, "asset".
vellumar::platform::CloudRecord envelopeCKRecord(const MailboxEnvelopeRecord& record);
// A new "Presence" record named "presence", with "updatedAt" and "payload".
vellumar::platform::CloudRecord presenceCKRecord(const MailboxPresenceRecord& record);

// The envelope a record holds, `assetFile` empty. Throws MailboxCryptoError malformed for a record of
// another type, a required field missing or of another type, an unknown notify text or a name that
// is not a mailbox record name. The record is taken by value, so that a feed's payloads are moved.
MailboxEnvelopeRecord envelopeRecord(vellumar::platform::CloudRecord record);
// Throws MailboxCryptoError malformed unless the record is a "Presence" with "updatedAt" and "payload".
MailboxPresenceRecord presenceRecord(const vellumar::platform::CloudRecord& record);

// "to" equal to the recipient, and "notify" equal to the kind when the subscription names one.
vellumar::platform::CloudPredicate subscriptionPredicate(const MailboxSubscriptionSpec& wanted);
// A subscription on "Envelope" records created in the zone: content-available always, and for an
// alert its two localisation keys with the sound "default".
vellumar::platform::CloudQuerySubscription subscription(
    const MailboxSubscriptionSpec& wanted, const std::string& zone);

// The zone of the mailbox subscription that fired a push, from the push's user info; absent for a push
// that is not the cloud database's, names no subscription, or names one that is not the mailbox's.
std::optional<std::string> subscriptionID(const vellumar::JSON& userInfo);

// The bytes callers keep for a token; absent when it cannot be archived.
std::optional<MailboxBytes> archiveToken(const vellumar::platform::CloudChangeToken& token);
// Absent for bytes that are not an archived token.
std::optional<vellumar::platform::CloudChangeToken> unarchiveToken(const MailboxBytes& bytes);

// Each known status to the state of the same name; any other value is couldNotDetermine.
MailboxAccountState accountState(vellumar::platform::CloudAccountStatus status);

// Any failure as a MailboxError; a MailboxError passes unchanged. Never throws.
MailboxError mailboxError(const std::exception_ptr& error) noexcept;

}
