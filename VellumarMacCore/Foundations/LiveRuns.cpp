#include "VellumarMacCore/Foundations/LiveRuns.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <charconv>
#include <set>
#include <system_error>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    // The first line of a record: a file without it is no record of this form.
    constexpr std::string_view kHeader = "vellumar live runs 1\n";
    // Far beyond what every repository a run may find notes; the rest of a larger record is left.
    constexpr std::size_t kRecordBytesLimit = 64 * 1024 * 1024;

    constexpr std::array<std::string_view, LiveRuns::kindCount> kRecordNames
        = { "live-runs-guarded-units", "live-runs-kept-off-names", "live-runs-commondir-placeholders",
              "live-runs-sandbox-placeholders", "live-runs-writable-places", "live-runs-folder-trades" };

    std::optional<std::size_t> number(std::string_view text)
    {
        std::size_t value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || text.empty())
            return std::nullopt;
        return value;
    }

    void removeWrite(const fs::path& file)
    {
        removeTemporaryLeftovers(file.parent_path(),
            [name = file.filename().native()](std::string_view target) { return target == name; });
    }

    void logDamaged(const fs::path& file)
    {
        platform::logError("The record of what the last runs held in the user's folders, " + file.string()
            + ", is damaged; what could be read of it is undone, and the rest stays as it is.");
    }

    // Adds `read` to `into` but the keys it has already.
    void merge(std::vector<LiveRuns::Entry>& into, std::vector<LiveRuns::Entry> read)
    {
        std::set<std::string_view> keys;
        for (const auto& entry : into)
            keys.insert(entry.key);
        for (auto& entry : read) {
            if (!keys.contains(entry.key))
                into.push_back(std::move(entry));
        }
    }

}

std::string LiveRuns::encoded(std::span<const Entry> entries)
{
    std::string bytes(kHeader);
    for (const auto& entry : entries) {
        bytes += std::to_string(entry.key.size()) + " " + std::to_string(entry.payload.size()) + "\n";
        bytes += entry.key;
        bytes += entry.payload;
    }
    return bytes;
}

LiveRuns::Decoded LiveRuns::decoded(std::string_view bytes)
{
    Decoded read;
    if (!bytes.starts_with(kHeader))
        return { {}, !bytes.empty() };
    bytes.remove_prefix(kHeader.size());
    while (!bytes.empty()) {
        const auto lineEnd = bytes.find('\n');
        const auto space = bytes.substr(0, lineEnd).find(' ');
        auto keySize = number(bytes.substr(0, space));
        auto payloadSize = space == std::string_view::npos
            ? std::nullopt
            : number(bytes.substr(space + 1, lineEnd - space - 1));
        read.damaged = !keySize || !payloadSize || lineEnd == std::string_view::npos;
        if (read.damaged)
            return read;
        bytes.remove_prefix(lineEnd + 1);
        if (bytes.size() < *keySize) {
            read.damaged = true;
            return read;
        }
        // An entry cut short is handed on with what there is of its payload, which its owner may still
        // read in part.
        read.damaged = bytes.size() - *keySize < *payloadSize;
        const std::size_t whole = std::min(*keySize + *payloadSize, bytes.size());
        read.entries.push_back({ std::string(bytes.substr(0, *keySize)),
            std::string(bytes.substr(*keySize, whole - *keySize)) });
        bytes.remove_prefix(whole);
    }
    return read;
}

LiveRuns& LiveRuns::in(const fs::path& folder)
{
    static std::mutex lock;
    static std::map<fs::path, std::unique_ptr<LiveRuns>> registries;
    std::lock_guard guard(lock);
    auto& registry = registries[folder];
    if (!registry)
        registry.reset(new LiveRuns(folder));
    return *registry;
}

fs::path LiveRuns::recordOf(const fs::path& folder, Kind kind)
{
    return folder / kRecordNames[static_cast<std::size_t>(kind)];
}

fs::path LiveRuns::heartbeatOf(const fs::path& folder) { return folder / "live-runs-heartbeat"; }

LiveRuns::LiveRuns(fs::path folder)
    : m_folder(std::move(folder))
{
}

void LiveRuns::removeIdleBeat()
{
    if (m_runs > 0)
        return;
    std::error_code ignored;
    for (std::size_t kind = 0; kind < kindCount; ++kind) {
        if (fs::exists(recordOf(m_folder, static_cast<Kind>(kind)), ignored))
            return;
    }
    fs::remove(heartbeatOf(m_folder), ignored);
}

LiveRuns::Run::Run(const fs::path& folder)
    : m_registry(LiveRuns::in(folder))
{
    std::lock_guard lock(m_registry.m_lock);
    if (m_registry.m_runs == 0)
        m_registry.m_heartbeat = std::make_unique<LiveRunsHeartbeat>(heartbeatOf(m_registry.m_folder));
    ++m_registry.m_runs;
}

LiveRuns::Run::~Run()
{
    std::lock_guard lock(m_registry.m_lock);
    if (--m_registry.m_runs > 0)
        return;
    // Waits for the beat's thread, which never takes the lock.
    m_registry.m_heartbeat.reset();
    m_registry.removeIdleBeat();
}

