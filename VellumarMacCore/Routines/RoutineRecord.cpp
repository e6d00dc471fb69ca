#include "VellumarMacCore/Routines/RoutineRecord.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Routines/RoutinesFile.h"

#include <chrono>

namespace vellumar::detail {

const JSON* recordMember(const JSON::Object& record, std::string_view key)
{
    auto found = record.find(key);
    return found == record.end() ? nullptr : &found->second;
}

std::string recordText(const JSON::Object& record, std::string_view key)
{
    const auto* member = recordMember(record, key);
    return member && member->stringValue() ? *member->stringValue() : std::string();
}

bool recordIsTrue(const JSON::Object& record, std::string_view key)
{
    const auto* member = recordMember(record, key);
    return member && member->boolValue() == true;
}

RoutineDate recordCreatedAt(const JSON::Object& record)
{
    return RoutineDate { std::chrono::milliseconds { storedMillis(record, "createdAt").value_or(0) } };
}

bool recordBelongsTo(const JSON::Object& record, std::string_view botID)
{
    const auto* owner = recordMember(record, "botId");
    return owner && owner->stringValue() && *owner->stringValue() == botID;
}

std::optional<RoutineSchedule> recordSchedule(
    const JSON::Object& record, RoutineDate now, const icu::TimeZone& zone)
{
    try {
        const auto* schedule = recordMember(record, "schedule");
        return RoutineSchedule(schedule ? *schedule : JSON(), now, zone);
    } catch (const RelayHTTPError&) {
        return std::nullopt;
    }
}

JSON millisJSON(const std::optional<RoutineDate>& date)
{
    return date ? JSON(date->time_since_epoch().count()) : JSON();
}

}
