// The router's part in pairing a phone's iCloud mailbox: reading the offer a phone sends with its
// pairing or its registration, having the Mac's mailbox answer it, and keeping the outcome on the device.
#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"

namespace vellumar {

namespace {

    using movrane::MailboxPairingAnswer;

    RelayHTTPError sendTheOffer() { return RelayHTTPError::badRequest(R"(Send {"mailbox": {...}}.)"); }

    RelayHTTPError invalidOffer() { return RelayHTTPError::badRequest("mailbox is not valid."); }

    // Storing is best effort: the phone still hears its answer, and asks again when it finds the mailbox off.
    template <typename Store> void storeIgnoringFailure(Store store)
    {
        try {
            store();
        } catch (...) {
        }
    }

}

std::optional<RelayRouter::MailboxOfferField> RelayRouter::parseMailboxOffer(const JSON* member)
{
    if (!member || member->isNull())
        return std::nullopt;
    const auto* version = member->objectValue() ? member->subscript("v") : nullptr;
    if (!version || !version->intValue())
        throw invalidOffer();
    if (*version->intValue() != 1)
        return UnsupportedOfferVersion {};
    try {
        return movrane::MailboxPairingOffer::fromJSON(*member);
    } catch (const std::exception&) {
        throw invalidOffer();
    }
}

JSON RelayRouter::answerJSON(const MailboxPairingAnswer& answer) { return answer.toJSON(); }

HTTPResponse RelayRouter::handleMailboxRegister(const HTTPRequest& request, const PairedDevice& device) const
{
    if (request.method() != "POST")
        throw RelayHTTPError::methodNotAllowed;
    if (!m_mailbox)
        throw RelayHTTPError::notFound;
    auto body = decodeBody(request);
    const auto* object = body ? body->objectValue() : nullptr;
    if (!object || object->size() != 1)
        throw sendTheOffer();
    auto field = parseMailboxOffer(body->subscript("mailbox"));
    if (!field)
        throw sendTheOffer();
    auto answer = registerMailbox(*field, device.id, device.mailbox);
    if (!answer)
        throw RelayHTTPError::notFound;
    return HTTPResponse::json(
        200, JSON::object({ { "mailbox", answerJSON(*answer) }, { "deviceId", device.id } }));
}

std::optional<MailboxPairingAnswer> RelayRouter::registerMailbox(const MailboxOfferField& field,
    const std::string& deviceID, const std::optional<movrane::MailboxPairing>& stored) const
{
    if (!m_mailbox)
        return std::nullopt;
    const auto* offer = std::get_if<movrane::MailboxPairingOffer>(&field);
    auto answer = offer
        ? m_mailbox->registerDevice(*offer, stored ? std::optional(stored->zoneName) : std::nullopt)
        : m_mailbox->unsupportedOfferAnswer();
    if (answer.status == MailboxPairingAnswer::Status::enabled) {
        std::optional<movrane::MailboxPairing> pairing;
        try {
            if (offer && answer.zone && answer.macKey)
                pairing = movrane::MailboxPairing::make(
                    *answer.zone, m_macID, deviceID, *answer.macKey, offer->deviceKey);
        } catch (const movrane::MailboxPairingError&) {
        }
        if (pairing) {
            storeIgnoringFailure([&] { m_devices.setMailbox(deviceID, pairing, std::nullopt); });
            m_mailbox->scheduleSetUp(*pairing);
            return answer;
        }
        // An answer the phone could not pair with is no pairing at all.
        answer = { .v = 1,
            .status = MailboxPairingAnswer::Status::lanOnly,
            .reason = MailboxPairingAnswer::Reason::macICloudUnavailable,
            .zone = std::nullopt,
            .macKey = answer.macKey,
            .account = std::nullopt };
    }
    // A Mac whose iCloud is briefly out of reach keeps the pairing it has.
    if (stored && answer.reason == MailboxPairingAnswer::Reason::macICloudUnavailable)
        return answer;
    storeIgnoringFailure([&] { m_devices.setMailbox(deviceID, std::nullopt, answer.reason); });
    if (stored)
        m_mailbox->forget(*stored, MailboxRegistrar::ForgetTiming::now);
    return answer;
}

}
