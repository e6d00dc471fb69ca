#include "Platform/CloudFieldPacking.h"

#include <chrono>
#include <string_view>
#include <type_traits>

namespace vellumar::platform {

namespace {

    constexpr std::uint8_t kPackingVersion = 1;
    constexpr std::size_t kNumberBytes = 8;
    // Enough 7-bit groups for any 64-bit number.
    constexpr std::size_t kMaxLengthBytes = 10;

    using Bytes = std::span<const std::uint8_t>;

    void appendLength(CloudBytes& packed, std::uint64_t length)
    {
        for (; length >= 0x80; length >>= 7)
            packed.push_back(static_cast<std::uint8_t>(length | 0x80));
        packed.push_back(static_cast<std::uint8_t>(length));
    }

    void appendSized(CloudBytes& packed, Bytes bytes)
    {
        appendLength(packed, bytes.size());
        packed.insert(packed.end(), bytes.begin(), bytes.end());
    }

    Bytes bytesOf(std::string_view text)
    {
        return { reinterpret_cast<const std::uint8_t*>(text.data()), text.size() };
    }

    void appendNumber(CloudBytes& packed, std::int64_t number)
    {
        auto bits = static_cast<std::uint64_t>(number);
        for (int shift = 56; shift >= 0; shift -= 8)
            packed.push_back(static_cast<std::uint8_t>(bits >> shift));
    }

    std::int64_t numberFrom(Bytes bytes)
    {
        std::uint64_t bits = 0;
        for (std::uint8_t byte : bytes)
            bits = bits << 8 | byte;
        return static_cast<std::int64_t>(bits);
    }

    std::int64_t nanoseconds(CloudDate date)
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch()).count();
    }

    CloudDate dateFromNanoseconds(std::int64_t count)
    {
        return CloudDate(std::chrono::duration_cast<CloudDate::duration>(std::chrono::nanoseconds(count)));
    }

    // Reads a packing front to back; every read is absent once it would pass the end.
    class Reader {
    public:
        explicit Reader(Bytes bytes)
            : m_rest(bytes)
        {
        }

        std::size_t remaining() const { return m_rest.size(); }

        std::optional<Bytes> take(std::uint64_t count)
        {
            if (count > m_rest.size())
                return std::nullopt;
            Bytes taken = m_rest.first(static_cast<std::size_t>(count));
            m_rest = m_rest.subspan(taken.size());
            return taken;
        }

        std::optional<std::uint64_t> length()
        {
            std::uint64_t value = 0;
            for (std::size_t index = 0; index < kMaxLengthBytes && index < m_rest.size(); ++index) {
                std::uint8_t byte = m_rest[index];
                // The tenth group holds the 64th bit only.
                if (index == kMaxLengthBytes - 1 && byte > 1)
                    return std::nullopt;
                value |= static_cast<std::uint64_t>(byte & 0x7f) << (7 * index);
                if ((byte & 0x80) == 0) {
                    m_rest = m_rest.subspan(index + 1);
                    return value;
                }
            }
            return std::nullopt;
        }

        std::optional<Bytes> sized()
        {
            auto count = length();
            return count ? take(*count) : std::nullopt;
        }

    private:
        Bytes m_rest;
    };

    // Calls `visit(key, kind, value bytes)` for each field in order; false when the packing is damaged,
    // possibly after some calls.
    template <typename Visit> bool walkPacking(Bytes packed, Visit&& visit)
    {
        Reader reader(packed);
        auto version = reader.take(1);
        if (!version || version->front() != kPackingVersion)
            return false;
        auto count = reader.length();
        // Each field takes at least three bytes, so no count past the rest is believed.
        if (!count || *count > reader.remaining())
            return false;
        std::optional<std::string_view> previousKey;
        for (std::uint64_t index = 0; index < *count; ++index) {
            auto keyBytes = reader.sized();
            auto kindByte = reader.take(1);
            if (!keyBytes || !kindByte)
                return false;
            std::string_view key(reinterpret_cast<const char*>(keyBytes->data()), keyBytes->size());
            if (previousKey && key <= *previousKey)
                return false;
            previousKey = key;
            auto kind = static_cast<CloudFieldKind>(kindByte->front());
            std::optional<Bytes> value;
            switch (kind) {
            case CloudFieldKind::string:
            case CloudFieldKind::bytes:
            case CloudFieldKind::asset:
                value = reader.sized();
                break;
            case CloudFieldKind::date:
            case CloudFieldKind::int64:
                value = reader.take(kNumberBytes);
                break;
            default:
                return false;
            }
            if (!value)
                return false;
            visit(key, kind, *value);
        }
        return reader.remaining() == 0;
    }

    std::string textOf(Bytes bytes) { return std::string(bytes.begin(), bytes.end()); }

    // The value of a field of any kind but an asset, as either kind of variant holds it.
    template <typename Value> Value plainValue(CloudFieldKind kind, Bytes value)
    {
        switch (kind) {
        case CloudFieldKind::date:
            return dateFromNanoseconds(numberFrom(value));
        case CloudFieldKind::int64:
            return numberFrom(value);
        case CloudFieldKind::bytes:
            return CloudBytes(value.begin(), value.end());
        default:
            return textOf(value);
        }
    }

    bool wanted(const std::optional<std::set<std::string>>& desiredKeys, const std::string& key)
    {
        return !desiredKeys || desiredKeys->contains(key);
    }

}

