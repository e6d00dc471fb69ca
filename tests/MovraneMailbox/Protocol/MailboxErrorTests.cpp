#include "MovraneMailbox/Protocol/MailboxAttachment.h"
#include "MovraneMailbox/Protocol/MailboxCryptoError.h"
#include "MovraneMailbox/Protocol/MailboxError.h"
#include "MovraneMailbox/Protocol/MailboxRelay.h"
#include "MovraneMailbox/Protocol/MailboxStore.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace movrane {
namespace {

    using Kind = MailboxError::Kind;

    TEST(MailboxError, EqualityComparesTheCaseAndEveryPayload)
    {
        EXPECT_NE(MailboxError::busy(std::nullopt), MailboxError::busy(0));
        EXPECT_NE(MailboxError::busy(3), MailboxError::network(3));
        EXPECT_NE(MailboxError::misconfigured(8), MailboxError::other(8));
        EXPECT_EQ(MailboxError::account(MailboxAccountState::restricted), MailboxError::account(MailboxAccountState::restricted));
        EXPECT_FALSE(MailboxError::account(MailboxAccountState::noAccount).isTransient());
        EXPECT_TRUE(MailboxError::account(MailboxAccountState::couldNotDetermine).isTransient());
        EXPECT_TRUE(MailboxError::network(std::nullopt).isTransient());
        EXPECT_FALSE(MailboxError(Kind::quotaExceeded).isTransient());
        EXPECT_EQ(MailboxError(Kind::quotaExceeded).retryAfter(), std::nullopt);
        EXPECT_EQ(MailboxError::network(std::nullopt).retryAfter(), std::nullopt);
        EXPECT_EQ(MailboxError::busy(2.5).retryAfter(), 2.5);
    }

    TEST(MailboxErrorLogText, NamesTheCaseWithItsPayloadAndNothingElse)
    {
        const std::pair<std::exception_ptr, const char*> cases[] = {
            { std::make_exception_ptr(MailboxError::busy(std::nullopt)), "busy(retryAfter: nil)" },
            { std::make_exception_ptr(MailboxError::busy(3)), "busy(retryAfter: Optional(3.0))" },
            { std::make_exception_ptr(MailboxError::network(0.25)), "network(retryAfter: Optional(0.25))" },
            { std::make_exception_ptr(MailboxError::misconfigured(12)), "misconfigured(code: 12)" },
            { std::make_exception_ptr(MailboxError::other(2)), "other(code: 2)" },
            { std::make_exception_ptr(MailboxError::account(MailboxAccountState::noAccount)),
                "account(MovraneMailbox.MailboxAccountState.noAccount)" },
            { std::make_exception_ptr(MailboxError(Kind::changeTokenExpired)), "changeTokenExpired" },
            { std::make_exception_ptr(MailboxCryptoError::unsupportedVersion(2)), "unsupportedVersion(2)" },
            { std::make_exception_ptr(MailboxAttachmentError(MailboxAttachmentError::Kind::damaged)), "damaged" },
            { std::make_exception_ptr(MailboxClientError()), "timedOut" },
            { std::make_exception_ptr(MailboxCancelledError()), "cancelled" },
            { std::make_exception_ptr(std::runtime_error("disk /Users/me/secret failed")), "error" },
            { std::make_exception_ptr(42), "error" },
        };
        for (const auto& [error, text] : cases) {
            SCOPED_TRACE(text);
            EXPECT_EQ(mailboxErrorLogText(error), text);
        }
    }

    TEST(MailboxURLError, FailuresBecomeTheURLErrorsOfTheirKind)
    {
        auto codeOf = [](const std::exception_ptr& error) -> std::optional<URLError::Code> {
            try {
                std::rethrow_exception(urlError(error));
            } catch (const URLError& url) {
                return url.code();
            } catch (...) {
                return std::nullopt;
            }
        };
        using Code = URLError::Code;
        EXPECT_EQ(codeOf(std::make_exception_ptr(MailboxError::busy(1))), Code::cannotConnectToHost);
        EXPECT_EQ(codeOf(std::make_exception_ptr(MailboxError(Kind::quotaExceeded))), Code::cannotConnectToHost);
        EXPECT_EQ(codeOf(std::make_exception_ptr(MailboxError::network(std::nullopt))), Code::notConnectedToInternet);
        EXPECT_EQ(codeOf(std::make_exception_ptr(MailboxClientError())), Code::timedOut);
        EXPECT_EQ(codeOf(std::make_exception_ptr(MailboxRequestError())), Code::badURL);
        EXPECT_EQ(codeOf(std::make_exception_ptr(MailboxCryptoError(MailboxCryptoError::Kind::expired))), Code::cannotConnectToHost);

        // The store's cancellation becomes a fresh cancellation, not a URL error.
        auto cancelled = urlError(std::make_exception_ptr(MailboxError(Kind::cancelled)));
        EXPECT_THROW(std::rethrow_exception(cancelled), MailboxCancelledError);

        // A URL error passes unchanged: the same object, no second level of underlying error.
        auto original = std::make_exception_ptr(URLError(Code::timedOut, std::make_exception_ptr(MailboxClientError())));
        EXPECT_EQ(urlError(original), original);
        try {
            std::rethrow_exception(urlError(std::make_exception_ptr(MailboxError::network(1))));
        } catch (const URLError& url) {
            EXPECT_EQ(mailboxErrorLogText(url.underlying()), "network(retryAfter: Optional(1.0))");
        }
    }

    TEST(MailboxEnvelopeRecord, AnExplicitHasAssetWinsBothWays)
    {
        auto record = [](std::optional<std::filesystem::path> asset, std::optional<bool> hasAsset) {
            return MailboxEnvelopeRecord("e-x", "mac", MailboxNotify::none, {}, 1, MailboxBytes {}, asset, hasAsset).hasAsset;
        };
        EXPECT_TRUE(record("/tmp/asset", std::nullopt));
        EXPECT_FALSE(record(std::nullopt, std::nullopt));
        EXPECT_FALSE(record("/tmp/asset", false));
        EXPECT_TRUE(record(std::nullopt, true));
        MailboxChanges changes;
        auto more = changes;
        more.moreComing = true;
        EXPECT_NE(changes, more);
    }

}
}
