#include "VellumarMacCore/Foundations/HTTPPath.h"

#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"

namespace vellumar {

namespace {

    bool isUnreserved(unsigned char byte)
    {
        return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')
            || byte == '-' || byte == '.' || byte == '_' || byte == '~';
    }

    template <typename Visitor> void forEachPiece(std::string_view text, char separator, Visitor&& visit)
    {
        while (true) {
            auto end = text.find(separator);
            visit(text.substr(0, end));
            if (end == std::string_view::npos)
                return;
            text.remove_prefix(end + 1);
        }
    }

}

std::optional<std::string> percentDecoded(std::string_view text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] != '%') {
            decoded.push_back(text[index]);
            continue;
        }
        if (text.size() - index < 3)
            return std::nullopt;
        auto byte = dataFromHex(text.substr(index + 1, 2));
        if (!byte)
            return std::nullopt;
        decoded.push_back(static_cast<char>(byte->front()));
        index += 2;
    }
    if (!detail::isValidUTF8(decoded))
        return std::nullopt;
    return decoded;
}

std::optional<std::string> percentEncoded(std::string_view text)
{
    if (!detail::isValidUTF8(text))
        return std::nullopt;
    return percentEncodedBytes(text, isUnreserved);
}

std::string percentEncodedBytes(std::string_view text, bool (*isKept)(unsigned char byte))
{
    constexpr std::string_view hexDigits = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size() * 3);
    for (char character : text) {
        auto byte = static_cast<unsigned char>(character);
        if (isKept(byte)) {
            encoded.push_back(character);
        } else {
            encoded.push_back('%');
            encoded.push_back(hexDigits[byte >> 4]);
            encoded.push_back(hexDigits[byte & 0x0F]);
        }
    }
    return encoded;
}

std::optional<std::vector<std::string>> splitPathSegments(std::string_view path)
{
    if (path.empty() || path.front() != '/')
        return std::nullopt;
    std::vector<std::string> segments;
    bool decodable = true;
    forEachPiece(path.substr(1), '/', [&](std::string_view piece) {
        if (!decodable)
            return;
        auto decoded = percentDecoded(piece);
        if (!decoded)
            decodable = false;
        else
            segments.push_back(std::move(*decoded));
    });
    if (!decodable)
        return std::nullopt;
    if (!segments.empty() && segments.back().empty())
        segments.pop_back();
    return segments;
}

std::optional<QueryItems> parseQuery(std::string_view text)
{
    QueryItems items;
    if (text.empty())
        return items;
    bool decodable = true;
    forEachPiece(text, '&', [&](std::string_view item) {
        if (!decodable)
            return;
        auto equals = item.find('=');
        auto name = percentDecoded(item.substr(0, equals));
        auto value = percentDecoded(
            equals == std::string_view::npos ? std::string_view {} : item.substr(equals + 1));
        if (!name || !value)
            decodable = false;
        else
            items.emplace_back(std::move(*name), std::move(*value));
    });
    if (!decodable)
        return std::nullopt;
    return items;
}

}
