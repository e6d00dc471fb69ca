// A JSON reader that keeps each number as its literal text, for the stored channel state, whose
// sequence numbers are unsigned 64-bit integers that a double cannot hold exactly. Strict RFC 8259
// otherwise, with a small nesting limit: the state is three levels deep.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace movrane::ExactJSON {

struct Value {
    enum class Kind { null, boolean, number, string, array, object };
    Kind kind = Kind::null;
    bool boolean = false;
    // The literal of a number, or the decoded text of a string.
    std::string text;
    std::vector<Value> elements;
    // A repeated key keeps its later value.
    std::map<std::string, Value, std::less<>> members;

    const Value* member(std::string_view key) const;
    // A number literal that is a plain non-negative integer (no sign, fraction or exponent) of at most
    // 2^64 - 1; absent otherwise.
    std::optional<std::uint64_t> unsignedInteger() const;
    std::optional<std::int64_t> signedInteger() const;
    std::optional<double> number() const;
};

// Absent for anything but one JSON document nested at most `maxDepth` deep.
std::optional<Value> decode(std::string_view text, int maxDepth = 8);

}
