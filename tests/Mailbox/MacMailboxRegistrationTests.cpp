// Mailbox registration and unpairing through the real relay router and the real Mac mailbox, over the
// in-memory store: what the phone is answered, what its device keeps, and what becomes of its zone.
#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/PairingManager.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/RelayRouter.h"
#include "tests/Mailbox/PairingMailboxFixture.h"
#include "tests/Relay/RouterMembers.h"
#include "tests/support/FakeDeviceStorage.h"
#include "tests/support/LatchedFakeRunner.h"
#include "tests/support/ManualJobClock.h"
#include "tests/support/TestSupport.h"

using namespace vellumar;
using movrane::MailboxAccountState;
using movrane::MailboxPairingAnswer;

namespace {

class MacMailboxRegistrationTest : public test::PairingMailboxFixture {
protected:
    HTTPResponse post(const std::string& target, const std::string& body,
        const RequestOrigin& origin = RequestOrigin::lan()) const
    {
        return router.respond(
            HTTPRequest("POST", target, { { "authorization", "Bearer " + paired.token } }, body, true),
            origin);
    }

    // Status, then the error's code and message or the body.
    std::string outcome(const std::string& body) const
    {
        auto response = post("/v1/mailbox/register", body);
        auto decoded = JSON::decode(response.body()).value_or(JSON());
        if (const auto* code = decoded.subscript("error"))
            return std::to_string(response.status()) + " " + *code->stringValue() + " "
                + *decoded.subscript("message")->stringValue();
        return std::to_string(response.status());
    }

    // The "mailbox" member of a successful registration's reply.
    MailboxPairingAnswer register_(const movrane::MailboxPairingOffer& offer) const
    {
        auto response
            = post("/v1/mailbox/register", JSON::object({ { "mailbox", offer.toJSON() } }).encoded());
        EXPECT_EQ(response.status(), 200);
        auto reply = JSON::decode(response.body()).value_or(JSON());
        EXPECT_EQ(*reply.subscript("deviceId")->stringValue(), paired.device.id);
        return MailboxPairingAnswer::fromJSON(*reply.subscript("mailbox"));
    }

    static movrane::MailboxPairingOffer offer(const std::string& account)
    {
        return { .v = 1,
            .deviceKey = movrane::MailboxIdentity::generate().publicKey(),
            .account = movrane::MailboxAccountProof::make(account),
            .accountState = MailboxAccountState::available };
    }

    // Registers the phone for the mailbox and waits until its zone is set up.
    movrane::MailboxPairing enable()
    {
        auto sent = offer("_userA");
        auto answer = register_(sent);
        EXPECT_EQ(answer.status, MailboxPairingAnswer::Status::enabled);
        auto outcome
            = movrane::MailboxPairingRules::outcome(answer, sent, "mac-1", paired.device.id, "_userA");
        EXPECT_TRUE(store->waitForEnded(Operation::saveSubscriptions, 1));
        return std::get<movrane::MailboxPairing>(outcome.value);
    }

    test::TemporaryFolder folder;
    RelayData data { { .folder = folder / "data", .home = folder.path() } };
    std::shared_ptr<test::ManualJobClock> jobClock = std::make_shared<test::ManualJobClock>();
    std::shared_ptr<test::FakeDeviceStorage> storage = std::make_shared<test::FakeDeviceStorage>();
    DeviceRegistry devices { storage, [this] { return jobClock->now(); } };
    DeviceRegistry::Pairing paired = devices.add("Phone");
    std::shared_ptr<test::LatchedFakeRunner> runner = std::make_shared<test::LatchedFakeRunner>();
    JobManager jobs { { .runner = runner, .labels = {}, .clock = jobClock } };
    RelayOptions options;
    PairingManager pairingCodes { {} };
    RelayRouter router { [this] {
        auto members = test::routerMembers(pairingCodes, devices, jobs, runner, data, options);
        makeMailbox();
        members.mailbox = mailbox.get();
        return members;
    }() };
};

}

TEST_F(MacMailboxRegistrationTest, AnswersEachBodyByTheFirstRuleItBreaks)
{
    constexpr auto kSendTheOffer = R"(400 bad_request Send {"mailbox": {...}}.)";
    constexpr auto kInvalid = "400 bad_request mailbox is not valid.";
    const struct {
        const char* body;
        const char* expected;
    } cases[] = {
        { "", kSendTheOffer },
        { "{", "400 bad_request The body is not valid JSON." },
        { "[]", kSendTheOffer },
        { "{}", kSendTheOffer },
        { R"({"mailbox": null})", kSendTheOffer },
        { R"({"mailbox": {"v": 2}, "deviceName": "x"})", kSendTheOffer },
        { R"({"offer": {"v": 1}})", kSendTheOffer },
        { R"({"mailbox": 1})", kInvalid },
        { R"({"mailbox": {}})", kInvalid },
        { R"({"mailbox": {"v": 1.5}})", kInvalid },
        { R"({"mailbox": {"v": 1e15}})", kInvalid },
        { R"({"mailbox": {"v": 1}})", kInvalid },
        { R"({"mailbox": {"v": 1, "deviceKey": "AAAA", "accountState": "available"}})", kInvalid },
        { R"({"mailbox": {"v": 999999999999999}})", "200" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.body);
        EXPECT_EQ(outcome(testCase.body), testCase.expected);
    }
}

