// The router's request of a phone that unpairs itself; its mailbox registration has a file of its own.
#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Relay/DeviceRemoval.h"

namespace vellumar {

HTTPResponse RelayRouter::handleForget(
    const HTTPRequest& request, const PairedDevice& device, const RequestOrigin& origin) const
{
    if (request.method() != "POST")
        throw RelayHTTPError::methodNotAllowed;
    if (auto body = decodeBody(request)) {
        const auto* object = body->objectValue();
        if (!object || !object->empty())
            throw RelayHTTPError::badRequest("Send an empty body.");
    }
    auto removed = removeDeviceClosingTerminals(m_devices, m_terminals, device.id);
    // Through the mailbox, the phone still fetches this very answer from its zone.
    forgetMailboxPairing(m_mailbox, removed,
        origin.isMailbox() ? MailboxRegistrar::ForgetTiming::afterDelay
                           : MailboxRegistrar::ForgetTiming::now);
    return HTTPResponse::json(200, JSON::object({ { "forgotten", true } }));
}

}
