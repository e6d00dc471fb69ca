#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "MovraneMailbox/Protocol/MailboxDecodingError.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>
#include <unordered_set>

namespace movrane {
namespace {

    using vellumar::dataFromHex;
    using vellumar::hexString;
    using vellumar::test::thrown;

    // The order of P-256 (SEC 2 §2.4.2).
    constexpr const char* kOrderHex = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
    constexpr const char* kOrderMinusOneHex = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632550";

    MailboxBytes fromHex(std::string_view hex) { return *dataFromHex(hex); }

    TEST(MailboxPublicKey, RefusesBytesThatAreNotAnUncompressedPoint)
    {
        auto valid = MailboxIdentity::generate().publicKey().x963();
        MailboxBytes offCurve(valid.begin(), valid.end());
        offCurve[64] ^= 1;
        MailboxBytes compressedPrefix(valid.begin(), valid.end());
        compressedPrefix[0] = 0x02;
        const std::pair<const char*, MailboxBytes> cases[] = {
            { "64 bytes", MailboxBytes(valid.begin(), valid.end() - 1) },
            { "66 bytes", [&] { MailboxBytes b(valid.begin(), valid.end()); b.push_back(0); return b; }() },
            { "off the curve", offCurve },
            { "not the uncompressed form", compressedPrefix },
            { "the point at infinity's encoding", MailboxBytes(65, 0) },
        };
        for (const auto& [name, x963] : cases) {
            SCOPED_TRACE(name);
            auto error = thrown<MailboxKeyError>([&] { MailboxPublicKey key(x963); });
            ASSERT_TRUE(error);
            EXPECT_EQ(*error, MailboxKeyError::invalidPublicKey());
        }
    }

    TEST(MailboxPublicKey, JSONRefusesLongTextBeforeDecodingIt)
    {
        auto key = MailboxIdentity::generate().publicKey();
        auto text = *key.toJSON().stringValue();
        EXPECT_EQ(text.size(), 87u);
        EXPECT_EQ(MailboxPublicKey::fromJSON(key.toJSON()), key);
        const std::string refused[] = {
            text + std::string(14, 'A'), // 101 characters
            std::string(100, 'A'), // valid Base64URL, not a key
            text.substr(0, 86) + "*",
        };
        for (const auto& candidate : refused) {
            SCOPED_TRACE(candidate.size());
            auto error = thrown<MailboxDecodingError>([&] { MailboxPublicKey::fromJSON(vellumar::JSON(candidate)); });
            ASSERT_TRUE(error);
            EXPECT_STREQ(error->what(), "not a P-256 public key");
        }
        EXPECT_TRUE(thrown<MailboxDecodingError>([] { MailboxPublicKey::fromJSON(vellumar::JSON(5)); }));
    }

    TEST(MailboxPublicKey, EqualBytesAreEqualKeysThatHashAlike)
    {
        auto key = MailboxIdentity::generate().publicKey();
        MailboxPublicKey copy(key.x963());
        EXPECT_EQ(copy, key);
        std::unordered_set<MailboxPublicKey> set { key, copy };
        EXPECT_EQ(set.size(), 1u);
        EXPECT_NE(MailboxIdentity::generate().publicKey(), key);
    }

    TEST(MailboxIdentity, ScalarsOutsideOneToOrderMinusOneAreRefused)
    {
        const std::pair<const char*, MailboxBytes> refused[] = {
            { "zero", MailboxBytes(32, 0) },
            { "the order", fromHex(kOrderHex) },
            { "all ones", MailboxBytes(32, 0xFF) },
            { "31 bytes", MailboxBytes(31, 1) },
            { "empty", MailboxBytes {} },
        };
        for (const auto& [name, scalar] : refused) {
            SCOPED_TRACE(name);
            auto error = thrown<MailboxKeyError>([&] { MailboxIdentity::fromRawRepresentation(scalar); });
            ASSERT_TRUE(error);
            EXPECT_EQ(*error, MailboxKeyError::invalidPrivateKey());
        }
        EXPECT_NO_THROW(MailboxIdentity::fromRawRepresentation(fromHex(kOrderMinusOneHex)));
    }

    TEST(MailboxIdentity, DescriptionsShowTheFingerprintAndNeverTheScalar)
    {
        auto identity = MailboxIdentity::generate();
        auto fingerprint = identity.publicKey().fingerprint();
        EXPECT_EQ(identity.description(), "MailboxIdentity(" + fingerprint + ")");
        EXPECT_EQ(identity.publicKey().description(), "MailboxPublicKey(" + fingerprint + ")");
        EXPECT_EQ(identity.description().find(hexString(identity.rawRepresentation()).substr(0, 8)), std::string::npos);
    }

    // python3-cryptography derives the public key, the fingerprint and the ECDH secret independently.
    TEST(MailboxIdentity, AgreesWithPythonCryptographyOnKeysFingerprintsAndSharedSecrets)
    {
        const char* script = R"(
import hashlib, sys
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives import serialization
for line in sys.stdin:
    scalar, peer = line.split()
    own = ec.derive_private_key(int(scalar, 16), ec.SECP256R1())
    public = own.public_key().public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
    peer_key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), bytes.fromhex(peer))
    print(public.hex(), hashlib.sha256(public).hexdigest()[:16], own.exchange(ec.ECDH(), peer_key).hex())
)";
        std::ostringstream input, expected;
        for (int index = 0; index < 20; ++index) {
            auto own = MailboxIdentity::generate();
            auto peer = MailboxIdentity::generate();
            input << hexString(own.rawRepresentation()) << ' ' << hexString(peer.publicKey().x963()) << '\n';
            auto secret = vellumar::platform::P256::sharedSecret(own.rawRepresentation(), peer.publicKey().x963());
            ASSERT_TRUE(secret);
            expected << hexString(own.publicKey().x963()) << ' ' << own.publicKey().fingerprint() << ' '
                     << hexString(*secret) << '\n';
        }
        auto result = vellumar::test::runPeer({ "python3", "-c", script }, input.str());
        ASSERT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.output, expected.str());
    }

    TEST(MailboxKeyLabel, DeviceLabelsOnlyGainThePrefix) { EXPECT_EQ(MailboxKeyLabel::device("a.b"), "device.a.b"); }

}
}
