// Parsing arbitrary bytes as a cron expression must never crash; what parses must keep its meaning
// through its normalised text, and its next fire time must lie after the start.
#include "VellumarMacCore/Schedule/RoutineCron.h"

#include <unicode/timezone.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using vellumar::RoutineCron;
    using vellumar::RoutineDate;
    auto cron = RoutineCron::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!cron)
        return 0;
    auto again = RoutineCron::parse(cron->expression);
    if (!again || *again != *cron)
        std::abort();
    static const std::unique_ptr<icu::TimeZone> berlin(icu::TimeZone::createTimeZone("Europe/Berlin"));
    // 2025-03-30 00:59:30 UTC: half a minute before Berlin skips an hour.
    const RoutineDate start { std::chrono::milliseconds(1'743'296'370'000) };
    auto next = cron->nextDate(start, *berlin);
    if (next && *next <= start)
        std::abort();
    cron->respectsMinimumInterval(start, *berlin);
    return 0;
}
