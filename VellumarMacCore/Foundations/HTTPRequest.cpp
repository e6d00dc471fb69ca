#include "VellumarMacCore/Foundations/HTTPRequest.h"

#include "VellumarMacCore/Foundations/HTTPDetail.h"

#include <algorithm>

namespace vellumar {

HTTPRequest::HTTPRequest(
    std::string method, std::string_view target, HTTPHeaders headers, std::string body, bool keepAlive)
    : m_method(std::move(method))
    , m_headers(std::move(headers))
    , m_body(std::move(body))
    , m_keepAlive(keepAlive)
{
    auto questionMark = target.find('?');
    m_path = std::string(target.substr(0, questionMark));
    m_segments = splitPathSegments(m_path);
    m_query = questionMark == std::string_view::npos ? std::optional<QueryItems>(QueryItems {})
                                                     : parseQuery(target.substr(questionMark + 1));
    for (auto& header : m_headers)
        detail::lowercaseASCII(header.first);
}

std::optional<std::string_view> headerView(std::string_view name, const HTTPHeaders& headers) noexcept
{
    auto isNamed = [name](std::string_view headerName) {
        return headerName.size() == name.size()
            && std::equal(headerName.begin(), headerName.end(), name.begin(),
                [](char stored, char asked) { return stored == detail::asciiLowercased(asked); });
    };
    for (const auto& [headerName, value] : headers) {
        if (isNamed(headerName))
            return value;
    }
    return std::nullopt;
}

std::optional<std::string> headerValue(std::string_view name, const HTTPHeaders& headers)
{
    auto value = headerView(name, headers);
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

std::optional<std::string> HTTPRequest::header(std::string_view name) const
{
    return headerValue(name, m_headers);
}

std::optional<std::string> HTTPRequest::queryValue(std::string_view name) const
{
    if (!m_query)
        return std::nullopt;
    for (const auto& [itemName, value] : *m_query) {
        if (itemName == name)
            return value;
    }
    return std::nullopt;
}

}
