#include "MovraneMailbox/Protocol/MailboxDecodingError.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>

namespace movrane {
namespace {

    TEST(MailboxProtocol, LifetimesAreClampedToOneSecondAndOneDay)
    {
        EXPECT_EQ(MailboxProtocol::clampedLifetime(0), 1);
        EXPECT_EQ(MailboxProtocol::clampedLifetime(-5), 1);
        EXPECT_EQ(MailboxProtocol::clampedLifetime(900), 900);
        EXPECT_EQ(MailboxProtocol::clampedLifetime(100'000), 86'400);
    }

    TEST(MailboxProtocol, OnlyThePairingAndRegistrationPathsAreLANOnly)
    {
        struct Case {
            const char* path;
            bool lanOnly;
        };
        const Case cases[] = {
            { "/v1/pair", true },
            { "/v1/pair/", true },
            { "/v1/pair?code=x", true },
            { "/v1/mailbox/register/", true },
            { "/v1/pair//", false },
            { "/v1/pair/forget", false },
            { "/v1/Pair", false },
            { "/", false },
            { "", false },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.path);
            EXPECT_EQ(MailboxProtocol::isLANOnly(c.path), c.lanOnly);
        }
    }

    TEST(MailboxProtocol, RawValuesAreExactAndCaseSensitive)
    {
        for (auto notify : allMailboxNotifyCases)
            EXPECT_EQ(mailboxNotify(rawValue(notify)), notify);
        EXPECT_EQ(mailboxRole("device"), MailboxRole::device);
        for (const char* refused : { "Reply", "SILENT", "", "none " })
            EXPECT_EQ(mailboxNotify(refused), std::nullopt) << refused;
        for (const char* refused : { "Mac", "DEVICE", "" })
            EXPECT_EQ(mailboxRole(refused), std::nullopt) << refused;
        EXPECT_FALSE(alerts(MailboxNotify::silent));
        EXPECT_TRUE(alerts(MailboxNotify::routine));
        EXPECT_TRUE(
            vellumar::test::thrown<MailboxDecodingError>([] { mailboxNotifyFromJSON(vellumar::JSON(1)); }));
        EXPECT_EQ(mailboxRoleFromJSON(toJSON(MailboxRole::mac)), MailboxRole::mac);
    }

    TEST(MailboxIdentifiers, ValidityFollowsTheExactForms)
    {
        const std::string id = "abcdefghijklmnopqrstu-";
        struct Case {
            std::string text;
            bool (*isValid)(std::string_view);
            bool valid;
        };
        const Case cases[] = {
            { id, MailboxMessageID::isValid, true },
            { id.substr(1), MailboxMessageID::isValid, false },
            { id + "A", MailboxMessageID::isValid, false },
            { id.substr(1) + "=", MailboxMessageID::isValid, false },
            { "", MailboxMessageID::isValid, false },
            { "presence", MailboxRecordName::isValid, true },
            { "Presence", MailboxRecordName::isValid, false },
            { "presence ", MailboxRecordName::isValid, false },
            { "e-", MailboxRecordName::isValid, false },
            { "e-" + id, MailboxRecordName::isValid, true },
            { "E-" + id, MailboxRecordName::isValid, false },
            { "pair-" + id, MailboxZoneName::isValid, true },
            { "Pair-" + id, MailboxZoneName::isValid, false },
            { "pair-" + id.substr(1) + ".", MailboxZoneName::isValid, false },
            { "mac", MailboxPartyTag::isValid, true },
            { "MAC", MailboxPartyTag::isValid, false },
            { "dev-" + id, MailboxPartyTag::isValid, true },
            { "dev-" + id.substr(1), MailboxPartyTag::isValid, false },
            { "dev-" + id.substr(2) + "\xC3\xA9", MailboxPartyTag::isValid, false },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.text);
            EXPECT_EQ(c.isValid(c.text), c.valid);
        }
    }

    TEST(MailboxIdentifiers, MadeNamesAreValidAndFresh)
    {
        auto message = MailboxMessageID::make();
        EXPECT_EQ(message.size(), 22u);
        EXPECT_EQ(message.find_first_of("=+/"), std::string::npos);
        EXPECT_NE(message, MailboxMessageID::make());
        EXPECT_TRUE(MailboxRecordName::isValid(MailboxRecordName::envelope()));
        auto zone = MailboxZoneName::make();
        EXPECT_EQ(zone.size(), 27u);
        EXPECT_TRUE(MailboxZoneName::isValid(zone));
    }

    TEST(MailboxIdentifiers, TemporaryFileUUIDsAreVersionFourInPythonsReading)
    {
        // Python's uuid module reads each text and says which version and variant it is, and whether
        // the text is its own upper-cased canonical form.
        const char* script = R"(
import sys, uuid
for text in sys.stdin.read().split()[:64]:
    parsed = uuid.UUID(text)
    print(parsed.version, parsed.variant == uuid.RFC_4122, str(parsed).upper() == text)
)";
        std::string input;
        std::set<std::string> made;
        for (int index = 0; index < 64; ++index)
            made.insert(MailboxUUID::make());
        for (const auto& text : made)
            input += text + "\n";
        ASSERT_EQ(made.size(), 64u);
        auto result = vellumar::test::runPeer({ "python3", "-c", script }, input);
        ASSERT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.output, vellumar::test::repeated("4 True True\n", 64));
    }

    TEST(MailboxIdentifiers, DeviceTagsMatchPythonsHashOfTheLabelledID)
    {
        const char* script = R"(
import base64, hashlib, sys
for device in sys.stdin.read().split("\n")[:-1]:
    digest = hashlib.sha256(b"vellumar-mailbox-device-v1\x00" + device.encode()).digest()[:16]
    print("dev-" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode())
)";
        const std::string devices[] = { "", "ios-7F3A", "t\xC3\xA9l\xC3\xA9phone \xF0\x9F\x93\xB1" };
        std::string input;
        for (const auto& device : devices)
            input += device + "\n";
        auto result = vellumar::test::runPeer({ "python3", "-c", script }, input);
        ASSERT_EQ(result.exitStatus, 0);
        std::string expected;
        for (const auto& device : devices) {
            auto tag = MailboxPartyTag::device(device);
            EXPECT_EQ(tag.size(), 26u);
            EXPECT_TRUE(MailboxPartyTag::isValid(tag));
            expected += tag + "\n";
        }
        EXPECT_EQ(result.output, expected);
    }

}
}
