#include "Platform/HPKE.h"

#include "Platform/AESGCM.h"
#include "Platform/Crypto.h"

#include <openssl/crypto.h>

#include <string_view>

namespace vellumar::platform::HPKE {

namespace {

    using Bytes = std::vector<std::uint8_t>;

    constexpr std::uint16_t kKEMID = 0x0010; // DHKEM(P-256, HKDF-SHA256)
    constexpr std::uint16_t kKDFID = 0x0001; // HKDF-SHA256
    constexpr std::size_t kSecretBytes = 32; // Nsecret, and Nh of HKDF-SHA256
    constexpr std::size_t kNonceBytes = 12;

    void append(Bytes& out, std::span<const std::uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }
    void append(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }
    void appendUInt16(Bytes& out, std::uint16_t value)
    {
        out.push_back(static_cast<std::uint8_t>(value >> 8));
        out.push_back(static_cast<std::uint8_t>(value));
    }

    Bytes kemSuiteID()
    {
        Bytes suite;
        append(suite, "KEM");
        appendUInt16(suite, kKEMID);
        return suite;
    }

    Bytes hpkeSuiteID(AEAD aead)
    {
        Bytes suite;
        append(suite, "HPKE");
        appendUInt16(suite, kKEMID);
        appendUInt16(suite, kKDFID);
        appendUInt16(suite, static_cast<std::uint16_t>(aead));
        return suite;
    }

    // RFC 9180 §4: LabeledExtract(salt, label, ikm) = Extract(salt, "HPKE-v1" || suite_id || label || ikm).
    Bytes labeledExtract(const Bytes& suiteID, std::span<const std::uint8_t> salt, std::string_view label,
        std::span<const std::uint8_t> inputKey)
    {
        Bytes labeled;
        append(labeled, "HPKE-v1");
        append(labeled, suiteID);
        append(labeled, label);
        append(labeled, inputKey);
        auto prk = hkdfExtract(salt, labeled);
        return Bytes(prk.begin(), prk.end());
    }

    // LabeledExpand(prk, label, info, L) = Expand(prk, I2OSP(L, 2) || "HPKE-v1" || suite_id || label || info, L).
    Bytes labeledExpand(const Bytes& suiteID, std::span<const std::uint8_t> prk, std::string_view label,
        std::span<const std::uint8_t> info, std::size_t length)
    {
        Bytes labeled;
        appendUInt16(labeled, static_cast<std::uint16_t>(length));
        append(labeled, "HPKE-v1");
        append(labeled, suiteID);
        append(labeled, label);
        append(labeled, info);
        return hkdfExpand(prk, labeled, length);
    }

    // RFC 9180 §4.1: ExtractAndExpand(dh, kem_context).
    Bytes extractAndExpand(std::span<const std::uint8_t> dh, std::span<const std::uint8_t> kemContext)
    {
        auto suite = kemSuiteID();
        auto prk = labeledExtract(suite, {}, "eae_prk", dh);
        return labeledExpand(suite, prk, "shared_secret", kemContext, kSecretBytes);
    }

    std::size_t keyLength(AEAD aead) { return aead == AEAD::aes128GCM ? 16 : 32; }

    // RFC 9180 §5.1: KeySchedule with the default (empty) PSK and PSK id.
    Context keySchedule(Mode mode, AEAD aead, std::span<const std::uint8_t> sharedSecret, std::span<const std::uint8_t> info)
    {
        auto suite = hpkeSuiteID(aead);
        Bytes context { static_cast<std::uint8_t>(mode) };
        append(context, labeledExtract(suite, {}, "psk_id_hash", {}));
        append(context, labeledExtract(suite, {}, "info_hash", info));
        auto secret = labeledExtract(suite, sharedSecret, "secret", {});
        return Context(labeledExpand(suite, secret, "key", context, keyLength(aead)),
            labeledExpand(suite, secret, "base_nonce", context, kNonceBytes),
            labeledExpand(suite, secret, "exp", context, kSecretBytes));
    }

