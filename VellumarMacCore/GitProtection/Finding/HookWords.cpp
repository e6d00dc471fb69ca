#include "VellumarMacCore/GitProtection/Finding/HookWords.h"

#include <algorithm>
#include <fnmatch.h>
#include <optional>

namespace vellumar::HookWords {

namespace {

    const std::string kUnknownText(1, kUnknown);

    // Substitutions within substitutions read at most; deeper ones are unknown, so that no file a
    // command wrote can exhaust the stack.
    constexpr int kMaxDepth = 16;

    bool isNameStart(char character)
    {
        return character == '_' || (character >= 'a' && character <= 'z')
            || (character >= 'A' && character <= 'Z');
    }

    bool isNameCharacter(char character)
    {
        return isNameStart(character) || (character >= '0' && character <= '9');
    }

    bool isKnown(std::string_view text) { return text.find(kUnknown) == std::string_view::npos; }

    // Neither unknown nor Git's, so that what a command makes of it can be told.
    bool isPlain(std::string_view text)
    {
        return isKnown(text) && text.find(kFromGit) == std::string_view::npos;
    }

    const std::string kFromGitText(1, kFromGit);

    // "name=" or "name+=" as written, unquoted.
    std::optional<std::size_t> assignedNameLength(std::string_view written)
    {
        if (written.empty() || !isNameStart(written[0]))
            return std::nullopt;
        std::size_t length = 1;
        while (length < written.size() && isNameCharacter(written[length]))
            ++length;
        const std::size_t equals = length < written.size() && written[length] == '+' ? length + 1 : length;
        return equals < written.size() && written[equals] == '=' ? std::optional(length) : std::nullopt;
    }

    bool mayTellPath(std::string_view raw)
    {
        for (std::size_t at = raw.find("PATH"); at != std::string_view::npos; at = raw.find("PATH", at + 1)) {
            if (at > 0 && isNameCharacter(raw[at - 1]))
                continue;
            std::size_t after = at + 4;
            while (
                after < raw.size() && std::string_view("'\"] \t").find(raw[after]) != std::string_view::npos)
                ++after;
            if (after < raw.size() && raw[after] == '+')
                ++after;
            if (after < raw.size() && raw[after] == '=' && (after + 1 == raw.size() || raw[after + 1] != '='))
                return true;
        }
        return false;
    }

    bool isReservedWord(std::string_view written)
    {
        for (std::string_view reserved : { "if", "then", "else", "elif", "fi", "do", "done", "while", "until",
                 "case", "esac", "!", "{", "}", "time" }) {
            if (written == reserved)
                return true;
        }
        return false;
    }

    // POSIX dirname(1) and basename(1).
    std::string folderOf(std::string path)
    {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos)
            return ".";
        path.resize(slash);
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        return path.empty() ? "/" : path;
    }

    std::string nameOf(std::string path)
    {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        const std::size_t slash = path.rfind('/');
        return slash == std::string::npos || path == "/" ? path : path.substr(slash + 1);
    }

    // `value` without its shortest (or longest) start or end that `pattern` matches, as "${name#pattern}"
    // and its kin remove it.
    std::string removed(const std::string& value, const std::string& pattern, bool fromEnd, bool longest)
    {
        const std::size_t size = value.size();
        for (std::size_t step = 0; step <= size; ++step) {
            const std::size_t length = longest ? size - step : step;
            const std::string part = fromEnd ? value.substr(size - length) : value.substr(0, length);
            if (::fnmatch(pattern.c_str(), part.c_str(), 0) == 0)
                return fromEnd ? value.substr(0, size - length) : value.substr(length);
        }
        return value;
    }

    // Where the bracket at `at` closes, those within it nested and quoted text passed over; the text's
    // end where it does not.
    std::size_t closingOf(std::string_view text, std::size_t at)
    {
        const char open = text[at];
        const char close = open == '(' ? ')' : '}';
        for (int depth = 0; at < text.size(); ++at) {
            if (text[at] == '\\') {
                ++at;
            } else if (text[at] == '\'') {
                at = std::min(text.find('\'', at + 1), text.size());
            } else if (text[at] == open) {
                ++depth;
            } else if (text[at] == close && --depth == 0) {
                return at;
            }
        }
        return text.size();
    }

