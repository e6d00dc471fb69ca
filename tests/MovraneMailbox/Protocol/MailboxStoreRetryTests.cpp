#include "MovraneMailbox/Protocol/MailboxStoreRetry.h"

#include "tests/MovraneMailbox/ManualMailboxClock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>

namespace movrane {
namespace {

    using Kind = MailboxError::Kind;

    struct Outcome {
        std::string result;
        std::vector<double> sleeps;
        int tries = 0;
    };

    // Runs a call that fails with `failures` in turn and then succeeds.
    Outcome retried(std::deque<MailboxError> failures, int attempts)
    {
        test::ManualMailboxClock clock;
        Outcome outcome;
        try {
            MailboxStoreRetry::run(clock, attempts, {}, [&] {
                ++outcome.tries;
                if (!failures.empty()) {
                    auto error = failures.front();
                    failures.pop_front();
                    throw error;
                }
            });
            outcome.result = "succeeded";
        } catch (const MailboxError& error) {
            outcome.result = error.what();
        }
        outcome.sleeps = clock.sleeps();
        return outcome;
    }

    TEST(MailboxStoreRetry, WaitsAndGivesUpByTheKindOfFailure)
    {
        auto busy = MailboxError::busy(std::nullopt);
        auto nan = std::numeric_limits<double>::quiet_NaN();
        auto infinity = std::numeric_limits<double>::infinity();
        struct Case {
            const char* name;
            std::deque<MailboxError> failures;
            int attempts;
            std::string result;
            std::vector<double> sleeps;
        } cases[] = {
            { "busy three times", { busy, busy, busy }, 4, "succeeded", { 1, 2, 4 } },
            { "busy four times", { busy, busy, busy, busy }, 4, busy.what(), { 1, 2, 4 } },
            { "retry-after above the cap", { MailboxError::busy(60) }, 4, "succeeded", { 30 } },
            { "retry-after as given", { MailboxError::network(12) }, 4, "succeeded", { 12 } },
            { "negative retry-after", { MailboxError::busy(-5) }, 4, "succeeded", { -5 } },
            { "NaN retry-after", { MailboxError::busy(nan), MailboxError::busy(nan) }, 4, "succeeded",
                { 1, 2 } },
            { "endless retry-after", { MailboxError::network(infinity) }, 4, "succeeded", { 1 } },
            { "account briefly away", { MailboxError::account(MailboxAccountState::temporarilyUnavailable) },
                4, "succeeded", { 1 } },
            { "account undetermined", { MailboxError::account(MailboxAccountState::couldNotDetermine) }, 4,
                "succeeded", { 1 } },
            { "no account", { MailboxError::account(MailboxAccountState::noAccount) }, 4,
                "account(MovraneMailbox.MailboxAccountState.noAccount)", {} },
            { "quota", { MailboxError(Kind::quotaExceeded) }, 4, "quotaExceeded", {} },
            { "zone missing", { MailboxError(Kind::zoneMissing) }, 4, "zoneMissing", {} },
            { "one attempt", { busy }, 1, busy.what(), {} },
            { "no attempts", { busy }, 0, busy.what(), {} },
            { "two attempts", { busy, busy }, 2, busy.what(), { 1 } },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            auto outcome = retried(row.failures, row.attempts);
            EXPECT_EQ(outcome.result, row.result);
            EXPECT_EQ(outcome.sleeps, row.sleeps);
            EXPECT_EQ(outcome.tries, static_cast<int>(row.sleeps.size()) + 1);
        }
    }

    TEST(MailboxStoreRetry, AnyOtherFailureIsMappedAndNotRetried)
    {
        test::ManualMailboxClock clock;
        int tries = 0;
        try {
            MailboxStoreRetry::run(clock, 4, {}, [&] {
                ++tries;
                throw std::filesystem::filesystem_error(
                    "write", std::make_error_code(std::errc::no_space_on_device));
            });
            FAIL() << "the call succeeded";
        } catch (const MailboxError& error) {
            EXPECT_EQ(error, MailboxError::other(0));
        }
        EXPECT_EQ(tries, 1);
    }

    TEST(MailboxStoreRetry, ACancelledWaitEndsTheCallWithTheCancellation)
    {
        test::ManualMailboxClock clock;
        clock.onSleep([](double) { throw MailboxCancelledError(); });
        int tries = 0;
        EXPECT_THROW(MailboxStoreRetry::run(clock, 4, {},
                         [&] {
                             ++tries;
                             throw MailboxError::busy(std::nullopt);
                         }),
            MailboxCancelledError);
        EXPECT_EQ(tries, 1);
    }

}
}
