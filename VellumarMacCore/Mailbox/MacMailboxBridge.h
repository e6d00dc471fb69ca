// The road of a phone's request that came through the iCloud mailbox into the relay router that also
// serves the local network, and of the router's answer back into a reply the mailbox can seal.
#pragma once

#include "MovraneMailbox/Protocol/MailboxRelay.h"
#include "MovraneMailbox/Server/MailboxServerConfiguration.h"
#include "VellumarMacCore/Foundations/HTTPRequest.h"
#include "VellumarMacCore/Foundations/HTTPResponse.h"
#include "VellumarMacCore/Relay/RequestOrigin.h"

#include <cstdint>
#include <filesystem>
#include <functional>

namespace vellumar {

class RelayRouter;

// Answers one request for its origin and never throws: every failure is already a response.
using MailboxRequestHandler = std::function<HTTPResponse(const HTTPRequest&, const RequestOrigin&)>;

// The largest body a mailbox request other than an upload may carry in memory.
inline constexpr std::int64_t kMailboxMemoryBodyLimitBytes = 65'536;

// Turns the mailbox's request into the relay's, with the origin of the pairing it came under, and has
// `handler` answer it. An upload ("POST" to /v1/files) without an attachment file has its body spooled
// into `incomingFolder` (made 0700 when missing) as a 0600 ".incoming-mailbox-" file of 16 hexadecimal
// digits, removed again once `handler` returns; 507 "insufficient_storage" when that cannot be done.
// Any other request with an attachment file, or with an in-memory body over 65,536 bytes, is answered
// 413 "too_large" without calling `handler`. Never throws; any thread.
movrane::MailboxRelayResponse handleMailboxInboundRequest(const movrane::MailboxInboundRequest& inbound,
    const std::filesystem::path& incomingFolder, const MailboxRequestHandler& handler);

// The router's response as the mailbox carries it: header names lower-cased (of two that lower-case
// alike the later value stays) and filtered by the mailbox's allow-list, a streamed file as the body
// file. A WebSocket upgrade cannot cross the mailbox: its cancel action runs and the answer is 403
// "lan_only".
movrane::MailboxRelayResponse mailboxRelayResponse(const HTTPResponse& response);

// The mailbox's request handler over `router`, spooling uploads into `incomingFolder`. The router must
// outlive every call of the handler, including calls still under way when the mailbox stops.
std::function<movrane::MailboxRelayResponse(const movrane::MailboxInboundRequest&)> mailboxRequestHandler(
    const RelayRouter& router, std::filesystem::path incomingFolder);

}