CloudStoredFields cloudStoredFields(
    const CloudRecord& record, const std::map<std::string, std::string>& assetNames)
{
    CloudStoredFields stored;
    for (const auto& [key, value] : record.fields) {
        stored.emplace(key,
            std::visit(
                [&](const auto& alternative) -> CloudStoredValue {
                    if constexpr (std::is_same_v<std::decay_t<decltype(alternative)>, CloudAsset>)
                        return CloudAssetName { assetNames.at(key) };
                    else
                        return alternative;
                },
                value));
    }
    return stored;
}

CloudBytes packCloudFields(const CloudStoredFields& fields)
{
    CloudBytes packed { kPackingVersion };
    appendLength(packed, fields.size());
    for (const auto& [key, value] : fields) {
        appendSized(packed, bytesOf(key));
        packed.push_back(static_cast<std::uint8_t>(value.index()));
        if (const auto* text = std::get_if<std::string>(&value))
            appendSized(packed, bytesOf(*text));
        else if (const auto* date = std::get_if<CloudDate>(&value))
            appendNumber(packed, nanoseconds(*date));
        else if (const auto* number = std::get_if<std::int64_t>(&value))
            appendNumber(packed, *number);
        else if (const auto* bytes = std::get_if<CloudBytes>(&value))
            appendSized(packed, *bytes);
        else
            appendSized(packed, bytesOf(std::get<CloudAssetName>(value).name));
    }
    return packed;
}

std::optional<std::map<std::string, CloudValue, std::less<>>> unpackCloudValues(
    std::span<const std::uint8_t> packed, const std::optional<std::set<std::string>>& desiredKeys,
    const std::function<std::optional<CloudValue>(const std::string& assetName)>& assetValue)
{
    // Checked whole first, so that no asset of a damaged packing is looked for.
    if (!walkPacking(packed, [](std::string_view, CloudFieldKind, Bytes) {}))
        return std::nullopt;
    std::map<std::string, CloudValue, std::less<>> fields;
    walkPacking(packed, [&](std::string_view key, CloudFieldKind kind, Bytes value) {
        std::string name(key);
        if (!wanted(desiredKeys, name))
            return;
        if (kind != CloudFieldKind::asset)
            fields.emplace_hint(fields.end(), std::move(name), plainValue<CloudValue>(kind, value));
        else if (auto asset = assetValue(textOf(value)))
            fields.emplace_hint(fields.end(), std::move(name), std::move(*asset));
    });
    return fields;
}

std::optional<std::vector<std::string>> unpackCloudAssetNames(std::span<const std::uint8_t> packed)
{
    std::vector<std::string> names;
    bool whole = walkPacking(packed, [&](std::string_view, CloudFieldKind kind, Bytes value) {
        if (kind == CloudFieldKind::asset)
            names.push_back(textOf(value));
    });
    return whole ? std::optional(std::move(names)) : std::nullopt;
}

}
