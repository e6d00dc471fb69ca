#include "VellumarMacCore/Foundations/HTTPResponse.h"

#include "VellumarMacCore/Foundations/HTTPDetail.h"
#include "VellumarMacCore/Foundations/HTTPPath.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"
#include "VellumarMacCore/Foundations/WebSocketHandshake.h"

#include <array>
#include <charconv>
#include <utility>

namespace vellumar {

namespace {

    constexpr std::string_view kJSONContentType = "application/json; charset=utf-8";

    void appendLine(std::string& head, std::string_view name, std::string_view value)
    {
        head.append(name).append(": ").append(value).append("\r\n");
    }

    void appendNumber(std::string& text, std::int64_t number)
    {
        std::array<char, 24> digits {};
        auto end = std::to_chars(digits.data(), digits.data() + digits.size(), number).ptr;
        text.append(digits.data(), end);
    }

}

HTTPResponse::HTTPResponse(int status, HTTPHeaders headers, std::string body)
    : m_status(status)
    , m_headers(std::move(headers))
    , m_body(std::move(body))
{
}

HTTPResponse::HTTPResponse(const RelayHTTPError& error)
    : HTTPResponse(
        json(error.status(), JSON::object({ { "error", error.code() }, { "message", error.message() } }),
            error.retryAfter() ? HTTPHeaders { { "Retry-After", std::to_string(*error.retryAfter()) } }
                               : HTTPHeaders {}))
{
}

HTTPResponse HTTPResponse::json(int status, const JSON& value, HTTPHeaders extraHeaders)
{
    return encodedJSON(status, value.encoded(), std::move(extraHeaders));
}

HTTPResponse HTTPResponse::encodedJSON(int status, std::string encoded, HTTPHeaders extraHeaders)
{
    HTTPHeaders headers;
    headers.reserve(1 + extraHeaders.size());
    headers.emplace_back("Content-Type", kJSONContentType);
    for (auto& header : extraHeaders)
        headers.push_back(std::move(header));
    return HTTPResponse(status, std::move(headers), std::move(encoded));
}

HTTPResponse HTTPResponse::webSocketAccept(std::string_view key,
    std::function<void(std::shared_ptr<WebSocketConnection>)> open, std::function<void()> cancel)
{
    HTTPResponse response(101,
        { { "Upgrade", "websocket" }, { "Connection", "Upgrade" },
            { "Sec-WebSocket-Accept", WebSocketHandshake::acceptValue(key) } });
    response.m_upgrade = WebSocketUpgrade { std::move(open), std::move(cancel) };
    return response;
}

HTTPResponse HTTPResponse::download(
    const std::filesystem::path& file, std::int64_t size, std::string_view mimeType, std::string_view name)
{
    std::string contentType(mimeType);
    if (mimeType.starts_with("text/") || mimeType == "application/json")
        contentType += "; charset=utf-8";
    auto encodedName = percentEncoded(name);
    HTTPResponse response(200,
        { { "Content-Type", std::move(contentType) },
            { "Content-Disposition", "attachment; filename*=UTF-8''" + encodedName.value_or("file") },
            { "X-Content-Type-Options", "nosniff" } });
    response.m_file = File { file, size };
    return response;
}

std::string_view HTTPResponse::reasonPhrase(int status)
{
    switch (status) {
    case 101:
        return "Switching Protocols";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 426:
        return "Upgrade Required";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    case 505:
        return "HTTP Version Not Supported";
    case 507:
        return "Insufficient Storage";
    default:
        return "Status";
    }
}

std::optional<std::string> HTTPResponse::header(std::string_view name) const
{
    for (const auto& [headerName, value] : m_headers) {
        if (detail::equalsIgnoringASCIICase(headerName, name))
            return value;
    }
    return std::nullopt;
}

std::string HTTPResponse::head(bool keepAlive) const
{
    std::string head;
    head.reserve(headSizeBound());
    appendHead(head, keepAlive);
    return head;
}

std::string HTTPResponse::serialized(bool keepAlive) const
{
    std::string bytes;
    bytes.reserve(headSizeBound() + (m_file ? 0 : m_body.size()));
    appendHead(bytes, keepAlive);
    if (!m_file)
        bytes += m_body;
    return bytes;
}

// Room for the status line, every header and the lines `appendHead` adds, so that the head is built
// in one allocation.
std::size_t HTTPResponse::headSizeBound() const noexcept
{
    constexpr std::size_t kAddedLines = 160;
    auto size = kAddedLines + reasonPhrase(m_status).size();
    for (const auto& [name, value] : m_headers)
        size += name.size() + value.size() + 4;
    return size;
}

void HTTPResponse::appendHead(std::string& head, bool keepAlive) const
{
    head.append("HTTP/1.1 ");
    appendNumber(head, m_status);
    head.append(" ").append(reasonPhrase(m_status)).append("\r\n");
    for (const auto& [name, value] : m_headers)
        appendLine(head, name, value);
    if (m_status != 101) {
        head.append("Content-Length: ");
        appendNumber(head, m_file ? m_file->size : static_cast<std::int64_t>(m_body.size()));
        head.append("\r\n");
        appendLine(head, "Cache-Control", "no-store");
        if (m_status == 401)
            appendLine(head, "WWW-Authenticate", "Bearer");
        appendLine(head, "Connection", keepAlive ? "keep-alive" : "close");
    }
    head.append("\r\n");
}

}
