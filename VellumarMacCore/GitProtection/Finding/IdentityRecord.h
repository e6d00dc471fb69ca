// Files and folders told apart as the file system does, by identity rather than by name, kept in a
// record in the data folder across program starts with when each was first noted: a name can be taken
// by anyone, an identity stays with what was noted however it is renamed.
#pragma once

#include <ctime>
#include <cstddef>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vellumar {

class IdentityRecord {
public:
    // What is at `path`, a link as itself: "<device>:<inode>", and ":<birth time>" where the file system
    // keeps one, so that an inode freed and given to a new file is not taken for the old. Empty where
    // nothing is.
    static std::string identityOf(const std::filesystem::path& path);
    // The same for `name` in the open folder `folder`.
    static std::string identityAt(int folder, const std::string& name);

    // The record in `file`, read once and kept for the process's life; past `limit` identities the
    // earliest noted are let go, an eighth of `limit` at a time. Any thread.
    static IdentityRecord& in(const std::filesystem::path& file, std::size_t limit);

    // Notes each identity not noted yet as noted at `at` (those noted keep their time) and adds those to
    // the record, which is written anew when some are let go. A record that cannot be written is logged; what
    // was noted is still known until the process ends. Any thread; never throws but for memory.
    void note(std::span<const std::string> identities, const timespec& at);
    // When the identity was first noted; absent for one never noted, or let go.
    std::optional<timespec> notedAt(const std::string& identity) const;
    bool empty() const;

    // The record's bytes, and back: a damaged line is skipped.
    static std::string encoded(const std::map<std::string, timespec>& noted);
    static std::map<std::string, timespec> decoded(std::string_view bytes);

    IdentityRecord(const IdentityRecord&) = delete;
    IdentityRecord& operator=(const IdentityRecord&) = delete;

private:
    IdentityRecord(std::filesystem::path file, std::size_t limit);
    void letGoOfTheEarliest();
    // Whether `lines` were added at the end of the record, on disk.
    bool appended(const std::string& lines) const;

    const std::filesystem::path m_file;
    const std::size_t m_limit;
    mutable std::mutex m_lock;
    std::map<std::string, timespec> m_noted;
    // Whether the record on disk ends with a whole line and holds no identity let go.
    bool m_appendable = false;
};

}
