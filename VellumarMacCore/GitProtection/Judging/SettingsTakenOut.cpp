#include "VellumarMacCore/GitProtection/Judging/SettingsTakenOut.h"

#include <cctype>

namespace vellumar::SettingsTakenOut {

namespace {

    bool isKeyCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; }
    bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
    char lowered(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

    // Reads the configuration's bytes as Git's config.c does, one entry at a time.
    class Reader {
    public:
        explicit Reader(std::string_view bytes)
            : m_bytes(bytes)
        {
        }

        bool atEnd() const { return m_at == m_bytes.size(); }
        char peek() const { return m_bytes[m_at]; }
        std::size_t at() const { return m_at; }
        std::string_view from(std::size_t start) const { return m_bytes.substr(start, m_at - start); }
        void skip() { ++m_at; }

        // "[name]", "[name.sub]" (all in lower case) or "[name "sub"]" (get_base_var()): the section's
        // prefix of every key below it. Absent for a header Git refuses.
        std::optional<std::string> header()
        {
            std::string section;
            for (skip(); !atEnd(); skip()) {
                char c = peek();
                if (c == ']') {
                    skip();
                    return section;
                }
                if (isBlank(c))
                    return quotedSubsection(section + ".");
                if (!isKeyCharacter(c) && c != '.')
                    return std::nullopt;
                section.push_back(lowered(c));
            }
            return std::nullopt;
        }

        // A key's name (in lower case) and its value, if any, up to the end of its last line, not past
        // it (get_value(), parse_value()). False for one Git refuses.
        bool setting(std::string& name)
        {
            while (!atEnd() && isKeyCharacter(peek()))
                name.push_back(lowered(m_bytes[m_at++]));
            while (!atEnd() && isBlank(peek()))
                skip();
            if (atEnd() || peek() == '\n')
                return true;
            if (peek() != '=')
                return false;
            skip();
            bool quoted = false;
            while (!atEnd() && peek() != '\n') {
                char c = m_bytes[m_at++];
                if (!quoted && (c == '#' || c == ';')) {
                    while (!atEnd() && peek() != '\n')
                        skip();
                } else if (c == '"') {
                    quoted = !quoted;
                } else if (c == '\\') {
                    if (atEnd() || std::string_view("\ntbn\\\"").find(peek()) == std::string_view::npos)
                        return false;
                    skip();
                }
            }
            return !quoted;
        }

    private:
        std::optional<std::string> quotedSubsection(std::string section)
        {
            while (!atEnd() && isBlank(peek()))
                skip();
            if (atEnd() || peek() != '"')
                return std::nullopt;
            for (skip(); !atEnd() && peek() != '\n'; skip()) {
                char c = peek();
                if (c == '"') {
                    skip();
                    if (atEnd() || peek() != ']')
                        return std::nullopt;
                    skip();
                    return section;
                }
                if (c == '\\') {
                    skip();
                    if (atEnd() || peek() == '\n')
                        return std::nullopt;
                }
                section.push_back(peek());
            }
            return std::nullopt;
        }

        std::string_view m_bytes;
        std::size_t m_at = 0;
    };

}

std::optional<Kept> withoutCounted(std::string_view configuration,
    const std::vector<GitCountedSettings::CountedKey>& counted,
    const std::vector<GitCountedSettings::Setting>& before, const GitCountedSettings::Repository& repository)
{
    std::set<std::string, std::less<>> keys;
    for (const auto& [key, came] : counted)
        keys.insert(key);
    auto kept = configurationWithout(configuration, keys);
    auto listing = kept && repository.settings ? repository.settings(*kept) : std::nullopt;
    if (!listing
        || !GitCountedSettings::countedKeys(before, GitCountedSettings::settingsOf(*listing), repository)
                .empty())
        return std::nullopt;
    return Kept { std::move(*kept), std::move(keys) };
}

std::optional<std::string> configurationWithout(
    std::string_view configuration, const std::set<std::string, std::less<>>& keys)
{
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    std::string kept;
    Reader reader(configuration);
    if (configuration.starts_with(byteOrderMark)) {
        kept = byteOrderMark;
        for (std::size_t skipped = 0; skipped < byteOrderMark.size(); ++skipped)
            reader.skip();
    }
    std::string section;
    // Where the line being read begins in `kept`: a setting alone on its line goes with the line.
    std::size_t lineStart = kept.size();
    while (!reader.atEnd()) {
        const std::size_t start = reader.at();
        const char c = reader.peek();
        if (c == '\n' || isBlank(c)) {
            reader.skip();
            kept.push_back(c);
            if (c == '\n')
                lineStart = kept.size();
        } else if (c == '#' || c == ';') {
            while (!reader.atEnd() && reader.peek() != '\n')
                reader.skip();
            kept += reader.from(start);
        } else if (c == '[') {
            auto header = reader.header();
            if (!header)
                return std::nullopt;
            section = std::move(*header);
            kept += reader.from(start);
        } else if (std::isalpha(static_cast<unsigned char>(c))) {
            std::string name;
            if (!reader.setting(name))
                return std::nullopt;
            if (!keys.contains(section + "." + name)) {
                kept += reader.from(start);
            } else if (kept.find_first_not_of(" \t\r\v\f", lineStart) == std::string::npos) {
                kept.resize(lineStart);
                if (!reader.atEnd())
                    reader.skip();
            }
        } else {
            return std::nullopt;
        }
    }
    return kept;
}

}