LiveRuns::Locked::Locked(LiveRuns& registry)
    : m_registry(registry)
    , m_lock(registry.m_lock)
{
}

const std::string* LiveRuns::Locked::find(Kind kind, const std::string& key) const
{
    const auto& entries = m_registry.entriesOf(kind);
    auto found = entries.find(key);
    return found == entries.end() ? nullptr : &found->second.payload;
}

bool LiveRuns::Locked::isUnheld(Kind kind, const std::string& key) const
{
    const auto& entries = m_registry.entriesOf(kind);
    auto found = entries.find(key);
    return found != entries.end() && found->second.runs == 0;
}

const std::string& LiveRuns::Locked::hold(Kind kind, Entry entry)
{
    Held& held = m_registry.entriesOf(kind)[std::move(entry.key)];
    if (held.runs++ == 0)
        held.payload = std::move(entry.payload);
    return held.payload;
}

std::optional<LiveRuns::Entry> LiveRuns::Locked::release(Kind kind, const std::string& key)
{
    auto& entries = m_registry.entriesOf(kind);
    auto held = entries.find(key);
    if (held == entries.end() || held->second.runs == 0 || --held->second.runs > 0)
        return std::nullopt;
    Entry last { held->first, std::move(held->second.payload) };
    entries.erase(held);
    return last;
}

void LiveRuns::Locked::retain(Kind kind, Entry entry)
{
    m_registry.entriesOf(kind).try_emplace(std::move(entry.key), Held { 0, std::move(entry.payload) });
}

void LiveRuns::Locked::forget(Kind kind, const std::string& key)
{
    auto& entries = m_registry.entriesOf(kind);
    if (auto held = entries.find(key); held != entries.end() && held->second.runs == 0)
        entries.erase(held);
}

void LiveRuns::Locked::update(Kind kind, const std::string& key, std::string payload)
{
    auto& entries = m_registry.entriesOf(kind);
    if (auto held = entries.find(key); held != entries.end())
        held->second.payload = std::move(payload);
}

std::vector<LiveRuns::Entry> LiveRuns::Locked::unheld(Kind kind) const
{
    std::vector<Entry> kept;
    for (const auto& [key, held] : m_registry.entriesOf(kind)) {
        if (held.runs == 0)
            kept.push_back({ key, held.payload });
    }
    return kept;
}

std::vector<std::string> LiveRuns::Locked::keys(Kind kind) const
{
    std::vector<std::string> keys;
    for (const auto& [key, held] : m_registry.entriesOf(kind))
        keys.push_back(key);
    return keys;
}

void LiveRuns::Locked::write(Kind kind)
{
    const fs::path record = recordOf(m_registry.m_folder, kind);
    const auto& entries = m_registry.entriesOf(kind);
    if (entries.empty()) {
        std::error_code ignored;
        fs::remove(record, ignored);
        m_registry.removeIdleBeat();
        return;
    }
    // In pieces, so that the payloads, megabytes of them, are not copied once more.
    std::vector<std::string> sizes;
    sizes.reserve(entries.size());
    std::vector<std::string_view> pieces { kHeader };
    pieces.reserve(entries.size() * 3 + 1);
    for (const auto& [key, held] : entries) {
        sizes.push_back(std::to_string(key.size()) + " " + std::to_string(held.payload.size()) + "\n");
        pieces.insert(pieces.end(), { sizes.back(), key, held.payload });
    }
    writePrivateFile(pieces, record);
}

std::vector<LiveRuns::Entry> LiveRuns::Locked::leftBehind(Kind kind, std::span<const OlderRecord> older)
{
    const fs::path record = recordOf(m_registry.m_folder, kind);
    // A write the killed process had begun, which no other can be doing while the lock is held, nor
    // a beat while no run is live.
    removeWrite(record);
    if (m_registry.m_runs == 0)
        removeWrite(heartbeatOf(m_registry.m_folder));
    Decoded read = decoded(readPrivateFile(record, kRecordBytesLimit));
    if (read.damaged)
        logDamaged(record);
    std::vector<Entry> left = std::move(read.entries);
    std::vector<fs::path> carried;
    for (const auto& [file, readOlder] : older) {
        removeWrite(file);
        std::error_code error;
        if (!fs::exists(fs::symlink_status(file, error)))
            continue;
        Decoded olderRead = readOlder(file);
        if (olderRead.damaged)
            logDamaged(file);
        merge(left, std::move(olderRead.entries));
        carried.push_back(file);
    }
    const auto& entries = m_registry.entriesOf(kind);
    std::erase_if(left, [&](const Entry& entry) { return entries.contains(entry.key); });
    if (carried.empty())
        return left;
    // Carried into the kind's record before the older one goes, so that a kill now loses nothing.
    try {
        std::vector<Entry> named = left;
        for (const auto& [key, held] : entries)
            named.push_back({ key, held.payload });
        writePrivateFile(encoded(named), record);
        for (const auto& file : carried) {
            std::error_code ignored;
            fs::remove(file, ignored);
        }
    } catch (const std::exception&) {
        // The older record stays, to be read again at the next start.
    }
    return left;
}

}
