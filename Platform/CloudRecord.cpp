#include "Platform/CloudRecord.h"

#include "Platform/CloudDatabaseSchema.h"

namespace vellumar::platform {

namespace {

    constexpr std::size_t kTokenBytes = 17;

    void appendBigEndian(CloudBytes& bytes, std::int64_t value)
    {
        auto bits = static_cast<std::uint64_t>(value);
        for (int shift = 56; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
    }

    std::int64_t readBigEndian(const CloudBytes& bytes, std::size_t offset)
    {
        std::uint64_t bits = 0;
        for (std::size_t index = 0; index < 8; ++index)
            bits = bits << 8 | bytes[offset + index];
        return static_cast<std::int64_t>(bits);
    }

}

CloudDatabaseError::CloudDatabaseError(
    int code, std::optional<double> retryAfterSeconds, std::string_view detail)
    : m_code(code)
    , m_retryAfterSeconds(retryAfterSeconds)
    , m_text("cloud database error " + std::to_string(code)
          + (detail.empty() ? std::string() : " (" + printableCloudText(detail) + ")"))
{
}

std::string CloudPredicate::format() const
{
    std::string text;
    for (std::size_t index = 0; index < clauses.size(); ++index)
        text += index == 0 ? "%K == %@" : " AND %K == %@";
    return text;
}

std::vector<std::string> CloudPredicate::arguments() const
{
    std::vector<std::string> values;
    for (const auto& clause : clauses) {
        values.push_back(clause.key);
        values.push_back(clause.value);
    }
    return values;
}

bool CloudPredicate::matches(const CloudRecord& record) const
{
    for (const auto& clause : clauses) {
        const CloudValue* value = record.field(clause.key);
        const auto* text = value ? std::get_if<std::string>(value) : nullptr;
        if (!text || *text != clause.value)
            return false;
    }
    return true;
}

CloudBytes CloudChangeToken::encoded() const
{
    CloudBytes bytes;
    bytes.reserve(kTokenBytes);
    appendBigEndian(bytes, zoneEpoch);
    appendBigEndian(bytes, changeSequence);
    bytes.push_back(initialFeed ? 1 : 0);
    return bytes;
}

std::optional<CloudChangeToken> CloudChangeToken::decoded(const CloudBytes& bytes)
{
    if (bytes.size() != kTokenBytes || bytes[16] > 1)
        return std::nullopt;
    return CloudChangeToken { readBigEndian(bytes, 0), readBigEndian(bytes, 8), bytes[16] == 1 };
}

}
