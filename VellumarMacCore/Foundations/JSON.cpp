#include "VellumarMacCore/Foundations/JSON.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>

namespace vellumar {

namespace {

    bool isASCII(std::string_view text)
    {
        return std::all_of(
            text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    }

    // Canonical equivalence (the equality of Unicode texts): equal NFD forms. Bytes that are not
    // UTF-8 read as U+FFFD, as they would when turned into a text anywhere else.
    bool canonicallyEqual(std::string_view lhs, std::string_view rhs)
    {
        if (lhs == rhs)
            return true;
        // Two different ASCII texts are never equivalent; this skips ICU for nearly every key and value.
        if (isASCII(lhs) && isASCII(rhs))
            return false;
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
        if (U_FAILURE(status))
            return false;
        icu::UnicodeString left = nfd->normalize(
            icu::UnicodeString::fromUTF8(icu::StringPiece(lhs.data(), static_cast<int32_t>(lhs.size()))),
            status);
        icu::UnicodeString right = nfd->normalize(
            icu::UnicodeString::fromUTF8(icu::StringPiece(rhs.data(), static_cast<int32_t>(rhs.size()))),
            status);
        return U_SUCCESS(status) && left == right;
    }

}

JSON::JSON(bool value) noexcept
    : m_storage(value)
{
}

JSON::JSON(int value) noexcept
    : m_storage(static_cast<double>(value))
{
}

JSON::JSON(long value) noexcept
    : m_storage(static_cast<double>(value))
{
}

JSON::JSON(long long value) noexcept
    : m_storage(static_cast<double>(value))
{
}

JSON::JSON(unsigned value) noexcept
    : m_storage(static_cast<double>(value))
{
}

JSON::JSON(unsigned long value) noexcept
    : m_storage(static_cast<double>(value))
{
}

JSON::JSON(unsigned long long value) noexcept
    : m_storage(static_cast<double>(value))
{
}

JSON::JSON(const char* text)
{
    // A null C string has no text to hold; it stays `null` rather than crashing in std::string.
    if (text)
        m_storage = std::string(text);
}

JSON::JSON(std::string text)
    : m_storage(std::move(text))
{
}

JSON::JSON(std::string_view text)
    : m_storage(std::string(text))
{
}

JSON::JSON(Array elements)
    : m_storage(std::make_shared<const Array>(std::move(elements)))
{
}

JSON::JSON(Object members)
    : m_storage(std::make_shared<const Object>(std::move(members)))
{
}

JSON JSON::number(double value)
{
    JSON result;
    result.m_storage = value;
    return result;
}

JSON JSON::object(std::initializer_list<std::pair<std::string, JSON>> members)
{
    return JSON(Object(std::vector<Object::value_type>(members), Object::RepeatedKey::keepLast));
}

JSON JSON::array(std::initializer_list<JSON> elements) { return JSON(Array(elements)); }

JSON JSON::optionalString(const std::optional<std::string>& text) { return text ? JSON(*text) : JSON(); }

JSON JSON::optionalInt(const std::optional<std::int64_t>& value)
{
    return value ? JSON(static_cast<long long>(*value)) : JSON();
}

JSON::Kind JSON::kind() const noexcept { return static_cast<Kind>(m_storage.index()); }

const JSON::Object* JSON::objectValue() const noexcept
{
    auto* members = std::get_if<std::shared_ptr<const Object>>(&m_storage);
    return members ? members->get() : nullptr;
}

const JSON::Array* JSON::arrayValue() const noexcept
{
    auto* elements = std::get_if<std::shared_ptr<const Array>>(&m_storage);
    return elements ? elements->get() : nullptr;
}

const std::string* JSON::stringValue() const noexcept { return std::get_if<std::string>(&m_storage); }

std::optional<bool> JSON::boolValue() const noexcept
{
    if (auto* value = std::get_if<bool>(&m_storage))
        return *value;
    return std::nullopt;
}

std::optional<double> JSON::numberValue() const noexcept
{
    if (auto* value = std::get_if<double>(&m_storage))
        return *value;
    return std::nullopt;
}

std::optional<std::int64_t> JSON::intValue() const noexcept
{
    auto value = numberValue();
    if (!value || !isIntegral(*value))
        return std::nullopt;
    return static_cast<std::int64_t>(*value);
}

const JSON* JSON::subscript(std::string_view key) const noexcept
{
    const Object* members = objectValue();
    if (!members)
        return nullptr;
    auto found = members->find(key);
    return found == members->end() ? nullptr : &found->second;
}

bool JSON::isIntegral(double value) noexcept
{
    // The largest double below one half: adding a true 0.5 would round 0.49999999999999994 up to 1.
    double rounded = std::trunc(value + std::copysign(0.49999999999999994, value));
    if (std::isnan(value) || rounded != value)
        return false;
    return std::fabs(value) < 1e15;
}

bool operator==(const JSON& lhs, const JSON& rhs)
{
    if (lhs.kind() != rhs.kind())
        return false;
    switch (lhs.kind()) {
    case JSON::Kind::boolean:
        return *lhs.boolValue() == *rhs.boolValue();
    case JSON::Kind::number:
        return *lhs.numberValue() == *rhs.numberValue();
    case JSON::Kind::string:
        return canonicallyEqual(*lhs.stringValue(), *rhs.stringValue());
    case JSON::Kind::array:
        return *lhs.arrayValue() == *rhs.arrayValue();
    case JSON::Kind::object:
        // Keys are compared as stored (byte-wise), as the object orders them.
        return *lhs.objectValue() == *rhs.objectValue();
    case JSON::Kind::null:
        return true;
    }
    return false;
}

}
