// The router's terminal area: a paired phone's request for a login shell, checked and answered with
// the switch to WebSocket that starts it.
#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/WebSocketHandshake.h"
#include "VellumarMacCore/Relay/QueryNumbers.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/TerminalRegistry.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace vellumar {

namespace {

    TerminalSize requestedSize(const QueryItems& query)
    {
        if (!std::ranges::all_of(
                query, [](const auto& item) { return item.first == "cols" || item.first == "rows"; }))
            throw RelayHTTPError::badRequest("Only cols and rows may be given.");
        if (query.empty())
            return TerminalSize::standard;
        auto valueOf = [&](std::string_view name) -> std::optional<std::int64_t> {
            auto item = std::ranges::find(query, name, &QueryItems::value_type::first);
            if (item == query.end())
                return std::nullopt;
            return detail::parsedNumber<std::int64_t>(item->second);
        };
        auto size = TerminalSize::make(valueOf("cols"), valueOf("rows"));
        if (!size)
            throw RelayHTTPError::badRequest("cols must be 1 to " + std::to_string(TerminalSize::maxColumns)
                + " and rows 1 to " + std::to_string(TerminalSize::maxRows) + ".");
        return *size;
    }

}

HTTPResponse RelayRouter::handleTerminal(const HTTPRequest& request, const PairedDevice& device) const
{
    if (request.method() != "GET")
        throw RelayHTTPError::methodNotAllowed;
    if (!m_options.terminal())
        throw RelayHTTPError(409, "terminal_off",
            "The terminal is turned off on this Mac. Turn on “Allow terminal from iPhone” in the Vellumar "
            "for "
            "Mac menu.");
    const TerminalSize size = requestedSize(*request.query());
    const std::string key = WebSocketHandshake::validate(request);
    auto id = m_terminals->open(device.id, device.name);
    if (!id)
        throw RelayHTTPError(
            429, "busy", "Too many terminals are open on this Mac. Close one and try again.");
    return HTTPResponse::webSocketAccept(
        key,
        [terminals = m_terminals, id = *id, size](
            std::shared_ptr<WebSocketConnection> socket) { terminals->start(id, std::move(socket), size); },
        [terminals = m_terminals, id = *id] { terminals->close(id); });
}

}
