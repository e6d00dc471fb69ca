// Just enough of a DER (X.690) reader to find the public key of an X.509 certificate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vellumar::DER {

// Byte positions counted from the start of the whole input; ranges are half-open.
struct Range {
    std::size_t begin = 0;
    std::size_t end = 0;

    friend bool operator==(const Range&, const Range&) = default;
};

struct Element {
    // The first byte, unchanged (one-byte tags only).
    std::uint8_t tag = 0;
    // From the tag byte to the end of the contents.
    Range range;
    Range contents;

    friend bool operator==(const Element&, const Element&) = default;
};

// The element that begins at `start` and ends at or before `end` (which is clamped to the input's
// size). None for fewer than two bytes, the indefinite length form, a long form of more than four
// length bytes, or length bytes or contents that run past `end`. Never reads at or past `end`.
std::optional<Element> readElement(std::span<const std::uint8_t> bytes, std::size_t start, std::size_t end);

// The whole SubjectPublicKeyInfo element (tag and length bytes included) of a DER certificate; none
// when the certificate's outer structure does not lead to one.
std::optional<std::vector<std::uint8_t>> subjectPublicKeyInfo(std::span<const std::uint8_t> certificate);

}
