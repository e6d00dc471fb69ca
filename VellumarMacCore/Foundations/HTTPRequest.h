// One parsed API request, whichever transport brought it.
#pragma once

#include "VellumarMacCore/Foundations/HTTPPath.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellumar {

using HTTPHeaders = std::vector<std::pair<std::string, std::string>>;

// The value of the first pair whose name equals `name` lower-cased, viewed where it stands in the
// list; the list's names are expected to be lower-case already, as both transports store them.
std::optional<std::string_view> headerView(std::string_view name, const HTTPHeaders& headers) noexcept;
// The same value, copied.
std::optional<std::string> headerValue(std::string_view name, const HTTPHeaders& headers);

class HTTPRequest {
public:
    // Splits `target` at its first "?" into the path (decoded into `segments`) and the query; names of
    // `headers` are lower-cased, order and values kept. `body` holds bytes.
    HTTPRequest(
        std::string method, std::string_view target, HTTPHeaders headers, std::string body, bool keepAlive);

    // As received, case kept.
    const std::string& method() const noexcept { return m_method; }
    const std::string& path() const noexcept { return m_path; }
    // Absent when the path cannot be decoded; the router refuses such a request.
    const std::optional<std::vector<std::string>>& segments() const noexcept { return m_segments; }
    // Empty when the target has no "?"; absent when the query cannot be decoded.
    const std::optional<QueryItems>& query() const noexcept { return m_query; }

    const HTTPHeaders& headers() const noexcept { return m_headers; }
    void setHeaders(HTTPHeaders headers) { m_headers = std::move(headers); }
    // Empty when the body went to `bodyFile`.
    const std::string& body() const noexcept { return m_body; }
    void setBody(std::string body) { m_body = std::move(body); }
    // The spool file holding the body; its handler owns (and removes) it.
    const std::optional<std::filesystem::path>& bodyFile() const noexcept { return m_bodyFile; }
    void setBodyFile(std::optional<std::filesystem::path> file) { m_bodyFile = std::move(file); }
    bool keepAlive() const noexcept { return m_keepAlive; }
    void setKeepAlive(bool keepAlive) noexcept { m_keepAlive = keepAlive; }

    // The first header whose name equals `name` lower-cased.
    std::optional<std::string> header(std::string_view name) const;
    // The same, viewed in the request: for a value that is only read while the request lives.
    std::optional<std::string_view> headerView(std::string_view name) const noexcept
    {
        return vellumar::headerView(name, m_headers);
    }
    // The first query item named exactly `name` (case-sensitive); absent too when `query` is.
    std::optional<std::string> queryValue(std::string_view name) const;

private:
    std::string m_method;
    std::string m_path;
    std::optional<std::vector<std::string>> m_segments;
    std::optional<QueryItems> m_query;
    HTTPHeaders m_headers;
    std::string m_body;
    std::optional<std::filesystem::path> m_bodyFile;
    bool m_keepAlive;
};

}
