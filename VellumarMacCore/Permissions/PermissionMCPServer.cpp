#include "VellumarMacCore/Permissions/PermissionMCPServer.h"

#include "VellumarMacCore/Foundations/CommandRunner.h"
#include "VellumarMacCore/Permissions/UnixSocketLines.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace vellumar::PermissionMCPServer {

namespace {

    constexpr std::string_view kDefaultProtocolVersion = "2025-06-18";
    constexpr double kAskTimeoutSeconds = 1800.0;
    constexpr std::size_t kMaxReplyBytes = 1048576;
    constexpr std::size_t kMaxLineBytes = 1048576;
    constexpr std::size_t kReadChunkBytes = 65536;
    constexpr int kInvalidParams = -32602;

    // Standard output, shared by the reading thread and the tool-call threads.
    struct Output {
        // Spelled out because clang 14 cannot make_shared an aggregate from parentheses.
        explicit Output(int descriptorToWrite)
            : descriptor(descriptorToWrite)
        {
        }

        int descriptor;
        std::mutex lock;

        void write(const JSON& message)
        {
            std::lock_guard guard(lock);
            writeMessage(descriptor, message);
        }
    };

    JSON response(const JSON& id, JSON result)
    {
        return JSON::object({ { "jsonrpc", "2.0" }, { "id", id }, { "result", std::move(result) } });
    }

    const JSON& toolObject()
    {
        static const JSON tool = JSON::object({
            { "name", JSON(toolName) },
            { "description",
                "Vellumar for Mac passes Claude Code's permission questions to the user's iPhone." },
            { "inputSchema",
                JSON::object({
                    { "type", "object" },
                    { "properties",
                        JSON::object({
                            { "tool_name", JSON::object({ { "type", "string" } }) },
                            { "input", JSON::object({ { "type", "object" } }) },
                            { "tool_use_id", JSON::object({ { "type", "string" } }) },
                        }) },
                    { "additionalProperties", true },
                }) },
        });
        return tool;
    }

    JSON initializeResult(const JSON* params)
    {
        const JSON* requested = params ? params->subscript("protocolVersion") : nullptr;
        const std::string* version = requested ? requested->stringValue() : nullptr;
        return JSON::object({
            { "protocolVersion", version ? JSON(*version) : JSON(kDefaultProtocolVersion) },
            { "capabilities", JSON::object({ { "tools", JSON::object({}) } }) },
            { "serverInfo", JSON::object({ { "name", JSON(serverName) }, { "version", "1" } }) },
        });
    }

    JSON messageID(const JSON& message)
    {
        const JSON* id = message.subscript("id");
        return id ? *id : JSON();
    }

    // `decide` turns the call's arguments object into the decision object.
    template <typename Decide> JSON callTool(const JSON& id, const JSON* params, const Decide& decide)
    {
        const JSON* name = params ? params->subscript("name") : nullptr;
        const std::string* nameText = name ? name->stringValue() : nullptr;
        if (nameText == nullptr || *nameText != toolName) {
            return JSON::object({ { "jsonrpc", "2.0" }, { "id", id },
                { "error", JSON::object({ { "code", kInvalidParams }, { "message", "unknown tool" } }) } });
        }
        const JSON* arguments = params->subscript("arguments");
        JSON decision = decide(arguments && arguments->objectValue() ? *arguments : JSON::object({}));
        JSON content = JSON::array({ JSON::object({ { "type", "text" }, { "text", decision.encoded() } }) });
        return response(id, JSON::object({ { "content", std::move(content) } }));
    }

    bool isToolCall(const JSON& message)
    {
        const JSON::Object* members = message.objectValue();
        if (members == nullptr || members->empty())
            return false;
        const JSON* method = message.subscript("method");
        return method && method->stringValue() && *method->stringValue() == "tools/call";
    }

