// JSON::encoded: the one canonical byte form of a value.
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Foundations/JSONDetail.h"

#include <charconv>
#include <cmath>

namespace vellumar {

namespace {

    constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

    // RFC 8259 §7: only the quotation mark, the reverse solidus and the control characters must be
    // escaped; "/" and everything else stay as they are. Bytes that are not UTF-8 become U+FFFD so
    // that the output is always a document this system can read back.
    void appendString(std::string& out, std::string_view text)
    {
        static constexpr char hexDigits[] = "0123456789abcdef";
        out += '"';
        std::size_t index = 0;
        while (index < text.size()) {
            // Copy the longest run that needs no change in one go.
            std::size_t runStart = index;
            index = detail::endOfVerbatimJSONRun(text, index);
            out.append(text.substr(runStart, index - runStart));
            if (index == text.size())
                break;
            auto byte = static_cast<unsigned char>(text[index++]);
            switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += hexDigits[byte >> 4];
                    out += hexDigits[byte & 0xF];
                } else {
                    out += kReplacementCharacter; // this byte begins no well-formed UTF-8 sequence
                }
            }
        }
        out += '"';
    }

    // False for a number that JSON cannot spell (NaN, ±infinity).
    bool appendNumber(std::string& out, double value)
    {
        if (!std::isfinite(value))
            return false;
        char buffer[32];
        std::to_chars_result result;
        if (JSON::isIntegral(value)) {
            // -0.0 passes as the integer 0.
            result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(value));
        } else {
            // The shortest spelling that reads back as the same double. Whole numbers past the
            // integer range take an exponent so that no reader mistakes them for integers.
            auto format
                = std::fabs(value) >= 1e15 ? std::chars_format::scientific : std::chars_format::general;
            result = std::to_chars(buffer, buffer + sizeof buffer, value, format);
        }
        out.append(buffer, result.ptr);
        return true;
    }

    bool appendValue(std::string& out, const JSON& value)
    {
        switch (value.kind()) {
        case JSON::Kind::boolean:
            out += *value.boolValue() ? "true" : "false";
            return true;
        case JSON::Kind::number:
            return appendNumber(out, *value.numberValue());
        case JSON::Kind::string:
            appendString(out, *value.stringValue());
            return true;
        case JSON::Kind::array: {
            out += '[';
            bool first = true;
            for (const JSON& element : *value.arrayValue()) {
                if (!first)
                    out += ',';
                first = false;
                if (!appendValue(out, element))
                    return false;
            }
            out += ']';
            return true;
        }
        case JSON::Kind::object: {
            // The object already holds its keys in byte-wise order of their UTF-8 forms.
            out += '{';
            bool first = true;
            for (const auto& [key, member] : *value.objectValue()) {
                if (!first)
                    out += ',';
                first = false;
                appendString(out, key);
                out += ':';
                if (!appendValue(out, member))
                    return false;
            }
            out += '}';
            return true;
        }
        case JSON::Kind::null:
            out += "null";
            return true;
        }
        return false;
    }

}

std::string JSON::encoded() const
{
    try {
        std::string out;
        if (!appendValue(out, *this))
            return "null";
        return out;
    } catch (...) {
        // The call never fails: running out of memory is written like any other failure.
        return "null";
    }
}

}