    void markQuoted(std::string& text) { std::replace(text.begin(), text.end(), ' ', kQuotedBlank); }

    using Each = std::function<void(const Command&)>;

    class Reader {
    public:
        // `each` is told the commands a substitution runs.
        Reader(std::string_view text, Known& known, int depth, const Each& each)
            : m_text(text)
            , m_known(known)
            , m_depth(depth)
            , m_each(each)
        {
        }

        void commands(const Each& each)
        {
            Command command;
            std::size_t commandStart = std::string_view::npos;
            std::string word;
            std::size_t wordStart = std::string_view::npos;
            bool redirection = false;
            auto endWord = [&] {
                if (wordStart == std::string_view::npos)
                    return;
                command.words.push_back({ std::move(word), m_text.substr(wordStart, m_at - wordStart),
                    redirection ? Word::Role::redirection : Word::Role::argument });
                word.clear();
                wordStart = std::string_view::npos;
                redirection = false;
            };
            auto endCommand = [&] {
                endWord();
                if (!command.words.empty()) {
                    command.setsPath = mayTellPath(m_text.substr(commandStart, m_at - commandStart));
                    finish(command, each);
                }
                command = {};
                commandStart = std::string_view::npos;
            };
            while (m_at < m_text.size()) {
                const char character = m_text[m_at];
                if (character == '\\' && m_at + 1 < m_text.size() && m_text[m_at + 1] == '\n') {
                    m_at += 2;
                } else if (wordStart == std::string_view::npos && character == '#') {
                    m_at = std::min(m_text.find('\n', m_at), m_text.size());
                } else if (character == ' ' || character == '\t') {
                    endWord();
                    ++m_at;
                } else if (character == '(' && wordStart != std::string_view::npos
                    && m_text.substr(wordStart, m_at - wordStart).ends_with('=')
                    && assignedNameLength(m_text.substr(wordStart, m_at - wordStart))) {
                    word += arrayElements();
                } else if (std::string_view("\n;&|()").find(character) != std::string_view::npos) {
                    endCommand();
                    ++m_at;
                } else if (character == '<' || character == '>') {
                    // A descriptor's number ("2>") is no word.
                    const std::string_view written = wordStart == std::string_view::npos
                        ? std::string_view()
                        : m_text.substr(wordStart, m_at - wordStart);
                    if (!written.empty() && std::all_of(written.begin(), written.end(), [](char c) {
                            return c >= '0' && c <= '9';
                        })) {
                        word.clear();
                        wordStart = std::string_view::npos;
                    }
                    endWord();
                    while (m_at < m_text.size()
                        && std::string_view("<>&|").find(m_text[m_at]) != std::string_view::npos)
                        ++m_at;
                    redirection = true;
                } else {
                    if (wordStart == std::string_view::npos) {
                        wordStart = m_at;
                        if (commandStart == std::string_view::npos)
                            commandStart = m_at;
                    }
                    appendPart(word, true);
                }
            }
            endCommand();
        }

        // The whole text as one word, as inside "${name:-...}".
        std::string wholeWord()
        {
            std::string word;
            while (m_at < m_text.size())
                appendPart(word, false);
            std::replace(word.begin(), word.end(), kQuotedBlank, ' ');
            return word;
        }

    private:
        std::string_view m_text;
        Known& m_known;
        int m_depth;
        const Each& m_each;
        std::size_t m_at = 0;

        // The words of the array "(...)" at `m_at`, past which it moves, joined by blanks.
        std::string arrayElements()
        {
            const std::size_t end = closingOf(m_text, m_at);
            // Its words set nothing.
            Known elementsKnown = m_known;
            std::string elements;
            Reader(m_text.substr(m_at + 1, end - m_at - 1), elementsKnown, m_depth, m_each)
                .commands([&](const Command& command) {
                    for (const auto& element : command.words)
                        elements += (elements.empty() ? "" : " ") + element.text;
                });
            m_at = std::min(end + 1, m_text.size());
            return elements;
        }

