#include "MovraneMailbox/Protocol/MailboxJSONReader.h"

namespace movrane {

namespace {

    [[noreturn]] void fail(std::string_view key) { throw MailboxDecodingError("unexpected or missing \"" + std::string(key) + "\""); }

}

MailboxJSONReader::MailboxJSONReader(const vellumar::JSON& value)
    : m_object(value)
{
    if (!value.objectValue())
        throw MailboxDecodingError("not an object");
}

const vellumar::JSON& MailboxJSONReader::member(std::string_view key) const
{
    const vellumar::JSON* value = m_object.subscript(key);
    if (!value)
        fail(key);
    return *value;
}

const vellumar::JSON* MailboxJSONReader::optionalMember(std::string_view key) const
{
    const vellumar::JSON* value = m_object.subscript(key);
    return value && !value->isNull() ? value : nullptr;
}

std::string MailboxJSONReader::string(std::string_view key) const
{
    const std::string* text = member(key).stringValue();
    if (!text)
        fail(key);
    return *text;
}

std::int64_t MailboxJSONReader::integer(std::string_view key) const
{
    auto value = member(key).intValue();
    if (!value)
        fail(key);
    return *value;
}

bool MailboxJSONReader::boolean(std::string_view key) const
{
    auto value = member(key).boolValue();
    if (!value)
        fail(key);
    return *value;
}

std::optional<std::string> MailboxJSONReader::optionalString(std::string_view key) const
{
    const vellumar::JSON* value = optionalMember(key);
    if (value && !value->stringValue())
        fail(key);
    return value ? std::optional(*value->stringValue()) : std::nullopt;
}

std::optional<std::int64_t> MailboxJSONReader::optionalInteger(std::string_view key) const
{
    const vellumar::JSON* value = optionalMember(key);
    if (value && !value->intValue())
        fail(key);
    return value ? value->intValue() : std::nullopt;
}

std::vector<std::pair<std::string, std::string>> MailboxJSONReader::stringMap(std::string_view key) const
{
    const vellumar::JSON::Object* object = member(key).objectValue();
    if (!object)
        fail(key);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto& [name, value] : *object) {
        if (!value.stringValue())
            fail(key);
        pairs.emplace_back(name, *value.stringValue());
    }
    return pairs;
}

}