TEST_F(MacMailboxRegistrationTest, AnEnabledPhoneKeepsItsPairingAndGetsItsZone)
{
    auto enabled = enable();
    EXPECT_EQ(devices.device(paired.device.id)->mailbox, enabled);
    EXPECT_EQ(devices.mailboxPairings(), std::vector { enabled });
    EXPECT_TRUE(memory->hasZone(enabled.zoneName));
    EXPECT_EQ(memory->subscriptionIDs(), std::vector<std::string> { "vl.mac." + enabled.zoneName });
    // The phone registering again keeps its zone.
    EXPECT_EQ(register_(offer("_userA")).zone, enabled.zoneName);
}

TEST_F(MacMailboxRegistrationTest, APairedPhoneKeepsItsPairingWhileTheMacsICloudIsOutOfReach)
{
    auto enabled = enable();
    clock->advance(60);
    memory->setAccount(MailboxAccountState::temporarilyUnavailable);
    auto answer = register_(offer("_userA"));
    EXPECT_EQ(answer.reason, MailboxPairingAnswer::Reason::macICloudUnavailable);
    EXPECT_EQ(devices.device(paired.device.id)->mailbox, enabled);
    EXPECT_TRUE(memory->hasZone(enabled.zoneName));
}

TEST_F(MacMailboxRegistrationTest, AnUnsupportedOfferClearsThePairingAndForgetsItsZone)
{
    auto enabled = enable();
    EXPECT_EQ(outcome(R"({"mailbox": {"v": 2}})"), "200");
    auto device = devices.device(paired.device.id);
    EXPECT_EQ(device->mailbox, std::nullopt);
    EXPECT_EQ(device->mailboxReasonCode, "unsupportedVersion");
    ASSERT_TRUE(store->waitForEnded(Operation::deleteZone, 1));
    EXPECT_FALSE(memory->hasZone(enabled.zoneName));
}

TEST_F(MacMailboxRegistrationTest, AnOfferOfAnotherVersionIsAnsweredLanOnlyWhenRegisteringAndWhenPairing)
{
    JSON::Object whole = *offer("_userA").toJSON().objectValue();
    whole.insert_or_assign("v", 2);
    const JSON offers[] = { JSON::object({ { "v", 2 } }), JSON(whole) };
    const MailboxPairingAnswer expected { .v = 1,
        .status = MailboxPairingAnswer::Status::lanOnly,
        .reason = MailboxPairingAnswer::Reason::unsupportedVersion,
        .zone = std::nullopt,
        .macKey = mailbox->macKey(),
        .account = std::nullopt };
    for (const JSON& sent : offers) {
        for (bool pairing : { false, true }) {
            SCOPED_TRACE((pairing ? "pairing with " : "registering ") + sent.encoded());
            auto response = pairing
                ? post("/v1/pair",
                    JSON::object({ { "code", pairingCodes.makeOffer().code }, { "mailbox", sent } })
                        .encoded())
                : post("/v1/mailbox/register", JSON::object({ { "mailbox", sent } }).encoded());
            ASSERT_EQ(response.status(), 200) << response.body();
            auto reply = JSON::decode(response.body()).value_or(JSON());
            ASSERT_TRUE(reply.subscript("mailbox"));
            EXPECT_EQ(MailboxPairingAnswer::fromJSON(*reply.subscript("mailbox")), expected);
            auto device = devices.device(*reply.subscript("deviceId")->stringValue());
            ASSERT_TRUE(device);
            EXPECT_EQ(device->mailboxReasonCode, "unsupportedVersion");
        }
    }
}

TEST_F(MacMailboxRegistrationTest, APhoneUnpairedThroughTheMailboxLosesItsZoneAfterTheDelay)
{
    auto enabled = enable();
    EXPECT_EQ(post("/v1/pair/forget", "{}", RequestOrigin::mailbox(enabled)).status(), 200);
    ASSERT_TRUE(clock->waitForSleep(10));
    EXPECT_TRUE(memory->hasZone(enabled.zoneName));
    clock->advance(10);
    ASSERT_TRUE(store->waitForEnded(Operation::deleteZone, 1));
    EXPECT_FALSE(memory->hasZone(enabled.zoneName));
}

TEST_F(MacMailboxRegistrationTest, APhonePairingWithAnOfferIsAnsweredAndStoredWithIt)
{
    auto code = pairingCodes.makeOffer().code;
    auto sent = offer("_userA");
    auto response = router.respond(
        HTTPRequest("POST", "/v1/pair", {},
            JSON::object({ { "code", code }, { "mailbox", sent.toJSON() } }).encoded(), true),
        RequestOrigin::lan());
    ASSERT_EQ(response.status(), 200);
    auto reply = JSON::decode(response.body()).value_or(JSON());
    auto answer = MailboxPairingAnswer::fromJSON(*reply.subscript("mailbox"));
    ASSERT_EQ(answer.status, MailboxPairingAnswer::Status::enabled);
    auto device = devices.device(*reply.subscript("deviceId")->stringValue());
    ASSERT_TRUE(device && device->mailbox);
    EXPECT_EQ(device->mailbox->zoneName, *answer.zone);
    EXPECT_TRUE(store->waitForEnded(Operation::saveSubscriptions, 1));
}
