#include "Platform/P256.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace vellumar::platform::P256 {

namespace {

    template <auto Free>
    struct Deleter {
        template <typename T>
        void operator()(T* pointer) const { Free(pointer); }
    };
    using Group = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP_free>>;
    using Point = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;
    using BigNumber = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;

    // The group is immutable once made, so one is shared by every thread.
    const EC_GROUP* curve()
    {
        static const Group group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
        if (!group)
            std::abort();
        return group.get();
    }

    // 1 <= value < n.
    BigNumber scalarValue(std::span<const std::uint8_t> scalar)
    {
        if (scalar.size() != Scalar {}.size())
            return nullptr;
        BigNumber value(BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), nullptr));
        if (!value || BN_is_zero(value.get()) || BN_cmp(value.get(), EC_GROUP_get0_order(curve())) >= 0)
            return nullptr;
        return value;
    }

    Point pointFrom(std::span<const std::uint8_t> x963)
    {
        if (x963.size() != PublicKey {}.size() || x963[0] != POINT_CONVERSION_UNCOMPRESSED)
            return nullptr;
        Point point(EC_POINT_new(curve()));
        // EC_POINT_oct2point checks that the point lies on the curve.
        if (!point || EC_POINT_oct2point(curve(), point.get(), x963.data(), x963.size(), nullptr) != 1
            || EC_POINT_is_at_infinity(curve(), point.get()))
            return nullptr;
        return point;
    }

}

bool isValidPublicKey(std::span<const std::uint8_t> x963) { return pointFrom(x963) != nullptr; }

std::optional<PublicKey> publicKeyOf(std::span<const std::uint8_t> scalar)
{
    BigNumber value = scalarValue(scalar);
    if (!value)
        return std::nullopt;
    Point point(EC_POINT_new(curve()));
    PublicKey key {};
    if (!point || EC_POINT_mul(curve(), point.get(), value.get(), nullptr, nullptr, nullptr) != 1
        || EC_POINT_point2oct(curve(), point.get(), POINT_CONVERSION_UNCOMPRESSED, key.data(), key.size(), nullptr)
            != key.size())
        return std::nullopt;
    return key;
}

Scalar generateScalar()
{
    BigNumber value(BN_new());
    Scalar scalar {};
    // BN_priv_rand_range draws uniformly below n from the DRBG seeded by the kernel; 0 is redrawn.
    do {
        if (!value || BN_priv_rand_range(value.get(), EC_GROUP_get0_order(curve())) != 1)
            std::abort();
    } while (BN_is_zero(value.get()));
    if (BN_bn2binpad(value.get(), scalar.data(), static_cast<int>(scalar.size())) != static_cast<int>(scalar.size()))
        std::abort();
    return scalar;
}

std::optional<SharedSecret> sharedSecret(
    std::span<const std::uint8_t> scalar, std::span<const std::uint8_t> peerX963)
{
    BigNumber value = scalarValue(scalar);
    Point peer = pointFrom(peerX963);
    Point shared(EC_POINT_new(curve()));
    if (!value || !peer || !shared
        || EC_POINT_mul(curve(), shared.get(), nullptr, peer.get(), value.get(), nullptr) != 1
        || EC_POINT_is_at_infinity(curve(), shared.get()))
        return std::nullopt;
    PublicKey encoded {};
    if (EC_POINT_point2oct(curve(), shared.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(), encoded.size(),
            nullptr)
        != encoded.size())
        return std::nullopt;
    SharedSecret secret {};
    std::copy_n(encoded.begin() + 1, secret.size(), secret.begin());
    return secret;
}

}
