#include "VellumarMacCore/Relay/PairingManager.h"

#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Relay/TokenDigests.h"

#include "Platform/Crypto.h"

#include <algorithm>
#include <cmath>

namespace vellumar {

namespace {

    constexpr std::size_t kCodeBytes = 32;

    // Codes are compared only as digests, over all their bytes, so neither a code's length nor the
    // position of its first wrong character shows in the time taken.
    bool codesMatch(std::string_view lhs, std::string_view rhs)
    {
        return digestsEqual(platform::sha256(lhs), platform::sha256(rhs));
    }

    PairingManager::TimePoint after(PairingManager::TimePoint start, PairingManager::Seconds span)
    {
        return start + std::chrono::duration_cast<PairingManager::TimePoint::duration>(span);
    }

}

PairingManager::PairingManager(Options options)
    : m_options(std::move(options))
{
}

PairingManager::Offer PairingManager::makeOffer()
{
    std::lock_guard lock(m_lock);
    m_offer = Offer { RelayIDs::randomToken(kCodeBytes), after(m_options.clock(), m_options.lifetime) };
    return *m_offer;
}

std::optional<PairingManager::Offer> PairingManager::currentOffer() const
{
    std::lock_guard lock(m_lock);
    if (m_offer && m_offer->expiresAt > m_options.clock())
        return m_offer;
    return std::nullopt;
}

void PairingManager::cancelOffer()
{
    std::lock_guard lock(m_lock);
    m_offer.reset();
}

PairingManager::Redemption PairingManager::redeem(std::string_view code)
{
    std::lock_guard lock(m_lock);
    TimePoint now = m_options.clock();

    // 1. The right code of a live offer wins even during a lockout.
    if (m_offer && m_offer->expiresAt > now && codesMatch(code, m_offer->code)) {
        m_used = UsedCode { m_offer->code, m_offer->expiresAt, std::nullopt };
        m_offer.reset();
        m_failures.clear();
        m_lockedUntil.reset();
        return Accepted {};
    }
    // 2. A repeat of the accepted code, until its offer would have expired, is told apart from a
    // wrong one and not counted.
    if (m_used && m_used->until > now && codesMatch(code, m_used->code))
        return AlreadyUsed { m_used->deviceID };
    // 3. A running lockout neither counts the attempt nor grows.
    if (m_lockedUntil && *m_lockedUntil > now) {
        double remaining = std::chrono::duration<double>(*m_lockedUntil - now).count();
        return RateLimited { std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(remaining))) };
    }
    // 4. A wrong code.
    m_lockedUntil.reset();
    std::erase_if(
        m_failures, [&](TimePoint failure) { return Seconds(now - failure) >= m_options.failureWindow; });
    m_failures.push_back(now);
    if (static_cast<int>(m_failures.size()) >= m_options.maxFailures) {
        m_failures.clear();
        m_lockedUntil = after(now, m_options.lockout);
    }
    return Invalid {};
}

void PairingManager::recordDevice(std::string id)
{
    std::lock_guard lock(m_lock);
    if (m_used)
        m_used->deviceID = std::move(id);
}

}