        // Appends what starts at `m_at` to `word`: a quoted piece, an expansion or a character.
        void appendPart(std::string& word, bool splitsAtBlanks)
        {
            const char character = m_text[m_at];
            if (character == '\\') {
                if (m_at + 1 < m_text.size())
                    word += m_text[m_at + 1];
                m_at += 2;
            } else if (character == '\'') {
                const std::size_t end = std::min(m_text.find('\'', m_at + 1), m_text.size());
                std::string quoted(m_text.substr(m_at + 1, end - m_at - 1));
                markQuoted(quoted);
                word += quoted;
                m_at = end + 1;
            } else if (character == '"') {
                ++m_at;
                appendDoubleQuoted(word);
            } else if (character == '$' || character == '`') {
                std::string expanded = expansion();
                if (!splitsAtBlanks)
                    markQuoted(expanded);
                word += expanded;
            } else if (character == '~' && (word.empty() || word.back() == '=' || word.back() == ':')) {
                word += tilde();
            } else {
                word += character;
                ++m_at;
            }
        }

        void appendDoubleQuoted(std::string& word)
        {
            while (m_at < m_text.size() && m_text[m_at] != '"') {
                const char character = m_text[m_at];
                if (character == '\\' && m_at + 1 < m_text.size()
                    && std::string_view("$`\"\\\n").find(m_text[m_at + 1]) != std::string_view::npos) {
                    if (m_text[m_at + 1] != '\n')
                        word += m_text[m_at + 1];
                    m_at += 2;
                } else if (character == '$' || character == '`') {
                    std::string expanded = expansion();
                    markQuoted(expanded);
                    word += expanded;
                } else {
                    word += character == ' ' ? kQuotedBlank : character;
                    ++m_at;
                }
            }
            ++m_at;
        }

        std::string tilde()
        {
            std::size_t end = ++m_at;
            while (end < m_text.size()
                && std::string_view("/: \t\n;&|()<>").find(m_text[end]) == std::string_view::npos)
                ++end;
            const std::string_view user = m_text.substr(m_at, end - m_at);
            m_at = end;
            if (user == "+")
                return ".";
            if (!user.empty())
                return kUnknownText;
            return valueOf("HOME").value_or(kUnknownText);
        }

        // The expansion at `m_at` ("$..." or "`...`"), past which it moves.
        std::string expansion()
        {
            if (m_text[m_at] == '`') {
                const std::size_t end = std::min(m_text.find('`', m_at + 1), m_text.size());
                const std::string_view inner = m_text.substr(m_at + 1, end - m_at - 1);
                m_at = end + 1;
                return substituted(inner);
            }
            const std::size_t start = ++m_at;
            if (start == m_text.size())
                return "$";
            const char character = m_text[start];
            if (character == '(' || character == '{') {
                const std::size_t end = closingOf(m_text, start);
                const std::string_view inner = m_text.substr(start + 1, end - start - 1);
                m_at = end + 1;
                if (character == '{')
                    return parameter(inner);
                return inner.starts_with('(') ? kUnknownText : substituted(inner);
            }
            if (character == '\'') {
                const std::size_t end = std::min(m_text.find('\'', start + 1), m_text.size());
                m_at = end + 1;
                return std::string(m_text.substr(start + 1, end - start - 1));
            }
            if (isNameStart(character)) {
                while (m_at < m_text.size() && isNameCharacter(m_text[m_at]))
                    ++m_at;
                return valueOf(m_text.substr(start, m_at - start)).value_or(kUnknownText);
            }
            if ((character >= '0' && character <= '9')
                || std::string_view("@*#?$!-").find(character) != std::string_view::npos) {
                ++m_at;
                return valueOf(m_text.substr(start, 1)).value_or(kUnknownText);
            }
            return "$";
        }

