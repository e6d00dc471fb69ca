// The one table from the cloud database's failures, and from any other failure, to MailboxError.
#include "MovraneMailbox/CloudStore/CloudKitMailboxMapping.h"

#include "MovraneMailbox/Protocol/MailboxStoreRetry.h"

#include <system_error>

namespace movrane::CloudKitMailboxMapping {

namespace {

    using vellumar::platform::CloudDatabaseError;
    namespace Code = vellumar::platform::CloudErrorCode;

    MailboxError cloudError(const CloudDatabaseError& error);

    // The first item error that is not batchRequestFailed says what went wrong; the others only
    // failed with it.
    MailboxError partialFailure(const CloudDatabaseError& error)
    {
        for (const auto& [item, itemError] : error.partialErrors) {
            if (itemError.code() != Code::batchRequestFailed)
                return cloudError(itemError);
        }
        if (!error.partialErrors.empty())
            return cloudError(error.partialErrors.front().second);
        return MailboxError::other(Code::partialFailure);
    }

    MailboxError cloudError(const CloudDatabaseError& error)
    {
        using Kind = MailboxError::Kind;
        int code = error.code();
        switch (code) {
        case Code::partialFailure:
            return partialFailure(error);
        case 3: // networkUnavailable
        case 4: // networkFailure
        case 34: // serverResponseLost
            return MailboxError::network(error.retryAfterSeconds());
        case 6: // serviceUnavailable
        case Code::requestRateLimited:
        case 23: // zoneBusy
            return MailboxError::busy(error.retryAfterSeconds());
        case Code::badContainer:
        case 8: // missingEntitlement
        case Code::permissionFailure:
        case Code::invalidArguments:
        case 15: // serverRejectedRequest
        case Code::incompatibleVersion:
        case 19: // constraintViolation
        case Code::badDatabase:
            return MailboxError::misconfigured(code);
        case Code::notAuthenticated:
            return MailboxError::account(MailboxAccountState::noAccount);
        case Code::unknownItem:
            return MailboxError(Kind::notFound);
        case Code::serverRecordChanged:
            return MailboxError(Kind::alreadyExists);
        case 20: // operationCancelled
            return MailboxError(Kind::cancelled);
        case Code::changeTokenExpired:
            return MailboxError(Kind::changeTokenExpired);
        case Code::quotaExceeded:
            return MailboxError(Kind::quotaExceeded);
        case Code::zoneNotFound:
            return MailboxError(error.userDidResetEncryptedData.value_or(false) ? Kind::encryptedDataReset
                                                                                : Kind::zoneMissing);
        case Code::limitExceeded:
            return MailboxError(Kind::tooLarge);
        case Code::userDeletedZone:
            return MailboxError(Kind::zoneMissing);
        case Code::managedAccountRestricted:
            return MailboxError::account(MailboxAccountState::restricted);
        case Code::accountTemporarilyUnavailable:
            return MailboxError::account(MailboxAccountState::temporarilyUnavailable);
        default:
            // internalError, the codes without a case of their own, and codes past the last.
            return MailboxError::other(code);
        }
    }

}

MailboxError mailboxError(const std::exception_ptr& error) noexcept
{
    if (!error)
        return MailboxError::other(0);
    try {
        std::rethrow_exception(error);
    } catch (const CloudDatabaseError& cloud) {
        return cloudError(cloud);
    } catch (const URLError&) {
        return MailboxError::network(std::nullopt);
    } catch (const std::system_error& system) {
        // File-system and other system failures keep their error number.
        return MailboxError::other(system.code().value());
    } catch (...) {
        // Mailbox errors pass unchanged and a cancellation stays one, as for every store.
        return MailboxStoreRetry::mapped(error);
    }
}

}
