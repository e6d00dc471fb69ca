// The router's routine area: listing, creating, reading, changing, deleting and running the phone's
// routines, and reading their results. The routine manager checks ids and bodies; this area checks
// the switch, the path, the method and the query.
#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Relay/QueryNumbers.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Routines/RoutineManager.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar {

namespace {

    // The value of the query's one item, which must be named `name`; nothing for an empty query.
    // Throws 400 with `message` for an item of any other name or a second item.
    std::optional<std::string> onlyQueryItem(
        const HTTPRequest& request, std::string_view name, std::string_view message)
    {
        const auto& query = *request.query();
        if (query.size() > 1
            || std::ranges::any_of(query, [&](const auto& item) { return item.first != name; }))
            throw RelayHTTPError::badRequest(std::string(message));
        return query.empty() ? std::nullopt : std::optional(query.front().second);
    }

    std::optional<std::string> listedBot(const HTTPRequest& request)
    {
        auto botID = onlyQueryItem(request, "botId", "Only botId may be given.");
        if (botID && !RelayIDs::isValidID(*botID))
            throw RelayHTTPError::badRequest("botId is not valid.");
        return botID;
    }

    std::int64_t resultsSince(const HTTPRequest& request)
    {
        auto text = onlyQueryItem(request, "since", "Only since may be given.");
        if (!text)
            return 0;
        auto since = detail::parsedNumber<std::int64_t>(*text);
        if (!since || *since < 0)
            throw RelayHTTPError::badRequest("since must be a whole number, 0 or more.");
        return *since;
    }

    JSON bodyOf(const HTTPRequest& request) { return RelayRouter::decodeBody(request).value_or(JSON()); }

}

HTTPResponse RelayRouter::handleRoutines(const HTTPRequest& request, Components rest) const
{
    // Before the path is looked at, so that the phone learns why rather than what is missing.
    if (!m_options.routines())
        throw RelayHTTPError(409, "routines_off",
            "Routines are turned off on this Mac. Turn them on in the Vellumar for Mac menu.");
    const auto& method = request.method();
    if (rest.empty()) {
        if (method == "GET")
            return HTTPResponse::json(200, m_routines->list(listedBot(request)));
        if (method == "POST")
            return HTTPResponse::json(201, m_routines->create(bodyOf(request)));
        throw RelayHTTPError::methodNotAllowed;
    }
    if (rest.size() == 1) {
        // Never a routine id: ids begin with "r-".
        if (rest[0] == "results") {
            if (method != "GET")
                throw RelayHTTPError::methodNotAllowed;
            return HTTPResponse::json(200, m_routines->results(resultsSince(request)));
        }
        if (method == "GET")
            return HTTPResponse::json(200, m_routines->routine(rest[0]));
        if (method == "PUT")
            return HTTPResponse::json(200, m_routines->update(rest[0], bodyOf(request)));
        if (method == "DELETE")
            return HTTPResponse::json(200, m_routines->remove(rest[0]));
        throw RelayHTTPError::methodNotAllowed;
    }
    if (rest.size() == 2 && rest[1] == "run") {
        if (method != "POST")
            throw RelayHTTPError::methodNotAllowed;
        return HTTPResponse::json(202, m_routines->runNow(rest[0]));
    }
    throw RelayHTTPError::notFound;
}

}
