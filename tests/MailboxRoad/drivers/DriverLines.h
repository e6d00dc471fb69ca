// The two ends of the two-process mailbox tests talk to the test in JSON lines: commands come on
// standard input, each with an "id" that its answer repeats, and answers and events (lines with an
// "event" member, which may come at any moment) go to standard output.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::road {

// Milliseconds since the epoch on the wall clock, which both processes share on one machine.
std::int64_t wallMilliseconds();

// Writes one line to standard output and flushes it; safe from any thread.
void writeLine(const JSON& line);
// An event line: {"event": name, "at": wallMilliseconds(), ...members}.
void emitEvent(std::string_view name, JSON::Object members = {});

// The text of a member, or empty when it is absent or not a text.
std::string textMember(const JSON& object, std::string_view key);

// Reads commands until standard input ends; each answer is the handler's object with the command's
// "id" added. A handler that throws answers {"error": what it threw}; a line that is not a JSON
// object answers {"error": "bad command"}.
void serveCommands(const std::function<JSON::Object(const JSON& command)>& handle);

}
