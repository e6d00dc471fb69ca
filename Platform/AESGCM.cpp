#include "Platform/AESGCM.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <limits>

namespace vellumar::platform {

struct AESGCM::Context {
    EVP_CIPHER_CTX* encrypt = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* decrypt = EVP_CIPHER_CTX_new();
    ~Context()
    {
        EVP_CIPHER_CTX_free(encrypt);
        EVP_CIPHER_CTX_free(decrypt);
    }
};

namespace {

    // EVP takes int lengths; the mailbox's chunks are at most 16 MiB, far below.
    bool fitsInt(std::size_t size) { return size <= static_cast<std::size_t>(std::numeric_limits<int>::max()); }

}

AESGCM::AESGCM(std::span<const std::uint8_t> key)
    : m_context(std::make_unique<Context>())
{
    const EVP_CIPHER* cipher = key.size() == 16 ? EVP_aes_128_gcm() : key.size() == 32 ? EVP_aes_256_gcm() : nullptr;
    // The key is set once; each message below only sets its nonce (a null cipher keeps the key).
    if (!cipher || !m_context->encrypt || !m_context->decrypt
        || EVP_EncryptInit_ex(m_context->encrypt, cipher, nullptr, key.data(), nullptr) != 1
        || EVP_DecryptInit_ex(m_context->decrypt, cipher, nullptr, key.data(), nullptr) != 1)
        std::abort();
}

AESGCM::~AESGCM() = default;

bool AESGCM::seal(std::span<const std::uint8_t, nonceBytes> nonce, std::span<const std::uint8_t> additionalData,
    std::span<const std::uint8_t> plaintext, std::span<std::uint8_t> sealed)
{
    EVP_CIPHER_CTX* context = m_context->encrypt;
    int length = 0;
    if (sealed.size() != plaintext.size() + tagBytes || !fitsInt(plaintext.size()) || !fitsInt(additionalData.size())
        || EVP_EncryptInit_ex(context, nullptr, nullptr, nullptr, nonce.data()) != 1
        || EVP_EncryptUpdate(context, nullptr, &length, additionalData.data(), static_cast<int>(additionalData.size()))
            != 1
        || EVP_EncryptUpdate(context, sealed.data(), &length, plaintext.data(), static_cast<int>(plaintext.size())) != 1
        || EVP_EncryptFinal_ex(context, sealed.data() + length, &length) != 1
        || EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagBytes),
               sealed.data() + plaintext.size())
            != 1)
        return false;
    return true;
}

bool AESGCM::open(std::span<const std::uint8_t, nonceBytes> nonce, std::span<const std::uint8_t> additionalData,
    std::span<const std::uint8_t> sealed, std::span<std::uint8_t> plaintext)
{
    EVP_CIPHER_CTX* context = m_context->decrypt;
    if (sealed.size() < tagBytes || plaintext.size() != sealed.size() - tagBytes)
        return false;
    std::size_t cipherLength = sealed.size() - tagBytes;
    // EVP_CTRL_GCM_SET_TAG reads through a non-const pointer; it only copies the bytes.
    auto* tag = const_cast<std::uint8_t*>(sealed.data() + cipherLength);
    int length = 0;
    bool opened = fitsInt(cipherLength) && fitsInt(additionalData.size())
        && EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, nonce.data()) == 1
        && EVP_DecryptUpdate(context, nullptr, &length, additionalData.data(), static_cast<int>(additionalData.size()))
            == 1
        && EVP_DecryptUpdate(context, plaintext.data(), &length, sealed.data(), static_cast<int>(cipherLength)) == 1
        && EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagBytes), tag) == 1
        && EVP_DecryptFinal_ex(context, plaintext.data() + length, &length) == 1;
    if (!opened)
        OPENSSL_cleanse(plaintext.data(), plaintext.size());
    return opened;
}

}
