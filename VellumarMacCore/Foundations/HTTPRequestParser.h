// The HTTP/1.1 request parser of the LAN transport: bytes in, one HTTPRequest at a time out.
// It accepts a narrow subset of HTTP/1.1 (origin-form targets, seven methods, bodies only with one
// valid Content-Length, small header blocks) and never holds more than its limits allow.
#pragma once

#include "VellumarMacCore/Foundations/HTTPRequest.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vellumar {

// What a body policy sees: the request line and headers, before any body byte is taken.
struct RequestHead {
    std::string method;
    // Exactly as received.
    std::string target;
    // Names lower-cased, values trimmed, in arrival order.
    HTTPHeaders headers;

    std::optional<std::string> header(std::string_view name) const { return headerValue(name, headers); }
    std::optional<std::string_view> headerView(std::string_view name) const noexcept
    {
        return vellumar::headerView(name, headers);
    }
    // The target up to its first "?".
    std::string_view path() const;
};

// How one request's body is taken.
struct BodyPolicy {
    // Kept in memory, at most `limit` bytes.
    struct Memory {
        std::int64_t limit;
    };
    // Written to a new private file in `folder`, at most `limit` bytes.
    struct Spool {
        std::int64_t limit;
        std::filesystem::path folder;
    };
    // Refused with `error` before any body byte is read.
    struct Reject {
        RelayHTTPError error;
    };

    static BodyPolicy memory(std::int64_t limit) { return { Memory { limit } }; }
    static BodyPolicy spool(std::int64_t limit, std::filesystem::path folder)
    {
        return { Spool { limit, std::move(folder) } };
    }
    static BodyPolicy reject(RelayHTTPError error) { return { Reject { std::move(error) } }; }

    std::variant<Memory, Spool, Reject> choice;
};

// True when any byte lies outside "!" to "~": a control, a space or anything not ASCII.
bool hasNonVisibleASCII(std::string_view text) noexcept;

// Owned by one connection and used only on its queue; no locks. Not copyable: it may own an open
// spool file, which it removes when destroyed mid-body.
class HTTPRequestParser {
public:
    struct NeedMore {
        friend bool operator==(NeedMore, NeedMore) = default;
    };
    using Outcome = std::variant<HTTPRequest, RelayHTTPError, NeedMore>;
    // Asked once per request head. Must not throw.
    using Policy = std::function<BodyPolicy(const RequestHead&)>;

    static constexpr std::int64_t kDefaultMaxHeaderBytes = 16'384;
    static constexpr std::int64_t kDefaultMaxBodyBytes = 65'536;

    // Without a policy every body is kept in memory up to `maxBodyBytes`.
    explicit HTTPRequestParser(std::int64_t maxHeaderBytes = kDefaultMaxHeaderBytes,
        std::int64_t maxBodyBytes = kDefaultMaxBodyBytes, Policy policy = {});
    ~HTTPRequestParser();
    HTTPRequestParser(const HTTPRequestParser&) = delete;
    HTTPRequestParser& operator=(const HTTPRequestParser&) = delete;

    // Adds received bytes; call `feed` after each append. Bytes appended after a failure are dropped.
    void append(std::string_view bytes);
    // Parses as far as the buffered bytes allow. A failure is final: the connection answers it and
    // closes, and later calls return the same failure. Bytes after a returned request stay buffered
    // for the next call (pipelining).
    Outcome feed();

    // A request is under way: bytes are buffered, or a body is still expected.
    bool hasPendingInput() const noexcept;
    bool isSpooling() const noexcept { return m_spool.has_value(); }
    // The unconsumed bytes, for the WebSocket that takes over after a 101; empties the buffer.
    std::string takeBuffer();
    // Closes and deletes a partly written spool file; does nothing when no body is being spooled.
    void discardSpool() noexcept;

private:
    struct Spool {
        RequestHead head;
        bool keepAlive;
        std::int64_t remaining;
        int fd;
        std::filesystem::path file;
    };
    // A head whose in-memory body has not fully arrived; kept so the head is parsed and the policy
    // asked only once, however thinly the body trickles in.
    struct AwaitedBody {
        RequestHead head;
        bool keepAlive;
        std::size_t length;
    };

    Outcome parse();
    Outcome parseHead();
    Outcome takeAwaitedBody();
    Outcome startSpool(
        RequestHead head, bool keepAlive, std::int64_t length, const std::filesystem::path& folder);
    Outcome spoolStep();
    bool headerBlockCannotFit() const noexcept;

    std::string_view unconsumed() const noexcept { return std::string_view(m_buffer).substr(m_consumed); }
    void consume(std::size_t count) noexcept;

    std::int64_t m_maxHeaderBytes;
    std::int64_t m_maxBodyBytes;
    Policy m_policy;
    // Bytes before `m_consumed` are spent; they are dropped in bulk so that a request fed byte by
    // byte does not move the rest of the buffer each time.
    std::string m_buffer;
    std::size_t m_consumed = 0;
    // Where the search for the end of the header block resumes.
    std::size_t m_scannedBytes = 0;
    std::optional<Spool> m_spool;
    std::optional<AwaitedBody> m_awaitedBody;
    int m_blankLines = 0;
    std::optional<RelayHTTPError> m_failure;
};

}
