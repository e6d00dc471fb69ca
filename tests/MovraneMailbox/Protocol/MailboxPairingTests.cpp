#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "MovraneMailbox/Protocol/MailboxDecodingError.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxPairing.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace movrane {
namespace {

    using Reason = MailboxPairingAnswer::Reason;
    using Status = MailboxPairingAnswer::Status;
    using State = MailboxAccountState;

    const std::string kAccount = "_4a1b2c3d4e5f";
    const std::string kZone = "pair-" + std::string(22, 'Z');

    struct Ends {
        MailboxIdentity mac = MailboxIdentity::generate();
        MailboxIdentity device = MailboxIdentity::generate();
        MailboxPairingOffer offer(std::optional<MailboxAccountProof> proof, State state = State::available) const
        {
            return { 1, device.publicKey(), std::move(proof), state };
        }
        MailboxPairingAnswer answer(const MailboxPairingOffer& offer, State macState = State::available,
            std::optional<std::string> macAccount = kAccount, std::optional<std::string> earlier = std::nullopt) const
        {
            return MailboxPairingRules::answer(offer, macState, macAccount, mac.publicKey(), earlier, [] { return kZone; });
        }
    };

    // A proof whose salt or hash has the wrong length although its HMAC is right for the bytes it has.
    MailboxAccountProof proofWithSaltBytes(std::size_t saltBytes, std::size_t hashBytes = 32)
    {
        auto made = MailboxAccountProof::make(kAccount, std::span<const std::uint8_t>(MailboxBytes(saltBytes, 7)));
        auto hash = *MailboxBase64URL::decode(made.hash);
        hash.resize(hashBytes);
        return { made.salt, MailboxBase64URL::encode(hash) };
    }

    TEST(MailboxPairingRules, TheMacAnswersByTheFirstRuleThatMatches)
    {
        Ends ends;
        auto proof = MailboxAccountProof::make(kAccount);
        struct Case {
            const char* name;
            MailboxPairingAnswer answer;
            std::optional<Reason> reason;
        };
        auto version2 = ends.offer(proof);
        version2.v = 2;
        const Case cases[] = {
            { "offer v 2", ends.answer(version2), Reason::unsupportedVersion },
            { "Mac signed out", ends.answer(ends.offer(proof), State::noAccount), Reason::macNoICloud },
            { "Mac restricted", ends.answer(ends.offer(proof), State::restricted), Reason::macNoICloud },
            { "Mac state unknown", ends.answer(ends.offer(proof), State::couldNotDetermine), Reason::macICloudUnavailable },
            { "Mac without an identifier", ends.answer(ends.offer(proof), State::available, std::nullopt), Reason::macICloudUnavailable },
            { "phone without a proof", ends.answer(ends.offer(std::nullopt)), Reason::deviceNoICloud },
            { "phone restricted", ends.answer(ends.offer(proof, State::restricted)), Reason::deviceNoICloud },
            { "another account", ends.answer(ends.offer(MailboxAccountProof::make("_other"))), Reason::differentAccount },
            { "15-byte salt", ends.answer(ends.offer(proofWithSaltBytes(15))), Reason::differentAccount },
            { "17-byte salt", ends.answer(ends.offer(proofWithSaltBytes(17))), Reason::differentAccount },
            { "31-byte hash", ends.answer(ends.offer(proofWithSaltBytes(16, 31))), Reason::differentAccount },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(c.answer.status, Status::lanOnly);
            EXPECT_EQ(c.answer.reason, c.reason);
            EXPECT_EQ(c.answer.v, 1);
            EXPECT_EQ(c.answer.macKey, ends.mac.publicKey());
            EXPECT_FALSE(c.answer.zone || c.answer.account);
        }
        EXPECT_TRUE(proofWithSaltBytes(16).verify(kAccount));
    }

    TEST(MailboxPairingRules, AnEnabledAnswerCarriesTheSameProofAndKeepsOnlyAValidEarlierZone)
    {
        Ends ends;
        auto proof = MailboxAccountProof::make(kAccount);
        auto enabled = ends.answer(ends.offer(proof));
        EXPECT_EQ(enabled.status, Status::enabled);
        EXPECT_EQ(enabled.account, proof);
        EXPECT_EQ(enabled.zone, kZone);
        const std::string earlier = "pair-" + std::string(22, 'e');
        EXPECT_EQ(ends.answer(ends.offer(proof), State::available, kAccount, earlier).zone, earlier);
        for (const std::string& refused : { "pair-" + std::string(21, 'e'), "pair-" + std::string(23, 'e'),
                 "pair-" + std::string(21, 'e') + "+", "pair-" + std::string(21, 'e') + "/" }) {
            SCOPED_TRACE(refused);
            EXPECT_EQ(ends.answer(ends.offer(proof), State::available, kAccount, refused).zone, kZone);
        }
    }