    // The DH results and KEM context of Encap/AuthEncap (seen from the sender) or Decap/AuthDecap
    // (from the recipient): dh = DH(own, peer) [|| DH(static, recipient)], kem_context = enc || pkR [|| pkS].
    std::optional<Bytes> sharedSecretOf(std::span<const std::uint8_t> firstScalar, std::span<const std::uint8_t> firstPeer,
        std::span<const std::uint8_t> secondScalar, std::span<const std::uint8_t> secondPeer, const Bytes& kemContext)
    {
        auto first = P256::sharedSecret(firstScalar, firstPeer);
        if (!first)
            return std::nullopt;
        Bytes dh(first->begin(), first->end());
        if (!secondScalar.empty()) {
            auto second = P256::sharedSecret(secondScalar, secondPeer);
            if (!second)
                return std::nullopt;
            append(dh, *second);
        }
        auto secret = extractAndExpand(dh, kemContext);
        OPENSSL_cleanse(dh.data(), dh.size());
        return secret;
    }

}

struct Context::Cipher {
    explicit Cipher(std::span<const std::uint8_t> key)
        : aesgcm(key)
    {
    }
    AESGCM aesgcm;
};

Context::Context(Bytes key, Bytes baseNonce, Bytes exporterSecret)
    : m_key(std::move(key))
    , m_baseNonce(std::move(baseNonce))
    , m_exporterSecret(std::move(exporterSecret))
    , m_cipher(std::make_unique<Cipher>(m_key))
{
}

Context::Context(Context&&) noexcept = default;
Context& Context::operator=(Context&&) noexcept = default;
Context::~Context() = default;

// RFC 9180 §5.2: nonce = base_nonce XOR I2OSP(seq, Nn).
std::array<std::uint8_t, 12> Context::nextNonce() const
{
    std::array<std::uint8_t, 12> nonce {};
    std::copy(m_baseNonce.begin(), m_baseNonce.end(), nonce.begin());
    for (int byte = 0; byte < 8; ++byte)
        nonce[11 - byte] ^= static_cast<std::uint8_t>(m_sequence >> (8 * byte));
    return nonce;
}

Bytes Context::seal(std::span<const std::uint8_t> additionalData, std::span<const std::uint8_t> plaintext)
{
    Bytes sealed(plaintext.size() + AESGCM::tagBytes);
    if (!m_cipher->aesgcm.seal(nextNonce(), additionalData, plaintext, sealed))
        std::abort();
    ++m_sequence;
    return sealed;
}

std::optional<Bytes> Context::open(std::span<const std::uint8_t> additionalData, std::span<const std::uint8_t> ciphertext)
{
    if (ciphertext.size() < AESGCM::tagBytes)
        return std::nullopt;
    Bytes plaintext(ciphertext.size() - AESGCM::tagBytes);
    if (!m_cipher->aesgcm.open(nextNonce(), additionalData, ciphertext, plaintext))
        return std::nullopt;
    ++m_sequence;
    return plaintext;
}

std::optional<Sender> setupSender(Mode mode, AEAD aead, std::span<const std::uint8_t> recipientKey,
    std::span<const std::uint8_t> info, std::optional<KeyPair> sender)
{
    auto ephemeral = P256::generateScalar();
    auto result = detail::setupSenderWithEphemeral(mode, aead, recipientKey, info, sender, ephemeral);
    OPENSSL_cleanse(ephemeral.data(), ephemeral.size());
    return result;
}

std::optional<Sender> detail::setupSenderWithEphemeral(Mode mode, AEAD aead, std::span<const std::uint8_t> recipientKey,
    std::span<const std::uint8_t> info, std::optional<KeyPair> sender, std::span<const std::uint8_t> ephemeralScalar)
{
    auto encapsulated = P256::publicKeyOf(ephemeralScalar);
    if (!encapsulated || (mode == Mode::auth) != sender.has_value())
        return std::nullopt;
    Bytes kemContext(encapsulated->begin(), encapsulated->end());
    append(kemContext, recipientKey);
    if (sender)
        append(kemContext, sender->publicKey);
    auto secret = sharedSecretOf(ephemeralScalar, recipientKey, sender ? sender->scalar : std::span<const std::uint8_t> {},
        recipientKey, kemContext);
    if (!secret)
        return std::nullopt;
    auto context = keySchedule(mode, aead, *secret, info);
    return Sender { *encapsulated, std::move(*secret), std::move(context) };
}

std::optional<Context> setupRecipient(Mode mode, AEAD aead, KeyPair recipient,
    std::span<const std::uint8_t> encapsulatedKey, std::span<const std::uint8_t> info, std::span<const std::uint8_t> senderKey)
{
    if ((mode == Mode::auth) == senderKey.empty())
        return std::nullopt;
    Bytes kemContext(encapsulatedKey.begin(), encapsulatedKey.end());
    append(kemContext, recipient.publicKey);
    append(kemContext, senderKey);
    auto secret = sharedSecretOf(recipient.scalar, encapsulatedKey,
        mode == Mode::auth ? recipient.scalar : std::span<const std::uint8_t> {}, senderKey, kemContext);
    if (!secret)
        return std::nullopt;
    return keySchedule(mode, aead, *secret, info);
}

}
