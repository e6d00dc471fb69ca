// What Claude Code did on the Mac during a conversation's runs, one small JSON file per
// conversation in the data folder's "activity" folder, newest 500 entries kept.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <cstddef>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// The log stores the entry objects it is given without looking inside them. `append`, `entries`
// and `clear` take the log's one lock, file access included; any thread may call them.
//
// A key whose file name would not stay inside the folder (its file-safe form is empty, "." or "..",
// or holds "/" or a zero byte) has no file: it lists as empty, and nothing is written or removed.
class ActivityLog final {
public:
    static constexpr std::size_t maxEntries = 500;

    // Without a folder the log lives in memory only. Nothing is read or created at construction;
    // temporary files that killed writes left in the folder are removed.
    explicit ActivityLog(std::optional<std::filesystem::path> folder);

    // Adds the entries after the key's existing ones and keeps the newest `maxEntries`. An empty
    // list touches nothing. A failed write is not reported and loses the new entries; so does a file
    // that cannot be read just now, which is left as it is (one line is logged).
    void append(std::string_view key, const std::vector<JSON>& entries);

    // The key's entries, newest first; a missing or malformed file lists as empty, a damaged one
    // kept aside first (`detail::readStoreJSON`), and so does a file that cannot be read just now.
    std::vector<JSON> entries(std::string_view key);

    // Removes the key's log; true when there was one to remove. A log that is there but cannot be
    // removed throws `std::filesystem::filesystem_error`, so that the phone is not told it was cleared.
    bool clear(std::string_view key);

    // The key's entries, oldest first, read without taking the lock: call it inside `withLock`.
    std::vector<JSON> load(std::string_view key) const;

    // Runs `function` with the lock held, for a caller that combines `load` with its own steps.
    // The log's locking operations must not be called from inside.
    template <typename Function> decltype(auto) withLock(Function&& function)
    {
        std::lock_guard guard(m_lock);
        return std::forward<Function>(function)();
    }

private:
    std::optional<std::filesystem::path> fileFor(std::string_view key) const;
    // As `load`; absent while the key's file cannot be read.
    std::optional<std::vector<JSON>> loadUnlessUnreadable(std::string_view key) const;

    std::optional<std::filesystem::path> m_folder;
    std::mutex m_lock;
    std::map<std::string, std::vector<JSON>, std::less<>> m_memoryOnly;
};

}
