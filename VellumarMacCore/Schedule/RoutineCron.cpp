#include "VellumarMacCore/Schedule/RoutineCron.h"

#include "VellumarMacCore/Schedule/RoutineLimits.h"

#include <algorithm>
#include <array>

namespace vellumar {

namespace {

    using detail::CivilDate;
    using detail::ZonedCalendar;

    // About five years: long enough for any 29 February but the one a century skips.
    constexpr int kSearchDays = 1830;
    constexpr int kFrequencyCheckFireTimes = 48;
    constexpr auto kMinimumGap = std::chrono::minutes(RoutineLimits::minimumIntervalMinutes);

    struct Bounds {
        int lowest;
        int highest;
    };

    constexpr std::array<Bounds, 5> kFieldBounds { { { 0, 59 }, { 0, 23 }, { 1, 31 }, { 1, 12 }, { 0, 7 } } };

    bool isCronSeparator(char character)
    {
        return character == ' ' || character == '\t' || character == '\n';
    }

    std::vector<std::string_view> splitFields(std::string_view text)
    {
        std::vector<std::string_view> fields;
        std::size_t index = 0;
        while (index < text.size()) {
            if (isCronSeparator(text[index])) {
                ++index;
                continue;
            }
            std::size_t end = index;
            while (end < text.size() && !isCronSeparator(text[end]))
                ++end;
            fields.push_back(text.substr(index, end - index));
            index = end;
        }
        return fields;
    }

    // Every piece between separators, empty ones included.
    std::vector<std::string_view> splitAt(std::string_view text, char separator)
    {
        std::vector<std::string_view> pieces;
        std::size_t start = 0;
        for (;;) {
            auto end = text.find(separator, start);
            pieces.push_back(
                text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
            if (end == std::string_view::npos)
                return pieces;
            start = end + 1;
        }
    }

    // One or two ASCII digits.
    std::optional<int> cronNumber(std::string_view text)
    {
        if (text.empty() || text.size() > 2)
            return std::nullopt;
        int value = 0;
        for (char digit : text) {
            if (digit < '0' || digit > '9')
                return std::nullopt;
            value = value * 10 + (digit - '0');
        }
        return value;
    }

    std::optional<std::set<int>> parseField(std::string_view field, Bounds bounds)
    {
        std::set<int> values;
        for (auto piece : splitAt(field, ',')) {
            auto parts = splitAt(piece, '/');
            if (parts.size() > 2)
                return std::nullopt;
            int step = 1;
            if (parts.size() == 2) {
                auto parsedStep = cronNumber(parts[1]);
                if (!parsedStep || *parsedStep < 1)
                    return std::nullopt;
                step = *parsedStep;
            }
            auto base = parts[0];
            int start = bounds.lowest;
            int end = bounds.highest;
            if (base == "*") {
                // The whole field, stepped.
            } else if (base.find('-') != std::string_view::npos) {
                auto ends = splitAt(base, '-');
                if (ends.size() != 2)
                    return std::nullopt;
                auto first = cronNumber(ends[0]);
                auto last = cronNumber(ends[1]);
                if (!first || !last)
                    return std::nullopt;
                start = *first;
                end = *last;
            } else {
                auto single = cronNumber(base);
                if (!single)
                    return std::nullopt;
                // "5/15" runs from 5 to the top of the field; a bare "5" is just 5.
                start = *single;
                end = parts.size() == 2 ? bounds.highest : *single;
            }
            if (start < bounds.lowest || start > end || end > bounds.highest)
                return std::nullopt;
            for (int value = start; value <= end; value += step)
                values.insert(value);
        }
        return values;
    }

    std::string joined(const std::vector<std::string_view>& fields)
    {
        std::string text;
        for (auto field : fields) {
            if (!text.empty())
                text += ' ';
            text += field;
        }
        return text;
    }

    bool dayMatches(const RoutineCron& cron, CivilDate date)
    {
        if (!cron.months.contains(static_cast<int>(static_cast<unsigned>(date.month()))))
            return false;
        bool dayOfMonth = cron.days.contains(static_cast<int>(static_cast<unsigned>(date.day())));
        bool weekday = cron.weekdays.contains(
            static_cast<int>(std::chrono::weekday(std::chrono::sys_days(date)).c_encoding()));
        if (cron.dayRestricted && cron.weekdayRestricted)
            return dayOfMonth || weekday;
        return dayOfMonth && weekday;
    }

    std::optional<RoutineDate> searchNextDate(
        const RoutineCron& cron, RoutineDate after, ZonedCalendar& calendar)
    {
        auto minuteStart = calendar.startOfMinute(after);
        if (!minuteStart)
            return std::nullopt;
        auto earliest = *minuteStart + std::chrono::minutes(1);
        auto date = calendar.civilDate(earliest);
        if (!date)
            return std::nullopt;
        // Days are walked as civil dates, which is plain arithmetic; the zone is consulted only on
        // a day that matches.
        for (int dayIndex = 0; dayIndex < kSearchDays; ++dayIndex) {
            if (dayMatches(cron, *date) && calendar.dayExists(*date)) {
                for (int hour : cron.hours) {
                    for (int minute : cron.minutes) {
                        auto candidate = calendar.wallTime(*date, hour, minute);
                        if (candidate && *candidate >= earliest)
                            return candidate;
                    }
                }
            }
            date = std::chrono::sys_days(*date) + std::chrono::days(1);
        }
        return std::nullopt;
    }

}

std::optional<RoutineCron> RoutineCron::parse(std::string_view expression)
{
    if (expression.size() > static_cast<std::size_t>(RoutineLimits::maxCronLength))
        return std::nullopt;
    auto fields = splitFields(expression);
    if (fields.size() != kFieldBounds.size())
        return std::nullopt;
    std::array<std::set<int>, 5> values;
    for (std::size_t index = 0; index < fields.size(); ++index) {
        auto parsed = parseField(fields[index], kFieldBounds[index]);
        if (!parsed)
            return std::nullopt;
        values[index] = std::move(*parsed);
    }
    if (values[4].erase(7))
        values[4].insert(0);
    RoutineCron cron;
    cron.expression = joined(fields);
    cron.minutes.assign(values[0].begin(), values[0].end());
    cron.hours.assign(values[1].begin(), values[1].end());
    cron.days = std::move(values[2]);
    cron.months = std::move(values[3]);
    cron.weekdays = std::move(values[4]);
    cron.dayRestricted = fields[2] != "*";
    cron.weekdayRestricted = fields[4] != "*";
    return cron;
}

std::optional<RoutineDate> RoutineCron::nextDate(RoutineDate after, const icu::TimeZone& zone) const
{
    auto calendar = ZonedCalendar::make(zone);
    if (!calendar)
        return std::nullopt;
    return searchNextDate(*this, after, *calendar);
}

bool RoutineCron::respectsMinimumInterval(RoutineDate from, const icu::TimeZone& zone) const
{
    auto calendar = ZonedCalendar::make(zone);
    if (!calendar)
        return false;
    auto cursor = from;
    std::optional<RoutineDate> previous;
    for (int count = 0; count < kFrequencyCheckFireTimes; ++count) {
        auto next = searchNextDate(*this, cursor, *calendar);
        if (!next || (previous && *next - *previous < kMinimumGap))
            return false;
        previous = next;
        cursor = *next;
    }
    return true;
}

}
