#include "tests/Routines/ScheduleTestSupport.h"

#include <cstdio>

namespace vellumar::test {

std::string describe(RoutineDate date)
{
    using namespace std::chrono;
    auto day = floor<days>(date);
    year_month_day civil { day };
    hh_mm_ss<milliseconds> time { date - day };
    char text[64];
    std::snprintf(text, sizeof text, "%d-%02u-%02u %02lld:%02lld:%02lld.%03lld UTC",
        static_cast<int>(civil.year()), static_cast<unsigned>(civil.month()),
        static_cast<unsigned>(civil.day()), static_cast<long long>(time.hours().count()),
        static_cast<long long>(time.minutes().count()), static_cast<long long>(time.seconds().count()),
        static_cast<long long>(time.subseconds().count()));
    return text;
}

std::string describe(const std::optional<RoutineDate>& date) { return date ? describe(*date) : "none"; }

}
