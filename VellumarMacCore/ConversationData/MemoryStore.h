// The facts that bots remember about the user, one ordered list per conversation, kept in
// "memory.json" in the data folder.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// Holds no cache: each operation reads the file, works on it and writes it back whole, all under
// one lock, so concurrent callers never lose each other's changes. Any thread may call.
class MemoryStore final {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // One memory operation taken from a bot's reply.
    struct Op {
        enum class Kind { remember, forget };

        Kind kind;
        // For `remember`, a text that `cleanText` produced; for `forget`, an id that passes `isMemoryID`.
        std::string text;

        static Op remember(std::string text) { return { Kind::remember, std::move(text) }; }
        static Op forget(std::string id) { return { Kind::forget, std::move(id) }; }

        friend bool operator==(const Op&, const Op&) = default;
    };

    // Texts in the order in which they entered or left the list.
    struct Changes {
        std::vector<std::string> added;
        std::vector<std::string> removed;

        friend bool operator==(const Changes&, const Changes&) = default;
    };

    // Memory operations taken from one reply.
    static constexpr std::size_t maxPerReply = 3;
    // Memories kept per conversation.
    static constexpr std::size_t maxItems = 30;
    // Characters of a memory's text.
    static constexpr std::int64_t maxLength = 200;

    // Without a file the lists live in memory only. Nothing is read at construction; temporary
    // files that a killed write left beside the file are removed.
    MemoryStore(std::optional<std::filesystem::path> file, Clock clock);

    // The key's memories as stored, oldest first; a missing or malformed file reads as empty, a
    // damaged one kept aside first (`detail::readStoreJSON`), and so does a file that cannot be read
    // just now (one log line), which is left as it is.
    std::vector<JSON> memories(std::string_view key);

    // Applies one reply's operations in order. A text already stored is not remembered twice; the
    // oldest memories leave when the list grows past `maxItems`. A failed write is not reported.
    // While the file cannot be read nothing is applied: the result is empty and one line is logged.
    Changes apply(std::string_view key, const std::vector<Op>& operations);

    // Replaces the key's list by the user's edited one, given as the body's "items" (absent when the
    // body had none), and returns it as stored. Known ids keep their creation time; unknown ones get
    // a new id. Throws RelayHTTPError 400 "bad_request" for a bad list or item, leaving the stored list
    // as it was, and 500 "internal" when the file could not be read or the list could not be written.
    std::vector<JSON> replace(std::string_view key, const std::optional<JSON>& items);

    // Removes the key's whole list. Throws RelayHTTPError 500 "internal" when the file could not be
    // read or the change could not be written, so that a memory the user deleted is never reported
    // gone while it is still stored.
    void clear(std::string_view key);

    // Whitespace runs folded to single spaces, trimmed, with secrets masked; absent when the result is
    // empty, longer than `maxLength` characters or holds a control character. Safe from any thread.
    static std::optional<std::string> cleanText(std::string_view text);

private:
    using Lists = std::map<std::string, std::vector<JSON>, std::less<>>;

    // Absent while the file cannot be read.
    std::optional<Lists> readLists() const;
    // Throws RelayHTTPError 500 "internal" while the file cannot be read, which a write would replace.
    Lists listsForChange() const;
    // False when the file could not be written; empty lists are dropped first.
    bool writeLists(Lists lists);
    JSON newMemory(std::string text) const;

    std::optional<std::filesystem::path> m_file;
    std::mutex m_lock;
    Clock m_clock;
    Lists m_memoryOnly;
};

// "m-" followed by 8 lowercase hexadecimal digits.
bool isMemoryID(std::string_view text);

}
