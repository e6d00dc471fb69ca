#include "Platform/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

namespace vellumar::platform {

SHA1Digest sha1(std::span<const std::uint8_t> bytes)
{
    SHA1Digest digest {};
    SHA1(bytes.data(), bytes.size(), digest.data());
    return digest;
}

SHA256Digest sha256(std::span<const std::uint8_t> bytes)
{
    SHA256Digest digest {};
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

std::string base64Encode(std::span<const std::uint8_t> bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    int written = EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(written));
    return out;
}

}
