#include "VellumarMacCore/GitProtection/Finding/PlainGitSettings.h"

#include "VellumarMacCore/Foundations/HTTPDetail.h"

#include <algorithm>
#include <cctype>

namespace vellumar::PlainGitSettings {

namespace {

    constexpr std::string_view kBlanks = " \t";

    std::string_view trimmed(std::string_view text)
    {
        const std::size_t first = text.find_first_not_of(kBlanks);
        if (first == std::string_view::npos)
            return {};
        return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
    }

    bool isNameByte(char byte) { return std::isalnum(static_cast<unsigned char>(byte)) || byte == '-'; }

    bool isName(std::string_view name)
    {
        return !name.empty() && std::all_of(name.begin(), name.end(), isNameByte);
    }

    // git-config(1) "Syntax": "[section]" or "[section "subsection"]", the section's name case-insensitive;
    // the prefix of its keys, absent where it is not that plain.
    std::optional<std::string> sectionOf(std::string_view line)
    {
        if (!line.ends_with(']'))
            return std::nullopt;
        line = line.substr(1, line.size() - 2);
        const std::size_t blank = line.find_first_of(kBlanks);
        const std::string_view name = line.substr(0, blank);
        if (!isName(name))
            return std::nullopt;
        std::string section = detail::asciiLowercased(std::string(name));
        if (blank == std::string_view::npos)
            return section;
        // Git wants "]" right after the closing quote.
        const std::string_view subsection
            = line.substr(std::min(line.find_first_not_of(kBlanks, blank), line.size()));
        if (subsection.size() < 2 || !subsection.starts_with('"') || !subsection.ends_with('"'))
            return std::nullopt;
        const std::string_view inner = subsection.substr(1, subsection.size() - 2);
        if (inner.find_first_of("\"\\") != std::string_view::npos)
            return std::nullopt;
        return section + "." + std::string(inner);
    }

}

std::optional<std::vector<Setting>> settingsOf(std::string_view bytes)
{
    // Git takes a tab within a value, and a vertical tab or form feed anywhere, as a blank of its own kind.
    if (bytes.find_first_of(std::string_view("\r\0\v\f", 4)) != std::string_view::npos
        || bytes.starts_with("\xEF\xBB\xBF"))
        return std::nullopt;
    std::vector<Setting> settings;
    std::optional<std::string> section;
    for (std::size_t start = 0; start < bytes.size();) {
        const std::size_t end = std::min(bytes.find('\n', start), bytes.size());
        const std::string_view line = trimmed(bytes.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.starts_with('#') || line.starts_with(';'))
            continue;
        if (line.find_first_of("#;") != std::string_view::npos)
            return std::nullopt;
        if (line.starts_with('[')) {
            section = sectionOf(line);
            if (!section)
                return std::nullopt;
            continue;
        }
        if (line.find_first_of("\"\\") != std::string_view::npos)
            return std::nullopt;
        const std::size_t equals = line.find('=');
        const std::string_view name = trimmed(line.substr(0, equals));
        if (!section || !isName(name) || !std::isalpha(static_cast<unsigned char>(name.front())))
            return std::nullopt;
        std::string key = *section + "." + detail::asciiLowercased(std::string(name));
        if (equals == std::string_view::npos)
            settings.emplace_back(std::move(key), std::nullopt);
        else if (auto value = trimmed(line.substr(equals + 1)); value.find('\t') == std::string_view::npos)
            settings.emplace_back(std::move(key), std::string(value));
        else
            return std::nullopt;
    }
    return settings;
}

std::optional<std::string> lastValue(const std::vector<Setting>& settings, std::string_view key)
{
    for (auto setting = settings.rbegin(); setting != settings.rend(); ++setting) {
        if (setting->first == key)
            return setting->second;
    }
    return std::nullopt;
}

}
