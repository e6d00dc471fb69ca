// One reply to the phone, with the wire form the LAN connection writes.
#pragma once

#include "VellumarMacCore/Foundations/HTTPRequest.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/WebSocketUpgrade.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar {

class HTTPResponse {
public:
    // A file whose bytes the connection streams after the head; `size` is the announced length.
    struct File {
        std::filesystem::path location;
        std::int64_t size = 0;
    };

    // No file, no upgrade. `body` holds bytes.
    explicit HTTPResponse(int status, HTTPHeaders headers = {}, std::string body = {});
    // The JSON reply for an error: {"error": code, "message": message}, plus "Retry-After" when the
    // error carries one.
    explicit HTTPResponse(const RelayHTTPError& error);

    // Body = `value.encoded()`; headers = the JSON content type, then `extraHeaders` in order.
    static HTTPResponse json(int status, const JSON& value, HTTPHeaders extraHeaders = {});
    // The same for a value already encoded, whose bytes become the body as they are.
    static HTTPResponse encodedJSON(int status, std::string encoded, HTTPHeaders extraHeaders = {});
    // The 101 reply that accepts a WebSocket handshake and carries the hand-over callbacks.
    static HTTPResponse webSocketAccept(std::string_view key,
        std::function<void(std::shared_ptr<WebSocketConnection>)> open, std::function<void()> cancel);
    // A 200 attachment streamed from `file`; `name` is percent-encoded into Content-Disposition.
    static HTTPResponse download(const std::filesystem::path& file, std::int64_t size,
        std::string_view mimeType, std::string_view name);
    // "Status" for any status without a phrase of its own.
    static std::string_view reasonPhrase(int status);

    int status() const noexcept { return m_status; }
    const HTTPHeaders& headers() const noexcept { return m_headers; }
    void setHeaders(HTTPHeaders headers) { m_headers = std::move(headers); }
    const std::string& body() const noexcept { return m_body; }
    void setBody(std::string body) { m_body = std::move(body); }
    const std::optional<File>& file() const noexcept { return m_file; }
    void setFile(std::optional<File> file) { m_file = std::move(file); }
    const std::optional<WebSocketUpgrade>& upgrade() const noexcept { return m_upgrade; }
    void setUpgrade(std::optional<WebSocketUpgrade> upgrade) { m_upgrade = std::move(upgrade); }

    // The first header whose name equals `name`, both compared lower-cased.
    std::optional<std::string> header(std::string_view name) const;

    // Status line and header block, each line ending in CR LF. Adds Content-Length, Cache-Control,
    // the Bearer challenge of a 401 and Connection, except on a 101 whose head is its own headers only.
    std::string head(bool keepAlive) const;
    // The head followed by the body; the head alone when a file is carried (the caller streams it).
    std::string serialized(bool keepAlive) const;

private:
    std::size_t headSizeBound() const noexcept;
    void appendHead(std::string& head, bool keepAlive) const;

    int m_status;
    HTTPHeaders m_headers;
    std::string m_body;
    std::optional<File> m_file;
    std::optional<WebSocketUpgrade> m_upgrade;
};

}