        // What the name stands for; none where neither the scripts nor the hook's environment set it.
        std::optional<std::string> valueOf(std::string_view name) const
        {
            if (auto set = m_known.variables.find(name); set != m_known.variables.end())
                return set->second;
            if (name == "0")
                return m_known.script.string();
            if (name == "@" || name == "*" || name == "#" || name == "?"
                || (name[0] >= '1' && name[0] <= '9'))
                return kFromGitText;
            if (name == "PWD")
                return ".";
            if (name == "PATH")
                return std::string(1, kGivenPath);
            if (!isNameStart(name[0]))
                return kUnknownText;
            if (!m_known.environment)
                return std::nullopt;
            if (auto set = m_known.environment->find(std::string(name)); set != m_known.environment->end())
                return set->second;
            return std::nullopt;
        }

        // `piece` expanded as one word.
        std::string expandedPiece(std::string_view piece) const
        {
            return Reader(piece, m_known, m_depth, m_each).wholeWord();
        }

        // "${inner}".
        std::string parameter(std::string_view inner) const
        {
            if (inner.empty() || inner[0] == '#' || inner[0] == '!')
                return kUnknownText;
            std::size_t length = 1;
            if (isNameStart(inner[0])) {
                while (length < inner.size() && isNameCharacter(inner[length]))
                    ++length;
            } else if (inner[0] >= '0' && inner[0] <= '9') {
                while (length < inner.size() && inner[length] >= '0' && inner[length] <= '9')
                    ++length;
            }
            const auto value = valueOf(inner.substr(0, length));
            const std::string_view rest = inner.substr(length);
            if (rest.empty() || rest == "[@]" || rest == "[*]")
                return value.value_or(kUnknownText);
            const bool colon = rest[0] == ':';
            const std::string_view operation = colon ? rest.substr(1) : rest;
            if (operation.empty())
                return kUnknownText;
            const bool unset = !value || (colon && value->empty());
            if (value && !isKnown(*value))
                return kUnknownText;
            // What Git hands the hook may be empty or not: both ways, apart.
            if (value && !isPlain(*value)
                && std::string_view("-=+").find(operation[0]) != std::string_view::npos)
                return *value + ':' + expandedPiece(operation.substr(1));
            if (value && !isPlain(*value))
                return *value;
            if (operation[0] == '-' || operation[0] == '=')
                return unset ? expandedPiece(operation.substr(1)) : *value;
            if (operation[0] == '+')
                return unset ? std::string() : expandedPiece(operation.substr(1));
            if (!colon && (operation[0] == '%' || operation[0] == '#')) {
                const bool longest = operation.size() > 1 && operation[1] == operation[0];
                const std::string pattern = expandedPiece(operation.substr(longest ? 2 : 1));
                if (!value || !isKnown(pattern))
                    return kUnknownText;
                return removed(*value, pattern, operation[0] == '%', longest);
            }
            return kUnknownText;
        }

