// Sealing and opening a 1 KiB envelope against the bare cryptography of the same steps, measured in the
// same run, done with the OpenSSL calls the envelope itself makes and no more: one P-256 scalar drawn and
// its public point, four ECDH multiplications of a peer point read from its encoding, the sixteen HMAC
// calls of two auth-mode HPKE key schedules (HKDF extract and expand of 32 bytes each), and one
// AES-256-GCM seal and open of the plaintext with the key set once. The envelope should cost little more
// than its cryptography (aim: at most 1.15 times); below 1 would mean the reference does more work.
#include "MovraneMailbox/Protocol/MailboxCipher.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/obj_mac.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace movrane;
using Clock = std::chrono::steady_clock;
constexpr int kRounds = 1000;
constexpr int kRepeats = 6;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

using Scalar = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
using Point = std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)>;
using Encoded = std::array<unsigned char, 65>;

const EC_GROUP* curve()
{
    static EC_GROUP* const group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
    return group;
}

Scalar newScalar()
{
    Scalar scalar(BN_new(), BN_free);
    require(scalar && BN_priv_rand_range(scalar.get(), EC_GROUP_get0_order(curve())) == 1);
    return scalar;
}

Encoded encode(const EC_POINT* point)
{
    Encoded encoded;
    require(EC_POINT_point2oct(
                curve(), point, POINT_CONVERSION_UNCOMPRESSED, encoded.data(), encoded.size(), nullptr)
        == encoded.size());
    return encoded;
}

Encoded publicPoint(const BIGNUM* scalar)
{
    Point point(EC_POINT_new(curve()), EC_POINT_free);
    require(point && EC_POINT_mul(curve(), point.get(), scalar, nullptr, nullptr, nullptr) == 1);
    return encode(point.get());
}

Encoded derive(const BIGNUM* own, const Encoded& peerEncoded)
{
    Point peer(EC_POINT_new(curve()), EC_POINT_free);
    Point shared(EC_POINT_new(curve()), EC_POINT_free);
    require(peer && shared
        && EC_POINT_oct2point(curve(), peer.get(), peerEncoded.data(), peerEncoded.size(), nullptr) == 1
        && EC_POINT_mul(curve(), shared.get(), nullptr, peer.get(), own, nullptr) == 1);
    return encode(shared.get());
}

void hmac(const unsigned char* key, const std::vector<unsigned char>& message)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    require(HMAC(EVP_sha256(), key, 32, message.data(), message.size(), out, &length) != nullptr);
}

class Sealer {
public:
    Sealer()
    {
        unsigned char key[32] = {};
        require(m_encrypt && m_decrypt
            && EVP_EncryptInit_ex(m_encrypt, EVP_aes_256_gcm(), nullptr, key, nullptr) == 1
            && EVP_DecryptInit_ex(m_decrypt, EVP_aes_256_gcm(), nullptr, key, nullptr) == 1);
    }
    ~Sealer()
    {
        EVP_CIPHER_CTX_free(m_encrypt);
        EVP_CIPHER_CTX_free(m_decrypt);
    }
    Sealer(const Sealer&) = delete;
    Sealer& operator=(const Sealer&) = delete;

    void sealAndOpen(const std::vector<unsigned char>& plaintext)
    {
        unsigned char nonce[12] = {}, tag[16];
        std::vector<unsigned char> sealed(plaintext.size()), opened(plaintext.size());
        int length = 0;
        require(EVP_EncryptInit_ex(m_encrypt, nullptr, nullptr, nullptr, nonce) == 1
            && EVP_EncryptUpdate(
                   m_encrypt, sealed.data(), &length, plaintext.data(), static_cast<int>(plaintext.size()))
                == 1
            && EVP_EncryptFinal_ex(m_encrypt, sealed.data() + length, &length) == 1
            && EVP_CIPHER_CTX_ctrl(m_encrypt, EVP_CTRL_GCM_GET_TAG, 16, tag) == 1);
        require(EVP_DecryptInit_ex(m_decrypt, nullptr, nullptr, nullptr, nonce) == 1
            && EVP_DecryptUpdate(
                   m_decrypt, opened.data(), &length, sealed.data(), static_cast<int>(sealed.size()))
                == 1
            && EVP_CIPHER_CTX_ctrl(m_decrypt, EVP_CTRL_GCM_SET_TAG, 16, tag) == 1
            && EVP_DecryptFinal_ex(m_decrypt, opened.data() + length, &length) == 1);
    }

private:
    EVP_CIPHER_CTX* m_encrypt = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* m_decrypt = EVP_CIPHER_CTX_new();
};

// The best time per round of each kind of work, the two done in turns so that a change of the machine's
// load weighs on both alike.
struct Timings {
    double envelope = 1e300;
    double raw = 1e300;
};

template <typename Work> double microsecondsPerRound(Work&& work)
{
    auto started = Clock::now();
    for (int round = 0; round < kRounds; ++round)
        work();
    return std::chrono::duration<double, std::micro>(Clock::now() - started).count() / kRounds;
}

template <typename Envelope, typename Raw> Timings alternated(Envelope&& envelope, Raw&& raw)
{
    Timings best;
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
        best.envelope = std::min(best.envelope, microsecondsPerRound(envelope));
        best.raw = std::min(best.raw, microsecondsPerRound(raw));
    }
    return best;
}

}

int main()
{
    auto mac = MailboxIdentity::generate();
    auto device = MailboxIdentity::generate();
    auto deviceTag = MailboxPartyTag::device("bench");
    auto zone = MailboxZoneName::make();
    auto record = MailboxRecordName::envelope();
    auto created = std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
    auto message = MailboxMessage::make(MailboxMessageID::make(), "mac", deviceTag, 1, created,
        created + std::chrono::seconds(900), MailboxEvent { "bench", MailboxBytes(1024, 'b') });
    auto sealAndOpen = [&] {
        auto sealed = MailboxCipher::seal(message, record, zone, mac, device.publicKey());
        MailboxCipher::open(sealed, record, zone, device, deviceTag, mac.publicKey(), "mac", created);
    };

    Scalar sender = newScalar();
    Scalar recipient = newScalar();
    Encoded senderPublic = publicPoint(sender.get());
    Encoded recipientPublic = publicPoint(recipient.get());
    std::vector<unsigned char> plaintext(1024 + 120, 'p');
    // A labelled HKDF input: the length, "HPKE-v1", the suite, the label and a KEM context's two points.
    std::vector<unsigned char> labelled(2 + 7 + 10 + 13 + 2 * 65, 'l');
    unsigned char prk[32] = {};
    Sealer sealer;
    auto bare = [&] {
        Scalar ephemeral = newScalar();
        Encoded enc = publicPoint(ephemeral.get());
        derive(ephemeral.get(), recipientPublic);
        derive(sender.get(), recipientPublic);
        derive(recipient.get(), enc);
        derive(recipient.get(), senderPublic);
        for (int call = 0; call < 16; ++call)
            hmac(prk, labelled);
        sealer.sealAndOpen(plaintext);
    };
    Timings best = alternated(sealAndOpen, bare);
    std::printf("seal and open of a 1 KiB envelope: %.1f us\nthe same steps in bare OpenSSL calls: %.1f us\n"
                "ratio: %.2f (aim <= 1.15)\n",
        best.envelope, best.raw, best.envelope / best.raw);
}
