#include "VellumarMacCore/Relay/DER.h"

#include <algorithm>

namespace vellumar::DER {

namespace {

    constexpr std::uint8_t kSequenceTag = 0x30;
    // [0] EXPLICIT, constructed: the version field that only v2 and v3 certificates carry.
    constexpr std::uint8_t kExplicitVersionTag = 0xA0;
    constexpr std::size_t kMaxLengthBytes = 4;
    // version, serialNumber, signature, issuer, validity, subject, subjectPublicKeyInfo and one more:
    // the key never lies further in.
    constexpr std::size_t kMaxTBSChildren = 8;

    std::optional<Element> readSequence(
        std::span<const std::uint8_t> bytes, std::size_t start, std::size_t end)
    {
        auto element = readElement(bytes, start, end);
        if (!element || element->tag != kSequenceTag)
            return std::nullopt;
        return element;
    }

}

std::optional<Element> readElement(std::span<const std::uint8_t> bytes, std::size_t start, std::size_t end)
{
    end = std::min(end, bytes.size());
    // Subtractions only: start + 2 could wrap for a hostile start.
    if (start > end || end - start < 2)
        return std::nullopt;
    std::uint8_t tag = bytes[start];
    std::uint8_t lengthByte = bytes[start + 1];
    std::size_t contentsBegin = start + 2;
    std::uint64_t length = lengthByte;
    if (lengthByte >= 0x80) {
        std::size_t count = lengthByte - 0x80u;
        if (count == 0 || count > kMaxLengthBytes || end - contentsBegin < count)
            return std::nullopt;
        length = 0;
        for (std::size_t i = 0; i < count; ++i)
            length = (length << 8) | bytes[contentsBegin + i];
        contentsBegin += count;
    }
    if (length > end - contentsBegin)
        return std::nullopt;
    std::size_t contentsEnd = contentsBegin + static_cast<std::size_t>(length);
    return Element {
        .tag = tag, .range = { start, contentsEnd }, .contents = { contentsBegin, contentsEnd }
    };
}

std::optional<std::vector<std::uint8_t>> subjectPublicKeyInfo(std::span<const std::uint8_t> certificate)
{
    auto outer = readSequence(certificate, 0, certificate.size());
    if (!outer)
        return std::nullopt;
    auto tbs = readSequence(certificate, outer->contents.begin, outer->contents.end);
    if (!tbs)
        return std::nullopt;

    std::vector<Element> children;
    std::size_t position = tbs->contents.begin;
    while (position < tbs->contents.end && children.size() < kMaxTBSChildren) {
        auto child = readElement(certificate, position, tbs->contents.end);
        if (!child)
            return std::nullopt;
        children.push_back(*child);
        position = child->range.end;
    }

    std::size_t keyIndex = !children.empty() && children.front().tag == kExplicitVersionTag ? 6 : 5;
    if (keyIndex >= children.size() || children[keyIndex].tag != kSequenceTag)
        return std::nullopt;
    const Range& key = children[keyIndex].range;
    return std::vector<std::uint8_t>(certificate.begin() + static_cast<std::ptrdiff_t>(key.begin),
        certificate.begin() + static_cast<std::ptrdiff_t>(key.end));
}

}
