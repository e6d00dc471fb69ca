// Helpers shared by the benchmark programs: texts of a given size and a console reporter that keeps
// each benchmark's time, so a program can print its time against a reference measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::bench {

// `piece` repeated until the text holds at least `bytes` bytes.
inline std::string repeated(std::string_view piece, std::size_t bytes)
{
    std::string text;
    while (text.size() < bytes)
        text += piece;
    return text;
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration)
                // In the run's own unit (ns, ms...) otherwise, which would set ms against ns.
                m_seconds[run.benchmark_name()]
                    = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The time of `name` over the time of `reference`; absent when either did not run.
    std::optional<double> ratio(const std::string& name, const std::string& reference) const
    {
        auto measured = m_seconds.find(name);
        auto base = m_seconds.find(reference);
        if (measured == m_seconds.end() || base == m_seconds.end() || base->second <= 0)
            return std::nullopt;
        return measured->second / base->second;
    }

    // The time of `name` less the time of `reference`, in seconds; absent when either did not run.
    std::optional<double> secondsOver(const std::string& name, const std::string& reference) const
    {
        auto measured = m_seconds.find(name);
        auto base = m_seconds.find(reference);
        if (measured == m_seconds.end() || base == m_seconds.end())
            return std::nullopt;
        return measured->second - base->second;
    }

private:
    std::map<std::string, double> m_seconds;
};

}
