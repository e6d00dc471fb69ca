// The router's requests about the calling phone itself: registering its iCloud mailbox, unpairing
// itself, and opening a remote terminal over a WebSocket.
#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/WebSocketHandshake.h"
#include "VellumarMacCore/Relay/DeviceRemoval.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/RouterQuery.h"
#include "VellumarMacCore/Relay/TerminalService.h"

#include <cstdint>
#include <string>

namespace vellumar {

namespace {

    constexpr int kMaxColumns = 1000;
    constexpr int kMaxRows = 500;
    constexpr int kBusyRetrySeconds = 5;

    RelayHTTPError terminalOff()
    {
        return { 409, "terminal_off",
            "The terminal is turned off on this Mac. Turn on \u201cAllow terminal from iPhone\u201d in the "
            "Vellumar for Mac menu." };
    }

    RelayHTTPError terminalsBusy()
    {
        return { 429, "busy", "Too many terminals are open on this Mac. Close one and try again.",
            kBusyRetrySeconds };
    }

    // Neither item: the phone's default screen. Otherwise both, each a whole number in its range.
    TerminalSize terminalSize(const QueryItems& query)
    {
        detail::requireOnlyQueryNames(query, { "cols", "rows" }, "Only cols and rows may be given.");
        if (query.empty())
            return {};
        auto dimension = [&](std::string_view name, int limit) {
            const auto* text = detail::queryItem(query, name);
            auto value = text ? detail::parsedNumber<std::int64_t>(*text) : std::nullopt;
            if (!value || *value < 1 || *value > limit) {
                throw RelayHTTPError::badRequest("cols must be 1 to " + std::to_string(kMaxColumns)
                    + " and rows 1 to " + std::to_string(kMaxRows) + ".");
            }
            return static_cast<int>(*value);
        };
        int columns = dimension("cols", kMaxColumns);
        return { .columns = columns, .rows = dimension("rows", kMaxRows) };
    }

}

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

HTTPResponse RelayRouter::handleTerminal(const HTTPRequest& request, const PairedDevice& device) const
{
    if (request.method() != "GET")
        throw RelayHTTPError::methodNotAllowed;
    if (!m_options.terminal())
        throw terminalOff();
    auto size = terminalSize(*request.query());
    auto key = WebSocketHandshake::validate(request);
    auto session = m_terminals->open(device.id, device.name);
    if (!session)
        throw terminalsBusy();
    TerminalService* terminals = m_terminals;
    return HTTPResponse::webSocketAccept(
        key,
        [terminals, id = *session, size](
            std::shared_ptr<WebSocketConnection> socket) { terminals->start(id, std::move(socket), size); },
        [terminals, id = *session] { terminals->close(id); });
}

}
