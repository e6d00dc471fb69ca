// Read access to the user's routines, as the reply runner and the bot's prompts see them.
#pragma once

#include <unicode/timezone.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// One routine as the bot is told about it.
struct RoutineSummary {
    std::string id;
    std::string botID;
    std::string name;
    std::string schedule; // the schedule's human label
    bool enabled { false };

    friend bool operator==(const RoutineSummary&, const RoutineSummary&) = default;
};

// Implemented over the routine manager by the relay host. Every member may be called from any thread
// at the same time, may block while the routines are read, and never throws.
class RoutineDirectory {
public:
    struct IndexEntry {
        std::string botID;
        std::string name;

        friend bool operator==(const IndexEntry&, const IndexEntry&) = default;
    };

    using Index = std::map<std::string, IndexEntry, std::less<>>;

    virtual ~RoutineDirectory() = default;

    // The routines of `botID`, or of every bot when `allBots` is true.
    virtual std::vector<RoutineSummary> summaries(std::string_view botID, bool allBots) = 0;
    // Every routine by its id.
    virtual Index routineIndex() = 0;
    virtual bool routinesEnabled() = 0;
    // The zone the routines' schedules are read in; never null. The caller owns the copy.
    virtual std::unique_ptr<icu::TimeZone> timeZone() = 0;
};

}
