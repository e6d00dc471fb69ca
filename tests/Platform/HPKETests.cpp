#include "Platform/HPKE.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

using namespace vellumar::platform;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(const std::string& hex)
{
    Bytes bytes;
    for (std::size_t index = 0; index + 1 < hex.size(); index += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(index, 2), nullptr, 16)));
    return bytes;
}

struct Encryption {
    std::uint64_t sequence;
    std::map<std::string, Bytes> fields;
};

struct Vector {
    std::map<std::string, std::string> setup; // hex, or a number for the ids and the mode
    std::vector<Encryption> encryptions;
    Bytes operator[](const std::string& name) const { return fromHex(setup.at(name)); }
};

// The RFC's appendix as text: "name: hex" lines whose long values continue on the following lines,
// one "### ... Setup Information" section a mode, its encryptions listed by sequence number.
std::vector<Vector> readVectors()
{
    std::istringstream text(vellumar::test::readFile(
        vellumar::test::sourceDir() / "tests/Platform/testdata/hpke-rfc9180-p256-hkdfsha256-aes128gcm.txt"));
    std::vector<Vector> vectors;
    std::string line, name;
    bool inEncryptions = false;
    while (std::getline(text, line)) {
        if (line.starts_with("### ")) {
            vectors.emplace_back();
            inEncryptions = false;
        } else if (line.starts_with("#### ")) {
            inEncryptions = line == "#### Encryptions";
            name.clear();
        } else if (vectors.empty() || line.empty() || line.starts_with("~~~")) {
            continue;
        } else if (auto colon = line.find(':'); colon != std::string::npos) {
            name = line.substr(0, colon);
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            if (inEncryptions && name == "sequence number")
                vectors.back().encryptions.push_back({ std::stoull(value), {} });
            else if (inEncryptions && !vectors.back().encryptions.empty())
                vectors.back().encryptions.back().fields[name] = fromHex(value);
            else if (!inEncryptions)
                vectors.back().setup[name] = value;
        } else if (!name.empty() && !inEncryptions) {
            vectors.back().setup[name] += line;
        } else if (!name.empty() && !vectors.back().encryptions.empty()) {
            auto& field = vectors.back().encryptions.back().fields[name];
            auto more = fromHex(line);
            field.insert(field.end(), more.begin(), more.end());
        }
    }
    return vectors;
}

TEST(HPKE, ReproducesTheRFCVectorsOfTheBaseAndAuthModes)
{
    auto vectors = readVectors();
    int checked = 0;
    for (const auto& vector : vectors) {
        auto mode = std::stoi(vector.setup.at("mode"));
        if (mode != 0 && mode != 2)
            continue;
        SCOPED_TRACE(mode);
        auto hpkeMode = mode == 0 ? HPKE::Mode::base : HPKE::Mode::auth;
        Bytes senderScalar = mode == 2 ? vector["skSm"] : Bytes {};
        Bytes senderKey = mode == 2 ? vector["pkSm"] : Bytes {};
        auto senderPair = mode == 2 ? std::optional(HPKE::KeyPair { senderScalar, senderKey }) : std::nullopt;
        auto sender = HPKE::detail::setupSenderWithEphemeral(
            hpkeMode, HPKE::AEAD::aes128GCM, vector["pkRm"], vector["info"], senderPair, vector["skEm"]);
        ASSERT_TRUE(sender);
        EXPECT_EQ(Bytes(sender->encapsulatedKey.begin(), sender->encapsulatedKey.end()), vector["enc"]);
        EXPECT_EQ(sender->sharedSecret, vector["shared_secret"]);
        EXPECT_EQ(sender->context.key(), vector["key"]);
        EXPECT_EQ(sender->context.baseNonce(), vector["base_nonce"]);
        EXPECT_EQ(sender->context.exporterSecret(), vector["exporter_secret"]);

        Bytes recipientScalar = vector["skRm"], recipientKey = vector["pkRm"];
        auto recipient = HPKE::setupRecipient(hpkeMode, HPKE::AEAD::aes128GCM,
            { recipientScalar, recipientKey }, vector["enc"], vector["info"], senderKey);
        ASSERT_TRUE(recipient);
        EXPECT_EQ(recipient->key(), vector["key"]);
        for (const auto& encryption : vector.encryptions) {
            SCOPED_TRACE(encryption.sequence);
            // The listed sequence numbers skip some; the skipped ones still use up their nonces on both
            // sides.
            while (sender->context.sequence() < encryption.sequence)
                ASSERT_TRUE(recipient->open({}, sender->context.seal({}, {})));
            const auto& fields = encryption.fields;
            EXPECT_EQ(sender->context.seal(fields.at("aad"), fields.at("pt")), fields.at("ct"));
            EXPECT_EQ(recipient->open(fields.at("aad"), fields.at("ct")), fields.at("pt"));
            ++checked;
        }
    }
    EXPECT_EQ(checked, 12);
}

}
