// The router's terminal area: a paired phone's request for a login shell, checked and answered with
// the switch to WebSocket that starts it.
#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/WebSocketHandshake.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/RouterQuery.h"
#include "VellumarMacCore/Relay/TerminalRegistry.h"

#include <cstdint>
#include <string>

namespace vellumar {

namespace {

    constexpr int kBusyRetrySeconds = 5;

    // Neither item: the phone's default screen. Otherwise both, each a whole number in its range.
    TerminalSize requestedSize(const QueryItems& query)
    {
        detail::requireOnlyQueryNames(query, { "cols", "rows" }, "Only cols and rows may be given.");
        if (query.empty())
            return TerminalSize::standard;
        auto valueOf = [&](std::string_view name) -> std::optional<std::int64_t> {
            const auto* text = detail::queryItem(query, name);
            return text ? detail::parsedNumber<std::int64_t>(*text) : std::nullopt;
        };
        auto size = TerminalSize::make(valueOf("cols"), valueOf("rows"));
        if (!size) {
            throw RelayHTTPError::badRequest("cols must be 1 to " + std::to_string(TerminalSize::maxColumns)
                + " and rows 1 to " + std::to_string(TerminalSize::maxRows) + ".");
        }
        return *size;
    }

}

HTTPResponse RelayRouter::handleTerminal(const HTTPRequest& request, const PairedDevice& device) const
{
    if (request.method() != "GET")
        throw RelayHTTPError::methodNotAllowed;
    if (!m_options.terminal()) {
        throw RelayHTTPError(409, "terminal_off",
            "The terminal is turned off on this Mac. Turn on \u201cAllow terminal from iPhone\u201d in the "
            "Vellumar for Mac menu.");
    }
    const TerminalSize size = requestedSize(*request.query());
    const std::string key = WebSocketHandshake::validate(request);
    auto id = m_terminals->open(device.id, device.name);
    if (!id) {
        throw RelayHTTPError(429, "busy", "Too many terminals are open on this Mac. Close one and try again.",
            kBusyRetrySeconds);
    }
    return HTTPResponse::webSocketAccept(
        key,
        [terminals = m_terminals, id = *id, size](
            std::shared_ptr<WebSocketConnection> socket) { terminals->start(id, std::move(socket), size); },
        [terminals = m_terminals, id = *id] { terminals->close(id); });
}

}
