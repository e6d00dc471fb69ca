#include "VellumarMacCore/Routines/RoutineDirectoryAdapter.h"

namespace vellumar {

RoutineDirectoryAdapter::RoutineDirectoryAdapter(std::shared_ptr<RoutineManager> manager,
    std::function<bool()> routinesEnabled, RoutineManager::TimeZoneSource timeZoneSource)
    : m_manager(std::move(manager))
    , m_routinesEnabled(std::move(routinesEnabled))
    , m_timeZoneSource(std::move(timeZoneSource))
{
}

std::vector<RoutineSummary> RoutineDirectoryAdapter::summaries(std::string_view botID, bool allBots)
{
    return m_manager->summaries(botID, allBots);
}

RoutineDirectory::Index RoutineDirectoryAdapter::routineIndex() { return m_manager->routineIndex(); }

bool RoutineDirectoryAdapter::routinesEnabled() { return m_routinesEnabled(); }

std::unique_ptr<icu::TimeZone> RoutineDirectoryAdapter::timeZone() { return m_timeZoneSource(); }

}
