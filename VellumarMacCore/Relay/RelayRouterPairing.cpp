// The router's pairing request: the one request a phone makes without a token, trading the code
// from the Mac's QR code for a token of its own.
#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/Foundations/CleanText.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/PairingManager.h"

#include <algorithm>
#include <optional>
#include <string>
#include <variant>

namespace vellumar {

namespace {

    constexpr std::size_t kMaxCodeCharacters = 128;
    constexpr std::size_t kMaxDeviceNameCharacters = 200;

    RelayHTTPError sendTheCode()
    {
        return RelayHTTPError::badRequest("Send the pairing code from the QR code.");
    }

    bool isPairingKey(const std::string& key)
    {
        return key == "code" || key == "deviceName" || key == "mailbox";
    }

    std::optional<std::string> deviceNameOf(const JSON* member)
    {
        if (!member || member->isNull())
            return std::nullopt;
        const auto* name = member->stringValue();
        if (!name || characterCount(*name) > kMaxDeviceNameCharacters)
            throw RelayHTTPError::badRequest("deviceName is not valid.");
        return *name;
    }

}

std::optional<movrane::MailboxPairingAnswer> RelayRouter::answerOffer(
    const MailboxOfferField& offer, const std::string& deviceID) const
{
    // The phone is paired by now whatever becomes of its mailbox; without an answer it stays on the
    // local network and may register later.
    try {
        return registerMailbox(offer, deviceID, std::nullopt);
    } catch (...) {
        return std::nullopt;
    }
}

HTTPResponse RelayRouter::handlePairing(const HTTPRequest& request) const
{
    auto body = decodeBody(request);
    const auto* object = body ? body->objectValue() : nullptr;
    if (!object
        || !std::ranges::all_of(*object, [](const auto& member) { return isPairingKey(member.first); }))
        throw sendTheCode();
    const auto* codeMember = body->subscript("code");
    const auto* code = codeMember ? codeMember->stringValue() : nullptr;
    // Checked before the pairing manager sees it, so that a malformed code never counts as a wrong one.
    if (!code || code->empty() || characterCount(*code) > kMaxCodeCharacters)
        throw sendTheCode();
    auto mailboxOffer = parseMailboxOffer(body->subscript("mailbox"));
    auto deviceName = deviceNameOf(body->subscript("deviceName"));

    auto redemption = m_pairing.redeem(*code);
    if (const auto* limited = std::get_if<PairingManager::RateLimited>(&redemption)) {
        throw RelayHTTPError(429, "too_many", "Too many wrong pairing codes. Try again later.",
            static_cast<int>(limited->retryAfter));
    }
    if (std::holds_alternative<PairingManager::Invalid>(redemption)) {
        throw RelayHTTPError(
            401, "pairing_code_invalid", "The pairing code is not valid. Show a new QR code on the Mac.");
    }
    if (const auto* used = std::get_if<PairingManager::AlreadyUsed>(&redemption)) {
        if (used->deviceID) {
            if (auto device = m_devices.device(*used->deviceID); device && m_onCodeReused)
                m_onCodeReused(*device);
        }
        throw RelayHTTPError(409, "pairing_code_used",
            "This pairing code was already used by another device. Check the devices in the Vellumar for Mac "
            "menu, then show a new QR code.");
    }

    auto pairing = m_devices.add(CleanText::deviceName(deviceName));
    m_pairing.recordDevice(pairing.device.id);
    JSON::Object reply { { "token", pairing.token }, { "macId", m_macID }, { "macName", m_macName() },
        { "deviceId", pairing.device.id } };
    if (auto answer = mailboxOffer ? answerOffer(*mailboxOffer, pairing.device.id) : std::nullopt)
        reply.emplace("mailbox", answerJSON(*answer));
    if (auto device = m_devices.device(pairing.device.id); device && m_onPaired)
        m_onPaired(*device);
    return HTTPResponse::json(200, JSON(std::move(reply)));
}

}
