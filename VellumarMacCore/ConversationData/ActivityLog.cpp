#include "VellumarMacCore/ConversationData/ActivityLog.h"

#include "VellumarMacCore/ConversationData/StoreFile.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace vellumar {

namespace {

    // 500 entries of a few hundred bytes each stay far below this; a larger file is not read.
    constexpr std::size_t maxFileBytes = 32 * 1024 * 1024;

}

ActivityLog::ActivityLog(std::optional<std::filesystem::path> folder)
    : m_folder(std::move(folder))
{
    // The folder holds only logs, "<key>.json", and the damaged ones kept aside.
    if (m_folder)
        removeTemporaryLeftovers(
            *m_folder, [](std::string_view target) { return target.ends_with(".json"); });
}

std::optional<std::filesystem::path> ActivityLog::fileFor(std::string_view key) const
{
    auto name = RelayIDs::fileSafeKey(key);
    // Such a name would point at the folder itself, its parent, somewhere below it, or (cut at the
    // zero byte by the system) at another key's file.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos
        || name.find('\0') != std::string::npos)
        return std::nullopt;
    return *m_folder / (name + ".json");
}

std::vector<JSON> ActivityLog::load(std::string_view key) const
{
    return loadUnlessUnreadable(key).value_or(std::vector<JSON> {});
}

std::optional<std::vector<JSON>> ActivityLog::loadUnlessUnreadable(std::string_view key) const
{
    if (!m_folder) {
        auto found = m_memoryOnly.find(key);
        return found == m_memoryOnly.end() ? std::vector<JSON> {} : found->second;
    }
    auto file = fileFor(key);
    auto content
        = file ? detail::readStoreJSON(*file, maxFileBytes, JSON::Kind::array) : detail::StoreFileContent {};
    if (content.unreadable)
        return std::nullopt;
    auto* elements = content.document ? content.document->arrayValue() : nullptr;
    std::vector<JSON> entries;
    if (elements)
        std::copy_if(elements->begin(), elements->end(), std::back_inserter(entries),
            [](const JSON& element) { return element.objectValue() != nullptr; });
    return entries;
}

void ActivityLog::append(std::string_view key, const std::vector<JSON>& entries)
{
    if (entries.empty())
        return;
    std::lock_guard guard(m_lock);
    auto file = m_folder ? fileFor(key) : std::nullopt;
    if (m_folder && !file)
        return;
    auto stored = loadUnlessUnreadable(key);
    if (!stored) {
        // The run these entries describe has already finished; only the log can tell.
        detail::logChangeRefused(*file);
        return;
    }
    auto& log = *stored;
    log.insert(log.end(), entries.begin(), entries.end());
    if (log.size() > maxEntries)
        log.erase(log.begin(), log.end() - static_cast<std::ptrdiff_t>(maxEntries));
    if (!file) {
        m_memoryOnly.insert_or_assign(std::string(key), std::move(log));
        return;
    }
    // A failed write leaves the old file; the run these entries describe has already finished.
    detail::writeStoreJSON(JSON(std::move(log)), *file);
}

std::vector<JSON> ActivityLog::entries(std::string_view key)
{
    std::lock_guard guard(m_lock);
    auto log = load(key);
    std::reverse(log.begin(), log.end());
    return log;
}

bool ActivityLog::clear(std::string_view key)
{
    std::lock_guard guard(m_lock);
    if (!m_folder) {
        auto found = m_memoryOnly.find(key);
        if (found == m_memoryOnly.end())
            return false;
        m_memoryOnly.erase(found);
        return true;
    }
    auto file = fileFor(key);
    if (!file)
        return false;
    std::error_code error;
    const bool removed = std::filesystem::remove(*file, error);
    if (error)
        throw std::filesystem::filesystem_error("The activity log could not be removed", *file, error);
    return removed;
}

}
