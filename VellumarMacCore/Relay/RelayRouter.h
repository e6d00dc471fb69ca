// The one entry point of the phone API, for LAN and mailbox requests alike: path, origin and browser
// rules, bearer-token authentication, pairing, the health request, the body policy of LAN uploads,
// and the areas for jobs, conversations, memory, activity, files, folder browsing, routines and the
// calling device itself (mailbox registration, unpairing, the terminal) under /v1.
#pragma once

#include "VellumarMacCore/Foundations/HTTPRequest.h"
#include "VellumarMacCore/Foundations/HTTPRequestParser.h"
#include "VellumarMacCore/Foundations/HTTPResponse.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Relay/MailboxRegistrar.h"
#include "VellumarMacCore/Relay/PairedDevice.h"
#include "VellumarMacCore/Relay/RequestOrigin.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vellumar {

class DeviceRegistry;
class JobManager;
class PairingManager;
class ProbePool;
class RelayData;
class RelayOptions;
class ReplyRunner;
class RoutineManager;
class TerminalRegistry;

// The token of an "authorization" value: the value split once at a space (leading spaces skipped),
// the first piece "bearer" in any case, the token the rest trimmed of blanks. Absent otherwise.
std::optional<std::string_view> bearerToken(std::optional<std::string_view> value);

// Keeps no state of its own: many requests may be inside it at once, on any threads. The members
// outlive the router.
class RelayRouter final {
public:
    static constexpr std::int64_t kMemoryBodyLimitBytes = 65'536;
    static constexpr std::int64_t kSpoolBodyLimitBytes = 52'428'800;
    // Folder listings that may run at once; a listing held by a hung folder keeps its place until
    // the folder answers, and the ones beyond are refused at once instead of piling up threads.
    static constexpr std::size_t kBrowseWorkers = 4;
    // How much longer than the resolver's own probe a listing is waited for.
    static constexpr double kBrowseGraceSeconds = 2.0;

    struct Members {
        PairingManager& pairing;
        DeviceRegistry& devices;
        JobManager& jobs;
        std::shared_ptr<ReplyRunner> runner;
        RelayData& data;
        const RelayOptions& options;
        std::string macID;
        // Any thread: the Mac's name at the moment of the call.
        std::function<std::string()> macName;
        // Any thread: the identifier of the Mac's time zone at the moment of the call.
        std::function<std::string()> timeZone;
        // Called on the request's thread after a phone paired, with the device as stored.
        std::function<void(const PairedDevice&)> onPaired;
        // Called on the request's thread when a used pairing code is shown again by anyone, with the
        // device that used it while that device is still paired.
        std::function<void(const PairedDevice&)> onCodeReused;
        // The phone's routines; absent, the routine paths are answered as unknown ones.
        RoutineManager* routines = nullptr;
        // The Mac's remote terminals; absent, the terminal path is answered as an unknown one.
        TerminalRegistry* terminals = nullptr;
        // The Mac's iCloud mailbox; absent, phones are served on the local network only and mailbox
        // registration is answered as an unknown path.
        MailboxRegistrar* mailbox = nullptr;
    };

    // An offer of a version this Mac cannot read.
    struct UnsupportedOfferVersion {
        friend bool operator==(const UnsupportedOfferVersion&, const UnsupportedOfferVersion&) = default;
    };
    // The "mailbox" member of a pairing or registration body, once read.
    using MailboxOfferField = std::variant<movrane::MailboxPairingOffer, UnsupportedOfferVersion>;

    explicit RelayRouter(Members members);

    // The response to one complete request. Throws RelayHTTPError for what the phone should see and
    // passes any other failure of a store or the runner on. A spooled body is removed before it
    // returns, whatever the outcome (a stored upload has been moved away by then). Blocks the calling thread
    // for as long as the request takes: up to 25 seconds for a long poll, a whole compaction for a compact;
    // so each request needs a thread of its own, never a place in a small shared pool that the polls of a few
    // phones could fill.
    HTTPResponse handle(const HTTPRequest& request, const RequestOrigin& origin) const;

