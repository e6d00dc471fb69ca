#include "Platform/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdlib>

namespace vellumar::platform {

SHA1Digest sha1(std::span<const std::uint8_t> bytes)
{
    SHA1Digest digest {};
    SHA1(bytes.data(), bytes.size(), digest.data());
    return digest;
}

namespace {

    // OpenSSL 3 looks the algorithm up anew on every one-shot SHA256() call, which costs more than
    // hashing a token. Even fetched once, each EVP_Digest takes a shared lock and counts a reference on
    // the one algorithm object, which threads hashing at once pass between their CPUs on every call
    // (more than doubling its cost on two): each thread reuses a context of its own instead.
    struct ThreadSHA256 {
        ThreadSHA256()
            : algorithm(EVP_MD_fetch(nullptr, "SHA256", nullptr))
            , context(EVP_MD_CTX_new())
        {
        }
        ~ThreadSHA256()
        {
            EVP_MD_CTX_free(context);
            EVP_MD_free(algorithm);
        }
        ThreadSHA256(const ThreadSHA256&) = delete;
        ThreadSHA256& operator=(const ThreadSHA256&) = delete;

        bool digest(std::span<const std::uint8_t> bytes, SHA256Digest& digest)
        {
            return algorithm && context && EVP_DigestInit_ex2(context, algorithm, nullptr) == 1
                && EVP_DigestUpdate(context, bytes.data(), bytes.size()) == 1
                && EVP_DigestFinal_ex(context, digest.data(), nullptr) == 1;
        }

        EVP_MD* algorithm;
        EVP_MD_CTX* context;
    };

}

SHA256Digest sha256(std::span<const std::uint8_t> bytes)
{
    thread_local ThreadSHA256 hasher;
    SHA256Digest digest {};
    if (!hasher.digest(bytes, digest))
        SHA256(bytes.data(), bytes.size(), digest.data());
    return digest;
}

SHA256Digest sha256(std::string_view text)
{
    return sha256(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

bool constantTimeEqual(std::span<const std::uint8_t> lhs, std::span<const std::uint8_t> rhs)
{
    if (lhs.size() != rhs.size())
        return false;
    return CRYPTO_memcmp(lhs.data(), rhs.data(), lhs.size()) == 0;
}

SHA256Digest hmacSHA256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message)
{
    SHA256Digest digest {};
    unsigned int length = 0;
    // An empty key still needs a non-null pointer.
    static const std::uint8_t kEmpty = 0;
    if (!HMAC(EVP_sha256(), key.empty() ? &kEmpty : key.data(), static_cast<int>(key.size()), message.data(),
            message.size(), digest.data(), &length)
        || length != digest.size())
        std::abort();
    return digest;
}

SHA256Digest hkdfExtract(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> inputKey)
{
    // RFC 5869 §2.2: an absent salt is HashLen zero bytes, which HMAC pads to the same block as an empty key.
    return hmacSHA256(salt, inputKey);
}

std::vector<std::uint8_t> hkdfExpand(
    std::span<const std::uint8_t> pseudorandomKey, std::span<const std::uint8_t> info, std::size_t length)
{
    constexpr std::size_t hashLength = SHA256Digest {}.size();
    if (length > 255 * hashLength)
        std::abort();
    // RFC 5869 §2.3: T(i) = HMAC-Hash(PRK, T(i - 1) | info | i), with T(0) empty.
    std::vector<std::uint8_t> output;
    output.reserve(length);
    std::vector<std::uint8_t> block;
    for (std::uint8_t counter = 1; output.size() < length; ++counter) {
        std::vector<std::uint8_t> message(block);
        message.insert(message.end(), info.begin(), info.end());
        message.push_back(counter);
        auto digest = hmacSHA256(pseudorandomKey, message);
        block.assign(digest.begin(), digest.end());
        std::size_t take = std::min(hashLength, length - output.size());
        output.insert(output.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take));
    }
    return output;
}

std::string base64Encode(std::span<const std::uint8_t> bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    int written = EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(written));
    return out;
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text)
{
    auto sextet = [](char character) -> int {
        if (character >= 'A' && character <= 'Z')
            return character - 'A';
        if (character >= 'a' && character <= 'z')
            return character - 'a' + 26;
        if (character >= '0' && character <= '9')
            return character - '0' + 52;
        if (character == '+')
            return 62;
        if (character == '/')
            return 63;
        return -1;
    };
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
        ++padding;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t bits = 0;
    int bitCount = 0;
    for (char character : text.substr(0, text.size() - padding)) {
        int value = sextet(character);
        if (value < 0)
            return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> bitCount));
        }
    }
    return bytes;
}

}
