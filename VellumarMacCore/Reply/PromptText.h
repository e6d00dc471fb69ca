// Small text helpers shared by the prompt builders.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vellumar::detail {

inline std::string joined(const std::vector<std::string>& pieces, std::string_view separator)
{
    std::string result;
    for (std::size_t index = 0; index < pieces.size(); ++index) {
        if (index > 0)
            result += separator;
        result += pieces[index];
    }
    return result;
}

// The text between two double-quote characters, nothing escaped: the bot reads it, no parser does.
inline std::string inQuotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

}
