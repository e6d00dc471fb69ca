#include "VellumarMacCore/Relay/CertificatePins.h"
#include "VellumarMacCore/Relay/DER.h"

#include "tests/support/TLSFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

using namespace vellumar;
using namespace vellumar::test;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// One short-form element.
Bytes tlv(std::uint8_t tag, const Bytes& contents)
{
    Bytes element(2 + contents.size());
    element[0] = tag;
    element[1] = static_cast<std::uint8_t>(contents.size());
    std::copy(contents.begin(), contents.end(), element.begin() + 2);
    return element;
}

Bytes joined(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(DER, ReadsElementsAndNeverPastTheirEnd)
{
    constexpr std::size_t kNoEnd = std::numeric_limits<std::size_t>::max();
    struct Case {
        const char* name;
        Bytes bytes;
        std::size_t start;
        std::size_t end;
        std::optional<DER::Element> expected;
    } cases[] = {
        { "short form", { 0x30, 0x03, 0x02, 0x01, 0x05 }, 0, 5, DER::Element { 0x30, { 0, 5 }, { 2, 5 } } },
        { "contents past the end", { 0x30, 0x03, 0x02, 0x01, 0x05 }, 0, 4, std::nullopt },
        { "end past the input", { 0x30, 0x03, 0x02, 0x01, 0x05 }, 0, kNoEnd,
            DER::Element { 0x30, { 0, 5 }, { 2, 5 } } },
        { "contents past the input", { 0x30, 0x04, 0x02, 0x01, 0x05 }, 0, kNoEnd, std::nullopt },
        { "one length byte", { 0xFF, 0x04, 0x81, 0x01, 0xAA }, 1, 5,
            DER::Element { 0x04, { 1, 5 }, { 4, 5 } } },
        { "four length bytes", { 0x04, 0x84, 0, 0, 0, 2, 0xAA, 0xBB }, 0, 8,
            DER::Element { 0x04, { 0, 8 }, { 6, 8 } } },
        { "four-byte length past the end", { 0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA }, 0, kNoEnd,
            std::nullopt },
        { "indefinite length", { 0x30, 0x80, 0x00, 0x00 }, 0, 4, std::nullopt },
        { "five length bytes", { 0x04, 0x85, 0, 0, 0, 0, 1, 0xAA }, 0, 8, std::nullopt },
        { "length bytes cut off", { 0x04, 0x82, 0x01 }, 0, 3, std::nullopt },
        { "one byte", { 0x30 }, 0, 1, std::nullopt },
        { "start at the end", { 0x30, 0x00 }, 2, 2, std::nullopt },
        { "start past the input", { 0x30, 0x00 }, kNoEnd - 1, kNoEnd, std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DER::readElement(c.bytes, c.start, c.end), c.expected);
    }
}

TEST(DER, FindsThePublicKeyWhereTheVersionFieldPutsIt)
{
    Bytes key = tlv(0x30, { 0x06, 0x01, 0x2A });
    Bytes field = tlv(0x02, { 0x01 });
    Bytes version = tlv(0xA0, tlv(0x02, { 0x02 }));
    auto certificate = [](const Bytes& tbs) { return tlv(0x30, joined({ tlv(0x30, tbs), tlv(0x30, {}) })); };
    struct Case {
        const char* name;
        Bytes certificate;
        std::optional<Bytes> expected;
    } cases[] = {
        { "version 3: seventh child",
            certificate(joined({ version, field, field, field, field, field, key, field })), key },
        { "version 1: sixth child", certificate(joined({ field, field, field, field, field, key, field })),
            key },
        { "five children", certificate(joined({ field, field, field, field, field })), std::nullopt },
        { "no children", certificate({}), std::nullopt },
        { "key not a sequence", certificate(joined({ field, field, field, field, field, field })),
            std::nullopt },
        { "a child cut off",
            certificate(joined({ field, field, field, field, field, key, { 0x02, 0x05, 0x01 } })),
            std::nullopt },
        { "outer element not a sequence", tlv(0x31, tlv(0x30, {})), std::nullopt },
        { "empty", {}, std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DER::subjectPublicKeyInfo(c.certificate), c.expected);
    }
}

TEST(CertificatePins, MatchOpenSSLAndSha256sumOnARealCertificate)
{
    TemporaryFolder folder;
    TestCertificate made = makeCertificate(folder.path(), "mac", 1);
    auto pins = CertificatePins::fromCertificate(bytesOf(certificateDER(made.certificate)));
    ASSERT_TRUE(pins);

    PeerResult pin = runPeer({ "sh", "-c",
        "openssl x509 -pubkey -noout -in \"$1\" | openssl pkey -pubin -outform der | openssl dgst -sha256 "
        "-binary "
        "| base64",
        "sh", made.certificate.string() });
    EXPECT_EQ(pins->publicKeyBase64 + "\n", pin.output);
    PeerResult fingerprint = runPeer({ "sha256sum" }, certificateDER(made.certificate));
    EXPECT_EQ(pins->certificateHex + "  -\n", fingerprint.output);

    EXPECT_EQ(pins->abbreviatedPin(),
        pins->publicKeyBase64.substr(0, 8) + "\u2026" + pins->publicKeyBase64.substr(38));
}

TEST(CertificatePins, NoneWithoutAPublicKey)
{
    EXPECT_FALSE(CertificatePins::fromCertificate(bytesOf("not a certificate")));
}

}
