// The router's requests about the calling phone itself: registering its iCloud mailbox and unpairing
// itself.
#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Relay/DeviceRemoval.h"

namespace vellumar {

HTTPResponse RelayRouter::handleMailboxRegister(const HTTPRequest& request, const PairedDevice&) const
{
    if (request.method() != "POST")
        throw RelayHTTPError::methodNotAllowed;
    // FIXME: this Mac has no iCloud mailbox yet; once it can have one, the offer in the body is read and
    // answered here.
    throw RelayHTTPError::notFound;
}

HTTPResponse RelayRouter::handleForget(const HTTPRequest& request, const PairedDevice& device) const
{
    if (request.method() != "POST")
        throw RelayHTTPError::methodNotAllowed;
    if (auto body = decodeBody(request)) {
        const auto* object = body->objectValue();
        if (!object || !object->empty())
            throw RelayHTTPError::badRequest("Send an empty body.");
    }
    removeDeviceClosingTerminals(m_devices, m_terminals, device.id);
    return HTTPResponse::json(200, JSON::object({ { "forgotten", true } }));
}

}
