// The routines as the reply runner sees them, read from the routine manager.
#pragma once

#include "VellumarMacCore/Reply/RoutineDirectory.h"
#include "VellumarMacCore/Routines/RoutineManager.h"

#include <functional>
#include <memory>

namespace vellumar {

class RoutineDirectoryAdapter final : public RoutineDirectory {
public:
    // `routinesEnabled` and `timeZoneSource` are the same switch and zone the manager reads.
    RoutineDirectoryAdapter(std::shared_ptr<RoutineManager> manager, std::function<bool()> routinesEnabled,
        RoutineManager::TimeZoneSource timeZoneSource);

    std::vector<RoutineSummary> summaries(std::string_view botID, bool allBots) override;
    Index routineIndex() override;
    bool routinesEnabled() override;
    std::unique_ptr<icu::TimeZone> timeZone() override;

private:
    const std::shared_ptr<RoutineManager> m_manager;
    const std::function<bool()> m_routinesEnabled;
    const RoutineManager::TimeZoneSource m_timeZoneSource;
};

}
