// How long the cron frequency check takes on its worst realistic case: an expression that fires only
// on 29 February walks about 28,000 days before the century's missing leap day refuses it. The
// check runs on the routine manager and in the reply engine, so it must stay far below 200 ms.
#include "VellumarMacCore/Schedule/RoutineSchedule.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using vellumar::JSON;
using vellumar::RoutineCron;
using vellumar::RoutineDate;
using vellumar::RoutineSchedule;

const RoutineDate kNow { std::chrono::milliseconds(1'748'859'465'000) }; // 2025-06-02 10:17:45 UTC

std::unique_ptr<icu::TimeZone> berlin()
{
    return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone("Europe/Berlin"));
}

void leapDayScheduleIsCheckedAndRefused(benchmark::State& state)
{
    auto zone = berlin();
    auto json = JSON::object({ { "kind", "cron" }, { "expr", "0 0 29 2 *" } });
    for (auto _ : state) {
        try {
            RoutineSchedule schedule(json, kNow, *zone);
            state.SkipWithError("the leap-day schedule was accepted");
        } catch (const vellumar::RelayHTTPError& error) {
            benchmark::DoNotOptimize(error.message().size());
        }
    }
}
BENCHMARK(leapDayScheduleIsCheckedAndRefused)->Unit(benchmark::kMillisecond);

void leapDayNextDate(benchmark::State& state)
{
    auto zone = berlin();
    auto cron = RoutineCron::parse("0 0 29 2 *");
    for (auto _ : state)
        benchmark::DoNotOptimize(cron->nextDate(kNow, *zone));
}
BENCHMARK(leapDayNextDate)->Unit(benchmark::kMicrosecond);

// The accepted schedule that works hardest: 48 fire times, each found on its first day.
void halfHourlyScheduleIsChecked(benchmark::State& state)
{
    auto zone = berlin();
    auto json = JSON::object({ { "kind", "cron" }, { "expr", "*/30 * * * *" } });
    for (auto _ : state)
        benchmark::DoNotOptimize(RoutineSchedule(json, kNow, *zone));
}
BENCHMARK(halfHourlyScheduleIsChecked)->Unit(benchmark::kMicrosecond);

}
