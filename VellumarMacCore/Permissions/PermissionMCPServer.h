// The permission sub-mode of this program: an MCP server on standard input and output, started by
// Claude Code, that offers one tool, "approve", and answers each call by asking the application
// over its permission gate's socket. An application that cannot be asked means a refusal.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::PermissionMCPServer {

inline constexpr std::string_view flag = "--vellumar-permission-mcp";
inline constexpr std::string_view serverName = "vellumar";
inline constexpr std::string_view toolName = "approve";

// {"behavior":"deny","message":...}: the decision when the application's answer cannot be had.
const JSON& unreachableReply();

// Serves JSON-RPC lines from standard input until it ends, then returns 0 without waiting for the
// tool calls still open. Each "tools/call" is answered on a thread of its own, so the process must
// end without running static destructors once this returns.
int run(const std::string& socketPath);

// The response to one message, or nothing for a notification or a message that is not an object.
// A tool call blocks until the application answers, at most 30 minutes.
std::optional<JSON> handle(const JSON& message, const std::string& socketPath);

// The application's decision on one permission question: its reply object when its "behavior" is
// "allow" or "deny", `unreachableReply` otherwise. Never fails.
JSON askApp(const std::string& socketPath, const JSON& arguments);

// One exchange of the gate's line protocol: `request` and a line feed out, one line back (without
// its line feed). Nothing when the socket cannot be reached or written, or nothing came back.
std::optional<std::string> roundTrip(const std::string& socketPath, std::string_view request,
    double timeoutSeconds, std::size_t maxReplyBytes);

// Writes the message as one line in one piece. Callers that share `descriptor` serialise calls.
void writeMessage(int descriptor, const JSON& message);

}