    // `handle` with every failure rendered: a RelayHTTPError as itself, anything else as 500
    // "internal". Never throws.
    HTTPResponse respond(const HTTPRequest& request, const RequestOrigin& origin) const noexcept;

    // How the LAN parser takes a request's body, decided from its head alone: in memory, spooled to
    // `incomingFolder` for an upload with a known token, or refused before any byte is read. Runs on
    // the listener's thread and never waits for the registry's lock. Never throws.
    BodyPolicy bodyPolicy(const RequestHead& head, const std::filesystem::path& incomingFolder) const;

    // What the TLS listener is given to serve the router: each request answered as one from the
    // local network, and each body taken as `bodyPolicy` decides with `incomingFolder`. The router
    // must outlive the listener.
    std::function<HTTPResponse(HTTPRequest)> lanHandler() const;
    // The LAN handler's response when it needs no waiting on anything and no disk, so that the listener
    // may answer on its own thread: the refusals that come before any area handler (a bad path, a
    // browser, a missing or unknown token, a wrong method for pairing), and for a phone the registry
    // authenticates at once, the health object and the answer to a path no handler serves. Absent
    // when the request needs the LAN handler on a thread that may wait; nothing has changed then. Any
    // thread; never waits and never throws.
    std::optional<HTTPResponse> answerAtOnce(const HTTPRequest& request) const noexcept;
    HTTPRequestParser::Policy lanBodyPolicy(std::filesystem::path incomingFolder) const;

    // Web pages must not reach the API, even from a browser on the Mac's own network.
    static bool isBrowserRequest(const HTTPRequest& request);
    // No value for an empty body; throws RelayHTTPError 400 for a body that is not JSON.
    static std::optional<JSON> decodeBody(const HTTPRequest& request);
    // The fourteen capability switches the phone reads from the health object, with the two the user
    // turns on and off as given.
    JSON features(bool routines, bool terminal) const;
    // None for a missing or null member; throws RelayHTTPError 400 "mailbox is not valid." for anything
    // but an object whose "v" is a whole number and which, for version 1, reads as an offer.
    static std::optional<MailboxOfferField> parseMailboxOffer(const JSON* member);
    static JSON answerJSON(const movrane::MailboxPairingAnswer& answer);

private:
    using Components = std::span<const std::string>;

    // The handlers of the areas under "v1", each serving the paths `areaOf` gives it.
    enum class Area {
        jobs,
        conversations,
        memory,
        activity,
        fileSystemList,
        files,
        routines,
        mailboxRegister,
        forget,
        terminal
    };

    // Throws the refusals that come before authentication.
    static void checkBeforeAuthentication(const HTTPRequest& request,
        const std::optional<std::vector<std::string>>& segments, const RequestOrigin& origin);
    std::optional<PairedDevice> authenticate(const HTTPRequest& request, const RequestOrigin& origin) const;
    // None for a path that no area handler serves.
    std::optional<Area> areaOf(const std::vector<std::string>& segments) const;
    HTTPResponse route(const HTTPRequest& request, const std::vector<std::string>& segments,
        const std::optional<PairedDevice>& device, const RequestOrigin& origin) const;
    HTTPResponse health(const HTTPRequest& request) const;

    HTTPResponse handleJobs(const HTTPRequest& request, Components rest) const;
    HTTPResponse submitJob(const HTTPRequest& request) const;
    HTTPResponse waitForJob(const HTTPRequest& request, const std::string& jobID) const;
    HTTPResponse answerQuestion(const HTTPRequest& request, const std::string& jobID) const;
    void checkAttachments(
        const std::string& conversationID, const std::vector<std::string>& attachments) const;

    HTTPResponse handleConversations(const HTTPRequest& request, Components rest) const;
    HTTPResponse clearConversation(const HTTPRequest& request, const std::string& conversationID) const;
    HTTPResponse compactConversation(const HTTPRequest& request, const std::string& conversationID) const;
    void refuseWhileBusy(const std::string& conversationID) const;

