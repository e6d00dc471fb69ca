#include "VellumarMacCore/Relay/PairingManager.h"
#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

#include <regex>

using namespace vellumar;
using namespace std::chrono_literals;

namespace {

struct PairingFixture {
    test::ManualClock clock;
    const std::chrono::system_clock::time_point start = clock.now;
    PairingManager manager { { .clock = clock.function() } };

    PairingManager::Redemption redeemAt(std::chrono::duration<double> offset, std::string_view code)
    {
        clock.now = start + std::chrono::duration_cast<std::chrono::system_clock::duration>(offset);
        return manager.redeem(code);
    }
};

const PairingManager::Redemption invalid = PairingManager::Invalid {};

}

TEST(PairingManager, CodeIsAcceptedOnceThenReportedUsedUntilItsOfferWouldHaveExpired)
{
    PairingFixture f;
    auto offer = f.manager.makeOffer();
    EXPECT_TRUE(std::regex_match(offer.code, std::regex("^[A-Za-z0-9_-]{43}$")));
    EXPECT_EQ(offer.expiresAt, f.start + 300s);
    EXPECT_EQ(f.redeemAt(10s, offer.code), PairingManager::Redemption(PairingManager::Accepted {}));
    EXPECT_EQ(f.manager.currentOffer(), std::nullopt);
    EXPECT_EQ(f.redeemAt(11s, offer.code), PairingManager::Redemption(PairingManager::AlreadyUsed {}));
    f.manager.recordDevice("d-0123456789abcdef");
    EXPECT_EQ(f.redeemAt(299.9s, offer.code),
        PairingManager::Redemption(PairingManager::AlreadyUsed { "d-0123456789abcdef" }));
    EXPECT_EQ(f.redeemAt(300s, offer.code), invalid);
}

TEST(PairingManager, ANewOfferReplacesTheOldOneWhichExpiresAtExactlyItsLifetime)
{
    PairingFixture f;
    auto first = f.manager.makeOffer();
    EXPECT_EQ(f.manager.currentOffer(), first);
    EXPECT_EQ(f.redeemAt(300s, first.code), invalid);
    EXPECT_EQ(f.manager.currentOffer(), std::nullopt);
    auto second = f.manager.makeOffer();
    EXPECT_EQ(f.redeemAt(301s, first.code), invalid);
    EXPECT_EQ(f.redeemAt(302s, second.code), PairingManager::Redemption(PairingManager::Accepted {}));
}

TEST(PairingManager, FiveWrongCodesWithinAMinuteLockOutOthersForAMinuteButNotTheRightCode)
{
    PairingFixture f;
    auto offer = f.manager.makeOffer();
    for (int attempt = 0; attempt < 5; ++attempt)
        EXPECT_EQ(f.redeemAt(attempt * 10s, "wrong"), invalid);
    struct Case {
        std::chrono::duration<double> at;
        std::int64_t retryAfter;
    } cases[] = { { 40s, 60 }, { 40.9s, 60 }, { 99.8s, 1 }, { 99.9s, 1 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.at.count());
        EXPECT_EQ(f.redeemAt(c.at, "wrong"),
            PairingManager::Redemption(PairingManager::RateLimited { c.retryAfter }));
    }
    EXPECT_EQ(f.redeemAt(99.9s, offer.code), PairingManager::Redemption(PairingManager::Accepted {}));
    // The accepted code cleared the lockout and the count: four more wrong codes are only wrong.
    for (int attempt = 0; attempt < 4; ++attempt)
        EXPECT_EQ(f.redeemAt(100s, "wrong"), invalid);
}

TEST(PairingManager, WrongCodesSpacedBeyondTheWindowNeverLockOut)
{
    PairingFixture f;
    for (int attempt = 0; attempt < 10; ++attempt)
        EXPECT_EQ(f.redeemAt(attempt * 61s, "wrong"), invalid);
    for (int attempt = 0; attempt < 5; ++attempt)
        EXPECT_EQ(f.redeemAt(1000s, ""), invalid);
    EXPECT_EQ(f.redeemAt(1000s, std::string(100000, 'x')),
        PairingManager::Redemption(PairingManager::RateLimited { 60 }));
}
