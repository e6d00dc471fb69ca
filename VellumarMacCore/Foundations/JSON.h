// The JSON value through which stored files, API bodies, Claude Code settings and
// Claude Code's output lines pass, with its one canonical encoder.
#pragma once

#include "VellumarMacCore/Foundations/SortedKeyMap.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vellumar {

class JSON {
public:
    using Array = std::vector<JSON>;
    // Keys sorted byte-wise by their UTF-8 form; this is also the encoder's member order.
    using Object = SortedKeyMap<JSON>;

    // Declaration order of the alternatives.
    enum class Kind { boolean, number, string, array, object, null };

    // Deeper documents decode as absent; Claude Code lines can be 32 MiB.
    static constexpr int kMaxDecodeDepth = 512;

    JSON() noexcept = default; // null
    JSON(std::nullptr_t) noexcept { }
    JSON(bool value) noexcept;
    // Integer literals: held as a double.
    JSON(int value) noexcept;
    JSON(long value) noexcept;
    JSON(long long value) noexcept;
    JSON(unsigned value) noexcept;
    JSON(unsigned long value) noexcept;
    JSON(unsigned long long value) noexcept;
    JSON(const char* text);
    JSON(std::string text);
    JSON(std::string_view text);
    JSON(Array elements);
    JSON(Object members);

    // A non-integral (or any) double; there is no floating-point literal form.
    static JSON number(double value);
    // Key/value literal; a repeated key takes the later value.
    static JSON object(std::initializer_list<std::pair<std::string, JSON>> members);
    static JSON array(std::initializer_list<JSON> elements);
    // `null` when absent.
    static JSON optionalString(const std::optional<std::string>& text);
    static JSON optionalInt(const std::optional<std::int64_t>& value);

    Kind kind() const noexcept;
    bool isNull() const noexcept { return kind() == Kind::null; }

    // Accessors answer absent (nullptr / nullopt) for any other alternative.
    const Object* objectValue() const noexcept;
    const Array* arrayValue() const noexcept;
    const std::string* stringValue() const noexcept;
    std::optional<bool> boolValue() const noexcept;
    std::optional<double> numberValue() const noexcept;
    // Only for numbers that pass `isIntegral`.
    std::optional<std::int64_t> intValue() const noexcept;
    // Member lookup on an object; nullptr when missing or not an object. A null member is returned.
    const JSON* subscript(std::string_view key) const noexcept;

    // Bytes to a value; nullopt for anything that is not one UTF-8 JSON document (RFC 8259: one
    // value, scalars allowed, no byte order mark), for nesting deeper than kMaxDecodeDepth and for
    // a number too large for a double (one too small reads as 0). A repeated key keeps its later
    // value. Never throws; safe from any thread.
    static std::optional<JSON> decode(std::string_view bytes);
    // Canonical form: sorted keys, "/" unescaped, no whitespace; only '"', '\\' and control
    // characters are escaped. "null" when any number is not finite. Bytes of a text that are not
    // UTF-8 are written as U+FFFD, so the result always decodes again. Never throws.
    std::string encoded() const;

    // Structural equality; strings compare by Unicode canonical equivalence, numbers by IEEE ==,
    // object keys byte for byte.
    friend bool operator==(const JSON& lhs, const JSON& rhs);

    // The integer rule shared by the encoder and `intValue`: whole, and |x| < 1e15.
    static bool isIntegral(double value) noexcept;

private:
    // Arrays and objects are immutable once built, so copies share them.
    using Storage = std::variant<bool, double, std::string, std::shared_ptr<const Array>,
        std::shared_ptr<const Object>, std::monostate>;
    Storage m_storage { std::monostate {} };
};

}
