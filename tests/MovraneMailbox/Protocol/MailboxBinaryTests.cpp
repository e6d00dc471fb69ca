#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "MovraneMailbox/Protocol/MailboxBinary.h"
#include "MovraneMailbox/Protocol/MailboxCryptoError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace movrane {
namespace {

    using vellumar::hexString;
    using vellumar::test::thrown;

    MailboxBytes bytes(std::initializer_list<int> values)
    {
        MailboxBytes out;
        for (int value : values)
            out.push_back(static_cast<std::uint8_t>(value));
        return out;
    }

    TEST(MailboxBinary, WritersAppendBigEndianFieldsAndCountedStrings)
    {
        MailboxBytes out;
        MailboxBinary::appendUInt16(out, 0x1234);
        MailboxBinary::appendUInt32(out, 1);
        MailboxBinary::appendUInt64(out, 0x0102030405060708);
        MailboxBinary::appendString(out, "mac");
        MailboxBinary::appendString(out, "");
        EXPECT_EQ(hexString(out), "1234" "00000001" "0102030405060708" "036d6163" "00");
    }

    TEST(MailboxBinary, ReadsFieldsBackAndStopsAtTheEnd)
    {
        auto buffer = bytes({ 0x12, 0x34, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 2, 0xC3, 0xA9 });
        MailboxBinary::Reader reader(buffer);
        EXPECT_EQ(MailboxBinary::readUInt16(reader), 0x1234);
        EXPECT_EQ(MailboxBinary::readUInt32(reader), 1u);
        EXPECT_EQ(MailboxBinary::readUInt64(reader), 0x0102030405060708u);
        EXPECT_EQ(MailboxBinary::readString(reader), "\xC3\xA9");
        EXPECT_EQ(reader.offset, static_cast<std::int64_t>(buffer.size()));
        EXPECT_TRUE(MailboxBinary::readRest(reader).empty());
        EXPECT_TRUE(MailboxBinary::readBytes(reader, 0).empty());
    }

    TEST(MailboxBinary, AFailedReadIsMalformedAndLeavesTheOffset)
    {
        struct Case {
            const char* name;
            MailboxBytes buffer;
            void (*read)(MailboxBinary::Reader&);
        };
        const Case cases[] = {
            { "uint32 over 3 bytes", bytes({ 1, 2, 3 }), [](auto& r) { MailboxBinary::readUInt32(r); } },
            { "uint64 over 7 bytes", bytes({ 1, 2, 3, 4, 5, 6, 7 }), [](auto& r) { MailboxBinary::readUInt64(r); } },
            { "negative count", bytes({ 1, 2 }), [](auto& r) { MailboxBinary::readBytes(r, -1); } },
            { "string longer than the rest", bytes({ 3, 'a', 'b' }), [](auto& r) { MailboxBinary::readString(r); } },
            { "string not UTF-8", bytes({ 2, 0xC3, 0x28 }), [](auto& r) { MailboxBinary::readString(r); } },
            { "byte at the end", bytes({}), [](auto& r) { MailboxBinary::readByte(r); } },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            MailboxBinary::Reader reader(c.buffer);
            auto error = thrown<MailboxCryptoError>([&] { c.read(reader); });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->kind(), MailboxCryptoError::Kind::malformed);
            EXPECT_EQ(reader.offset, 0);
        }
    }

    TEST(MailboxBinary, AReaderInsideALargerBufferStartsAtItsIndex)
    {
        MailboxBytes buffer(10, 0xEE);
        MailboxBinary::appendUInt16(buffer, 0xBEEF);
        MailboxBinary::Reader reader(buffer, 10);
        EXPECT_EQ(MailboxBinary::readUInt16(reader), 0xBEEF);
        EXPECT_EQ(reader.offset, 12);
    }

    TEST(MailboxBinary, ConstantTimeEqualityComparesLengthsFirst)
    {
        MailboxBytes a(32, 7), b(32, 7), shorter(31, 7);
        EXPECT_TRUE(MailboxBinary::constantTimeEqual(a, b));
        EXPECT_FALSE(MailboxBinary::constantTimeEqual(shorter, a));
        b[31] = 8;
        EXPECT_FALSE(MailboxBinary::constantTimeEqual(a, b));
        EXPECT_TRUE(MailboxBinary::constantTimeEqual(MailboxBytes {}, MailboxBytes {}));
    }

    TEST(MailboxBase64URL, DecodesTheURLAlphabetWithOrWithoutPadding)
    {
        struct Case {
            const char* text;
            std::optional<std::string> hex;
        };
        const Case cases[] = {
            { "-_8", "fbff" },
            { "-_8=", "fbff" },
            { "AA", "00" },
            { "+/8", std::nullopt },
            { "", std::nullopt },
            { "A", std::nullopt },
            { "AAAAA", std::nullopt },
            { "A A=", std::nullopt },
            { "\xC3\xA9" "AA", std::nullopt },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.text);
            auto decoded = MailboxBase64URL::decode(c.text);
            EXPECT_EQ(decoded ? std::optional(hexString(*decoded)) : std::nullopt, c.hex);
        }
        EXPECT_EQ(MailboxBase64URL::encode(bytes({ 0xFB, 0xFF })), "-_8");
        EXPECT_EQ(MailboxBase64URL::encode(MailboxBase64URL::randomBytes(16)).size(), 22u);
    }

    // Python's urlsafe_b64encode (padding stripped) and urlsafe_b64decode are the independent reference.
    TEST(MailboxBase64URL, AgreesWithPythonBothWaysOnRandomBuffers)
    {
        std::mt19937 random(20261207);
        std::ostringstream input;
        std::vector<MailboxBytes> buffers;
        for (int index = 0; index < 10'000; ++index) {
            MailboxBytes buffer(random() % 70);
            for (auto& byte : buffer)
                byte = static_cast<std::uint8_t>(random());
            input << hexString(buffer) << ' ' << MailboxBase64URL::encode(buffer) << '\n';
            buffers.push_back(std::move(buffer));
        }
        const char* script = R"(
import base64, sys
for line in sys.stdin:
    hexed, ours = (line.rstrip("\n").split(" ") + [""])[:2]
    raw = bytes.fromhex(hexed)
    theirs = base64.urlsafe_b64encode(raw).rstrip(b"=").decode()
    back = base64.urlsafe_b64decode(ours + "=" * (-len(ours) % 4))
    print(theirs if theirs == ours and back == raw else "MISMATCH " + hexed)
)";
        auto result = vellumar::test::runPeer({ "python3", "-c", script }, input.str());
        ASSERT_EQ(result.exitStatus, 0);
        std::istringstream lines(result.output);
        std::string line;
        std::size_t index = 0;
        for (; std::getline(lines, line) && index < buffers.size(); ++index) {
            auto decoded = MailboxBase64URL::decode(line);
            // The empty buffer encodes as the empty text, which decode refuses by rule.
            if (buffers[index].empty())
                EXPECT_EQ(decoded, std::nullopt);
            else
                ASSERT_EQ(decoded, buffers[index]) << line;
        }
        EXPECT_EQ(index, buffers.size());
    }

}
}