    // Tool calls wait for the user for up to half an hour, so each gets a thread and reading goes on.
    void answerAside(
        const std::shared_ptr<Output>& output, const JSON& message, const std::string& socketPath)
    {
        try {
            std::thread([output, message, socketPath] {
                try {
                    if (auto reply = handle(message, socketPath))
                        output->write(*reply);
                } catch (...) {
                    // Out of memory while building a reply: this call goes unanswered, the others go on.
                }
            }).detach();
        } catch (...) {
            // No thread to be had: refuse at once rather than leave Claude Code waiting.
            output->write(callTool(messageID(message), message.subscript("params"),
                [](const JSON&) { return unreachableReply(); }));
        }
    }

}

const JSON& unreachableReply()
{
    static const JSON reply = JSON::object({
        { "behavior", "deny" },
        { "message", "Vellumar for Mac could not be asked, so this was refused." },
    });
    return reply;
}

int run(const std::string& socketPath)
{
    ignoreSIGPIPE();
    auto output = std::make_shared<Output>(STDOUT_FILENO);
    std::string buffer;
    // After an over-long line was dropped, the rest of it up to its line feed is dropped too.
    bool discarding = false;
    char chunk[kReadChunkBytes];
    for (;;) {
        ssize_t count = read(STDIN_FILENO, chunk, sizeof(chunk));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return 0;
        buffer.append(chunk, static_cast<std::size_t>(count));
        std::size_t start = 0;
        for (std::size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string_view line(buffer.data() + start, end - start);
            if (std::exchange(discarding, false))
                continue;
            auto message = JSON::decode(line);
            if (!message || !message->objectValue())
                continue;
            try {
                if (isToolCall(*message))
                    answerAside(output, *message, socketPath);
                else if (auto reply = handle(*message, socketPath))
                    output->write(*reply);
            } catch (...) {
                // Out of memory for this message: it goes unanswered, reading goes on.
            }
        }
        buffer.erase(0, start);
        if (buffer.size() > kMaxLineBytes) {
            buffer.clear();
            discarding = true;
        }
    }
}

std::optional<JSON> handle(const JSON& message, const std::string& socketPath)
{
    if (!message.objectValue())
        return std::nullopt;
    JSON id = messageID(message);
    const JSON* methodMember = message.subscript("method");
    const std::string* method = methodMember ? methodMember->stringValue() : nullptr;
    const JSON* params = message.subscript("params");
    if (method && *method == "initialize")
        return response(id, initializeResult(params));
    if (method && *method == "tools/list")
        return response(id, JSON::object({ { "tools", JSON::array({ toolObject() }) } }));
    if (method && *method == "tools/call")
        return callTool(id, params, [&](const JSON& arguments) { return askApp(socketPath, arguments); });
    if (id.isNull())
        return std::nullopt;
    return response(id, JSON::object({}));
}

JSON askApp(const std::string& socketPath, const JSON& arguments)
{
    auto reply = roundTrip(socketPath, arguments.encoded(), kAskTimeoutSeconds, kMaxReplyBytes);
    if (!reply)
        return unreachableReply();
    auto decision = JSON::decode(*reply);
    const JSON* behavior = decision ? decision->subscript("behavior") : nullptr;
    const std::string* behaviorText = behavior ? behavior->stringValue() : nullptr;
    if (behaviorText == nullptr || (*behaviorText != "allow" && *behaviorText != "deny"))
        return unreachableReply();
    return *decision;
}

std::optional<std::string> roundTrip(
    const std::string& socketPath, std::string_view request, double timeoutSeconds, std::size_t maxReplyBytes)
{
    auto address = unixSocketAddress(socketPath);
    if (!address)
        return std::nullopt;
    int connection = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connection < 0)
        return std::nullopt;
    setSocketTimeouts(connection, timeoutSeconds);
    std::optional<std::string> reply;
    if (connect(connection, reinterpret_cast<const sockaddr*>(&*address), unixSocketAddressLength) == 0
        && writeAll(connection, std::string(request) + "\n"))
        reply = readLine(connection, maxReplyBytes);
    close(connection);
    return reply;
}

void writeMessage(int descriptor, const JSON& message) { writeAll(descriptor, message.encoded() + "\n"); }

}
