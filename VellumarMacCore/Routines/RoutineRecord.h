// Reading the members of a stored routine record. A record comes from a file that an older version
// or a hand edit may have shaped differently, so every reader says what a missing or odd member
// counts as.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Schedule/RoutineSchedule.h"
#include "VellumarMacCore/Schedule/ZonedCalendar.h"

#include <unicode/timezone.h>

#include <optional>
#include <string>
#include <string_view>

namespace vellumar::detail {

// The member, or null when the record has none.
const JSON* recordMember(const JSON::Object& record, std::string_view key);
// The member when it is text, else the empty text.
std::string recordText(const JSON::Object& record, std::string_view key);
// The member when it is the boolean true.
bool recordIsTrue(const JSON::Object& record, std::string_view key);
// "createdAt" as a date; a missing or unusable time counts as 1970.
RoutineDate recordCreatedAt(const JSON::Object& record);
// Whether the record is listed under `botID`: its "botId" is that text.
bool recordBelongsTo(const JSON::Object& record, std::string_view botID);

// The record's schedule, or nothing when it no longer parses.
std::optional<RoutineSchedule> recordSchedule(
    const JSON::Object& record, RoutineDate now, const icu::TimeZone& zone);

// A stored time: milliseconds as a number, null for none.
JSON millisJSON(const std::optional<RoutineDate>& date);

}
