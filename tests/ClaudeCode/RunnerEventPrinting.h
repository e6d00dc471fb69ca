// Readable gtest output for runner events, shared by the suites that compare event lists.
#pragma once

#include "VellumarMacCore/ClaudeCode/RunnerEvent.h"

#include <ostream>

namespace vellumar {

inline void PrintTo(const RunnerEvent& event, std::ostream* out)
{
    static constexpr const char* names[]
        = { "tool", "interim", "thinking", "writing", "preparing", "compacting", "attaching" };
    *out << names[static_cast<int>(event.kind)];
    if (!event.text.empty())
        *out << "(\"" << event.text << "\")";
}

}
