// How the files the Git protection keeps in the data folder across the program's starts are written
// and read back: numbers in this machine's byte order, since such a file never leaves it, texts led by
// their length, and file stamps whole, an absent file's as that alone. What such a file holds of each
// of its entries is held in memory as those bytes alone: with thousands of repositories, entries read
// back whole, their paths split into parts, would take several times as much, and a file joined before
// it is written as much again.
#pragma once

#include "VellumarMacCore/Foundations/FileStamp.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::KeptBytes {

template <typename Value> void append(std::string& bytes, const Value& value)
{
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

inline void appendText(std::string& bytes, std::string_view text)
{
    append(bytes, static_cast<std::uint64_t>(text.size()));
    bytes.append(text);
}

// Each field as wide as any system's; of an absent file, whose stamp is the empty one, nothing but that it
// is absent: most of a unit's hooks are.
inline void appendStamp(std::string& bytes, const FileStamp& stamp)
{
    append(bytes, static_cast<std::uint8_t>(stamp.exists));
    if (!stamp.exists)
        return;
    append(bytes,
        std::array<std::int64_t, 8> { static_cast<std::int64_t>(stamp.device),
            static_cast<std::int64_t>(stamp.inode), static_cast<std::int64_t>(stamp.mode),
            static_cast<std::int64_t>(stamp.size), static_cast<std::int64_t>(stamp.modified.tv_sec),
            static_cast<std::int64_t>(stamp.modified.tv_nsec),
            static_cast<std::int64_t>(stamp.changed.tv_sec),
            static_cast<std::int64_t>(stamp.changed.tv_nsec) });
}

// Each `take` is false, and takes nothing, where the bytes left are too few.
class Reader {
public:
    explicit Reader(std::string_view bytes)
        : m_bytes(bytes)
    {
    }

    bool skipped(std::string_view expected)
    {
        if (!m_bytes.starts_with(expected))
            return false;
        m_bytes.remove_prefix(expected.size());
        return true;
    }

    template <typename Value> bool take(Value& value)
    {
        if (m_bytes.size() < sizeof value)
            return false;
        std::memcpy(&value, m_bytes.data(), sizeof value);
        m_bytes.remove_prefix(sizeof value);
        return true;
    }

    // A count of what follows, which the bytes left could hold.
    bool takeCount(std::uint64_t& count)
    {
        std::uint64_t taken = 0;
        if (!take(taken) || taken > m_bytes.size())
            return false;
        count = taken;
        return true;
    }

    // A text ended by a NUL, without it.
    bool takeName(std::string_view& name)
    {
        const auto end = m_bytes.find('\0');
        if (end == std::string_view::npos)
            return false;
        name = m_bytes.substr(0, end);
        m_bytes.remove_prefix(end + 1);
        return true;
    }

    bool takeText(std::string& text)
    {
        std::uint64_t size = 0;
        if (!take(size) || m_bytes.size() < size)
            return false;
        text.assign(m_bytes.substr(0, size));
        m_bytes.remove_prefix(size);
        return true;
    }

    bool takeStamp(FileStamp& stamp)
    {
        std::uint8_t exists = 0;
        std::array<std::int64_t, 8> fields {};
        if (!take(exists) || exists > 1 || (exists == 1 && !take(fields)))
            return false;
        if (exists == 0) {
            stamp = {};
            return true;
        }
        stamp = { true, static_cast<dev_t>(fields[0]), static_cast<ino_t>(fields[1]),
            static_cast<mode_t>(fields[2]), static_cast<off_t>(fields[3]),
            { static_cast<time_t>(fields[4]), static_cast<long>(fields[5]) },
            { static_cast<time_t>(fields[6]), static_cast<long>(fields[7]) } };
        return true;
    }

    // What was taken since `earlier`, this reader as it was then.
    std::string_view takenSince(const Reader& earlier) const
    {
        return earlier.m_bytes.substr(0, earlier.m_bytes.size() - m_bytes.size());
    }

    bool atEnd() const { return m_bytes.empty(); }
    std::size_t left() const { return m_bytes.size(); }

private:
    std::string_view m_bytes;
};

// Each entry's bytes in its file, by key; shared, so that the file is written from them with no lock
// held and nothing joined.
using Records = std::map<std::string, std::shared_ptr<const std::string>>;

// Each record of `records`, taken with their store's lock held.
inline std::vector<std::shared_ptr<const std::string>> recordsOf(const Records& records)
{
    std::vector<std::shared_ptr<const std::string>> taken;
    taken.reserve(records.size());
    for (const auto& record : records)
        taken.push_back(record.second);
    return taken;
}

// Writes `head` and then each of `records` to `file`. Lost at a crash, such a file costs the next start
// what it saved, nothing more. Throws as `writePrivateFile`.
inline void write(std::string_view head, const std::vector<std::shared_ptr<const std::string>>& records,
    const std::filesystem::path& file)
{
    std::vector<std::string_view> pieces;
    pieces.reserve(records.size() + 1);
    pieces.push_back(head);
    for (const auto& record : records)
        pieces.emplace_back(*record);
    writePrivateFile(pieces, file, Durability::untilRestart);
}

}
