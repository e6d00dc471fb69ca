#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/ConversationData/SpoolRemoval.h"
#include "VellumarMacCore/Foundations/HTTPDetail.h"
#include "VellumarMacCore/Foundations/HTTPPath.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/Whitespace.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Permissions/ProbePool.h"
#include "VellumarMacCore/Relay/RelayOptions.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <optional>
#include <utility>

namespace vellumar {

namespace {

    using Segments = std::vector<std::string>;

    std::atomic<std::uint64_t> lastHealthOwner { 0 };

    // Pairing, mailbox registration and the terminal hand out or use what only a phone next to the
    // Mac may have: a pairing code from the screen, a new mailbox channel, a shell.
    const std::array<Segments, 3> kLANOnlyPaths { Segments { "v1", "pair" },
        Segments { "v1", "mailbox", "register" }, Segments { "v1", "terminal" } };

    RelayHTTPError badPath() { return { 400, "bad_path", "The path is not valid." }; }

    RelayHTTPError browserRefused()
    {
        return { 403, "browser_refused", "Requests from web browsers are not accepted." };
    }

}

std::optional<std::string_view> bearerToken(std::optional<std::string_view> value)
{
    if (!value)
        return std::nullopt;
    auto text = *value;
    auto schemeStart = text.find_first_not_of(' ');
    if (schemeStart == std::string_view::npos)
        return std::nullopt;
    auto schemeEnd = text.find(' ', schemeStart);
    if (schemeEnd == std::string_view::npos || schemeEnd + 1 == text.size())
        return std::nullopt;
    if (!detail::equalsIgnoringASCIICase(text.substr(schemeStart, schemeEnd - schemeStart), "bearer"))
        return std::nullopt;
    return trimmingBlanks(text.substr(schemeEnd + 1));
}

RelayRouter::RelayRouter(Members members)
    : m_pairing(members.pairing)
    , m_devices(members.devices)
    , m_jobs(members.jobs)
    , m_runner(std::move(members.runner))
    , m_data(members.data)
    , m_options(members.options)
    , m_macID(std::move(members.macID))
    , m_macName(std::move(members.macName))
    , m_timeZone(std::move(members.timeZone))
    , m_onPaired(std::move(members.onPaired))
    , m_onCodeReused(std::move(members.onCodeReused))
    , m_routines(members.routines)
    , m_terminals(members.terminals)
    , m_mailbox(members.mailbox)
    , m_browsePool(std::make_shared<ProbePool>(kBrowseWorkers))
    , m_healthOwner(++lastHealthOwner)
{
}

void RelayRouter::checkBeforeAuthentication(
    const HTTPRequest& request, const std::optional<Segments>& segments, const RequestOrigin& origin)
{
    if (!segments || !request.query())
        throw badPath();
    if (origin.isMailbox() && std::ranges::find(kLANOnlyPaths, *segments) != kLANOnlyPaths.end())
        throw RelayHTTPError::lanOnly;
    if (isBrowserRequest(request))
        throw browserRefused();
    if (*segments == kLANOnlyPaths[0] && request.method() != "POST")
        throw RelayHTTPError::methodNotAllowed;
}

HTTPResponse RelayRouter::handle(const HTTPRequest& request, const RequestOrigin& origin) const
{
    SpoolRemoval spoolRemoval(request.bodyFile());
    const auto& segments = request.segments();
    checkBeforeAuthentication(request, segments, origin);
    if (*segments == kLANOnlyPaths[0])
        return handlePairing(request);
    return route(request, *segments, authenticate(request, origin), origin);
}

HTTPResponse RelayRouter::respond(const HTTPRequest& request, const RequestOrigin& origin) const noexcept
{
    try {
        return handle(request, origin);
    } catch (const RelayHTTPError& error) {
        return HTTPResponse(error);
    } catch (...) {
        // Whatever it was, its text may name files or hold secrets; the phone gets none of it.
        return HTTPResponse(RelayHTTPError(500, "internal", "Something went wrong on the Mac."));
    }
}

std::optional<PairedDevice> RelayRouter::authenticate(
    const HTTPRequest& request, const RequestOrigin& origin) const
{
    if (const auto* mailbox = std::get_if<RequestOrigin::Mailbox>(&origin.sender))
        return m_devices.deviceForMailbox(mailbox->pairing);
    auto token = bearerToken(request.headerView("authorization"));
    if (!token)
        return std::nullopt;
    return m_devices.deviceForToken(*token);
}

std::optional<RelayRouter::Area> RelayRouter::areaOf(const Segments& segments) const
{
    if (segments.size() < 2 || segments[0] != "v1")
        return std::nullopt;
    const auto& area = segments[1];
    auto rest = Components(segments).subspan(2);
    if (area == "jobs")
        return Area::jobs;
    if (area == "conversations")
        return Area::conversations;
    if (rest.empty() && area == "memory")
        return Area::memory;
    if (rest.empty() && area == "activity")
        return Area::activity;
    if (area == "fs" && rest.size() == 1 && rest[0] == "list")
        return Area::fileSystemList;
    if (area == "files")
        return Area::files;
    if (area == "routines" && m_routines)
        return Area::routines;
    if (area == "mailbox" && rest.size() == 1 && rest[0] == "register")
        return Area::mailboxRegister;
    if (area == "pair" && rest.size() == 1 && rest[0] == "forget")
        return Area::forget;
    if (area == "terminal" && rest.empty() && m_terminals)
        return Area::terminal;
    return std::nullopt;
}

HTTPResponse RelayRouter::route(const HTTPRequest& request, const Segments& segments,
    const std::optional<PairedDevice>& device, const RequestOrigin& origin) const
{
    if (!device)
        throw RelayHTTPError::unauthorized;
    if (segments == Segments { "health" })
        return health(request);
    auto area = areaOf(segments);
    if (!area)
        throw RelayHTTPError::notFound;
    auto rest = Components(segments).subspan(2);
    switch (*area) {
    case Area::jobs:
        return handleJobs(request, rest);
    case Area::conversations:
        return handleConversations(request, rest);
    case Area::memory:
        return handleMemory(request);
    case Area::activity:
        return handleActivity(request);
    case Area::fileSystemList:
        return handleFileSystemList(request);
    case Area::files:
        return handleFiles(request, rest);
    case Area::routines:
        return handleRoutines(request, rest);
    case Area::mailboxRegister:
        return handleMailboxRegister(request, *device);
    case Area::forget:
        return handleForget(request, *device, origin);
    case Area::terminal:
        return handleTerminal(request, *device);
    }
    throw RelayHTTPError::notFound;
}

HTTPResponse RelayRouter::health(const HTTPRequest& request) const
{
    if (request.method() != "GET")
        throw RelayHTTPError::methodNotAllowed;
    auto now = std::chrono::steady_clock::now();
    bool routines = m_options.routines();
    bool terminal = m_options.terminal();
    // Each thread answers from its own copy while that holds, so that connection queues answering a
    // flood of health checks take no lock together.
    thread_local std::pair<std::uint64_t, HealthBody> kept;
    auto& [owner, body] = kept;
    if (owner != m_healthOwner || !body.answers(now, routines, terminal)) {
        body = sharedHealth(now, routines, terminal);
        owner = m_healthOwner;
    }
    return HTTPResponse::encodedJSON(200, body.encoded);
}

bool RelayRouter::HealthBody::answers(
    std::chrono::steady_clock::time_point now, bool isRoutinesOn, bool isTerminalOn) const
{
    return now - timeZoneReadAt < kHealthTimeZoneReuse && routines == isRoutinesOn
        && terminal == isTerminalOn;
}

RelayRouter::HealthBody RelayRouter::sharedHealth(
    std::chrono::steady_clock::time_point now, bool routines, bool terminal) const
{
    HealthBody current { routines, terminal, {}, now, {} };
    bool isZoneRecent = false;
    {
        std::lock_guard guard(m_healthLock);
        if (m_lastHealth && now - m_lastHealth->timeZoneReadAt < kHealthTimeZoneReuse) {
            if (m_lastHealth->answers(now, routines, terminal))
                return *m_lastHealth;
            current.timeZone = m_lastHealth->timeZone;
            current.timeZoneReadAt = m_lastHealth->timeZoneReadAt;
            isZoneRecent = true;
        }
    }
    if (!isZoneRecent)
        current.timeZone = m_timeZone();
    current.encoded = JSON::object(
        { { "ok", true }, { "apiVersion", 1 }, { "transport", "https" }, { "restartSupported", false },
            { "features", features(current.routines, current.terminal) }, { "timeZone", current.timeZone } })
                          .encoded();
    std::lock_guard guard(m_healthLock);
    m_lastHealth = current;
    return current;
}

JSON RelayRouter::features(bool routines, bool terminal) const
{
    return JSON::object({ { "jobs", true }, { "tls", true }, { "files", true }, { "memory", true },
        { "routines", routines }, { "mailbox", m_mailbox != nullptr }, { "terminal", terminal },
        { "cliTools", true }, { "vault", false }, { "remote", false }, { "secureInput", false },
        { "payment", false }, { "serviceRestart", false }, { "relayRestart", false } });
}

bool RelayRouter::isBrowserRequest(const HTTPRequest& request)
{
    if (request.header("sec-fetch-site") || request.header("sec-fetch-mode"))
        return true;
    // The phone's own WebSocket client sends an Origin with its upgrade; browsers add Sec-Fetch-*.
    if (auto upgrade = request.header("upgrade"); upgrade && detail::asciiLowercased(*upgrade) == "websocket")
        return false;
    return request.header("origin").has_value();
}

std::optional<JSON> RelayRouter::decodeBody(const HTTPRequest& request)
{
    if (request.body().empty())
        return std::nullopt;
    auto value = JSON::decode(request.body());
    if (!value)
        throw RelayHTTPError::badRequest("The body is not valid JSON.");
    return value;
}

BodyPolicy RelayRouter::bodyPolicy(const RequestHead& head, const std::filesystem::path& incomingFolder) const
{
    if (head.method != "POST")
        return BodyPolicy::memory(kMemoryBodyLimitBytes);
    if (splitPathSegments(head.path()) != Segments { "v1", "files" })
        return BodyPolicy::memory(kMemoryBodyLimitBytes);
    // Only a paired phone may make the Mac write up to 50 MiB to disk.
    if (auto token = bearerToken(head.headerView("authorization")); token && m_devices.isKnownToken(*token))
        return BodyPolicy::spool(kSpoolBodyLimitBytes, incomingFolder);
    return BodyPolicy::reject(RelayHTTPError::unauthorized);
}

std::function<HTTPResponse(HTTPRequest)> RelayRouter::lanHandler() const
{
    return [this](const HTTPRequest& request) { return respond(request, RequestOrigin::lan()); };
}

std::optional<HTTPResponse> RelayRouter::answerAtOnce(const HTTPRequest& request) const noexcept
{
    const auto origin = RequestOrigin::lan();
    try {
        const auto& segments = request.segments();
        checkBeforeAuthentication(request, segments, origin);
        // Pairing writes the new device to the storage.
        if (*segments == kLANOnlyPaths[0])
            return std::nullopt;
        auto token = bearerToken(request.headerView("authorization"));
        if (!token)
            throw RelayHTTPError::unauthorized;
        // An area handler may wait or write, and authenticates the request again on its own thread: the
        // device is marked seen there, once.
        bool served = areaOf(*segments).has_value();
        auto found = m_devices.deviceForTokenAtOnce(
            *token, served ? DeviceRegistry::Seen::leave : DeviceRegistry::Seen::mark);
        if (!found.answered || (served && found.device))
            return std::nullopt;
        return route(request, *segments, found.device, origin);
    } catch (const RelayHTTPError& error) {
        return HTTPResponse(error);
    } catch (...) {
        return std::nullopt;
    }
}

HTTPRequestParser::Policy RelayRouter::lanBodyPolicy(std::filesystem::path incomingFolder) const
{
    return [this, folder = std::move(incomingFolder)](
               const RequestHead& head) { return bodyPolicy(head, folder); };
}

}
