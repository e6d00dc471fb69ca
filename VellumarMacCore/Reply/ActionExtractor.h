// Action blocks in a bot's finished reply: fenced blocks whose info string is "action" and whose body
// is one JSON object. They are taken out of the text the user sees, checked field by field, and turned
// into actions for the phone, memory operations, files to attach, and one short reason per refusal.
#pragma once

#include "VellumarMacCore/ConversationData/MemoryStore.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Reply/RoutineDirectory.h"
#include "VellumarMacCore/Schedule/ZonedCalendar.h"

#include <unicode/timezone.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Every function is pure over its arguments and may run on any thread; none throws.
namespace vellumar::ActionExtractor {

// What the replying bot may act on; built by the caller for each reply.
struct Context {
    std::string botID;
    // The user's main bot, which may change the other bots' settings and routines.
    bool primary = false;
    std::set<std::string, std::less<>> otherBotIDs;
    // Every routine the relay knows.
    RoutineDirectory::Index routines;
    bool routinesEnabled = false;
    // When and where a proposed schedule is checked: now, in the computer's zone, unless given.
    RoutineDate now = std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
    std::shared_ptr<const icu::TimeZone> timeZone;
};

struct Result {
    // The reply without action blocks, as `stripBlocks` gives it.
    std::string text;
    // Normalised action objects in block order.
    std::vector<JSON> actions;
    std::vector<MemoryStore::Op> memory;
    // Distinct paths in block order, not yet checked against the work folder.
    std::vector<std::string> attachments;
    // One per refused block in block order, then one for an unclosed block.
    std::vector<std::string> reasons;
};

inline constexpr std::size_t maxActions = 5;
inline constexpr std::size_t maxMemoryOperations = 3;
inline constexpr std::size_t maxAttachments = 5;

inline constexpr std::array<std::string_view, 10> colors { "red", "white", "pink", "teal", "orange", "green",
    "purple", "gray", "blue", "yellow" };
inline constexpr std::array<std::string_view, 6> shapes { "rounded_square", "circle", "cloud", "hexagon",
    "blob", "flower" };

// Action type -> the keys its block may hold. "remember", "forget" and "attach_file" are not here:
// they are always available.
const std::map<std::string, std::set<std::string, std::less<>>, std::less<>>& allowedKeys();

// `allowedActions` names the types of `allowedKeys` that the phone offers now; an empty list
// offers none of them.
Result extract(std::string_view text, const std::vector<std::string>& allowedActions, const Context& context);

// The text without closed blocks, without an unclosed block and all that follows it, with runs of
// three or more line feeds cut to two, and trimmed. Linear in the text's length.
std::string stripBlocks(std::string_view text);

// A remember or forget block, or nullopt when it is not an acceptable one.
std::optional<MemoryStore::Op> memoryOp(const JSON::Object& block);

// The action for a type of `allowedKeys`, or nullopt when the block has wrong keys or values.
std::optional<JSON> normalise(std::string_view type, const JSON::Object& block, const Context& context);

// Checks name, role, persona, color and shape where the block holds them and writes the accepted
// values into `out`; false at the first one refused.
bool copyProfileFields(const JSON::Object& block, JSON::Object& out);

}
