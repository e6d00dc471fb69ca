#include "VellumarMacCore/Routines/RoutineManager.h"

#include "VellumarMacCore/ConversationData/StoreFile.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Routines/RoutineRecord.h"
#include "VellumarMacCore/Schedule/RoutineLimits.h"
#include "VellumarMacCore/Schedule/RoutineSchedule.h"
#include "VellumarMacCore/Schedule/ZonedCalendar.h"

#include <algorithm>
#include <cmath>

namespace vellumar {

namespace {

    const RelayHTTPError routinesOff { 409, "routines_off",
        "Routines are turned off on this Mac (Vellumar for Mac menu)." };
    const RelayHTTPError routineNotFound { 404, "not_found", "The routine was not found." };

    constexpr std::size_t kRoutineIDLength = 10;
    constexpr std::string_view kRoutineIDPrefix = "r-";

}

RoutineManager::RoutineManager(Options options)
    : m_file(std::move(options.file))
    , m_jobs(options.jobs)
    , m_sessions(options.sessions)
    , m_routinesEnabled(std::move(options.routinesEnabled))
    , m_clock(std::move(options.clock))
    , m_timeZone(std::move(options.timeZone))
{
    loadedLocked();
}

RoutineManager::~RoutineManager() { stop(); }

bool RoutineManager::isValidRoutineID(std::string_view text)
{
    return text.size() == kRoutineIDLength && text.starts_with(kRoutineIDPrefix)
        && std::all_of(text.begin() + kRoutineIDPrefix.size(), text.end(),
            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::unique_ptr<icu::TimeZone> RoutineManager::zone() const { return m_timeZone(); }

RoutineDate RoutineManager::now() const
{
    double seconds = std::chrono::duration<double>(m_clock->now().time_since_epoch()).count();
    return RoutineDate { std::chrono::milliseconds { std::llround(seconds * 1000.0) } };
}

void RoutineManager::checkSwitch() const
{
    if (!m_routinesEnabled())
        throw routinesOff;
}

bool RoutineManager::loadedLocked()
{
    if (m_loaded || !m_file)
        return true;
    auto state = RoutinesFile::load(*m_file);
    if (!state)
        return false;
    m_state = std::move(*state);
    m_loaded = true;
    return true;
}

void RoutineManager::requireLoaded()
{
    std::lock_guard guard(m_lock);
    if (!loadedLocked())
        throw RelayHTTPError::internal();
}

JSON::Object& RoutineManager::storedLocked(std::string_view id)
{
    auto found = isValidRoutineID(id) ? m_state.routines.find(id) : m_state.routines.end();
    if (found == m_state.routines.end())
        throw routineNotFound;
    return found->second;
}

void RoutineManager::saveLocked() const
{
    if (!m_file)
        return;
    // A state that never held the file's routines must not replace them, whoever changed it.
    if (!m_loaded) {
        detail::logChangeRefused(*m_file);
        return;
    }
    m_state.save(*m_file);
}

JSON::Object RoutineManager::stored(std::string_view id)
{
    std::lock_guard guard(m_lock);
    loadedLocked();
    return storedLocked(id);
}

JSON RoutineManager::describe(const JSON::Object& record)
{
    auto timeZone = zone();
    JSON::Object described = record;
    described.erase("bot");
    described.erase("permissions");
    described.try_emplace("includeToday", false);
    if (auto schedule = detail::recordSchedule(record, now(), *timeZone))
        described.insert_or_assign("scheduleLabel", schedule->label());
    described.insert_or_assign("timeZone", timeZoneIdentifier(*timeZone));
    return described;
}

JSON RoutineManager::list(const std::optional<std::string>& botID)
{
    checkSwitch();
    std::vector<JSON::Object> records;
    {
        std::lock_guard guard(m_lock);
        loadedLocked();
        for (const auto* record : m_state.routinesByCreation()) {
            if (!botID || detail::recordBelongsTo(*record, *botID))
                records.push_back(*record);
        }
    }
    JSON::Array described;
    for (const auto& record : records)
        described.push_back(describe(record));
    return JSON::Object { { "routines", std::move(described) }, { "timeZone", timeZoneIdentifier(*zone()) },
        { "limits",
            JSON::object({ { "maxRoutines", RoutineLimits::maxRoutines },
                { "minimumIntervalSeconds", RoutineLimits::minimumIntervalMinutes * 60 },
                { "maxScheduledRunsPerDay", RoutineLimits::maxScheduledRunsPerDay } }) } };
}

JSON RoutineManager::routine(std::string_view id)
{
    checkSwitch();
    return describe(stored(id));
}

JSON RoutineManager::create(const JSON& body)
{
    checkSwitch();
    requireLoaded();
    auto accepted = validate(body, true);
    auto created = now();
    auto timeZone = zone();
    JSON createdAt(created.time_since_epoch().count());
    JSON::Object record { { "enabled", false }, { "target", "routine" }, { "includeToday", false },
        { "createdAt", createdAt }, { "updatedAt", createdAt }, { "lastRunAt", nullptr },
        { "lastStatus", nullptr }, { "lastError", nullptr }, { "lastJobId", nullptr }, { "runCount", 0 } };
    for (auto& [key, value] : accepted)
        record.insert_or_assign(key, std::move(value));
    // A disabled routine gets its next time too, so that turning it on needs no schedule.
    RoutineSchedule schedule(record.at("schedule"), created, *timeZone);
    record.insert_or_assign("nextRunAt", detail::millisJSON(schedule.nextDate(created, created, *timeZone)));
    {
        std::lock_guard guard(m_lock);
        if (m_state.routines.size() >= RoutineLimits::maxRoutines)
            throw RelayHTTPError(409, "too_many",
                "There can be at most " + std::to_string(RoutineLimits::maxRoutines) + " routines.");
        std::string id;
        do
            id = std::string(kRoutineIDPrefix) + RelayIDs::randomHex(4);
        while (m_state.routines.contains(id));
        record.insert_or_assign("id", id);
        m_state.routines.emplace(id, record);
        saveLocked();
    }
    return describe(record);
}

JSON RoutineManager::update(std::string_view id, const JSON& body)
{
    checkSwitch();
    requireLoaded();
    stored(id);
    auto accepted = validate(body, false);
    bool newSchedule = accepted.contains("schedule");
    bool recompute
        = newSchedule || (accepted.contains("enabled") && accepted.at("enabled").boolValue() == true);
    auto updated = now();
    auto timeZone = zone();
    JSON::Object record;
    {
        std::lock_guard guard(m_lock);
        // Looked up again: the routine may have gone while the body was checked.
        auto& stored = storedLocked(id);
        for (auto& [key, value] : accepted)
            stored.insert_or_assign(key, std::move(value));
        stored.insert_or_assign("updatedAt", updated.time_since_epoch().count());
        // A schedule that no longer parses keeps its old next time rather than failing the update.
        if (auto schedule = recompute ? detail::recordSchedule(stored, updated, *timeZone) : std::nullopt)
            stored.insert_or_assign("nextRunAt",
                detail::millisJSON(schedule->nextDate(
                    updated, newSchedule ? updated : detail::recordCreatedAt(stored), *timeZone)));
        saveLocked();
        record = stored;
    }
    return describe(record);
}

JSON RoutineManager::remove(std::string_view id)
{
    checkSwitch();
    requireLoaded();
    std::lock_guard guard(m_lock);
    storedLocked(id);
    m_state.routines.erase(m_state.routines.find(id));
    saveLocked();
    return JSON::object({ { "deleted", std::string(id) } });
}

JSON RoutineManager::results(std::int64_t since)
{
    checkSwitch();
    std::lock_guard guard(m_lock);
    loadedLocked();
    JSON::Array newer;
    for (const auto& entry : m_state.results) {
        const auto* seq = entry.subscript("seq");
        if ((seq ? seq->intValue().value_or(0) : 0) > since)
            newer.push_back(entry);
    }
    return JSON::Object { { "results", std::move(newer) }, { "latest", m_state.seq } };
}

std::vector<RoutineSummary> RoutineManager::summaries(std::string_view botID, bool allBots)
{
    if (!m_routinesEnabled())
        return {};
    std::vector<JSON::Object> records;
    {
        std::lock_guard guard(m_lock);
        loadedLocked();
        for (const auto* record : m_state.routinesByCreation()) {
            if (allBots || detail::recordBelongsTo(*record, botID))
                records.push_back(*record);
        }
    }
    auto timeZone = zone();
    auto current = now();
    std::vector<RoutineSummary> summaries;
    for (const auto& record : records) {
        auto schedule = detail::recordSchedule(record, current, *timeZone);
        summaries.push_back({ .id = detail::recordText(record, "id"),
            .botID = detail::recordText(record, "botId"),
            .name = detail::recordText(record, "name"),
            .schedule = schedule ? schedule->label() : std::string(),
            .enabled = detail::recordIsTrue(record, "enabled") });
    }
    return summaries;
}

RoutineDirectory::Index RoutineManager::routineIndex()
{
    std::lock_guard guard(m_lock);
    loadedLocked();
    RoutineDirectory::Index index;
    for (const auto& [id, record] : m_state.routines)
        index.insert_or_assign(id,
            RoutineDirectory::IndexEntry {
                .botID = detail::recordText(record, "botId"), .name = detail::recordText(record, "name") });
    return index;
}

}
