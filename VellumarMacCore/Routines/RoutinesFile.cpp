#include "VellumarMacCore/Routines/RoutinesFile.h"

#include "VellumarMacCore/ConversationData/StoreFile.h"
#include "VellumarMacCore/Routines/RoutineManager.h"
#include "VellumarMacCore/Schedule/RoutineLimits.h"

#include <algorithm>
#include <chrono>

namespace vellumar {

namespace {

    std::int64_t createdAt(const JSON::Object& record)
    {
        return storedMillis(record, "createdAt").value_or(0);
    }

}

std::optional<std::int64_t> storedMillis(const JSON::Object& record, std::string_view key)
{
    auto member = record.find(key);
    return member == record.end() ? std::nullopt : member->second.intValue();
}

std::optional<RoutinesFile> RoutinesFile::load(const std::filesystem::path& file)
{
    detail::removeStoreLeftovers(file);
    RoutinesFile state;
    auto content = detail::readStoreJSON(file, kMaxFileBytes, JSON::Kind::object);
    if (content.unreadable)
        return std::nullopt;
    if (!content.document)
        return state;
    const auto& document = content.document;

    if (const auto* routines = document->subscript("routines"); routines && routines->arrayValue()) {
        for (const auto& element : *routines->arrayValue()) {
            const auto* record = element.objectValue();
            const auto* id = element.subscript("id");
            if (record && !record->empty() && id && id->stringValue()
                && RoutineManager::isValidRoutineID(*id->stringValue()))
                state.routines.insert_or_assign(*id->stringValue(), *record);
        }
    }
    if (const auto* results = document->subscript("results"); results && results->arrayValue()) {
        const auto& all = *results->arrayValue();
        auto kept = std::min<std::size_t>(all.size(), RoutineLimits::keptResults);
        state.results.assign(all.end() - static_cast<std::ptrdiff_t>(kept), all.end());
    }
    if (const auto* seq = document->subscript("seq"))
        state.seq = seq->intValue().value_or(0);
    if (const auto* runs = document->subscript("scheduledRuns"); runs && runs->arrayValue()) {
        for (const auto& element : *runs->arrayValue()) {
            if (auto millis = element.intValue())
                state.scheduledRuns.push_back(RoutineDate { std::chrono::milliseconds { *millis } });
        }
    }
    return state;
}

void RoutinesFile::save(const std::filesystem::path& file) const { detail::writeStoreJSON(json(), file); }

std::vector<const JSON::Object*> RoutinesFile::routinesByCreation() const
{
    std::vector<const JSON::Object*> records;
    for (const auto& [id, record] : routines)
        records.push_back(&record);
    std::stable_sort(records.begin(), records.end(),
        [](const auto* lhs, const auto* rhs) { return createdAt(*lhs) < createdAt(*rhs); });
    return records;
}

JSON RoutinesFile::json() const
{
    JSON::Array records;
    for (const auto* record : routinesByCreation())
        records.emplace_back(*record);
    JSON::Array runs;
    for (auto date : scheduledRuns)
        runs.emplace_back(date.time_since_epoch().count());
    return JSON::Object { { "routines", std::move(records) }, { "results", results }, { "seq", seq },
        { "scheduledRuns", std::move(runs) } };
}

}