        // What the command `inner` prints, where the guard can tell it.
        std::string substituted(std::string_view inner) const
        {
            if (m_depth >= kMaxDepth) {
                // What it runs cannot be read: a command no one can name.
                m_each(Command { { Word { kUnknownText, inner, Word::Role::command } } });
                return kUnknownText;
            }
            // A subshell's assignments stay in it.
            Known subshell = m_known;
            std::vector<std::vector<std::string>> commands;
            // Where each command ends and the next begins, as written.
            std::vector<std::pair<const char*, const char*>> spans;
            Reader(inner, subshell, m_depth + 1, m_each).commands([&](const Command& command) {
                m_each(command);
                auto& words = commands.emplace_back();
                for (const auto& word : command.words) {
                    if (word.role != Word::Role::redirection)
                        words.push_back(word.text);
                }
                spans.emplace_back(command.words.front().written.data(),
                    command.words.back().written.data() + command.words.back().written.size());
            });
            if (commands.empty()
                || !std::all_of(commands.begin(), commands.end(), [](const std::vector<std::string>& words) {
                       return !words.empty() && std::all_of(words.begin(), words.end(), isPlain);
                   }))
                return kUnknownText;
            auto printsFolder = [](const std::vector<std::string>& words) {
                return words[0] == "pwd"
                    && std::all_of(words.begin() + 1, words.end(),
                        [](const std::string& word) { return word.starts_with('-'); });
            };
            // "cd WORD && pwd": where it leads, from where the hook runs.
            if (commands.size() == 2 && commands[0].size() == 2 && commands[0][0] == "cd"
                && !commands[0][1].starts_with('-') && printsFolder(commands[1])) {
                std::string between(spans[0].second, spans[1].first);
                std::erase_if(between, [](char c) { return c == ' ' || c == '\t'; });
                if (between == "&&")
                    return commands[0][1];
            }
            if (commands.size() != 1)
                return kUnknownText;
            const auto& words = commands[0];
            if (printsFolder(words))
                return ".";
            if (words == std::vector<std::string> { "git", "rev-parse", "--show-toplevel" })
                return m_known.top.string();
            std::vector<std::string> operands(words.begin() + 1, words.end());
            if (!operands.empty() && operands[0] == "--")
                operands.erase(operands.begin());
            if (words[0] == "dirname" && operands.size() == 1)
                return folderOf(operands[0]);
            if (words[0] == "basename" && (operands.size() == 1 || operands.size() == 2)) {
                std::string name = nameOf(operands[0]);
                if (operands.size() == 2 && name.size() > operands[1].size() && name.ends_with(operands[1]))
                    name.resize(name.size() - operands[1].size());
                return name;
            }
            return kUnknownText;
        }

        void assign(const Word& word)
        {
            const std::size_t nameLength = *assignedNameLength(word.written);
            const std::string name(word.written.substr(0, nameLength));
            std::string value = word.text.substr(std::min(word.text.find('='), word.text.size() - 1) + 1);
            // PATH is what the hook's words put first, each met where it is written.
            if (name == "PATH")
                return;
            auto [set, added] = m_known.variables.try_emplace(name, value);
            const bool appends = word.written[nameLength] == '+';
            // An array's words, appended or not, are each where it is used; a string is not.
            const bool toArray = word.written.substr(nameLength + (appends ? 2 : 1)).starts_with('(');
            if (!added && appends && toArray)
                set->second += ' ' + value;
            else if (!added && (appends || set->second != value))
                set->second = kUnknownText;
        }

        void finish(Command& command, const std::function<void(const Command&)>& each)
        {
            auto& words = command.words;
            std::size_t name = 0;
            std::vector<std::size_t> assignments;
            for (; name < words.size(); ++name) {
                if (words[name].role == Word::Role::redirection || isReservedWord(words[name].written))
                    continue;
                if (!assignedNameLength(words[name].written))
                    break;
                words[name].role = Word::Role::assignment;
                assignments.push_back(name);
            }
            if (name == words.size()) {
                // Assignments alone set the shell's variables; before a command, only that command's.
                for (std::size_t index : assignments)
                    assign(words[index]);
            } else {
                words[name].role = Word::Role::command;
                const std::string& program = words[name].text;
                const bool declares = program == "export" || program == "local" || program == "readonly"
                    || program == "declare" || program == "typeset";
                bool operandSourced = program == "." || program == "source";
                for (std::size_t index = name + 1; index < words.size(); ++index) {
                    Word& word = words[index];
                    if (word.role == Word::Role::redirection || (operandSourced && word.text == "--"))
                        continue;
                    if (operandSourced) {
                        word.role = Word::Role::sourced;
                        operandSourced = false;
                    } else if (declares && assignedNameLength(word.written)) {
                        word.role = Word::Role::assignment;
                        assign(word);
                    }
                }
            }
            each(command);
        }
    };

}

void readCommands(std::string_view text, Known& known, const std::function<void(const Command&)>& each)
{
    Reader(text, known, 0, each).commands(each);
}

}
