#include "MovraneMailbox/Protocol/MailboxRelay.h"

#include "VellumarMacCore/Foundations/HTTPRequestParser.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <algorithm>
#include <cctype>

namespace movrane {

namespace {

    std::string lowerCased(std::string_view text)
    {
        std::string lower(text);
        std::transform(lower.begin(), lower.end(), lower.begin(),
            [](unsigned char character) { return static_cast<char>(std::tolower(character)); });
        return lower;
    }

    std::string upperCased(std::string_view text)
    {
        std::string upper(text);
        std::transform(upper.begin(), upper.end(), upper.begin(),
            [](unsigned char character) { return static_cast<char>(std::toupper(character)); });
        return upper;
    }

    struct URLParts {
        std::string path;
        std::optional<std::string> query;
    };

    // RFC 3986 §3: [scheme ":" "//" authority] path ["?" query] ["#" fragment], kept percent-encoded.
    std::optional<URLParts> splitURL(std::string_view url)
    {
        if (url.empty())
            return std::nullopt;
        if (auto fragment = url.find('#'); fragment != std::string_view::npos)
            url = url.substr(0, fragment);
        auto schemeEnd = url.find("://");
        if (schemeEnd != std::string_view::npos && url.find_first_of("/?") > schemeEnd) {
            auto authorityStart = schemeEnd + 3;
            auto pathStart = url.find_first_of("/?", authorityStart);
            url = pathStart == std::string_view::npos ? std::string_view() : url.substr(pathStart);
        }
        URLParts parts;
        auto question = url.find('?');
        parts.path = std::string(url.substr(0, question));
        if (question != std::string_view::npos)
            parts.query = std::string(url.substr(question + 1));
        return parts;
    }

}

MailboxHeaderMap MailboxHeaders::filter(
    const std::vector<std::pair<std::string, std::string>>& headers, const std::set<std::string, std::less<>>& allowList)
{
    MailboxHeaderMap filtered;
    for (const auto& [name, value] : headers) {
        auto lower = lowerCased(name);
        if (allowList.contains(lower) && value.size() <= maxValueBytes && !containsLineBreak(value))
            filtered.insert_or_assign(std::move(lower), value);
    }
    return filtered;
}

bool MailboxHeaders::containsLineBreak(std::string_view value)
{
    return value.find_first_of("\r\n") != std::string_view::npos;
}

std::string MailboxHeaders::canonicalName(std::string_view lowerCaseName)
{
    std::string canonical;
    std::size_t start = 0;
    while (start <= lowerCaseName.size()) {
        auto end = std::min(lowerCaseName.find('-', start), lowerCaseName.size());
        auto piece = lowerCaseName.substr(start, end - start);
        if (!piece.empty()) {
            if (!canonical.empty())
                canonical.push_back('-');
            canonical.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(piece.front()))));
            canonical.append(piece.substr(1));
        }
        start = end + 1;
    }
    return canonical;
}

MailboxRelayRequest MailboxRelayRequest::make(std::string method, std::string path, std::optional<std::string> query,
    const std::vector<std::pair<std::string, std::string>>& headers, MailboxBytes body)
{
    if (query && query->empty())
        query.reset();
    return { upperCased(method), std::move(path), std::move(query),
        MailboxHeaders::filter(headers, MailboxHeaders::requestAllowList), std::move(body) };
}

MailboxRelayRequest MailboxRelayRequest::fromURLRequest(const MailboxURLRequest& request)
{
    auto parts = splitURL(request.url);
    if (!parts)
        throw MailboxRequestError();
    auto relayed = make(request.method.value_or("GET"), parts->path.empty() ? "/" : parts->path, parts->query,
        request.headers, request.body.value_or(MailboxBytes {}));
    if (!relayed.isValid())
        throw MailboxRequestError();
    return relayed;
}

std::string MailboxRelayRequest::target() const { return query ? path + "?" + *query : path; }

bool MailboxRelayRequest::isValid() const
{
    return allowedMethods.contains(method) && path.starts_with('/') && path.size() <= maxPathBytes
        && (!query || query->size() <= maxQueryBytes) && !vellumar::hasNonVisibleASCII(target());
}

MailboxRelayResponse MailboxRelayResponse::make(int status,
    const std::vector<std::pair<std::string, std::string>>& headers, MailboxBytes body,
    std::optional<std::filesystem::path> bodyFile)
{
    return { status, MailboxHeaders::filter(headers, MailboxHeaders::responseAllowList), std::move(body),
        std::move(bodyFile) };
}

MailboxRelayResponse MailboxRelayResponse::error(
    int status, std::string_view code, std::string_view message, std::optional<std::int64_t> retryAfter)
{
    auto json = vellumar::JSON::object({ { "error", code }, { "message", message } }).encoded();
    std::vector<std::pair<std::string, std::string>> headers { { "content-type", "application/json; charset=utf-8" } };
    if (retryAfter)
        headers.emplace_back("retry-after", std::to_string(*retryAfter));
    return make(status, headers, MailboxBytes(json.begin(), json.end()));
}

MailboxHTTPURLResponse MailboxRelayResponse::httpURLResponse(std::string_view url, std::int64_t contentLength) const
{
    MailboxHeaderMap fields;
    for (const auto& [name, value] : headers)
        fields.insert_or_assign(MailboxHeaders::canonicalName(name), value);
    fields.insert_or_assign("Content-Length", std::to_string(contentLength));
    return { std::string(url), status, "HTTP/1.1", std::move(fields) };
}

}