    // The query's "conversationId"; checked before the method, so a request without a valid one is
    // a 400 "bad_request" whatever its method.
    static std::string requiredConversationID(const HTTPRequest& request);
    HTTPResponse handleMemory(const HTTPRequest& request) const;
    HTTPResponse handleActivity(const HTTPRequest& request) const;

    HTTPResponse handleFiles(const HTTPRequest& request, Components rest) const;
    HTTPResponse download(Components rest) const;
    HTTPResponse handleFileSystemList(const HTTPRequest& request) const;
    // Runs `work` on the browsing pool and waits at most the resolver's probe time-out plus the
    // grace; throws `late` when the pool is full or the time runs out, and `work`'s own error.
    JSON offload(std::function<JSON()> work, const RelayHTTPError& late) const;

    HTTPResponse handlePairing(const HTTPRequest& request) const;
    // The mailbox's answer for a phone that has just paired; none when there is none or it failed.
    std::optional<movrane::MailboxPairingAnswer> answerOffer(
        const MailboxOfferField& offer, const std::string& deviceID) const;

    // Only when the router was given the routines.
    HTTPResponse handleRoutines(const HTTPRequest& request, Components rest) const;

    HTTPResponse handleMailboxRegister(const HTTPRequest& request, const PairedDevice& device) const;
    // Answers the offer for the device and records the outcome on it: an enabled pairing is stored and
    // its zone set up, a refusal stored as the reason and the earlier pairing forgotten, except that a
    // Mac whose iCloud is briefly unavailable leaves a stored pairing alone. Failures to store are
    // dropped. None without a Mac mailbox.
    std::optional<movrane::MailboxPairingAnswer> registerMailbox(const MailboxOfferField& field,
        const std::string& deviceID, const std::optional<movrane::MailboxPairing>& stored) const;
    // Unpairs the calling device, closes its terminals and forgets its mailbox pairing (after the
    // mailbox's delay when the request came through the mailbox); the registry's error goes on after
    // the terminals are closed.
    HTTPResponse handleForget(
        const HTTPRequest& request, const PairedDevice& device, const RequestOrigin& origin) const;
    // Only when the router was given the terminals. Reserves a terminal and answers 101; the session
    // starts when the connection hands over its socket.
    HTTPResponse handleTerminal(const HTTPRequest& request, const PairedDevice& device) const;

    PairingManager& m_pairing;
    DeviceRegistry& m_devices;
    JobManager& m_jobs;
    const std::shared_ptr<ReplyRunner> m_runner;
    RelayData& m_data;
    const RelayOptions& m_options;
    const std::string m_macID;
    const std::function<std::string()> m_macName;
    const std::function<std::string()> m_timeZone;
    const std::function<void(const PairedDevice&)> m_onPaired;
    const std::function<void(const PairedDevice&)> m_onCodeReused;
    RoutineManager* const m_routines;
    TerminalRegistry* const m_terminals;
    MailboxRegistrar* const m_mailbox;
    const std::shared_ptr<ProbePool> m_browsePool;

    // The health object changes only with the switches and the time zone (the mailbox is there or not
    // for the router's whole life); the phone asks for it far more often, so the last one is kept
    // encoded with what it was built from.
    struct HealthBody {
        bool routines;
        bool terminal;
        std::string timeZone;
        // Finding the host's zone reads the file system and takes a process-wide lock; a phone asks for
        // health many times a second, and a changed zone may show a moment late.
        std::chrono::steady_clock::time_point timeZoneReadAt;
        std::string encoded;

        // Whether it is still the answer with those switches.
        bool answers(std::chrono::steady_clock::time_point now, bool isRoutinesOn, bool isTerminalOn) const;
    };
    // The body kept for every thread, made anew when it no longer answers.
    HealthBody sharedHealth(std::chrono::steady_clock::time_point now, bool routines, bool terminal) const;
    static constexpr std::chrono::seconds kHealthTimeZoneReuse { 1 };
    mutable std::mutex m_healthLock;
    mutable std::optional<HealthBody> m_lastHealth;
    // Tells this router's bodies kept by threads from another's, which may later have the same address.
    const std::uint64_t m_healthOwner;
};

}