    // python3's hmac is the independent reference for the proof.
    TEST(MailboxAccountProof, EqualsPythonsHMACOfTheSaltUnderTheLabelledAccount)
    {
        auto proof = MailboxAccountProof::make(kAccount + "\xC3\xA9");
        const char* script = R"(
import base64, hashlib, hmac, sys
account, salt = sys.argv[1], sys.argv[2]
raw = base64.urlsafe_b64decode(salt + "=" * (-len(salt) % 4))
digest = hmac.new(b"vellumar-mailbox-account-v1\0" + account.encode(), raw, hashlib.sha256).digest()
print(base64.urlsafe_b64encode(digest).rstrip(b"=").decode())
)";
        auto python = vellumar::test::runPeer({ "python3", "-c", script, kAccount + "\xC3\xA9", proof.salt });
        ASSERT_EQ(python.exitStatus, 0);
        EXPECT_EQ(python.output, proof.hash + "\n");
        EXPECT_TRUE(proof.verify(kAccount + "\xC3\xA9"));
        EXPECT_FALSE(proof.verify(kAccount));
        EXPECT_FALSE(MailboxAccountProof::make(kAccount, std::string_view(std::string(33, 'A'))));
    }

    TEST(MailboxPairingRules, ThePhoneEnablesOnlyAConsistentAnswer)
    {
        Ends ends;
        auto proof = MailboxAccountProof::make(kAccount);
        auto offer = ends.offer(proof);
        auto enabled = ends.answer(offer);
        auto withZone = [&](std::string zone) {
            auto answer = enabled;
            answer.zone = std::move(zone);
            return answer;
        };
        auto withoutKey = enabled;
        withoutKey.macKey.reset();
        auto otherSalt = enabled;
        otherSalt.account = MailboxAccountProof::make(kAccount);
        auto version2 = enabled;
        version2.v = 2;
        using Outcome = MailboxPairingOutcome;
        const Outcome lanOnly { std::optional<Reason> {} };
        const Outcome differentAccount { std::optional<Reason>(Reason::differentAccount) };
        struct Case {
            const char* name;
            Outcome outcome;
            Outcome expected;
        };
        const Case cases[] = {
            { "no answer", MailboxPairingRules::outcome(std::nullopt, offer, "mac", "ios-1", kAccount), lanOnly },
            { "answer v 2", MailboxPairingRules::outcome(version2, offer, "mac", "ios-1", kAccount), lanOnly },
            { "answer without the Mac's key", MailboxPairingRules::outcome(withoutKey, offer, "mac", "ios-1", kAccount), lanOnly },
            { "enabled with a bad zone", MailboxPairingRules::outcome(withZone("pair-x"), offer, "mac", "ios-1", kAccount), lanOnly },
            { "Mac id of 129 characters", MailboxPairingRules::outcome(enabled, offer, std::string(129, 'm'), "ios-1", kAccount), lanOnly },
            { "empty device id", MailboxPairingRules::outcome(enabled, offer, "mac", "", kAccount), lanOnly },
            { "phone without an account", MailboxPairingRules::outcome(enabled, offer, "mac", "ios-1", std::nullopt), differentAccount },
            { "another salt", MailboxPairingRules::outcome(otherSalt, offer, "mac", "ios-1", kAccount), differentAccount },
            { "another account", MailboxPairingRules::outcome(enabled, offer, "mac", "ios-1", std::string("_other")), differentAccount },
            { "a LAN-only answer passes its reason", MailboxPairingRules::outcome(ends.answer(ends.offer(std::nullopt)), offer, "mac", "ios-1", kAccount),
                Outcome { std::optional<Reason>(Reason::deviceNoICloud) } },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_TRUE(c.outcome == c.expected);
        }
        auto pairing = MailboxPairingRules::outcome(enabled, offer, std::string(128, 'm'), "ios-1", kAccount);
        ASSERT_TRUE(std::holds_alternative<MailboxPairing>(pairing.value));
        EXPECT_EQ(std::get<MailboxPairing>(pairing.value).deviceKey, ends.device.publicKey());
    }

    TEST(MailboxPairing, JSONFormsRoundTripAndRefuseUnknownTexts)
    {
        Ends ends;
        auto offer = ends.offer(MailboxAccountProof::make(kAccount));
        EXPECT_EQ(MailboxPairingOffer::fromJSON(offer.toJSON()), offer);
        auto answer = ends.answer(offer);
        EXPECT_EQ(MailboxPairingAnswer::fromJSON(answer.toJSON()), answer);
        auto pairing = MailboxPairing::make(kZone, "mac", "ios-1", ends.mac.publicKey(), ends.device.publicKey());
        EXPECT_EQ(MailboxPairing::fromJSON(pairing.toJSON()), pairing);
        auto unknownReason = vellumar::JSON::decode(R"({"v":1,"status":"lanOnly","reason":"tired"})");
        EXPECT_THROW(MailboxPairingAnswer::fromJSON(*unknownReason), MailboxDecodingError);
        auto lowerState = vellumar::JSON::decode(
            R"({"v":1,"deviceKey":)" + ends.device.publicKey().toJSON().encoded() + R"(,"accountState":"Available"})");
        EXPECT_THROW(MailboxPairingOffer::fromJSON(*lowerState), MailboxDecodingError);
    }

}
}
