#include "MovraneMailbox/Protocol/MailboxJobSnapshot.h"

#include "VellumarMacCore/Foundations/HTTPPath.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <map>

namespace movrane {

namespace {

    constexpr std::string_view kJobsPath = "/v1/jobs/";
    constexpr std::int64_t kMaxWaitSeconds = 25;

    // The URL path characters less "/", ";", "?" and "#", which would change the path's shape.
    bool keptInJobPath(unsigned char byte)
    {
        return std::isalnum(byte) || std::string_view("!$&'()*+,-.:=@_~").find(static_cast<char>(byte)) != std::string_view::npos;
    }

    std::string encodedJobID(std::string_view jobId) { return vellumar::percentEncodedBytes(jobId, keptInJobPath); }

    // Plain decimal with an optional sign, within 64 bits.
    std::optional<std::int64_t> decimal(std::string_view text)
    {
        bool negative = false;
        if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
            negative = text.front() == '-';
            text.remove_prefix(1);
        }
        if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        std::uint64_t magnitude = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
        std::uint64_t limit = negative ? std::uint64_t(1) << 63 : (std::uint64_t(1) << 63) - 1;
        if (error != std::errc() || end != text.data() + text.size() || magnitude > limit)
            return std::nullopt;
        return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    }

    // A number, or a boolean read as 0 or 1, cut toward zero; absent outside 64 bits.
    std::optional<std::int64_t> integerOf(const vellumar::JSON& value)
    {
        if (auto flag = value.boolValue())
            return *flag ? 1 : 0;
        auto number = value.numberValue();
        if (!number || !std::isfinite(*number) || std::fabs(*number) >= 9.2e18)
            return std::nullopt;
        return static_cast<std::int64_t>(std::trunc(*number));
    }

    std::set<std::string> pendingApprovalsIn(const vellumar::JSON* requests)
    {
        const vellumar::JSON::Array* elements = requests ? requests->arrayValue() : nullptr;
        std::set<std::string> ids;
        if (!elements)
            return ids;
        for (const auto& element : *elements) {
            if (!element.objectValue())
                return {};
            const vellumar::JSON* id = element.subscript("requestId");
            if (id && id->stringValue())
                ids.insert(*id->stringValue());
        }
        return ids;
    }

}

std::optional<MailboxJobSnapshot> MailboxJobSnapshot::fromJSON(std::string_view bytes)
{
    auto json = vellumar::JSON::decode(bytes);
    if (!json || !json->objectValue() || json->objectValue()->empty())
        return std::nullopt;
    const vellumar::JSON* jobId = json->subscript("jobId");
    const vellumar::JSON* version = json->subscript("version");
    auto versionValue = version ? integerOf(*version) : std::nullopt;
    if (!jobId || !jobId->stringValue() || !versionValue)
        return std::nullopt;
    MailboxJobSnapshot snapshot;
    snapshot.jobId = *jobId->stringValue();
    snapshot.version = *versionValue;
    const vellumar::JSON* status = json->subscript("status");
    snapshot.status = status && status->stringValue() ? *status->stringValue() : std::string();
    const vellumar::JSON* finishedAt = json->subscript("finishedAt");
    snapshot.finished = terminalStatuses.contains(snapshot.status) || (finishedAt && finishedAt->numberValue());
    snapshot.pendingApprovals = pendingApprovalsIn(json->subscript("permissionRequests"));
    return snapshot;
}

MailboxRelayRequest MailboxJobSnapshot::requestPath(
    std::string_view jobId, std::optional<std::int64_t> since, std::optional<std::int64_t> wait)
{
    std::optional<std::string> query;
    if (since)
        query = "wait=" + std::to_string(wait.value_or(0)) + "&since=" + std::to_string(*since);
    return MailboxRelayRequest::make("GET", std::string(kJobsPath) + encodedJobID(jobId), std::move(query),
        { { "accept", "application/json" } }, {});
}

std::optional<MailboxRelayRequest::JobWatch> MailboxRelayRequest::jobWatch() const
{
    if (method != "GET" || !query)
        return std::nullopt;
    if (!path.starts_with(kJobsPath))
        return std::nullopt;
    std::string_view encodedID = std::string_view(path).substr(kJobsPath.size());
    if (encodedID.find('/') != std::string_view::npos)
        return std::nullopt;
    auto jobId = vellumar::percentDecoded(encodedID);
    if (!jobId || jobId->empty())
        return std::nullopt;
    std::map<std::string_view, std::string_view> items;
    std::string_view rest = *query;
    while (!rest.empty()) {
        auto ampersand = std::min(rest.find('&'), rest.size());
        auto piece = rest.substr(0, ampersand);
        rest.remove_prefix(std::min(ampersand + 1, rest.size()));
        auto equals = piece.find('=');
        if (equals == std::string_view::npos || equals == 0 || equals + 1 == piece.size())
            continue;
        items.insert_or_assign(piece.substr(0, equals), piece.substr(equals + 1));
    }
    auto sinceText = items.find("since");
    auto since = sinceText == items.end() ? std::nullopt : decimal(sinceText->second);
    if (!since)
        return std::nullopt;
    auto waitText = items.find("wait");
    auto wait = waitText == items.end() ? std::nullopt : decimal(waitText->second);
    return JobWatch { std::move(*jobId), *since, std::clamp<std::int64_t>(wait.value_or(0), 0, kMaxWaitSeconds) };
}

}
